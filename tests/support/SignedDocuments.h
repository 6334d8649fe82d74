// The table of signature cases that every signed document of the operator is
// tested with (the catalog, the update manifest), and serving a document with
// the row's signature on an HttpsTestServer.
#pragma once

#include "support/HttpsTestServer.h"

#include <QByteArray>
#include <QString>

namespace tarvik::test {

// Adds the columns "keys" (QStringList: names of tests/data/keys configured
// through ScopedOperatorKeys), "signature" (QString: how the ".sig" is
// served) and "accepted" (bool), and one row per case.
void signatureRows();

// Serves `document` at `path` and its signature at `path` + ".sig" as the
// row's `signature` says; rows about tampering change what is served.
void serveSigned(HttpsTestServer& server, const QString& path, const QByteArray& document,
                 const QString& signature);

} // namespace tarvik::test
