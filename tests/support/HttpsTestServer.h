// A real HTTPS/1.1 server for tests: Qt's QSslServer on 127.0.0.1 with an
// ephemeral port, on its own thread, presenting the localhost certificate of
// tests/data/tls (signed by the test CA that the client trusts through the
// default QSslConfiguration). Handlers are registered per method and path and
// script the answer: any status, headers and body, redirects, slow or chunked
// bodies, connections closed mid-body or before any response, a different
// answer on the Nth request, large generated bodies that are never held in
// memory. Connections are kept alive. Every request is recorded for
// assertions.
//
// Usage:
//     HttpsTestServer server;
//     server.on("GET", "/a.json", TestReply::json(R"({"x":1})"));
//     server.onSequence("GET", "/f", {TestReply::withStatus(503), TestReply::ok("data")});
//     ... http.getJson(server.url("/a.json")) ...
//     QCOMPARE(server.requests().size(), 1);
//
// Handlers run on the server's thread: whatever they capture must be safe to
// touch from there. Registration, records and the accessors are thread-safe.
#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class QThread;

// The Windows build has no test server: Schannel, Qt's TLS backend there,
// neither serves the test certificate with its key from tests/data/tls nor
// trusts a test authority given through QSslConfiguration (only the system
// store). A test that talks to the server starts with this line.
#ifdef Q_OS_WIN
#define TARVIK_REQUIRE_TEST_SERVER() QSKIP("the HTTPS test server runs in the Linux build")
#else
#define TARVIK_REQUIRE_TEST_SERVER() (void)0
#endif

namespace tarvik::test {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// What a handler answers. Content-Length is always sent (the declared body
// size); Connection is keep-alive unless the reply closes the connection.
struct TestReply
{
    int status = 200;
    // Extra headers, sent in this order.
    HeaderList headers;
    // The body, unless generatedSize is 0 or more.
    QByteArray body;
    // When 0 or more: the body is generatedSize bytes of generatedBytes(),
    // produced while sending and never held whole in memory.
    qint64 generatedSize = -1;
    // Pause before the status line is sent.
    int delayMs = 0;
    // When above 0: the body goes out in pieces of chunkSize bytes with
    // chunkDelayMs between them (a slow server that never quite stalls).
    int chunkSize = 0;
    int chunkDelayMs = 0;
    // When 0 or more: the server closes the connection after this many body
    // bytes, although Content-Length announced the whole body.
    qint64 closeAfterBytes = -1;
    // The server closes the connection as soon as the request has arrived,
    // without any response.
    bool closeWithoutResponse = false;
    // The response waits until the test releases it (release, releaseAll).
    bool held = false;

    static TestReply ok(const QByteArray& body,
                        const QByteArray& contentType = "application/octet-stream");
    static TestReply json(const QByteArray& body);
    static TestReply withStatus(int status, const QByteArray& body = {});
    // 302 (or the given status) with a Location header.
    static TestReply redirect(const QUrl& location, int status = 302);
    static TestReply generated(qint64 size);
    static TestReply closeConnection();

    TestReply& header(const QByteArray& name, const QByteArray& value);
    TestReply& delayed(int milliseconds);
    TestReply& slowly(int chunkSize, int chunkDelayMs);
    TestReply& closingAfter(qint64 bodyBytes);
    TestReply& heldUntilReleased();

    // Bytes in the body as declared by Content-Length.
    qint64 bodySize() const { return generatedSize >= 0 ? generatedSize : body.size(); }
};

// One request as the server saw it, and what became of its response.
struct RecordedRequest
{
    enum class Outcome {
        // The response is still being sent (or waits for its delay).
        Pending,
        // The whole response was handed to the connection.
        Completed,
        // The server closed the connection on purpose (closeAfterBytes,
        // closeWithoutResponse).
        ClosedByServer,
        // The client closed the connection before the response was complete.
        ClosedByClient,
    };

