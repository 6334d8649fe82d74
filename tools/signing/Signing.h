// Signing the operator's documents (catalog, update manifest) with the
// operator's ECDSA P-256 private key, exactly as `openssl dgst -sha256 -sign`
// does: the detached DER signature goes to the document's path + ".sig",
// served beside it. Used by the operator tools and the stand-in world on
// Linux (OpenSSL); a build without OpenSSL refuses to sign. Single-threaded
// use; keeps nothing between calls.
#pragma once

#include <QByteArray>
#include <QString>

namespace tarvik::tools {

// The signature of `document` by the PEM private key in `keyFile` (an
// encrypted key asks for its pass phrase on the terminal). The signature is
// checked against the key's public half before it is returned. Throws Error
// when the key cannot be read or is not an ECDSA P-256 key.
QByteArray signDocument(const QString& keyFile, const QByteArray& document);

// Makes a new P-256 key pair: the private key (PEM, owner-only) at
// `privateFile` and its public key (PEM, as `openssl pkey -pubout` writes
// it) at `publicFile`. Throws Error.
void makeSigningKey(const QString& privateFile, const QString& publicFile);

} // namespace tarvik::tools
