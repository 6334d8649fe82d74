#include "support/TestEndpoints.h"

#include "fs/SafeFiles.h"
#include "net/SignedDocument.h"
#include "signing/Signing.h"

#include <QTemporaryDir>
#include <QtTest>

#include <map>
#include <mutex>

namespace tarvik::test {

Endpoints endpointsAt(const QUrl& base)
{
    Endpoints e = Endpoints::compiledIn();
    e.operatorBase = base;
    e.microsoftLogin = base;
    e.xboxUserAuth = base;
    e.xsts = base;
    e.minecraftServices = base;
    e.versionManifest = base;
    e.assetObjects = base;
    e.fabricMeta = base;
    e.adoptiumApi = base;
    return e;
}

ScopedEndpoints::ScopedEndpoints(const QUrl& base) : ScopedEndpoints(endpointsAt(base)) {}

ScopedEndpoints::ScopedEndpoints(const Endpoints& endpoints)
{
    detail::overrideEndpoints(endpoints);
}

ScopedEndpoints::~ScopedEndpoints()
{
    detail::overrideEndpoints(std::nullopt);
}

QString operatorKeyFile(const QString& name, bool publicHalf)
{
    static QTemporaryDir folder;
    static std::mutex made;
    const QString key = folder.filePath(name + ".key");
    const std::lock_guard lock(made);
    if (!QFile::exists(key))
        tools::makeSigningKey(key, folder.filePath(name + ".pub"));
    return publicHalf ? folder.filePath(name + ".pub") : key;
}

ScopedOperatorKeys::ScopedOperatorKeys(const QStringList& names)
{
    QList<QByteArray> keys;
    for (const QString& name : names)
        keys << operatorKeyFromPem(readFile(operatorKeyFile(name, true), kMaxDocumentSize));
    detail::overrideOperatorKeys(keys);
}

ScopedOperatorKeys::~ScopedOperatorKeys()
{
    detail::overrideOperatorKeys(std::nullopt);
}

QByteArray signedBy(const QString& name, const QByteArray& document)
{
    return tools::signDocument(operatorKeyFile(name), document);
}

void signatureRows()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QString>("signature");
    QTest::addColumn<bool>("accepted");
    const QStringList a{"operator-a"};
    QTest::newRow("good signature") << a << "operator-a" << true;
    QTest::newRow("second key") << QStringList{"operator-a", "operator-b"} << "operator-b" << true;
    QTest::newRow("wrong key") << a << "stranger" << false;
    QTest::newRow("signature of other bytes") << a << "other bytes" << false;
    QTest::newRow("document byte flipped") << a << "flipped" << false;
    QTest::newRow("truncated") << a << "truncated" << false;
    QTest::newRow("empty") << a << "empty" << false;
    QTest::newRow("garbage (base64 text, not DER)") << a << "garbage" << false;
    QTest::newRow("missing (404)") << a << "404" << false;
    QTest::newRow("oversized") << a << "oversized" << false;
    QTest::newRow("behind a redirect") << a << "redirect" << true;
    QTest::newRow("keys not configured") << QStringList{} << "404" << true;
}

void serveSigned(HttpsTestServer& server, const QString& path, const QByteArray& document,
                 const QString& signature)
{
    const QByteArray good = signedBy("operator-a", document);
    QByteArray served = document;
    const std::map<QString, TestReply> replies{
        {"operator-b", TestReply::ok(signedBy("operator-b", document))},
        {"stranger", TestReply::ok(signedBy("stranger", document))},
        {"other bytes", TestReply::ok(signedBy("operator-a", document + ' '))},
        {"truncated", TestReply::ok(good.chopped(1))},
        {"empty", TestReply::ok({})},
        {"garbage", TestReply::ok(good.toBase64())},
        {"404", TestReply::withStatus(404)},
        {"oversized", TestReply::ok(good + QByteArray(4096, '\0'))},
        {"redirect", TestReply::redirect(server.url("/elsewhere/signature"))}};
    if (signature == "flipped")
        served[served.size() / 2] = static_cast<char>(served.at(served.size() / 2) ^ 0x01);
    server.on("GET", "/elsewhere/signature", TestReply::ok(good));
    server.on("GET", path, TestReply::json(served));
    server.on("GET", path + ".sig",
              replies.count(signature) ? replies.at(signature) : TestReply::ok(good));
}

} // namespace tarvik::test
