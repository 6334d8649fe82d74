// Http and the verified downloads against the real HTTPS test server: the
// HTTPS rule, the request template, redirects, the size cap, failures and
// cancellation; the scan, parallelism, retries, verification, progress and
// what is on disk afterwards; the endpoints and what the operator's server
// receives.
#include "fs/SafeFiles.h"
#include "net/Endpoints.h"
#include "net/Http.h"
#include "support/HttpsTestServer.h"
#include "support/TestData.h"
#include "support/TestEndpoints.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>

#include <unistd.h>

using namespace tarvik;
using namespace tarvik::test;

namespace {

const QString kCancelled = QStringLiteral("Operace byla zrušena.");
const QString kBadUrl = QStringLiteral("Je vyžadována platná HTTPS adresa.");
const QString kTooLarge = QStringLiteral("Odpověď serveru je příliš velká.");
const QString kConnectionFailed = QStringLiteral("Připojení selhalo: ");
const QString kDownloadFailed = QStringLiteral("Stažení nebo kontrola souboru selhala: ");

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QByteArray sha(const QByteArray& bytes, QCryptographicHash::Algorithm algorithm)
{
    return QCryptographicHash::hash(bytes, algorithm).toHex();
}

QByteArray contentOf(const QString& name, int repeat = 50)
{
    const QByteArray line = QByteArrayLiteral("content of ") + name.toUtf8() + '\n';
    return line.repeated(repeat);
}

// Runs a job with its own Http on a worker thread, as the launcher's job
// runner does; the test thread stays free to set the cancel flag.
class WorkerJob
{
public:
    WorkerJob(CancelFlag cancel, std::function<void(Http&)> job)
        : m_thread(QThread::create([this, cancel, job = std::move(job)] {
              Http http(cancel);
              try {
                  job(http);
                  m_error = kNoError;
              } catch (const Error& e) {
                  m_error = e.message();
              }
              m_endedMs = nowMs();
              m_done = true;
          }))
    {
        m_thread->start();
    }
    ~WorkerJob() { m_thread->wait(); }

    bool waitDone(int timeoutMs)
    {
        return QTest::qWaitFor([this] { return m_done.load(); }, timeoutMs);
    }
    QString error() const { return m_error; }
    qint64 endedMs() const { return m_endedMs; }

    // Sets the flag and waits up to 5 s for the job to end; returns the
    // milliseconds from the cancel to the end, or -1 when it did not end.
    qint64 cancelAndWait(const CancelFlag& cancel)
    {
        const qint64 cancelledAt = nowMs();
        cancel->store(true);
        return waitDone(5000) ? m_endedMs - cancelledAt : -1;
    }

private:
    std::unique_ptr<QThread> m_thread;
    std::atomic_bool m_done{false};
    QString m_error;
    qint64 m_endedMs = 0;
};

// Files of a folder that are not the expected targets (temporary leftovers).
QStringList strayFiles(const QString& folder, const QStringList& expected)
{
    QStringList stray;
    for (const QString& file : listFiles(folder)) {
        if (!expected.contains(file))
            stray << file;
    }
    return stray;
}

// Debian's nginx in front of the test server, offering HTTP/2 (Qt's server
// side cannot): every stream becomes a request of its own to the test server,
// which records and holds it as usual. Started on a free port, stopped by the
// id of the process it started.
class Http2Front
{
public:
    // requestsPerConnection: how many requests nginx takes on one connection
    // before it turns new ones away (GOAWAY) and closes it.
    Http2Front(const QString& dir, quint16 upstream, int requestsPerConnection = 1000) : m_dir(dir)
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        m_port = probe.serverPort();
        probe.close();
        const QString conf =
            QStringLiteral(
                "%1pid %2/nginx.pid;\nevents { worker_connections 1024; }\nhttp {\n"
                "  log_format protocol '$uri $server_protocol';\n"
                "  access_log %2/access.log protocol;\n  client_body_temp_path %2;\n"
                "  proxy_temp_path %2;\n  fastcgi_temp_path %2;\n  uwsgi_temp_path %2;\n"
                "  scgi_temp_path %2;\n  keepalive_requests %6;\n  server {\n"
                "    listen 127.0.0.1:%3 ssl http2;\n"
                "    ssl_certificate %4/localhost.pem;\n    ssl_certificate_key %4/localhost.key;\n"
                "    location / { proxy_pass https://127.0.0.1:%5; proxy_buffering off; }\n"
                "  }\n}\n")
                .arg(::geteuid() == 0 ? QStringLiteral("user root;\n") : QString(), dir,
                     QString::number(m_port), dataPath(QStringLiteral("tls")),
                     QString::number(upstream), QString::number(requestsPerConnection));
        writeBytes(dir + QStringLiteral("/nginx.conf"), conf.toUtf8());
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        m_process.start(QStringLiteral("/usr/sbin/nginx"),
                        {QStringLiteral("-e"), dir + QStringLiteral("/error.log"),
                         QStringLiteral("-c"), dir + QStringLiteral("/nginx.conf"),
                         QStringLiteral("-g"), QStringLiteral("daemon off;")});
        m_ready = m_process.waitForStarted() && QTest::qWaitFor([this] {
                      QTcpSocket socket;
                      socket.connectToHost(QHostAddress::LocalHost, m_port);
                      return socket.waitForConnected(100);
                  });
    }
    ~Http2Front()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    bool isReady() const { return m_ready; }
    QUrl url(const QString& path) const
    {
        return QUrl(QStringLiteral("https://127.0.0.1:%1").arg(m_port) + path);
    }
    // The protocol of each answered request as nginx logged it, by path.
    QHash<QString, QString> protocols() const
    {
        QHash<QString, QString> seen;
        for (const QByteArray& line :
             readBytes(m_dir + QStringLiteral("/access.log")).split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.size() == 2)
                seen.insert(QString::fromLatin1(fields[0]), QString::fromLatin1(fields[1]));
        }
        return seen;
    }

private:
    QString m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    bool m_ready = false;
};

} // namespace

class TestNet : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<HttpsTestServer> m_server;
    std::unique_ptr<QTemporaryDir> m_dir;

    HttpsTestServer& server() { return *m_server; }
    QString target(const QString& name) const { return m_dir->path() + QLatin1Char('/') + name; }

    // A Download of "/files/<name>" served with `content`.
    Download serve(const QString& name, const QByteArray& content,
                   QCryptographicHash::Algorithm algorithm = QCryptographicHash::Sha1)
    {
        const QString route = QStringLiteral("/files/") + name;
        server().on("GET", route, TestReply::ok(content));
        return Download{server().url(route), target(name), sha(content, algorithm), algorithm,
                        content.size()};
    }

