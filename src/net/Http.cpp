#include "net/Http.h"

#include "fs/SafeFiles.h"
#include "net/NetLog.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>

#include <mutex>

namespace tarvik {

Q_LOGGING_CATEGORY(lcNet, "tarvik.net", QtInfoMsg)

namespace {

// Computed once: the platform descriptor reads the kernel version each time.
const QByteArray& runningUserAgent()
{
    static const QByteArray agent = userAgent(PlatformDescriptor::current());
    return agent;
}

// A failure of the connection itself (refused, closed, TLS, timeout, abort,
// redirect rules, proxy) rather than an HTTP error status. Qt numbers these
// below its content errors, together with the one it reports for a 407 answer,
// which is an HTTP status like any other when it comes with one.
bool isTransportError(QNetworkReply::NetworkError error)
{
    return error != QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied &&
           error != QNetworkReply::ProxyAuthenticationRequiredError;
}

#ifdef TARVIK_EXTRA_CA_FILE
// The one extra certificate authority of this build, read when first found
// (the world may make it after the launcher has started).
QList<QSslCertificate> extraCaCertificates()
{
    static std::mutex mutex;
    static QList<QSslCertificate> certificates;
    const std::lock_guard lock(mutex);
    if (certificates.isEmpty())
        certificates = QSslCertificate::fromPath(QString::fromUtf8(TARVIK_EXTRA_CA_FILE));
    return certificates;
}
#endif

struct DeleteLater
{
    void operator()(QObject* object) const { object->deleteLater(); }
};

} // namespace

// Only scheme, host, port and path: queries may carry secrets.
QString loggableUrl(const QUrl& url)
{
    return url.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment);
}

QByteArray userAgent(const PlatformDescriptor& platform)
{
    return QByteArrayLiteral("TarvikClient/" TARVIK_VERSION " (") +
           platform.userAgentPlatform.toUtf8() + ')';
}

Http::Http(CancelFlag cancel, ProgressCallback progress)
    : m_cancel(std::move(cancel)), m_progress(std::move(progress)),
      m_manager(std::make_unique<QNetworkAccessManager>())
{
}

Http::~Http() = default;

void Http::requireHttpsUrl(const QUrl& url)
{
    const bool ok = url.isValid() && url.scheme() == QLatin1String("https") &&
                    !url.host(QUrl::FullyDecoded).isEmpty() && url.userName().isEmpty() &&
                    url.password().isEmpty();
    if (!ok)
        throw Error(QStringLiteral("Je vyžadována platná HTTPS adresa."));
}

QNetworkRequest Http::makeRequest(const QUrl& url)
{
    requireHttpsUrl(url);
    QNetworkRequest request(url);
    request.setRawHeader("User-Agent", runningUserAgent());
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    request.setTransferTimeout(kTransferTimeoutMs);
    // The access manager has a cookie jar by default; nothing is kept or sent.
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
#ifdef TARVIK_EXTRA_CA_FILE
    QSslConfiguration ssl = request.sslConfiguration();
    ssl.addCaCertificates(extraCaCertificates());
    request.setSslConfiguration(ssl);
#endif
    return request;
}

HttpResponse Http::request(const QUrl& url, const QByteArray& method, const QByteArray& body,
                           const QByteArray& bearerToken, const QByteArray& contentType)
{
    checkCancelled(m_cancel);
    QNetworkRequest networkRequest = makeRequest(url);
    if (!bearerToken.isEmpty()) {
        networkRequest.setRawHeader("Authorization", "Bearer " + bearerToken);
        // A redirect is the result: the token never travels to another location.
        networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                    QNetworkRequest::ManualRedirectPolicy);
    }
    networkRequest.setRawHeader("Content-Type", contentType);

    const bool isGet = method == "GET";
    qCDebug(lcNet) << (isGet ? "GET" : "POST") << loggableUrl(url);
    const std::unique_ptr<QNetworkReply, DeleteLater> reply(
        isGet ? m_manager->get(networkRequest) : m_manager->post(networkRequest, body));

    QByteArray buffer;
    bool tooLarge = false;
    bool deadlineReached = false;
    QEventLoop loop;
    QTimer poll;
    QTimer deadline;
    deadline.setSingleShot(true);
    // A coarse timer may fire up to 5 % early.
    deadline.setTimerType(Qt::PreciseTimer);

    const auto collect = [&] {
        if (!reply->isOpen())
            return;
        if (tooLarge) {
            reply->skip(reply->bytesAvailable());
            return;
        }
        buffer += reply->readAll();
        if (buffer.size() > kMaxResponseSize) {
            tooLarge = true;
            buffer.clear();
            reply->abort();
        }
    };
    QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, collect);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (isCancelled(m_cancel))
            reply->abort();
    });
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
        deadlineReached = true;
        reply->abort();
    });
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    poll.start(kCancelPollMs);
    deadline.start(kRequestDeadlineMs);
    if (!reply->isFinished())
        loop.exec();
    poll.stop();
    deadline.stop();

    collect();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QNetworkReply::NetworkError error = reply->error();
    const QString errorText = reply->errorString();
    qCDebug(lcNet) << "status" << status << "error" << error << loggableUrl(url);

    checkCancelled(m_cancel);
    if (tooLarge || buffer.size() > kMaxResponseSize)
        throw Error(QStringLiteral("Odpověď serveru je příliš velká."));
    // An error status comes with Qt's matching error code and is a result. A
    // body cut off by a broken connection or by the deadline is not, whatever
    // the status line said: the caller would read a truncated body.
    const bool transportFailure = deadlineReached || isTransportError(error);
    if (status != 0 && (error == QNetworkReply::NoError || (status >= 400 && !transportFailure)))
        return HttpResponse{status, buffer};
    throw Error(QStringLiteral("Připojení selhalo: ") + errorText);
}

QJsonObject Http::getJson(const QUrl& url)
{
    return parseJsonObject(getDocument(url));
}

QByteArray Http::getDocument(const QUrl& url)
{
    const HttpResponse response = request(url, "GET", {}, {}, "application/json");
    if (response.status != 200)
        throw Error(QStringLiteral("Server odpověděl HTTP %1 (%2).")
                        .arg(response.status)
                        .arg(url.host(QUrl::FullyDecoded)));
    return response.body;
}

void Http::download(const Download& file)
{
    downloadMany({file});
}

} // namespace tarvik
