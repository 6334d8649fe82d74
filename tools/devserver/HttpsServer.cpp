#include "devserver/HttpsServer.h"

#include <QHash>
#include <QMetaObject>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <tuple>

namespace tarvik::dev {

namespace {

// Body bytes kept queued in the socket before more are produced.
constexpr qint64 kSendWindow = 256 * 1024;
constexpr qint64 kSendBlock = 64 * 1024;
// Largest request head and body the server accepts.
constexpr qsizetype kMaxRequestHead = 64 * 1024;

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

} // namespace

// ---- Reply -------------------------------------------------------------

Reply Reply::ok(const QByteArray& body, const QByteArray& contentType)
{
    Reply reply;
    reply.body = body;
    reply.header("Content-Type", contentType);
    return reply;
}

Reply Reply::json(const QByteArray& body)
{
    return ok(body, "application/json");
}

Reply Reply::withStatus(int status, const QByteArray& body)
{
    Reply reply;
    reply.status = status;
    reply.body = body;
    return reply;
}

Reply Reply::redirect(const QUrl& location, int status)
{
    Reply reply;
    reply.status = status;
    reply.header("Location", location.toEncoded());
    reply.body = "moved";
    return reply;
}

Reply Reply::generated(qint64 size)
{
    Reply reply;
    reply.generatedSize = size;
    return reply;
}

Reply Reply::closeConnection()
{
    Reply reply;
    reply.closeWithoutResponse = true;
    return reply;
}

Reply& Reply::header(const QByteArray& name, const QByteArray& value)
{
    headers.append({name, value});
    return *this;
}

Reply& Reply::heldUntilReleased()
{
    held = true;
    return *this;
}

Reply& Reply::delayed(int milliseconds)
{
    delayMs = milliseconds;
    return *this;
}

Reply& Reply::slowly(int size, int pauseMs)
{
    chunkSize = size;
    chunkDelayMs = pauseMs;
    return *this;
}

Reply& Reply::closingAfter(qint64 bodyBytes)
{
    closeAfterBytes = bodyBytes;
    return *this;
}

QByteArray RecordedRequest::header(const QByteArray& name) const
{
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value.isNull() ? QByteArray("") : value;
    }
    return {};
}

// ---- generated bodies ------------------------------------------------------

QByteArray generatedBytes(qint64 offset, qint64 length)
{
    QByteArray bytes(length, Qt::Uninitialized);
    char* out = bytes.data();
    for (qint64 i = 0; i < length; ++i) {
        const qint64 n = offset + i;
        out[i] = static_cast<char>((n * 7 + n / 251) & 0xff);
    }
    return bytes;
}

// ---- shared state ----------------------------------------------------------

class HttpsServer::Shared
{
public:
    struct Route
    {
        Handler handler;
        QList<Reply> sequence;
        int served = 0;
    };

    std::mutex mutex;
    QHash<QPair<QByteArray, QString>, Route> routes;
    // Method, path prefix, handler.
    QList<std::tuple<QByteArray, QString, Handler>> prefixRoutes;
    bool recording = true;
    std::function<void(const RecordedRequest&, const Reply&)> observer;
    QList<RecordedRequest> records;
    // Record indices are stable across clearRecords() through this offset.
    qsizetype recordBase = 0;
    int inFlight = 0;
    int maxInFlight = 0;
    int connections = 0;
    QHash<QString, int> releases;
    bool allReleased = false;

    // Whether a held response for the path may go; consumes one release.
    bool takeRelease(const QString& path)
    {
        const std::lock_guard lock(mutex);
        if (allReleased)
            return true;
        auto it = releases.find(path);
        if (it == releases.end() || *it == 0)
            return false;
        --*it;
        return true;
    }

    // Records the request, chooses the reply; returns the record's id.
    qsizetype arrive(RecordedRequest request, Reply* reply)
    {
        Handler handler;
        {
            const std::lock_guard lock(mutex);
            ++inFlight;
            maxInFlight = std::max(maxInFlight, inFlight);
            request.inFlight = inFlight;
            request.arrivedNs = nowNs();
            auto it = routes.find({request.method, request.path});
            if (it == routes.end()) {
                handler = prefixHandler(request.method, request.path);
                if (!handler)
                    *reply = Reply::withStatus(404, "not found");
            } else if (it->handler) {
                handler = it->handler;
            } else {
                *reply = it->sequence.at(std::min<qsizetype>(it->served, it->sequence.size() - 1));
                ++it->served;
            }
        }
        if (handler)
            *reply = handler(request);
        std::function<void(const RecordedRequest&, const Reply&)> observe;
        {
            const std::lock_guard lock(mutex);
            observe = observer;
        }
        if (observe)
            observe(request, *reply);
        const std::lock_guard lock(mutex);
        if (!recording)
            return -1;
        request.bodySize = reply->closeWithoutResponse ? 0 : reply->bodySize();
        records.append(std::move(request));
        return recordBase + records.size() - 1;
    }

