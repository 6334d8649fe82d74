// Points the launcher's service endpoints at a test server for the life of
// an object (the seam of net/Endpoints.h), and sets the operator keys that
// must sign the catalog and manifest (the seam of net/SignedDocument.h).
#pragma once

#include "net/Endpoints.h"

#include <QStringList>

namespace tarvik::test {

// Every base URL of the compiled-in endpoints replaced by `base`; the fixed
// identifiers keep their values.
Endpoints endpointsAt(const QUrl& base);

class ScopedEndpoints
{
public:
    explicit ScopedEndpoints(const QUrl& base);
    explicit ScopedEndpoints(const Endpoints& endpoints);
    // Restores the compiled-in endpoints.
    ~ScopedEndpoints();
    ScopedEndpoints(const ScopedEndpoints&) = delete;
    ScopedEndpoints& operator=(const ScopedEndpoints&) = delete;
};

// The operator keys in force are the public keys tests/data/keys/<name>.pub
// for the life of the object (no names: documents are not signed).
class ScopedOperatorKeys
{
public:
    explicit ScopedOperatorKeys(const QStringList& names);
    // Restores the compiled-in keys.
    ~ScopedOperatorKeys();
    ScopedOperatorKeys(const ScopedOperatorKeys&) = delete;
    ScopedOperatorKeys& operator=(const ScopedOperatorKeys&) = delete;
};

// The signature of `document` by the private key tests/data/keys/<name>.pem,
// as `openssl dgst -sha256 -sign` makes it.
QByteArray signedBy(const QString& name, const QByteArray& document);

} // namespace tarvik::test
