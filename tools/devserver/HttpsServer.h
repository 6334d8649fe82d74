// A real HTTPS/1.1 server on 127.0.0.1 built on Qt's QSslServer, running on
// its own thread: the tests' scripted server and the stand-in world's server.
// It presents the certificate and key it is given. Handlers are registered per
// method and path (or path prefix) and script the answer: any status, headers
// and body, redirects, slow or chunked bodies, connections closed mid-body or
// before any response, a different answer on the Nth request, large generated
// bodies that are never held in memory. Connections are kept alive. Every
// request is recorded for assertions unless recording is switched off.
//
// Usage:
//     HttpsServer server(identity);          // any free port
//     server.on("GET", "/a.json", Reply::json(R"({"x":1})"));
//     server.onSequence("GET", "/f", {Reply::withStatus(503), Reply::ok("data")});
//     ... http.getJson(server.url("/a.json")) ...
//     QCOMPARE(server.requests().size(), 1);
//
// Handlers run on the server's thread: whatever they capture must be safe to
// touch from there. Registration, records and the accessors are thread-safe.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class QThread;

namespace tarvik::dev {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// What a handler answers. Content-Length is always sent (the declared body
// size); Connection is keep-alive unless the reply closes the connection.
struct Reply
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

    static Reply ok(const QByteArray& body,
                    const QByteArray& contentType = "application/octet-stream");
    static Reply json(const QByteArray& body);
    static Reply withStatus(int status, const QByteArray& body = {});
    // 302 (or the given status) with a Location header.
    static Reply redirect(const QUrl& location, int status = 302);
    static Reply generated(qint64 size);
    static Reply closeConnection();

    Reply& header(const QByteArray& name, const QByteArray& value);
    Reply& delayed(int milliseconds);
    Reply& slowly(int chunkSize, int chunkDelayMs);
    Reply& closingAfter(qint64 bodyBytes);
    Reply& heldUntilReleased();

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
using Handler = std::function<Reply(const RecordedRequest& request)>;

// The certificate (with the chain above it, if any) and private key that the
// server presents.
struct ServerIdentity
{
    QSslCertificate certificate;
    QList<QSslCertificate> chain;
    QSslKey key;
};

class HttpsServer
{
public:
    // Listens on 127.0.0.1 at `port` (0: any free port) at once; see
    // isListening().
    explicit HttpsServer(const ServerIdentity& identity, quint16 port = 0);
    // Closes every connection and stops the thread.
    ~HttpsServer();
    HttpsServer(const HttpsServer&) = delete;
    HttpsServer& operator=(const HttpsServer&) = delete;

    // False when the port could not be taken; errorString() says why.
    bool isListening() const { return m_port != 0; }
    QString errorString() const { return m_error; }

    quint16 port() const;
    // "https://127.0.0.1:<port>".
    QUrl baseUrl() const;
    // baseUrl() followed by a path (and optional query), e.g. "/a?b=1".
    QUrl url(const QString& pathAndQuery) const;

    // Answers method + path (decoded, without query) with the handler, or
    // with one fixed reply. A later registration replaces an earlier one.
    void on(const QByteArray& method, const QString& path, Handler handler);
    void on(const QByteArray& method, const QString& path, const Reply& reply);
    // The Nth request of the route gets the Nth reply; the last one repeats.
    void onSequence(const QByteArray& method, const QString& path, const QList<Reply>& replies);
    // Answers every path that starts with `prefix` and has no route of its
    // own; the longest matching prefix wins. Routes of neither kind get 404.
    void onPrefix(const QByteArray& method, const QString& prefix, Handler handler);

    // Keeps (the default) or stops keeping the records of requests; a
    // long-running server switches them off.
    void setRecording(bool on);
    // Called on the server's thread with every request and the reply chosen
    // for it, before the reply is sent (for a request log).
    void setObserver(std::function<void(const RecordedRequest&, const Reply&)> observer);

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
    QString m_error;
};

// The bytes of a generated body at an offset: byte i is (i * 7 + i / 251) % 256,
// so that shifted or repeated blocks change the digest.
QByteArray generatedBytes(qint64 offset, qint64 length);

} // namespace tarvik::dev