private slots:
    void init()
    {
        m_server = std::make_unique<HttpsTestServer>();
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }
    void cleanup()
    {
        m_server.reset();
        m_dir.reset();
        detail::setDownloadSync(false);
    }

    // ---- request template and HTTPS rule ----------------------------------

    void userAgent_data()
    {
        QTest::addColumn<PlatformDescriptor>("platform");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("windows") << PlatformDescriptor::forWindows()
                                 << QByteArray("TarvikClient/1.0.0 (Windows x64)");
        QTest::newRow("linux") << PlatformDescriptor::forLinux()
                               << QByteArray("TarvikClient/1.0.0 (Linux x64)");
    }
    void userAgent()
    {
        QFETCH(PlatformDescriptor, platform);
        QFETCH(QByteArray, expected);
        QCOMPARE(tarvik::userAgent(platform), expected);
    }

    void httpsRule_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("accepted");
        // %1 is the server's port.
        QTest::newRow("https") << QStringLiteral("https://127.0.0.1:%1/ok") << true;
        QTest::newRow("upper-case scheme") << QStringLiteral("HTTPS://127.0.0.1:%1/ok") << true;
        QTest::newRow("http") << QStringLiteral("http://127.0.0.1:%1/ok") << false;
        QTest::newRow("ftp") << QStringLiteral("ftp://127.0.0.1:%1/ok") << false;
        QTest::newRow("no host") << QStringLiteral("https:///ok") << false;
        QTest::newRow("user and password")
            << QStringLiteral("https://u:p@127.0.0.1:%1/ok") << false;
        QTest::newRow("user only") << QStringLiteral("https://u@127.0.0.1:%1/ok") << false;
        QTest::newRow("not a URL") << QStringLiteral("https://127.0.0.1:%1:2/ok") << false;
        QTest::newRow("relative") << QStringLiteral("/ok") << false;
    }
    void httpsRule()
    {
        QFETCH(QString, url);
        QFETCH(bool, accepted);
        server().on("GET", QStringLiteral("/ok"), TestReply::json("{}"));
        const QUrl u(url.contains(QLatin1String("%1")) ? url.arg(server().port()) : url);
        const QString expected = accepted ? kNoError : kBadUrl;

        Http http;
        QCOMPARE(errorOf([&] { Http::requireHttpsUrl(u); }), expected);
        QCOMPARE(errorOf([&] { http.request(u, "GET", {}, {}, "application/json"); }), expected);
        QCOMPARE(errorOf([&] { http.getJson(u); }), expected);
        QCOMPARE(errorOf([&] {
                     http.download({u, target(QStringLiteral("f")), "00", {}, -1});
                 }),
                 accepted ? kDownloadFailed + QStringLiteral("f") : kBadUrl);
        QCOMPARE(server().requests().size(), accepted ? 3 : 0);
    }

    void requestMethodAndHeaders_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("sentMethod");
        QTest::addColumn<QByteArray>("sentBody");
        QTest::newRow("GET with JSON type")
            << QByteArray("GET") << QByteArray("ignored") << QByteArray()
            << QByteArray("application/json") << QByteArray("GET") << QByteArray();
        QTest::newRow("GET with token")
            << QByteArray("GET") << QByteArray() << QByteArray("tok.en")
            << QByteArray("application/json") << QByteArray("GET") << QByteArray();
        QTest::newRow("POST form")
            << QByteArray("POST") << QByteArray("a=1&b=%C3%A1") << QByteArray()
            << QByteArray("application/x-www-form-urlencoded") << QByteArray("POST")
            << QByteArray("a=1&b=%C3%A1");
        QTest::newRow("POST JSON")
            << QByteArray("POST") << QByteArray(R"({"a":1})") << QByteArray()
            << QByteArray("application/json") << QByteArray("POST") << QByteArray(R"({"a":1})");
        QTest::newRow("lower-case get is a POST")
            << QByteArray("get") << QByteArray("x") << QByteArray() << QByteArray("text/plain")
            << QByteArray("POST") << QByteArray("x");
        QTest::newRow("PUT is a POST")
            << QByteArray("PUT") << QByteArray("y") << QByteArray() << QByteArray("text/plain")
            << QByteArray("POST") << QByteArray("y");
    }
    void requestMethodAndHeaders()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, token);
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, sentMethod);
        QFETCH(QByteArray, sentBody);
        server().on(sentMethod, QStringLiteral("/echo"), TestReply::ok("answer"));

        Http http;
        const HttpResponse response = http.request(server().url(QStringLiteral("/echo?q=1")),
                                                   method, body, token, contentType);
        QCOMPARE(response.status, 200);
        QCOMPARE(response.body, QByteArray("answer"));

        const QList<RecordedRequest> seen = server().requests();
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen[0].method, sentMethod);
        QCOMPARE(seen[0].target, QByteArray("/echo?q=1"));
        QCOMPARE(seen[0].body, sentBody);
        QCOMPARE(seen[0].header("User-Agent"), tarvik::userAgent(PlatformDescriptor::current()));
        QCOMPARE(seen[0].header("Content-Type"), contentType);
        QCOMPARE(seen[0].header("Authorization"),
                 token.isEmpty() ? QByteArray() : QByteArray("Bearer ") + token);
    }

    // ---- results and failures ----------------------------------------------

    void statusIsAResult_data()
    {
        QTest::addColumn<int>("status");
        QTest::newRow("200") << 200;
        QTest::newRow("400") << 400;
        QTest::newRow("401") << 401;
        QTest::newRow("404") << 404;
        // Qt files a 407 under its proxy errors; from the server it is a status.
        QTest::newRow("407") << 407;
        QTest::newRow("429") << 429;
        QTest::newRow("500") << 500;
        QTest::newRow("503") << 503;
    }
    void statusIsAResult()
    {
        QFETCH(int, status);
        const QByteArray body = R"({"error":"authorization_pending"})";
        server().on("POST", QStringLiteral("/token"), TestReply::withStatus(status, body));
        Http http;
        HttpResponse response;
        QCOMPARE(errorOf([&] {
                     response = http.request(server().url(QStringLiteral("/token")), "POST", "x=1",
                                             {}, "application/x-www-form-urlencoded");
                 }),
                 kNoError);
        QCOMPARE(response.status, status);
        QCOMPARE(response.body, body);
    }

    void getJson_data()
    {
        QTest::addColumn<TestReply>("reply");
        QTest::addColumn<QString>("expectedError");
        QTest::newRow("object") << TestReply::json(R"({"name":"Tarvik"})") << kNoError;
        QTest::newRow("404") << TestReply::withStatus(404, "{}")
                             << QStringLiteral("Server odpověděl HTTP 404 (127.0.0.1).");
        QTest::newRow("503") << TestReply::withStatus(503)
                             << QStringLiteral("Server odpověděl HTTP 503 (127.0.0.1).");
        QTest::newRow("204") << TestReply::withStatus(204)
                             << QStringLiteral("Server odpověděl HTTP 204 (127.0.0.1).");
        QTest::newRow("array") << TestReply::json("[1,2]")
                               << QStringLiteral("Server poslal neplatný JSON.");
        QTest::newRow("empty") << TestReply::json("")
                               << QStringLiteral("Server poslal neplatný JSON.");
        QTest::newRow("truncated")
            << TestReply::json(R"({"a":)") << QStringLiteral("Server poslal neplatný JSON.");
    }
    void getJson()
    {
        QFETCH(TestReply, reply);
        QFETCH(QString, expectedError);
        server().on("GET", QStringLiteral("/doc.json"), reply);
        Http http;
        QJsonObject object;
        QCOMPARE(errorOf([&] { object = http.getJson(server().url(QStringLiteral("/doc.json"))); }),
                 expectedError);
        if (expectedError == kNoError)
            QCOMPARE(object.value(QLatin1String("name")).toString(), QStringLiteral("Tarvik"));
        const QList<RecordedRequest> seen = server().requests();
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen[0].method, QByteArray("GET"));
        QCOMPARE(seen[0].header("Content-Type"), QByteArray("application/json"));
        QVERIFY(!seen[0].hasHeader("Authorization"));
    }

    void redirects_data()
    {
        QTest::addColumn<int>("hops");
        QTest::addColumn<bool>("toPlainHttp");
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<int>("expectedStatus");   // 0: "Připojení selhalo: "
        QTest::addColumn<int>("expectedRequests"); // distinct paths
        QTest::newRow("token: 302 is the result") << 1 << false << QByteArray("t") << 302 << 1;
        QTest::newRow("token: 302 to http is the result")
            << 1 << true << QByteArray("t") << 302 << 1;
        QTest::newRow("1 redirect followed") << 1 << false << QByteArray() << 200 << 2;
        QTest::newRow("5 redirects followed") << 5 << false << QByteArray() << 200 << 6;
        QTest::newRow("6 redirects fail") << 6 << false << QByteArray() << 0 << 6;
        QTest::newRow("https to http fails") << 1 << true << QByteArray() << 0 << 1;
        QTest::newRow("https to http after 2 fails") << 3 << true << QByteArray() << 0 << 3;
    }
    void redirects()
    {
        QFETCH(int, hops);
        QFETCH(bool, toPlainHttp);
        QFETCH(QByteArray, token);
        QFETCH(int, expectedStatus);
        QFETCH(int, expectedRequests);
        for (int i = 0; i < hops; ++i) {
            QUrl next = server().url(i + 1 < hops ? QStringLiteral("/r%1").arg(i + 1)
                                                  : QStringLiteral("/final"));
            if (toPlainHttp && i + 1 == hops)
                next.setScheme(QStringLiteral("http"));
            server().on("GET", QStringLiteral("/r%1").arg(i),
                        TestReply::redirect(next, i % 2 ? 301 : 302));
        }
        server().on("GET", QStringLiteral("/final"), TestReply::ok("final"));

        Http http;
        HttpResponse response;
        const QString error = errorOf([&] {
            response = http.request(server().url(QStringLiteral("/r0")), "GET", {}, token,
                                    "application/json");
        });
        if (expectedStatus == 0) {
            QVERIFY2(error.startsWith(kConnectionFailed), qPrintable(error));
        } else {
            QCOMPARE(error, kNoError);
            QCOMPARE(response.status, expectedStatus);
            if (expectedStatus == 200)
                QCOMPARE(response.body, QByteArray("final"));
        }
        // Qt 6.4 sometimes sends a request that is answered with a redirect
        // twice on the same connection, so count distinct paths.
        const QList<RecordedRequest> seen = server().requests();
        QStringList paths;
        for (const RecordedRequest& r : seen) {
            if (!paths.contains(r.path))
                paths << r.path;
            if (r.path != QLatin1String("/r0"))
                QVERIFY(!r.hasHeader("Authorization"));
        }
        QVERIFY2(paths.size() == expectedRequests, qPrintable(paths.join(u' ')));
        QCOMPARE(paths.contains(QStringLiteral("/final")), expectedStatus == 200);
        if (!token.isEmpty())
            QCOMPARE(seen.size(), 1);
    }

    void sizeCap_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("exactly 8 MiB") << qint64(8388608) << true;
        QTest::newRow("one byte more") << qint64(8388609) << false;
        QTest::newRow("256 MiB, cut off early") << qint64(256) * 1048576 << false;
    }
    void sizeCap()
    {
        QFETCH(qint64, size);
        QFETCH(bool, accepted);
        server().on("GET", QStringLiteral("/big"), TestReply::generated(size));
        Http http;
        HttpResponse response;
        QCOMPARE(errorOf([&] {
                     response = http.request(server().url(QStringLiteral("/big")), "GET", {}, {},
                                             "application/json");
                 }),
                 accepted ? kNoError : kTooLarge);
        if (accepted) {
            QCOMPARE(response.body.size(), size);
            QCOMPARE(sha(response.body, QCryptographicHash::Sha256),
                     generatedDigest(size, QCryptographicHash::Sha256));
        }
        if (size > 64 << 20) {
            // The client hung up long before the server could send everything.
            QTRY_VERIFY(server().requests().value(0).outcome != RecordedRequest::Outcome::Pending);
            const RecordedRequest seen = server().requests().value(0);
            QCOMPARE(seen.outcome, RecordedRequest::Outcome::ClosedByClient);
            QVERIFY2(seen.bodyBytesSent < 64 << 20,
                     qPrintable(QString::number(seen.bodyBytesSent)));
        }
    }

    void connectionFailures_data()
    {
        QTest::addColumn<TestReply>("reply");
        QTest::newRow("closed before any response") << TestReply::closeConnection();
        QTest::newRow("200 closed mid-body")
            << TestReply::ok(contentOf(QStringLiteral("x"), 2000)).closingAfter(1000);
        // A cut-off error body must not pass for a complete answer either.
        QTest::newRow("400 closed mid-body")
            << TestReply::withStatus(400, contentOf(QStringLiteral("x"), 2000)).closingAfter(1000);
        QTest::newRow("503 closed mid-body")
            << TestReply::withStatus(503, contentOf(QStringLiteral("x"), 2000)).closingAfter(1000);
    }
    void connectionFailures()
    {
        QFETCH(TestReply, reply);
        server().on("GET", QStringLiteral("/fail"), reply);
        Http http;
        const QString error = errorOf([&] {
            http.request(server().url(QStringLiteral("/fail")), "GET", {}, {}, "application/json");
        });
        QVERIFY2(error.startsWith(kConnectionFailed) && error.size() > kConnectionFailed.size(),
                 qPrintable(error));
    }

    void untrustedCertificateFails()
    {
        HttpsTestServer untrusted(HttpsTestServer::Identity::Untrusted);
        untrusted.on("GET", QStringLiteral("/x"), TestReply::json("{}"));
        Http http;
        const QString error = errorOf([&] { http.getJson(untrusted.url(QStringLiteral("/x"))); });
        QVERIFY2(error.startsWith(kConnectionFailed), qPrintable(error));
        QCOMPARE(untrusted.requests().size(), 0);
    }

    void nothingListeningFails()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        Http http;
        const QString error = errorOf(
            [&] { http.getJson(QUrl(QStringLiteral("https://127.0.0.1:%1/x").arg(port))); });
        QVERIFY2(error.startsWith(kConnectionFailed), qPrintable(error));
    }

    void cancelledBeforeSending()
    {
        server().on("GET", QStringLiteral("/x"), TestReply::json("{}"));
        const CancelFlag cancel = makeCancelFlag();
        cancel->store(true);
        Http http(cancel);
        QCOMPARE(errorOf([&] { http.getJson(server().url(QStringLiteral("/x"))); }), kCancelled);
        QCOMPARE(errorOf([&] { http.download(serve(QStringLiteral("f"), "f")); }), kCancelled);
        QCOMPARE(server().requests().size(), 0);
    }

    void cancelDuringSlowRequest()
    {
        // 100 bytes, one every 100 ms: would take 10 s.
        server().on("GET", QStringLiteral("/slow"),
                    TestReply::json(QByteArray(100, ' ')).slowly(1, 100));
        const CancelFlag cancel = makeCancelFlag();
        const QUrl url = server().url(QStringLiteral("/slow"));
        WorkerJob job(cancel, [url](Http& http) { http.getJson(url); });
        QTRY_COMPARE(server().requests().size(), 1);
        QTRY_VERIFY(server().requests()[0].bodyBytesSent >= 3);
        const qint64 took = job.cancelAndWait(cancel);
        QVERIFY(took >= 0);
        QCOMPARE(job.error(), kCancelled);
        // The poll runs every 100 ms; allow for a loaded machine.
        QVERIFY2(took < 1000, qPrintable(QString::number(took)));
    }

    // ---- verified downloads ----------------------------------------------

    void validFilesCostNoRequest()
    {
        QList<Download> files;
        const QByteArray a = contentOf(QStringLiteral("a"));
        const QByteArray b = contentOf(QStringLiteral("b"));
        const QByteArray c = contentOf(QStringLiteral("c"));
        files << serve(QStringLiteral("a"), a);
        files << serve(QStringLiteral("b"), b, QCryptographicHash::Sha256);
        files.last().sha = files.last().sha.toUpper();
        files << serve(QStringLiteral("c"), c, QCryptographicHash::Sha512);
        files.last().size = -1;
        QVERIFY(writeBytes(target(QStringLiteral("a")), a));
        QVERIFY(writeBytes(target(QStringLiteral("b")), b));
        QVERIFY(writeBytes(target(QStringLiteral("c")), c));

        int downloadReports = 0;
        Http http({}, [&](const QString& text, int) {
            downloadReports += text.startsWith(QStringLiteral("Stahuji"));
        });
        http.downloadMany(files);
        QCOMPARE(server().requests().size(), 0);
        QCOMPARE(downloadReports, 0);
    }

    void invalidFilesAreFetched_data()
    {
        QTest::addColumn<QByteArray>("onDisk");
        QTest::addColumn<bool>("sizeKnown");
        QTest::newRow("wrong size") << QByteArray("short") << true;
        QTest::newRow("same size, other bytes") << QByteArray() << true;
        QTest::newRow("other bytes, size unknown") << QByteArray("other") << false;
        QTest::newRow("empty file") << QByteArray("") << true;
    }
    void invalidFilesAreFetched()
    {
        QFETCH(QByteArray, onDisk);
        QFETCH(bool, sizeKnown);
        const QByteArray content = contentOf(QStringLiteral("f"));
        Download file = serve(QStringLiteral("f"), content);
        if (!sizeKnown)
            file.size = -1;
        if (onDisk.isNull()) {
            onDisk = content;
            onDisk[0] = 'X';
        }
        QVERIFY(writeBytes(file.path, onDisk));
        Http http;
        http.download(file);
        QCOMPARE(readBytes(file.path), content);
        QCOMPARE(server().requests().size(), 1);
        QCOMPARE(listFiles(m_dir->path()), QStringList{QStringLiteral("f")});
    }

    // What killed runs left beside a target: its own temporaries go when its
    // download starts; anything else stays.
    void staleTemporariesOfTheTarget_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("removed");
        QTest::newRow("short random part") << ".lib.jar.k3x9q.part" << true;
        QTest::newRow("13-character random part") << ".lib.jar.3w5e11264sgsg.part" << true;
        QTest::newRow("another target's") << ".other.jar.k3x9q.part" << false;
        QTest::newRow("a longer name's") << ".lib.jar.1.k3x9q.part" << false;
        QTest::newRow("user's part file") << "lib.jar.part" << false;
        QTest::newRow("upper-case random part") << ".lib.jar.K3X9Q.part" << false;
        QTest::newRow("14-character random part") << ".lib.jar.3w5e11264sgsgx.part" << false;
        QTest::newRow("renamed copy") << ".lib.jar.k3x9q.part.bak" << false;
    }
    void staleTemporariesOfTheTarget()
    {
        QFETCH(QString, name);
        QFETCH(bool, removed);
        const Download file = serve(QStringLiteral("lib.jar"), contentOf(QStringLiteral("lib")));
        QVERIFY(writeBytes(target(name), "partial bytes of a killed run"));
        Http http;
        http.download(file);
        QCOMPARE(readBytes(file.path), contentOf(QStringLiteral("lib")));
        QCOMPARE(QFileInfo::exists(target(name)), !removed);
    }

    void linkInPlaceOfValidFileIsReplaced()
    {
        QTemporaryDir outside;
        const QByteArray content = contentOf(QStringLiteral("lib"));
        const QString elsewhere = outside.path() + QStringLiteral("/elsewhere.jar");
        QVERIFY(writeBytes(elsewhere, content));
        const Download file = serve(QStringLiteral("lib.jar"), content);
        QVERIFY(QFile::link(elsewhere, file.path));

        Http http;
        http.download(file);
        QCOMPARE(server().requests().size(), 1);
        // The link itself was replaced; nothing was written through it.
        QVERIFY(!QFileInfo(file.path).isSymLink());
        QCOMPARE(readBytes(file.path), content);
        QVERIFY(QFileInfo(elsewhere).isFile());
        QCOMPARE(listFiles(outside.path()), QStringList{QStringLiteral("elsewhere.jar")});
    }

    void unknownSizeIsAccepted()
    {
        const qint64 size = 3 << 20;
        server().on("GET", QStringLiteral("/big.zip"), TestReply::generated(size));
        const Download file{
            server().url(QStringLiteral("/big.zip")), target(QStringLiteral("sub/dir/big.zip")),
            generatedDigest(size, QCryptographicHash::Sha256), QCryptographicHash::Sha256, -1};
        Http http;
        http.download(file);
        QCOMPARE(QFileInfo(file.path).size(), size);
        QCOMPARE(hashFile(file.path, QCryptographicHash::Sha256, {}), file.sha);
    }

    void durableWriteStillVerifies()
    {
        detail::setDownloadSync(true);
        const QByteArray content = contentOf(QStringLiteral("d"));
        Download file = serve(QStringLiteral("d"), content);
        Http http;
        http.download(file);
        QCOMPARE(readBytes(file.path), content);
    }

    void sixInFlightInListOrder()
    {
        // Two servers, so that the access manager's own limit of six
        // connections per host cannot hide a missing limit of ours. Every
        // response waits until the test releases it.
        HttpsTestServer other;
        QList<Download> files;
        for (int i = 1; i <= 10; ++i) {
            HttpsTestServer& host = i % 2 ? server() : other;
            const QString name = QStringLiteral("f%1").arg(i);
            const QByteArray content = contentOf(name);
            host.on("GET", QLatin1Char('/') + name, TestReply::ok(content).heldUntilReleased());
            files << Download{host.url(QLatin1Char('/') + name), target(name),
                              sha(content, QCryptographicHash::Sha1), QCryptographicHash::Sha1,
                              content.size()};
        }
        const auto arrivals = [&] {
            QList<RecordedRequest> all = server().requests() + other.requests();
            std::sort(all.begin(), all.end(),
                      [](const auto& a, const auto& b) { return a.arrivedNs < b.arrivedNs; });
            return all;
        };
        const auto hostOf = [&](int i) -> HttpsTestServer& { return i % 2 ? server() : other; };

        WorkerJob job({}, [files](Http& http) { http.downloadMany(files); });
        QTRY_COMPARE(arrivals().size(), 6);
        QStringList firstSix;
        for (const RecordedRequest& r : arrivals())
            firstSix << r.path;
        firstSix.sort();
        QCOMPARE(firstSix, (QStringList{QStringLiteral("/f1"), QStringLiteral("/f2"),
                                        QStringLiteral("/f3"), QStringLiteral("/f4"),
                                        QStringLiteral("/f5"), QStringLiteral("/f6")}));
        // Each finished reply lets exactly the next file of the list start.
        for (int k = 1; k <= 4; ++k) {
            hostOf(k).release(QStringLiteral("/f%1").arg(k));
            QTRY_COMPARE(arrivals().size(), 6 + k);
            QCOMPARE(arrivals().last().path, QStringLiteral("/f%1").arg(6 + k));
        }
        server().releaseAll();
        other.releaseAll();
        QVERIFY(job.waitDone(10000));
        QCOMPARE(job.error(), kNoError);

        const QList<RecordedRequest> seen = arrivals();
        QCOMPARE(seen.size(), 10);
        QCOMPARE(maxOverlap(seen), 6);
        for (int k = 7; k <= 10; ++k) {
            const RecordedRequest later = seen.value(k - 1);
            const auto released = std::find_if(seen.cbegin(), seen.cend(), [&](const auto& r) {
                return r.path == QStringLiteral("/f%1").arg(k - 6);
            });
            QVERIFY2(released->doneNs != 0 && released->doneNs < later.arrivedNs,
                     qPrintable(later.path));
        }
        for (const Download& file : files)
            QVERIFY(QFileInfo::exists(file.path));
    }

    void http2ServerGetsMoreInFlight()
    {
        // f0 shows that the server multiplexes; "big", beyond what multiplexed
        // transfers may carry, must travel over HTTP/1.1; the rest wait until
        // the test releases them.
        Http2Front front(m_dir->path(), server().port());
        QVERIFY(front.isReady());
        const qint64 bigSize = kMaxMultiplexedBytes + 1;
        server().on("GET", QStringLiteral("/big"), TestReply::generated(bigSize));
        QList<Download> files{
            Download{front.url(QStringLiteral("/f0")), target(QStringLiteral("out/f0")),
                     sha(contentOf(QStringLiteral("f0")), QCryptographicHash::Sha1),
                     QCryptographicHash::Sha1, contentOf(QStringLiteral("f0")).size()},
            Download{front.url(QStringLiteral("/big")), target(QStringLiteral("out/big")),
                     generatedDigest(bigSize, QCryptographicHash::Sha256),
                     QCryptographicHash::Sha256, bigSize}};
        server().on("GET", QStringLiteral("/f0"), TestReply::ok(contentOf(QStringLiteral("f0"))));
        for (int i = 1; i <= kMaxMultiplexedDownloads + 10; ++i) {
            const QString name = QStringLiteral("f%1").arg(i);
            server().on("GET", QLatin1Char('/') + name,
                        TestReply::ok(contentOf(name)).heldUntilReleased());
            files << Download{front.url(QLatin1Char('/') + name),
                              target(QStringLiteral("out/") + name),
                              sha(contentOf(name), QCryptographicHash::Sha1),
                              QCryptographicHash::Sha1, contentOf(name).size()};
        }
        WorkerJob job({}, [files](Http& http) { http.downloadMany(files); });
        QTRY_COMPARE(server().requests().size(), 2 + kMaxMultiplexedDownloads);
        server().release(server().requests().last().path);
        QTRY_COMPARE(server().requests().size(), 3 + kMaxMultiplexedDownloads);
        server().releaseAll();
        QVERIFY(job.waitDone(20000));
        QCOMPARE(job.error(), kNoError);
        QCOMPARE(maxOverlap(server().requests()), kMaxMultiplexedDownloads);

        const QHash<QString, QString> protocols = front.protocols();
        QCOMPARE(protocols.size(), files.size());
        for (auto it = protocols.cbegin(); it != protocols.cend(); ++it) {
            QCOMPARE(it.value(), it.key() == QStringLiteral("/big") ? QStringLiteral("HTTP/1.1")
                                                                    : QStringLiteral("HTTP/2.0"));
        }
        for (const Download& file : files) {
            QCOMPARE(QFileInfo(file.path).size(), file.size);
            QCOMPARE(hashFile(file.path, file.algorithm, {}), file.sha);
        }
    }

    void http2ConnectionRotationCostsNoRetry()
    {
        // Five requests per connection: of 30 files in flight most are turned
        // away unprocessed, several times over; that uses up no retry, and the
        // test server sees each file once.
        Http2Front front(m_dir->path(), server().port(), 5);
        QVERIFY(front.isReady());
        QList<Download> files;
        for (int i = 0; i < 30; ++i) {
            const QString name = QStringLiteral("r%1").arg(i);
            server().on("GET", QLatin1Char('/') + name, TestReply::ok(contentOf(name)));
            files << Download{front.url(QLatin1Char('/') + name),
                              target(QStringLiteral("out/") + name),
                              sha(contentOf(name), QCryptographicHash::Sha1),
                              QCryptographicHash::Sha1, contentOf(name).size()};
        }
        Http http;
        QCOMPARE(errorOf([&] { http.downloadMany(files); }), kNoError);
        QCOMPARE(server().requests().size(), files.size());
        for (const Download& file : files)
            QVERIFY2(QFileInfo::exists(file.path), qPrintable(file.path));
    }

    void http2TransfersVerifiedAndCancelled_data()
    {
        QTest::addColumn<TestReply>("reply");
        QTest::addColumn<qint64>("declaredSize");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<QString>("expectedError");
        const QByteArray content = contentOf(QStringLiteral("a.jar"));
        QTest::newRow("other digest") << TestReply::ok(QByteArray(content).replace('a', 'b'))
                                      << qint64(content.size()) << false << kDownloadFailed;
        QTest::newRow("longer than declared") << TestReply::ok(content + content)
                                              << qint64(content.size()) << false << kDownloadFailed;
        QTest::newRow("cancelled mid-body") << TestReply::ok(content).slowly(100, 100)
                                            << qint64(content.size()) << true << kCancelled;
    }

    void http2TransfersVerifiedAndCancelled()
    {
        QFETCH(TestReply, reply);
        QFETCH(qint64, declaredSize);
        QFETCH(bool, cancel);
        QFETCH(QString, expectedError);
        Http2Front front(m_dir->path(), server().port());
        QVERIFY(front.isReady());
        server().on("GET", QStringLiteral("/a.jar"), reply);
        const Download file{front.url(QStringLiteral("/a.jar")),
                            target(QStringLiteral("out/a.jar")),
                            sha(contentOf(QStringLiteral("a.jar")), QCryptographicHash::Sha1),
                            QCryptographicHash::Sha1, declaredSize};
        QVERIFY(writeBytes(file.path, "previous"));
        const CancelFlag flag = makeCancelFlag();
        WorkerJob job(flag, [file](Http& http) { http.download(file); });
        if (cancel) {
            QTRY_VERIFY(server().requests().value(0).bodyBytesSent >= 300);
            const qint64 took = job.cancelAndWait(flag);
            QVERIFY2(took >= 0 && took < 1000, qPrintable(QString::number(took)));
            QTRY_COMPARE(server().requests()[0].outcome, RecordedRequest::Outcome::ClosedByClient);
        }
        QVERIFY(job.waitDone(10000));
        QCOMPARE(job.error(), expectedError + (cancel ? QString() : QStringLiteral("a.jar")));
        QCOMPARE(server().requests().size(), 1);
        QCOMPARE(readBytes(file.path), QByteArray("previous"));
        QCOMPARE(strayFiles(m_dir->path() + QStringLiteral("/out"), {QStringLiteral("a.jar")}),
                 QStringList());
        QCOMPARE(front.protocols().value(QStringLiteral("/a.jar"), QStringLiteral("HTTP/2.0")),
                 QStringLiteral("HTTP/2.0"));
    }

    void transientFailureRetriedAfterQueue()
    {
        // f1 fails with 503 while f2-f6 are held: f7 and f8 go through the one
        // free slot in turn, then f1's second attempt.
        QList<Download> files;
        for (int i = 1; i <= 8; ++i) {
            const QString name = QStringLiteral("f%1").arg(i);
            const QByteArray content = contentOf(name);
            const QString route = QLatin1Char('/') + name;
            if (i == 1)
                server().onSequence("GET", route,
                                    {TestReply::withStatus(503), TestReply::ok(content)});
            else if (i <= 6)
                server().on("GET", route, TestReply::ok(content).heldUntilReleased());
            else
                server().on("GET", route, TestReply::ok(content));
            files << Download{server().url(route), target(name),
                              sha(content, QCryptographicHash::Sha1), QCryptographicHash::Sha1,
                              content.size()};
        }
        WorkerJob job({}, [files](Http& http) { http.downloadMany(files); });
        QTRY_COMPARE(server().requests(QStringLiteral("/f1")).size(), 2);
        server().releaseAll();
        QVERIFY(job.waitDone(10000));
        QCOMPARE(job.error(), kNoError);

        QStringList order;
        for (const RecordedRequest& r : server().requests())
            order << r.path;
        QCOMPARE(order.size(), 9);
        QVERIFY2(order.indexOf(QStringLiteral("/f8")) > order.indexOf(QStringLiteral("/f7")),
                 qPrintable(order.join(u' ')));
        QVERIFY2(order.lastIndexOf(QStringLiteral("/f1")) > order.indexOf(QStringLiteral("/f8")),
                 qPrintable(order.join(u' ')));
        QCOMPARE(readBytes(target(QStringLiteral("f1"))), contentOf(QStringLiteral("f1")));
    }

    void failedFileKeepsPreviousContent_data()
    {
        QTest::addColumn<QList<TestReply>>("replies");
        QTest::addColumn<qint64>("declaredSize"); // -2: the content's size
        QTest::addColumn<int>("expectedRequests");
        QTest::addColumn<int>("attemptLimitMs");
        const int noLimit = kDownloadAttemptTimeoutMs;
        const QByteArray content = contentOf(QStringLiteral("mod.jar"));
        const QByteArray wrong = QByteArray(content).replace("content", "CONTENT");
        QTest::newRow("503 twice")
            << QList<TestReply>{TestReply::withStatus(503)} << qint64(-2) << 2 << noLimit;
        QTest::newRow("500 then 404")
            << QList<TestReply>{TestReply::withStatus(500), TestReply::withStatus(404)}
            << qint64(-2) << 2 << noLimit;
        QTest::newRow("closed before response twice")
            << QList<TestReply>{TestReply::closeConnection()} << qint64(-2) << -1 << noLimit;
        QTest::newRow("404 not retried")
            << QList<TestReply>{TestReply::withStatus(404, content)} << qint64(-2) << 1 << noLimit;
        QTest::newRow("403 not retried")
            << QList<TestReply>{TestReply::withStatus(403)} << qint64(-2) << 1 << noLimit;
        QTest::newRow("wrong digest")
            << QList<TestReply>{TestReply::ok(wrong)} << qint64(-2) << 1 << noLimit;
        QTest::newRow("wrong digest, size unknown")
            << QList<TestReply>{TestReply::ok(wrong)} << qint64(-1) << 1 << noLimit;
        QTest::newRow("body shorter than size")
            << QList<TestReply>{TestReply::ok(content.left(100))} << qint64(-2) << 1 << noLimit;
        QTest::newRow("body longer than size")
            << QList<TestReply>{TestReply::ok(content + "x")} << qint64(-2) << 1 << noLimit;
        QTest::newRow("200 cut mid-body")
            << QList<TestReply>{TestReply::ok(content).closingAfter(100)} << qint64(-2) << 1
            << noLimit;
        QTest::newRow("redirect to http")
            << QList<TestReply>{TestReply::redirect(QUrl(QStringLiteral("http://127.0.0.1:1/x")))}
            << qint64(-2) << 1 << noLimit;
        // 95 blocks 100 ms apart: never 30 s without data, but past the
        // limit; cut off after its 200 like a closed connection, not retried.
        QTest::newRow("slower than the attempt limit")
            << QList<TestReply>{TestReply::ok(content).slowly(10, 100)} << qint64(-2) << 1 << 400;
    }
    void failedFileKeepsPreviousContent()
    {
        QFETCH(QList<TestReply>, replies);
        QFETCH(qint64, declaredSize);
        QFETCH(int, expectedRequests);
        QFETCH(int, attemptLimitMs);
        detail::setDownloadAttemptTimeout(attemptLimitMs);
        const auto restore =
            qScopeGuard([] { detail::setDownloadAttemptTimeout(kDownloadAttemptTimeoutMs); });
        const QString name = QStringLiteral("mod.jar");
        const QByteArray content = contentOf(name);
        server().onSequence("GET", QStringLiteral("/mod.jar"), replies);
        const Download file{server().url(QStringLiteral("/mod.jar")), target(name),
                            sha(content, QCryptographicHash::Sha512), QCryptographicHash::Sha512,
                            declaredSize == -2 ? content.size() : declaredSize};
        const QByteArray previous("previous version");
        QVERIFY(writeBytes(file.path, previous));

        Http http;
        QCOMPARE(errorOf([&] { http.download(file); }), kDownloadFailed + name);
        if (expectedRequests >= 0)
            QCOMPARE(server().requests().size(), expectedRequests);
        else
            QVERIFY(server().requests().size() >= 2);
        QCOMPARE(readBytes(file.path), previous);
        QCOMPARE(strayFiles(m_dir->path(), {name}), QStringList());
    }

    void oversizeBodyCutOffAtOnce()
    {
        const qint64 size = qint64(256) << 20;
        server().on("GET", QStringLiteral("/huge"), TestReply::generated(size));
        const Download file{server().url(QStringLiteral("/huge")), target(QStringLiteral("small")),
                            generatedDigest(1000, QCryptographicHash::Sha1),
                            QCryptographicHash::Sha1, 1000};
        Http http;
        QCOMPARE(errorOf([&] { http.download(file); }), kDownloadFailed + QStringLiteral("small"));
        QTRY_VERIFY(server().requests().value(0).outcome != RecordedRequest::Outcome::Pending);
        QCOMPARE(server().requests().size(), 1);
        const RecordedRequest seen = server().requests().value(0);
        QCOMPARE(seen.outcome, RecordedRequest::Outcome::ClosedByClient);
        QVERIFY2(seen.bodyBytesSent < 64 << 20, qPrintable(QString::number(seen.bodyBytesSent)));
        QVERIFY(!QFileInfo::exists(file.path));
        QCOMPARE(strayFiles(m_dir->path(), {}), QStringList());
    }

    void progressAfterEveryFinishedReply_data()
    {
        QTest::addColumn<int>("alreadyValid");
        QTest::addColumn<QList<int>>("values");
        QTest::addColumn<int>("checkedValue"); // of the last verification report
        QTest::newRow("4 to fetch") << 0 << QList<int>{25, 50, 75, 100} << 0;
        QTest::newRow("1 of 4 on disk") << 1 << QList<int>{50, 75, 100} << 25;
        QTest::newRow("4 on disk: only the check is reported") << 4 << QList<int>{} << 100;
    }
    void progressAfterEveryFinishedReply()
    {
        QFETCH(int, alreadyValid);
        QFETCH(QList<int>, values);
        QFETCH(int, checkedValue);
        QList<Download> files;
        for (int i = 1; i <= 4; ++i) {
            const QString name = QStringLiteral("p%1").arg(i);
            files << serve(name, contentOf(name));
            if (i <= alreadyValid)
                QVERIFY(writeBytes(files.last().path, contentOf(name)));
        }
        QStringList texts;
        QList<int> reported;
        QStringList checks;
        QList<int> checkValues;
        bool checkAfterDownload = false;
        Http http({}, [&](const QString& text, int value) {
            const bool check = text.startsWith(QStringLiteral("Ověřuji"));
            checkAfterDownload = checkAfterDownload || (check && !texts.isEmpty());
            (check ? checks : texts) << text;
            (check ? checkValues : reported) << value;
        });
        http.downloadMany(files);
        QCOMPARE(reported, values);
        QVERIFY(!checkAfterDownload);
        QCOMPARE(checks.value(checks.size() - 1), QStringLiteral("Ověřuji soubory · 4 / 4"));
        QCOMPARE(checkValues.value(checkValues.size() - 1), checkedValue);
        if (!values.isEmpty()) {
            QCOMPARE(texts.value(texts.size() - 2),
                     QStringLiteral("Stahuji a ověřuji soubory · 3 / 4"));
            QCOMPARE(reported.value(reported.size() - 2), 75);
        }
    }

    void scanRefusesBeforeAnyRequest_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty checksum")
            << QStringLiteral("sha")
            << QStringLiteral("Chybí kontrolní součet stahovaného souboru.");
        QTest::newRow("plain http") << QStringLiteral("http") << kBadUrl;
        QTest::newRow("user info") << QStringLiteral("userinfo") << kBadUrl;
        QTest::newRow("unreadable existing file")
            << QStringLiteral("directory") << QStringLiteral("Nelze ověřit soubor: %1");
    }
    void scanRefusesBeforeAnyRequest()
    {
        QFETCH(QString, fault);
        QFETCH(QString, expected);
        const Download good = serve(QStringLiteral("good"), "good");
        Download bad = serve(QStringLiteral("bad"), "bad");
        if (fault == QLatin1String("sha"))
            bad.sha.clear();
        else if (fault == QLatin1String("http"))
            bad.url.setScheme(QStringLiteral("http"));
        else if (fault == QLatin1String("userinfo"))
            bad.url.setUserName(QStringLiteral("me"));
        else {
            bad.size = -1;
            QVERIFY(QDir().mkpath(bad.path));
        }
        Http http;
        QCOMPARE(errorOf([&] {
                     http.downloadMany({good, bad});
                 }),
                 QString(expected).replace(QLatin1String("%1"), bad.path));
        QCOMPARE(server().requests().size(), 0);
        QVERIFY(!QFileInfo::exists(good.path));
    }

    // The files on disk are hashed in parallel, but the failure reported is
    // the first one in list order, as if they had been checked one by one.
    void scanReportsTheFirstFailureInListOrder_data()
    {
        QTest::addColumn<bool>("unreadableFirst");
        QTest::newRow("unreadable file, then plain http") << true;
        QTest::newRow("plain http, then unreadable file") << false;
    }
    void scanReportsTheFirstFailureInListOrder()
    {
        QFETCH(bool, unreadableFirst);
        QList<Download> files;
        for (int i = 0; i < 8; ++i) {
            const QString name = QStringLiteral("valid%1").arg(i);
            files << serve(name, contentOf(name));
            QVERIFY(writeBytes(files.last().path, contentOf(name)));
        }
        Download unreadable = serve(QStringLiteral("unreadable"), "x");
        unreadable.size = -1;
        QVERIFY(QDir().mkpath(unreadable.path));
        Download http = serve(QStringLiteral("plain"), "y");
        http.url.setScheme(QStringLiteral("http"));
        files.insert(3, unreadableFirst ? unreadable : http);
        files.insert(6, unreadableFirst ? http : unreadable);
        Http client;
        QCOMPARE(errorOf([&] { client.downloadMany(files); }),
                 unreadableFirst ? QStringLiteral("Nelze ověřit soubor: ") + unreadable.path
                                 : kBadUrl);
        QCOMPARE(server().requests().size(), 0);
    }

    void targetFolderCannotBeCreated()
    {
        const QString blocker = target(QStringLiteral("blocker"));
        QVERIFY(writeBytes(blocker, "a file where a folder should be"));
        Download file = serve(QStringLiteral("f"), "f");
        file.path = blocker + QStringLiteral("/sub/f");
        Http http;
        QCOMPARE(errorOf([&] { http.download(file); }),
                 QStringLiteral("Nelze vytvořit složku: ") + blocker + QStringLiteral("/sub"));
        QCOMPARE(server().requests().size(), 0);
    }

