// Points the launcher's service endpoints at a test server for the life of
// an object (the seam of net/Endpoints.h), and sets the operator keys that
// must sign the catalog and manifest (the seam of net/SignedDocument.h).
#pragma once

#include "net/Endpoints.h"
#include "support/HttpsTestServer.h"

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

// Test operator keys "operator-a", "operator-b" (its successor) and
// "stranger" (configured by no test), made once per test process: the PEM
// file of the private key, or with `publicHalf` of the public one.
QString operatorKeyFile(const QString& name, bool publicHalf = false);

// The operator keys in force are the named test keys for the life of the
// object (no names: documents are not signed).
class ScopedOperatorKeys
{
public:
    explicit ScopedOperatorKeys(const QStringList& names);
    // Restores the compiled-in keys.
    ~ScopedOperatorKeys();
    ScopedOperatorKeys(const ScopedOperatorKeys&) = delete;
    ScopedOperatorKeys& operator=(const ScopedOperatorKeys&) = delete;
};

// The signature of `document` by a test key, as `openssl dgst -sha256 -sign`
// makes it.
QByteArray signedBy(const QString& name, const QByteArray& document);

// The table that every signed document is tested with: the columns "keys"
// (the names configured), "signature" (how the ".sig" is served) and
// "accepted", one row per case.
void signatureRows();

// Serves `document` at `path` and its signature at `path` + ".sig" as the
// row's `signature` says; rows about tampering change what is served.
void serveSigned(HttpsTestServer& server, const QString& path, const QByteArray& document,
                 const QString& signature);

} // namespace tarvik::test
