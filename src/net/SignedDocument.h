// The operator's documents under the operator's signature: when the build has
// operator keys (the TARVIK_OPERATOR_KEYS cache variable), the catalog and the
// update manifest are accepted only with a detached signature, fetched from
// the document's URL + ".sig", that one of the keys verifies over the exact
// bytes received. A web server that someone else took over can then serve
// nothing that the launcher uses. Without keys nothing changes and no ".sig"
// is asked for. Used from job threads; the keys are read-only values.
#pragma once

#include "net/Http.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

namespace tarvik {

// The signature of an operator's document may not be larger than this.
inline constexpr qint64 kMaxSignatureSize = 1024;

// The public keys in force (DER SubjectPublicKeyInfo of ECDSA P-256 keys):
// those compiled in, unless a test has replaced them. Empty: documents are
// not signed.
QList<QByteArray> operatorKeys();

// The DER key of a PEM "PUBLIC KEY" block (what `openssl pkey -pubout`
// writes); empty when the text holds none.
QByteArray operatorKeyFromPem(const QByteArray& pem);

// getJson(url) when no operator key is configured. Otherwise fetches the
// document (status 200, as getJson), then url + ".sig" (the DER signature of
// `openssl dgst -sha256 -sign`), and parses the document only when one key
// verifies the signature; a missing, oversized, malformed or non-matching
// signature throws Error(`refusal`). Network failures and cancellation throw
// as Http does.
QJsonObject getSignedJson(Http& http, const QUrl& url, const QString& refusal);

namespace detail {
// Test seam: replaces the keys that operatorKeys() returns (std::nullopt
// restores the compiled-in ones). Safe from any thread; set it before the
// jobs that read it start. Use tarvik::test::ScopedOperatorKeys in tests.
void overrideOperatorKeys(const std::optional<QList<QByteArray>>& keys);
} // namespace detail

} // namespace tarvik