    QByteArray method;
    // The fully decoded path, without the query.
    QString path;
    // The request target exactly as sent (path and query).
    QByteArray target;
    HeaderList headers;
    QByteArray body;
    // Serial number (from 1) of the connection the request came on.
    int connection = 0;
    // Requests of this server being answered when this one arrived, itself
    // included.
    int inFlight = 0;
    // Steady-clock times in nanoseconds: arrival of the whole request, and the
    // end of its response (0 while pending).
    qint64 arrivedNs = 0;
    qint64 doneNs = 0;
    // Body bytes handed to the connection, and the declared body size.
    qint64 bodyBytesSent = 0;
    qint64 bodySize = 0;
    Outcome outcome = Outcome::Pending;

    // The value of the first header with this name (case-insensitive), or a
    // null QByteArray when there is none.
    QByteArray header(const QByteArray& name) const;
    bool hasHeader(const QByteArray& name) const { return !header(name).isNull(); }
};

// Answers a request; runs on the server's thread.
using Handler = std::function<TestReply(const RecordedRequest& request)>;

class HttpsTestServer
{
public:
    // Trusted: the localhost certificate signed by the test CA. Untrusted: a
    // self-signed certificate for the same names that no one trusts.
    enum class Identity { Trusted, Untrusted };

    // Starts listening at once (and trusts the test CA, see trustTestCa).
    explicit HttpsTestServer(Identity identity = Identity::Trusted);
    // Closes every connection and stops the thread.
    ~HttpsTestServer();
    HttpsTestServer(const HttpsTestServer&) = delete;
    HttpsTestServer& operator=(const HttpsTestServer&) = delete;

    // Adds the test CA to the process-wide default QSslConfiguration, which
    // every access manager made afterwards uses. Idempotent.
    static void trustTestCa();

    quint16 port() const;
    // "https://127.0.0.1:<port>".
    QUrl baseUrl() const;
    // baseUrl() followed by a path (and optional query), e.g. "/a?b=1".
    QUrl url(const QString& pathAndQuery) const;

    // Answers method + path (decoded, without query) with the handler, or
    // with one fixed reply. A later registration replaces an earlier one.
    // Unregistered routes get 404.
    void on(const QByteArray& method, const QString& path, Handler handler);
    void on(const QByteArray& method, const QString& path, const TestReply& reply);
    // The Nth request of the route gets the Nth reply; the last one repeats.
    void onSequence(const QByteArray& method, const QString& path, const QList<TestReply>& replies);

    // Every request so far, in order of arrival.
    QList<RecordedRequest> requests() const;
    // The requests for one path, in order of arrival.
    QList<RecordedRequest> requests(const QString& path) const;
    // Most requests ever in flight at once.
    int maxInFlight() const;
    // Connections accepted so far.
    int connectionCount() const;
    // Forgets the records (not the handlers).
    void clearRecords();

    // Lets one held response for the path go: the oldest one waiting, or the
    // next one to arrive.
    void release(const QString& path);
    // Lets every held response go, now and from now on.
    void releaseAll();

    // Implementation details (state shared with the server thread).
    class Worker;
    class Shared;

private:
    std::shared_ptr<Shared> m_shared;
    std::unique_ptr<QThread> m_thread;
    Worker* m_worker = nullptr;
    quint16 m_port = 0;
};

// The bytes of a generated body at an offset: byte i is (i * 7 + i / 251) % 256,
// so that shifted or repeated blocks change the digest.
QByteArray generatedBytes(qint64 offset, qint64 length);
// The lower-case hexadecimal digest of a generated body of the given size.
QByteArray generatedDigest(qint64 size, QCryptographicHash::Algorithm algorithm);

// The most requests whose [arrivedNs, doneNs] intervals overlap, across any
// number of servers' records.
int maxOverlap(const QList<RecordedRequest>& requests);

} // namespace tarvik::test