    // The handler of the longest prefix route that matches (caller holds the
    // mutex), or none.
    Handler prefixHandler(const QByteArray& method, const QString& path) const
    {
        Handler best;
        qsizetype bestLength = -1;
        for (const auto& [routeMethod, prefix, handler] : prefixRoutes) {
            if (routeMethod == method && path.startsWith(prefix) && prefix.size() > bestLength) {
                best = handler;
                bestLength = prefix.size();
            }
        }
        return best;
    }

    void progress(qsizetype id, qint64 bodyBytesSent)
    {
        const std::lock_guard lock(mutex);
        if (id >= recordBase && id - recordBase < records.size())
            records[id - recordBase].bodyBytesSent = bodyBytesSent;
    }

    void finish(qsizetype id, RecordedRequest::Outcome outcome)
    {
        const std::lock_guard lock(mutex);
        --inFlight;
        if (id >= recordBase) {
            RecordedRequest& r = records[id - recordBase];
            r.outcome = outcome;
            r.doneNs = nowNs();
        }
    }
};

// ---- one connection --------------------------------------------------------

namespace {

class Connection : public QObject
{
public:
    Connection(QSslSocket* socket, int serial, std::shared_ptr<HttpsServer::Shared> shared,
               std::function<void(Connection*)> park, QObject* parent)
        : QObject(parent), m_socket(socket), m_serial(serial), m_shared(std::move(shared)),
          m_park(std::move(park))
    {
        socket->setParent(this);
        connect(socket, &QSslSocket::readyRead, this, &Connection::onReadyRead);
        connect(socket, &QSslSocket::bytesWritten, this, &Connection::sendMore);
        connect(socket, &QSslSocket::encryptedBytesWritten, this, &Connection::sendMore);
        connect(socket, &QSslSocket::disconnected, this, &Connection::onDisconnected);
        onReadyRead();
    }

private:
    enum class State { Reading, Waiting, Sending, Closed };

    void onReadyRead()
    {
        m_input += m_socket->readAll();
        parse();
    }

    void parse()
    {
        if (m_state != State::Reading)
            return;
        const qsizetype headEnd = m_input.indexOf("\r\n\r\n");
        if (headEnd < 0) {
            if (m_input.size() > kMaxRequestHead)
                m_socket->abort();
            return;
        }
        const QList<QByteArray> lines = m_input.left(headEnd).split('\n');
        RecordedRequest request;
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        qint64 contentLength = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = line.left(colon).trimmed();
            const QByteArray value = line.mid(colon + 1).trimmed();
            request.headers.append({name, value});
            if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
                contentLength = value.toLongLong();
        }
        const qsizetype bodyStart = headEnd + 4;
        if (m_input.size() - bodyStart < contentLength)
            return;
        request.body = m_input.mid(bodyStart, contentLength);
        m_input.remove(0, bodyStart + contentLength);
        const qsizetype question = request.target.indexOf('?');
        request.path = QUrl::fromPercentEncoding(question < 0 ? request.target
                                                              : request.target.left(question));
        request.connection = m_serial;
        m_path = request.path;

        m_reply = Reply();
        m_id = m_shared->arrive(std::move(request), &m_reply);
        m_sent = 0;
        m_state = State::Waiting;
        if (m_reply.delayMs > 0)
            QTimer::singleShot(m_reply.delayMs, this, &Connection::respond);
        else
            respond();
    }

public:
    void respond()
    {
        if (m_state != State::Waiting)
            return;
        if (m_reply.held) {
            if (!m_shared->takeRelease(m_path)) {
                m_park(this);
                return;
            }
            m_reply.held = false;
        }
        if (m_reply.closeWithoutResponse) {
            closeOnPurpose();
            return;
        }
        QByteArray head = "HTTP/1.1 " + QByteArray::number(m_reply.status) + ' ' +
                          reasonPhrase(m_reply.status) + "\r\n";
        for (const auto& [name, value] : std::as_const(m_reply.headers))
            head += name + ": " + value + "\r\n";
        head += "Content-Length: " + QByteArray::number(m_reply.bodySize()) + "\r\n";
        head +=
            m_reply.closeAfterBytes >= 0 ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
        head += "\r\n";
        m_socket->write(head);
        m_state = State::Sending;
        sendMore();
    }