#ifdef Q_OS_LINUX
    void targetCannotBeOpened()
    {
        // Not even root can create files in /proc/self.
        Download file = serve(QStringLiteral("f"), "f");
        file.path = QStringLiteral("/proc/self/tarvik-download");
        Http http;
        QCOMPARE(errorOf([&] { http.download(file); }),
                 QStringLiteral("Nelze zapsat: ") + file.path);
        QCOMPARE(server().requests().size(), 0);
    }
#endif

    void commitFailure_data()
    {
        QTest::addColumn<bool>("withOtherInFlight");
        QTest::newRow("alone") << false;
        QTest::newRow("another file in flight") << true;
    }
    void commitFailure()
    {
        QFETCH(bool, withOtherInFlight);
        const QByteArray content = contentOf(QStringLiteral("game.jar"));
        // A non-empty folder at the target: the verified file cannot replace it.
        const QString name = QStringLiteral("game.jar");
        QVERIFY(writeBytes(target(name) + QStringLiteral("/inside"), "x"));
        server().on("GET", QStringLiteral("/game.jar"), TestReply::ok(content));
        QList<Download> files{Download{server().url(QStringLiteral("/game.jar")), target(name),
                                       sha(content, QCryptographicHash::Sha1),
                                       QCryptographicHash::Sha1, content.size()}};
        if (withOtherInFlight) {
            const QByteArray slow(10000, 's');
            server().on("GET", QStringLiteral("/slow"), TestReply::ok(slow).heldUntilReleased());
            files << Download{server().url(QStringLiteral("/slow")), target(QStringLiteral("slow")),
                              sha(slow, QCryptographicHash::Sha1), QCryptographicHash::Sha1,
                              slow.size()};
        }
        Http http;
        QCOMPARE(errorOf([&] { http.downloadMany(files); }),
                 QStringLiteral("Nelze dokončit stažení: ") + name);
        // The other transfer was aborted and left nothing behind.
        QCOMPARE(listFiles(m_dir->path()), QStringList{name + QStringLiteral("/inside")});
        if (withOtherInFlight) {
            const auto abandoned = [&] {
                const QList<RecordedRequest> seen = server().requests(QStringLiteral("/slow"));
                return seen.isEmpty() ||
                       seen[0].outcome == RecordedRequest::Outcome::ClosedByClient;
            };
            QTRY_VERIFY(abandoned());
        }
    }

    void failureStopsTheRest()
    {
        // One file fails at once; the held ones in flight are aborted, queued
        // ones never start, and none of them lands on disk.
        QList<Download> files;
        server().on("GET", QStringLiteral("/bad"), TestReply::withStatus(404));
        files << Download{server().url(QStringLiteral("/bad")), target(QStringLiteral("bad")), "00",
                          QCryptographicHash::Sha1, -1};
        for (int i = 1; i <= 8; ++i) {
            const QString name = QStringLiteral("s%1").arg(i);
            const QByteArray content(4096, 'a' + i);
            server().on("GET", QLatin1Char('/') + name, TestReply::ok(content).heldUntilReleased());
            files << Download{server().url(QLatin1Char('/') + name), target(name),
                              sha(content, QCryptographicHash::Sha1), QCryptographicHash::Sha1,
                              content.size()};
        }
        Http http;
        QCOMPARE(errorOf([&] { http.downloadMany(files); }),
                 kDownloadFailed + QStringLiteral("bad"));
        QVERIFY2(server().requests().size() <= 7,
                 qPrintable(QString::number(server().requests().size())));
        QCOMPARE(listFiles(m_dir->path()), QStringList());
    }

    void cancelDuringTransfers()
    {
        QList<Download> files;
        for (int i = 1; i <= 3; ++i) {
            const QString name = QStringLiteral("c%1").arg(i);
            const QByteArray content(10000, 'a' + i);
            server().on("GET", QLatin1Char('/') + name, TestReply::ok(content).slowly(100, 100));
            files << Download{server().url(QLatin1Char('/') + name), target(name),
                              sha(content, QCryptographicHash::Sha1), QCryptographicHash::Sha1,
                              content.size()};
        }
        QVERIFY(writeBytes(files[0].path, "previous"));
        const CancelFlag cancel = makeCancelFlag();
        WorkerJob job(cancel, [files](Http& http) { http.downloadMany(files); });
        QTRY_COMPARE(server().requests().size(), 3);
        QTRY_VERIFY(server().requests()[0].bodyBytesSent >= 300);
        const qint64 took = job.cancelAndWait(cancel);
        QVERIFY(took >= 0);
        QCOMPARE(job.error(), kCancelled);
        QVERIFY2(took < 1000, qPrintable(QString::number(took)));
        QCOMPARE(listFiles(m_dir->path()), QStringList{QStringLiteral("c1")});
        QCOMPARE(readBytes(files[0].path), QByteArray("previous"));
        QTRY_COMPARE(server().requests()[2].outcome, RecordedRequest::Outcome::ClosedByClient);
    }

    // ---- endpoints and the operator's server --------------------------------

    void compiledInEndpointsAreHttps()
    {
        const Endpoints e = Endpoints::compiledIn();
        for (const QUrl& url :
             {e.operatorBase, e.microsoftLogin, e.xboxUserAuth, e.xsts, e.minecraftServices,
              e.versionManifest, e.assetObjects, e.fabricMeta, e.adoptiumApi})
            QCOMPARE(errorOf([&] { Http::requireHttpsUrl(url); }), kNoError);
        QCOMPARE(catalogUrl().path(), QStringLiteral("/api/v1/catalog.json"));
        QCOMPARE(updateUrl().path(), QStringLiteral("/api/v1/update.json"));
        QCOMPARE(catalogUrl().host(), updateUrl().host());
    }

    void operatorServerContract()
    {
        const ScopedEndpoints endpoints(server().baseUrl());
        QCOMPARE(catalogUrl(), server().url(QStringLiteral("/api/v1/catalog.json")));
        server().on(
            "GET", QStringLiteral("/api/v1/catalog.json"),
            TestReply::json(R"({"events":[]})").header("Set-Cookie", "session=abc; Path=/"));
        server().on("GET", QStringLiteral("/api/v1/update.json"),
                    TestReply::json(R"({"revision":1})"));
        const QByteArray package = contentOf(QStringLiteral("release"));
        server().on("GET", QStringLiteral("/releases/r1.zip"), TestReply::ok(package));

        Http http;
        QCOMPARE(http.getJson(catalogUrl()).value(QLatin1String("events")).isArray(), true);
        QCOMPARE(http.getJson(updateUrl()).value(QLatin1String("revision")).toInt(), 1);
        http.download(
            {endpointUrl(Endpoints::current().operatorBase, QStringLiteral("/releases/r1.zip")),
             target(QStringLiteral("r1.zip")), sha(package, QCryptographicHash::Sha256),
             QCryptographicHash::Sha256, package.size()});

        const QList<RecordedRequest> seen = server().requests();
        QCOMPARE(seen.size(), 3);
        for (const RecordedRequest& r : seen) {
            QCOMPARE(r.method, QByteArray("GET"));
            QCOMPARE(r.header("User-Agent"), tarvik::userAgent(PlatformDescriptor::current()));
            QVERIFY(!r.hasHeader("Authorization"));
            QVERIFY2(!r.hasHeader("Cookie"), r.path.toUtf8().constData());
        }
        QCOMPARE(seen[0].header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(seen[1].header("Content-Type"), QByteArray("application/json"));
    }
};

QTEST_GUILESS_MAIN(TestNet)
#include "tst_net.moc"
