#include "support/SignedDocuments.h"

#include "support/TestEndpoints.h"

#include <QtTest>

namespace tarvik::test {

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
    QTest::newRow("base64 text instead of DER") << a << "base64" << false;
    QTest::newRow("garbage") << a << "garbage" << false;
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
    TestReply reply = TestReply::ok(good);
    if (signature == "operator-b" || signature == "stranger")
        reply = TestReply::ok(signedBy(signature, document));
    else if (signature == "other bytes")
        reply = TestReply::ok(signedBy("operator-a", document + ' '));
    else if (signature == "flipped")
        served[served.size() / 2] = static_cast<char>(served.at(served.size() / 2) ^ 0x01);
    else if (signature == "truncated")
        reply = TestReply::ok(good.chopped(1));
    else if (signature == "empty")
        reply = TestReply::ok({});
    else if (signature == "base64")
        reply = TestReply::ok(good.toBase64() + '\n');
    else if (signature == "garbage")
        reply = TestReply::ok(QByteArray(good.size(), '\x30'));
    else if (signature == "404")
        reply = TestReply::withStatus(404);
    else if (signature == "oversized")
        reply = TestReply::ok(good + QByteArray(4096, '\0'));
    else if (signature == "redirect")
        reply = TestReply::redirect(server.url("/elsewhere/signature"));
    server.on("GET", "/elsewhere/signature", TestReply::ok(good));
    server.on("GET", path, TestReply::json(served));
    server.on("GET", path + ".sig", reply);
}

} // namespace tarvik::test