    qint64 bodyEnd() const
    {
        const qint64 size = m_reply.bodySize();
        return m_reply.closeAfterBytes >= 0 ? std::min(size, m_reply.closeAfterBytes) : size;
    }

    QByteArray bodyBytes(qint64 offset, qint64 length) const
    {
        if (m_reply.generatedSize >= 0)
            return generatedBytes(offset, length);
        return m_reply.body.mid(offset, length);
    }

    void sendMore()
    {
        if (m_state != State::Sending || m_pausing)
            return;
        const qint64 end = bodyEnd();
        if (m_reply.chunkSize > 0) {
            if (m_sent < end) {
                const qint64 n = std::min<qint64>(m_reply.chunkSize, end - m_sent);
                m_socket->write(bodyBytes(m_sent, n));
                m_sent += n;
                m_shared->progress(m_id, m_sent);
                if (m_sent < end) {
                    m_pausing = true;
                    QTimer::singleShot(m_reply.chunkDelayMs, this, [this] {
                        m_pausing = false;
                        sendMore();
                    });
                    return;
                }
            }
        } else {
            while (m_sent < end &&
                   m_socket->bytesToWrite() + m_socket->encryptedBytesToWrite() < kSendWindow) {
                const qint64 n = std::min<qint64>(kSendBlock, end - m_sent);
                m_socket->write(bodyBytes(m_sent, n));
                m_sent += n;
            }
            m_shared->progress(m_id, m_sent);
        }
        if (m_sent < end)
            return;
        if (m_reply.closeAfterBytes >= 0 && m_reply.closeAfterBytes < m_reply.bodySize()) {
            closeOnPurpose();
            return;
        }
        m_shared->finish(m_id, RecordedRequest::Outcome::Completed);
        m_state = State::Reading;
        if (m_reply.closeAfterBytes >= 0) {
            m_state = State::Closed;
            m_socket->disconnectFromHost();
            return;
        }
        parse();
    }

    void closeOnPurpose()
    {
        m_state = State::Closed;
        m_shared->finish(m_id, RecordedRequest::Outcome::ClosedByServer);
        m_socket->disconnectFromHost();
    }

private:
    void onDisconnected()
    {
        if (m_state == State::Waiting || m_state == State::Sending)
            m_shared->finish(m_id, RecordedRequest::Outcome::ClosedByClient);
        m_state = State::Closed;
        deleteLater();
    }

    QSslSocket* m_socket;
    int m_serial;
    std::shared_ptr<HttpsServer::Shared> m_shared;
    std::function<void(Connection*)> m_park;
    QString m_path;
    QByteArray m_input;
    State m_state = State::Reading;
    Reply m_reply;
    qsizetype m_id = -1;
    qint64 m_sent = 0;
    bool m_pausing = false;
};

} // namespace

// ---- the server thread's object -------------------------------------------

class HttpsServer::Worker : public QObject
{
public:
    Worker(std::shared_ptr<Shared> shared, ServerIdentity identity)
        : m_shared(std::move(shared)), m_identity(std::move(identity))
    {
    }

    // Runs on the server thread. Returns the port, or 0 with `error` set.
    quint16 listen(quint16 port, QString* error)
    {
        m_server = new QSslServer(this);
        QSslConfiguration configuration;
        configuration.setLocalCertificateChain(QList<QSslCertificate>{m_identity.certificate} +
                                               m_identity.chain);
        configuration.setPrivateKey(m_identity.key);
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        configuration.setAllowedNextProtocols({QByteArrayLiteral("http/1.1")});
        m_server->setSslConfiguration(configuration);
        const auto accept = [this] {
            while (m_server->hasPendingConnections()) {
                auto* socket = qobject_cast<QSslSocket*>(m_server->nextPendingConnection());
                if (!socket)
                    continue;
                int serial = 0;
                {
                    const std::lock_guard lock(m_shared->mutex);
                    serial = ++m_shared->connections;
                }
                // A child of the worker: deleted with it when the server stops.
                new Connection(
                    socket, serial, m_shared,
                    [this](Connection* c) { m_parked.append(QPointer<Connection>(c)); }, this);
            }
        };
        connect(m_server, &QSslServer::pendingConnectionAvailable, this, accept);
        if (!m_server->listen(QHostAddress::LocalHost, port)) {
            *error = m_server->errorString();
            return 0;
        }
        return m_server->serverPort();
    }

