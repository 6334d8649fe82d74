// The one honest test of the 60 s request deadline: a body that trickles in
// without ever stalling long enough for the 30 s transfer timeout is cut off
// after 60 s. Labelled "slow".
#include "net/Http.h"
#include "support/HttpsTestServer.h"

#include <QElapsedTimer>
#include <QTest>

using namespace tarvik;
using namespace tarvik::test;

class TestNetSlow : public QObject
{
    Q_OBJECT

private slots:
    void trickleIsCutOffAtTheDeadline()
    {
        HttpsTestServer server;
        // 200 bytes, one every 500 ms: 100 s in all, never 30 s without data.
        server.on("GET", QStringLiteral("/trickle"),
                  TestReply::json(QByteArray(200, ' ')).slowly(1, 500));
        Http http;
        QElapsedTimer clock;
        clock.start();
        QString error;
        try {
            http.getJson(server.url(QStringLiteral("/trickle")));
        } catch (const Error& e) {
            error = e.message();
        }
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(error.startsWith(QStringLiteral("Připojení selhalo: ")), qPrintable(error));
        QVERIFY2(elapsed >= kRequestDeadlineMs - 100 && elapsed < kRequestDeadlineMs + 5000,
                 qPrintable(QString::number(elapsed)));
        QTRY_COMPARE(server.requests().value(0).outcome, RecordedRequest::Outcome::ClosedByClient);
        QVERIFY(server.requests().value(0).bodyBytesSent < 200);
    }
};

QTEST_GUILESS_MAIN(TestNetSlow)
#include "tst_net_slow.moc"
