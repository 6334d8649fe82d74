// The operator's signature on the catalog: Catalog::load against a real HTTPS
// server, with the operator keys set through the test seam.
#include "catalog/Catalog.h"
#include "net/Http.h"
#include "support/HttpsTestServer.h"
#include "support/StandInWorld.h"
#include "support/TestData.h"
#include "support/TestEndpoints.h"

#include <QJsonDocument>
#include <QtTest>

using namespace tarvik;
using namespace tarvik::test;

class TestSigning : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { HttpsTestServer::trustTestCa(); }
    void signedCatalog_data() { signatureRows(); }
    void signedCatalog();
};

void TestSigning::signedCatalog()
{
    QFETCH(QStringList, keys);
    QFETCH(QString, signature);
    QFETCH(bool, accepted);

    HttpsTestServer server;
    ScopedEndpoints endpoints(server.baseUrl());
    ScopedOperatorKeys operatorKeys(keys);
    const QJsonObject sample = StandInWorld::sampleCatalog(server.baseUrl());
    serveSigned(server, "/api/v1/catalog.json", QJsonDocument(sample).toJson(), signature);

    Http http;
    Catalog catalog;
    QCOMPARE(errorOf([&] { catalog = Catalog::load(http); }),
             accepted ? kNoError : "Katalog není podepsán klíčem pořadatele.");
    QCOMPARE(catalog.events.size(), accepted ? sample["events"].toArray().size() : 0);
    // Without keys not even a request for the signature.
    QCOMPARE(server.requests("/api/v1/catalog.json.sig").isEmpty(), keys.isEmpty());
}

QTEST_GUILESS_MAIN(TestSigning)
#include "tst_signing.moc"
