#include "net/SignedDocument.h"

#include "fs/SafeFiles.h"
#include "NetLog.h"
#include "OperatorKeysConfig.h"
#include "platform/Signature.h"

#include <mutex>
#include <string>

namespace tarvik {

namespace {

// The seam's state, guarded like the endpoints' seam.
std::mutex overrideMutex;
std::optional<QList<QByteArray>> overridden;

QList<QByteArray> compiledInKeys()
{
    // Base64 of each DER key, checked by CMake when it was configured.
    static const char* const kKeys[] = {TARVIK_OPERATOR_KEYS_BASE64 nullptr};
    QList<QByteArray> keys;
    for (const char* const* key = kKeys; *key; ++key)
        keys << QByteArray::fromBase64(QByteArray(*key));
    return keys;
}

std::string bytesOf(const QByteArray& bytes)
{
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

} // namespace

QList<QByteArray> operatorKeys()
{
    {
        const std::lock_guard lock(overrideMutex);
        if (overridden)
            return *overridden;
    }
    static const QList<QByteArray> compiled = compiledInKeys();
    return compiled;
}

QByteArray operatorKeyFromPem(const QByteArray& pem)
{
    static const QByteArray begin = "-----BEGIN PUBLIC KEY-----";
    static const QByteArray end = "-----END PUBLIC KEY-----";
    const qsizetype from = pem.indexOf(begin);
    const qsizetype to = from < 0 ? -1 : pem.indexOf(end, from);
    if (to < 0)
        return {};
    const QByteArray body = pem.mid(from + begin.size(), to - from - begin.size());
    const auto decoded = QByteArray::fromBase64Encoding(
        body.simplified().replace(' ', QByteArray()), QByteArray::AbortOnBase64DecodingErrors);
    return decoded ? *decoded : QByteArray();
}

QJsonObject getSignedJson(Http& http, const QUrl& url, const QString& refusal)
{
    const QList<QByteArray> keys = operatorKeys();
    if (keys.isEmpty())
        return http.getJson(url);

    const QByteArray document = http.getDocument(url);
    // The same URL with ".sig" appended; a plain static file beside the
    // document, fetched with the usual rules (redirects included: where the
    // signature comes from does not matter, only whose key made it).
    const QUrl signatureUrl(url.toString(QUrl::FullyEncoded) + QStringLiteral(".sig"),
                            QUrl::StrictMode);
    const HttpResponse signature = http.request(signatureUrl, "GET", {}, {}, {});
    bool verified = false;
    if (signature.status == 200 && signature.body.size() <= kMaxSignatureSize) {
        for (const QByteArray& key : keys) {
            verified = verified ||
                       platform::verifyEcdsaP256Sha256(bytesOf(key), document.constData(),
                                                       static_cast<std::size_t>(document.size()),
                                                       bytesOf(signature.body));
        }
    }
    if (!verified) {
        qCDebug(lcNet) << "signature refused:" << loggableUrl(signatureUrl) << "status"
                       << signature.status << "size" << signature.body.size();
        throw Error(refusal);
    }
    return parseJsonObject(document);
}

namespace detail {

void overrideOperatorKeys(const std::optional<QList<QByteArray>>& keys)
{
    const std::lock_guard lock(overrideMutex);
    overridden = keys;
}

} // namespace detail

} // namespace tarvik