    // Gives every parked (held) response another chance, oldest first.
    void wake()
    {
        const QList<QPointer<Connection>> parked = std::exchange(m_parked, {});
        for (const QPointer<Connection>& c : parked) {
            if (c)
                c->respond();
        }
    }

private:
    std::shared_ptr<Shared> m_shared;
    ServerIdentity m_identity;
    QSslServer* m_server = nullptr;
    QList<QPointer<Connection>> m_parked;
};

// ---- HttpsServer -------------------------------------------------------

HttpsServer::HttpsServer(const ServerIdentity& identity, quint16 port)
    : m_shared(std::make_shared<Shared>()), m_thread(std::make_unique<QThread>())
{
    m_worker = new Worker(m_shared, identity);
    m_worker->moveToThread(m_thread.get());
    m_thread->setObjectName(QStringLiteral("HttpsServer"));
    m_thread->start();
    QMetaObject::invokeMethod(
        m_worker, [this, port] { return m_worker->listen(port, &m_error); },
        Qt::BlockingQueuedConnection, &m_port);
}

HttpsServer::~HttpsServer()
{
    // Deleted on its own thread, with the listening socket and every connection.
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker] { delete worker; }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
}

quint16 HttpsServer::port() const
{
    return m_port;
}

QUrl HttpsServer::baseUrl() const
{
    return QUrl(QStringLiteral("https://127.0.0.1:%1").arg(m_port));
}

QUrl HttpsServer::url(const QString& pathAndQuery) const
{
    return QUrl(baseUrl().toString() + pathAndQuery);
}

void HttpsServer::on(const QByteArray& method, const QString& path, Handler handler)
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->routes.insert({method, path}, Shared::Route{std::move(handler), {}, 0});
}

void HttpsServer::on(const QByteArray& method, const QString& path, const Reply& reply)
{
    onSequence(method, path, {reply});
}

void HttpsServer::onSequence(const QByteArray& method, const QString& path,
                             const QList<Reply>& replies)
{
    Q_ASSERT(!replies.isEmpty());
    const std::lock_guard lock(m_shared->mutex);
    m_shared->routes.insert({method, path}, Shared::Route{{}, replies, 0});
}

void HttpsServer::onPrefix(const QByteArray& method, const QString& prefix, Handler handler)
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->prefixRoutes.append({method, prefix, std::move(handler)});
}

void HttpsServer::setRecording(bool on)
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->recording = on;
}

void HttpsServer::setObserver(std::function<void(const RecordedRequest&, const Reply&)> observer)
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->observer = std::move(observer);
}

QList<RecordedRequest> HttpsServer::requests() const
{
    const std::lock_guard lock(m_shared->mutex);
    return m_shared->records;
}

QList<RecordedRequest> HttpsServer::requests(const QString& path) const
{
    QList<RecordedRequest> result;
    for (const RecordedRequest& r : requests()) {
        if (r.path == path)
            result.append(r);
    }
    return result;
}

int HttpsServer::maxInFlight() const
{
    const std::lock_guard lock(m_shared->mutex);
    return m_shared->maxInFlight;
}

int HttpsServer::connectionCount() const
{
    const std::lock_guard lock(m_shared->mutex);
    return m_shared->connections;
}

void HttpsServer::clearRecords()
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->recordBase += m_shared->records.size();
    m_shared->records.clear();
    m_shared->maxInFlight = m_shared->inFlight;
}

void HttpsServer::release(const QString& path)
{
    {
        const std::lock_guard lock(m_shared->mutex);
        ++m_shared->releases[path];
    }
    QMetaObject::invokeMethod(m_worker, [worker = m_worker] { worker->wake(); });
}

void HttpsServer::releaseAll()
{
    {
        const std::lock_guard lock(m_shared->mutex);
        m_shared->allReleased = true;
    }
    QMetaObject::invokeMethod(m_worker, [worker = m_worker] { worker->wake(); });
}

} // namespace tarvik::dev
