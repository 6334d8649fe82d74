// The launcher's HTTPS client: one blocking request at a time with the
// launcher's limits (HTTPS only, redirect rules, 30 s stall timeout, 60 s
// deadline, 8 MiB body cap, cancel flag polled every 100 ms), JSON documents,
// and the verified downloads of Download.h.
#pragma once

#include "fs/Error.h"
#include "net/Download.h"
#include "platform/Platform.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class QNetworkAccessManager;

namespace tarvik {

// A job's progress report: a text and a value from 0 to 100. May be called
// from any thread, any number of times.
using ProgressCallback = std::function<void(const QString& text, int value)>;

// Largest response body that request() collects (8 MiB).
inline constexpr qint64 kMaxResponseSize = 8388608;
// Overall deadline of one request(), redirects included.
inline constexpr int kRequestDeadlineMs = 60000;
// A transfer is abandoned when no data moves for this long.
inline constexpr int kTransferTimeoutMs = 30000;
// Redirects followed automatically (never from HTTPS to plain HTTP).
inline constexpr int kMaxRedirects = 5;
// How often a waiting request or download looks at the cancel flag.
inline constexpr int kCancelPollMs = 100;

// The "User-Agent" header: "TarvikClient/1.0.0 (Windows x64)" for the Windows
// descriptor, "TarvikClient/1.0.0 (Linux x64)" for the Linux one.
QByteArray userAgent(const PlatformDescriptor& platform);

// The final response of request(): an HTTP error status is a result, not a
// failure; the caller decides what a 400 or a 503 means.
struct HttpResponse
{
    int status = 0;
    // The whole body, at most kMaxResponseSize bytes.
    QByteArray body;
};

// The per-job HTTPS client. Each background job makes one Http on its worker
// thread, passes it by reference to whatever it calls and destroys it when the
// job returns. Everything it owns (the access manager, replies, timers, local
// event loops) lives on that thread; the only datum shared with other threads
// is the cancel flag, which is only read here. Not copyable, not a QObject.
// Nothing is cached between requests (no cookies, no stored responses).
class Http
{
public:
    // Keeps the job's cancel flag (null: never cancelled) and progress
    // callback (may be empty; only downloadMany reports progress).
    explicit Http(CancelFlag cancel = {}, ProgressCallback progress = {});
    ~Http();
    Http(const Http&) = delete;
    Http& operator=(const Http&) = delete;

    // The HTTPS rule: a valid URL, scheme exactly "https", a non-empty host
    // (fully decoded) and no user name or password. Throws
    // "Je vyžadována platná HTTPS adresa." otherwise.
    static void requireHttpsUrl(const QUrl& url);

    // The request template for a URL (checked with requireHttpsUrl first):
    // the User-Agent of the running platform, redirects followed unless they
    // lead from HTTPS to plain HTTP, at most kMaxRedirects of them, and the
    // kTransferTimeoutMs stall timeout.
    static QNetworkRequest makeRequest(const QUrl& url);

    // One blocking request. `method` "GET" (byte for byte) sends a GET; any
    // other method sends a POST with `body`. A non-empty `bearerToken` is sent
    // as "Authorization: Bearer <token>" and turns automatic redirects off, so
    // a redirect is itself the result and the token never travels elsewhere.
    // `contentType` is sent as Content-Type, also on a GET.
    // Throws Error, checked in this order: "Operace byla zrušena." (the cancel
    // flag wins over every other outcome), "Odpověď serveru je příliš velká."
    // (more than kMaxResponseSize bytes; the transfer is cut off as soon as the
    // excess arrives), "Připojení selhalo: " + the network layer's text (no
    // status, a transport failure, the 60 s deadline, a redirect to plain HTTP
    // or more than 5 redirects).
    HttpResponse request(const QUrl& url, const QByteArray& method, const QByteArray& body,
                         const QByteArray& bearerToken, const QByteArray& contentType);

    // A GET of a JSON document (content type "application/json", no token):
    // status 200 and a top-level object, else "Server odpověděl HTTP %1 (%2)."
    // (status, host) or "Server poslal neplatný JSON.".
    QJsonObject getJson(const QUrl& url);
    // The same GET and status rule, returning the body's bytes unparsed.
    QByteArray getDocument(const QUrl& url);

    // Fetches and verifies one file; see downloadMany.
    void download(const Download& file);

    // Puts every listed file in place, verified (see Download.h for the rules
    // and messages). Files already valid on disk cost a hash pass and no
    // request; while they are checked the progress callback gets "Ověřuji
    // soubory · <checked> / <total>" (first file, then at most every 100 ms,
    // and the last) with the share found valid as the percentage. Up to
    // kMaxParallelDownloads transfers at once (kMaxMultiplexedDownloads on a
    // server that answers over HTTP/2), started in list order; a
    // transfer that got no HTTP response or a 5xx status is tried once more
    // after everything queued. After every finished transfer the progress
    // callback gets "Stahuji a ověřuji soubory · <done> / <total>" and the
    // percentage. Throws Error with the first failure (a failed move into
    // place overrides it), or "Operace byla zrušena.". A failed or cancelled
    // call never leaves a partial file at a target nor replaces a good one.
    void downloadMany(const QList<Download>& files);

    const CancelFlag& cancelFlag() const { return m_cancel; }
    const ProgressCallback& progressCallback() const { return m_progress; }

private:
    CancelFlag m_cancel;
    ProgressCallback m_progress;
    std::unique_ptr<QNetworkAccessManager> m_manager;
};

} // namespace tarvik
