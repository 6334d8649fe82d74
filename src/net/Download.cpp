// Http::downloadMany: the scan of files already on disk, then streaming
// transfers (six on connections of their own, more on a server that
// multiplexes) driven by a pump in a local event loop on the calling thread.
// Handlers and the pump never run at the same time, so the run's state needs
// no locks; only the cancel flag is shared with another thread.
#include "net/Download.h"

#include "fs/AtomicFile.h"
#include "fs/SafeFiles.h"
#include "fs/StreamHash.h"
#include "net/Http.h"
#include "net/NetLog.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSet>
#include <QtConcurrent/QtConcurrentMap>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <deque>
#include <optional>

namespace tarvik {

namespace detail {

namespace {
std::atomic_bool syncDownloads{false};
std::atomic_int attemptTimeoutMs{kDownloadAttemptTimeoutMs};
std::atomic_int multiplexedDownloads{kMaxMultiplexedDownloads};
} // namespace

void setDownloadSync(bool enabled)
{
    syncDownloads = enabled;
}

bool downloadSync()
{
    return syncDownloads;
}

void setDownloadAttemptTimeout(int milliseconds)
{
    attemptTimeoutMs = milliseconds;
}

int downloadAttemptTimeout()
{
    return attemptTimeoutMs;
}

void setMaxMultiplexedDownloads(int count)
{
    multiplexedDownloads = count;
}

int maxMultiplexedDownloads()
{
    return multiplexedDownloads;
}

} // namespace detail

namespace {

struct Entry
{
    Download file;
    int attempt = 0;
    // Times the server turned the request away unprocessed (see unprocessed()).
    int refusals = 0;
};

// An HTTP/2 server takes a fixed number of requests per connection (nginx:
// 1000), then announces that it accepts no more (GOAWAY) and closes it. The
// requests already sent past that point were never processed; Qt ends them
// with ContentReSendError, and those it had not sent yet with
// ProtocolUnknownError. They are sent again, on a new connection, without
// using the file's one retry, up to this many times.
constexpr int kMaxRefusals = 10;
// Qt 6.4 can leave a request hanging (until its 30-second no-data timer) that
// is made just when such a connection goes away. So after this many requests
// that may travel over HTTP/2, below nginx's 1000, the run lets every
// transfer finish and starts the next ones on fresh connections.
constexpr int kRequestsPerConnection = 900;

// How a transfer travels: on a connection of its own (HTTP/1.1; also every
// first transfer to a server not yet known to multiplex), or as one of many
// streams of a multiplexed connection (HTTP/2).
enum class Lane { Own, Multiplexed };

// One file in flight. Shared by the reply's handlers; lives until the reply
// is deleted, so a handler that aborts the reply (and thereby runs the finish
// handler) never touches freed state.
struct Transfer
{
    Transfer(Entry e, std::unique_ptr<AtomicFile> o)
        : entry(std::move(e)), out(std::move(o)), hash(entry.file.algorithm),
          expected(entry.file.sha.toLower()),
          limit(entry.file.size >= 0 ? entry.file.size : kMaxUnknownDownloadSize)
    {
    }

    Entry entry;
    std::unique_ptr<AtomicFile> out;
    StreamHash hash;
    QByteArray expected;
    qint64 limit;
    qint64 received = 0;
    bool failed = false;
    bool finishing = false;
    // Whether the protocol of the answer has been looked at.
    bool protocolSeen = false;
    Lane lane = Lane::Own;
    QNetworkReply* reply = nullptr;
    // The attempt's time limit, checked on every poll tick (one timer for the
    // run instead of one per file).
    QDeadlineTimer deadline{detail::downloadAttemptTimeout(), Qt::PreciseTimer};
};

// Unread bytes that one reply may hold.
constexpr qint64 kDownloadReadBuffer = 1 << 20;

QString fileNameOf(const QString& path)
{
    return QFileInfo(path).fileName();
}

// Where a connection goes: host and port (every URL is HTTPS).
QString serverOf(const QUrl& url)
{
    return url.host(QUrl::FullyDecoded) + QLatin1Char(':') + QString::number(url.port(443));
}

// A file that may travel on a multiplexed connection (see kMaxMultiplexedBytes).
bool multiplexable(const Download& file)
{
    return detail::maxMultiplexedDownloads() > 0 && file.size >= 0 &&
           file.size <= kMaxMultiplexedBytes;
}

// Valid on disk: a regular file (not a link), of the right size when the
// size is known (tested first, so a wrong size costs no hashing), with the
// expected digest.
bool isValidOnDisk(const Download& file, const CancelFlag& cancel)
{
    if (isReparsePoint(file.path))
        return false;
    const QFileInfo info(file.path);
    if (!info.exists())
        return false;
    if (file.size >= 0 && info.size() != file.size)
        return false;
    return hashFile(file.path, file.algorithm, cancel) == file.sha.toLower();
}

bool isHttpsUrl(const QUrl& url)
{
    try {
        Http::requireHttpsUrl(url);
    } catch (const Error&) {
        return false;
    }
    return true;
}

// Progress of the scan, reported from the hashing threads: "Ověřuji soubory
// · <checked> / <total>" with the share of files found valid so far as the
// value, so that the bar goes on from there when downloads follow. The first
// file checked is reported at once, then at most every 100 ms, and the last.
class ScanProgress
{
public:
    ScanProgress(const ProgressCallback& callback, qsizetype total)
        : m_callback(callback), m_total(total)
    {
        m_clock.start();
    }

    void checked(bool valid)
    {
        if (!m_callback)
            return;
        ++m_checked;
        if (valid)
            ++m_valid;
        QMutexLocker lock(&m_mutex);
        const qsizetype now = m_checked;
        if (now <= m_reported || (m_reported > 0 && now < m_total && m_clock.elapsed() < 100))
            return;
        m_reported = now;
        m_clock.restart();
        m_callback(QStringLiteral("Ověřuji soubory · %1 / %2").arg(now).arg(m_total),
                   static_cast<int>(qint64(m_valid) * 100 / m_total));
    }

private:
    const ProgressCallback& m_callback;
    const qsizetype m_total;
    std::atomic<qsizetype> m_checked{0};
    std::atomic<qsizetype> m_valid{0};
    QMutex m_mutex;
    qsizetype m_reported = 0;
    QElapsedTimer m_clock;
};

class DownloadRun
{
public:
    DownloadRun(QNetworkAccessManager& manager, const CancelFlag& cancel,
                const ProgressCallback& progress, qsizetype total)
        : m_manager(manager), m_cancel(cancel), m_progress(progress), m_total(total)
    {
    }

    // The files already on disk are checked in list order, and the first
    // failure in that order is the one reported. The expensive part, hashing
    // the files that pass the cheap checks, runs on all cores of Qt's global
    // pool beforehand (the calling thread takes part, so a job that runs on
    // that pool cannot starve it); its outcome (valid, or the message it
    // threw) is then taken in order.
    void scan(const QList<Download>& files)
    {
        struct Check
        {
            bool valid = false;
            QString error;
        };
        const auto cheapChecksPass = [](const Download& file) {
            return !file.sha.isEmpty() && isHttpsUrl(file.url);
        };
        ScanProgress progress(m_progress, files.size());
        const QList<Check> checks = QtConcurrent::blockingMapped<QList<Check>>(
            QThreadPool::globalInstance(), files,
            [this, &cheapChecksPass, &progress](const Download& file) {
                Check check;
                if (!cheapChecksPass(file) || isCancelled(m_cancel)) {
                    progress.checked(false);
                    return check;
                }
                try {
                    check.valid = isValidOnDisk(file, m_cancel);
                } catch (const std::exception& e) {
                    check.error = errorMessage(e);
                }
                progress.checked(check.valid);
                return check;
            });
        for (qsizetype i = 0; i < files.size(); ++i) {
            const Download& file = files.at(i);
            checkCancelled(m_cancel);
            Http::requireHttpsUrl(file.url);
            if (file.sha.isEmpty())
                throw Error(QStringLiteral("Chybí kontrolní součet stahovaného souboru."));
            if (!checks.at(i).error.isEmpty())
                throw Error(checks.at(i).error);
            if (checks.at(i).valid)
                ++m_completed;
            else
                m_queue.push_back(Entry{file, 0});
        }
    }

    bool hasWork() const { return !m_queue.empty(); }

    void run()
    {
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &m_loop, [this] {
            if (isCancelled(m_cancel))
                pump();
            else
                abortExpired();
        });
        poll.start(kCancelPollMs);
        schedulePump();
        m_loop.exec();
        poll.stop();

        checkCancelled(m_cancel);
        if (!m_errorMessage.isEmpty())
            throw Error(m_errorMessage);
    }

private:
    void schedulePump()
    {
        QTimer::singleShot(0, &m_loop, [this] { pump(); });
    }

    // An abort runs that reply's finish handler at once, which removes it
    // from the active ones: hence the snapshot.
    void abortAll()
    {
        const QList<QNetworkReply*> snapshot = m_active.keys();
        for (QNetworkReply* reply : snapshot) {
            if (m_active.contains(reply))
                reply->abort();
        }
    }

    // Attempts that ran past their time limit.
    void abortExpired()
    {
        const QList<QNetworkReply*> snapshot = m_active.keys();
        for (QNetworkReply* reply : snapshot) {
            const Transfer* t = m_active.value(reply);
            if (t && t->deadline.hasExpired())
                reply->abort();
        }
    }

    // One listing per folder: the launcher's temporaries in it, by target.
    void findStaleTemporaries(const QString& folder)
    {
        const QStringList names =
            QDir(folder).entryList({QStringLiteral(".*.part")}, QDir::Files | QDir::Hidden);
        for (const QString& name : names) {
            const QString stem = AtomicFile::stemOfTemporary(name);
            if (!stem.isEmpty())
                m_stale[folder + QLatin1Char('/') + stem].append(folder + QLatin1Char('/') + name);
        }
    }

    // A transfer of this target starts: what killed runs left for it goes.
    void removeStaleTemporaries(const QString& folder, const QString& path)
    {
        const QStringList stale = m_stale.take(
            folder + QLatin1Char('/') + AtomicFile::temporaryStem(QFileInfo(path).fileName()));
        for (const QString& temporary : stale) {
            qCDebug(lcNet) << "removing stale" << temporary;
            QFile::remove(temporary);
        }
    }

    void pump()
    {
        if (!m_errorMessage.isEmpty() || isCancelled(m_cancel)) {
            abortAll();
            if (m_active.isEmpty())
                m_loop.quit();
            return;
        }
        // In list order: a file that must wait for a free place holds back
        // the ones behind it.
        while (!m_queue.empty()) {
            const std::optional<Lane> lane = freeLaneFor(m_queue.front().file);
            if (!lane)
                break;
            Entry entry = std::move(m_queue.front());
            m_queue.pop_front();
            if (!start(std::move(entry), *lane))
                break;
        }
        if (!m_errorMessage.isEmpty())
            abortAll();
        if (m_errorMessage.isEmpty() && !m_queue.empty())
            return;
        if (m_active.isEmpty())
            m_loop.quit();
    }

    // The lane in which the file can start now, if any. All transfers
    // together stay within the multiplexed bound, those on connections of
    // their own within six.
    std::optional<Lane> freeLaneFor(const Download& file) const
    {
        if (m_active.size() >= std::max(kMaxParallelDownloads, detail::maxMultiplexedDownloads()))
            return std::nullopt;
        if (m_draining.contains(serverOf(file.url)) || m_rotating)
            return std::nullopt;
        if (multiplexable(file) && m_multiplexingServers.contains(serverOf(file.url))) {
            if (m_multiplexedBytes + file.size <= kMaxMultiplexedBytes)
                return Lane::Multiplexed;
            return std::nullopt;
        }
        if (m_ownInFlight < kMaxParallelDownloads)
            return Lane::Own;
        return std::nullopt;
    }

    // A request that the server turned away before it began (see kMaxRefusals).
    static bool unprocessed(const Transfer& t, int status)
    {
        const QNetworkReply::NetworkError error = t.reply->error();
        return !t.failed && status == 0 && t.received == 0 &&
               (error == QNetworkReply::ContentReSendError ||
                error == QNetworkReply::ProtocolUnknownError);
    }

    // The first answer of a server over HTTP/2 opens the multiplexed lane to
    // it for the files still queued.
    void noteProtocol(Transfer& t)
    {
        if (t.protocolSeen)
            return;
        t.protocolSeen = true;
        if (!t.reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool())
            return;
        const QString server = serverOf(t.entry.file.url);
        if (m_multiplexingServers.contains(server) || !multiplexable(t.entry.file))
            return;
        qCDebug(lcNet) << "multiplexing" << server;
        m_multiplexingServers.insert(server);
        schedulePump();
    }

    bool start(Entry entry, Lane lane)
    {
        const QString& path = entry.file.path;
        const QString folder = QFileInfo(path).absolutePath();
        if (!m_madeFolders.contains(folder)) {
            try {
                ensureDir(folder);
            } catch (const Error& error) {
                m_errorMessage = error.message();
                return false;
            }
            // Thousands of files share a few hundred folders.
            m_madeFolders.insert(folder);
            findStaleTemporaries(folder);
        }
        removeStaleTemporaries(folder, path);
        auto out = std::make_unique<AtomicFile>(path);
        if (!out->open()) {
            m_errorMessage = QStringLiteral("Nelze zapsat: ") + path;
            return false;
        }
        qCDebug(lcNet) << "download" << loggableUrl(entry.file.url) << "attempt" << entry.attempt;
        auto transfer = std::make_shared<Transfer>(std::move(entry), std::move(out));
        transfer->lane = lane;
        QNetworkRequest request = Http::makeRequest(transfer->entry.file.url);
        // Only HTTP/1.1 holds a fast server back when the disk lags behind.
        if (!multiplexable(transfer->entry.file))
            request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        QNetworkReply* reply = m_manager.get(request);
        // Back-pressure: the network thread stops reading when this much waits
        // unread, so a fast server cannot fill memory while the disk catches up.
        reply->setReadBufferSize(kDownloadReadBuffer);
        transfer->reply = reply;
        m_active.insert(reply, transfer.get());
        if (lane == Lane::Multiplexed) {
            m_multiplexedBytes += transfer->entry.file.size;
        } else {
            ++m_ownInFlight;
        }
        ++m_inFlightTo[serverOf(transfer->entry.file.url)];
        if (multiplexable(transfer->entry.file) && ++m_sinceRotation >= kRequestsPerConnection)
            m_rotating = true;

        QObject::connect(reply, &QNetworkReply::readyRead, &m_loop,
                         [this, transfer] { onData(*transfer); });
        QObject::connect(reply, &QNetworkReply::finished, &m_loop,
                         [this, transfer] { onFinished(*transfer); });
        return true;
    }

    void onData(Transfer& t)
    {
        if (!t.reply->isOpen())
            return;
        noteProtocol(t);
        // Through one buffer of the run: no allocation per block.
        for (;;) {
            const qint64 n = t.reply->read(m_block.data(), m_block.size());
            if (n <= 0)
                return;
            const QByteArrayView bytes(m_block.constData(), n);
            t.received += n;
            if (!t.failed && t.out && t.received <= t.limit && t.out->write(bytes)) {
                t.hash.addData(bytes);
                continue;
            }
            const bool abortNow = !t.failed && !t.finishing;
            t.failed = true;
            // Aborting runs the finish handler at once; nothing may follow it.
            if (abortNow)
                t.reply->abort();
            return;
        }
    }

    void onFinished(Transfer& t)
    {
        QNetworkReply* reply = t.reply;
        if (!m_active.contains(reply))
            return;
        t.finishing = true;
        onData(t);
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const Download& file = t.entry.file;
        const bool good = !t.failed && reply->error() == QNetworkReply::NoError && status == 200 &&
                          (file.size < 0 || t.received == file.size) &&
                          t.hash.hexResult() == t.expected;
        m_active.remove(reply);
        if (t.lane == Lane::Multiplexed) {
            m_multiplexedBytes -= file.size;
        } else {
            --m_ownInFlight;
        }
        const QString server = serverOf(file.url);
        // Qt 6.4 may leave a request hanging that is made while a connection
        // that received GOAWAY still finishes its last streams: nothing new
        // goes to that server until they are done and the connection is gone.
        if (!good && unprocessed(t, status))
            m_draining.insert(server);
        if (--m_inFlightTo[server] == 0)
            m_draining.remove(server);
        if (m_rotating && m_active.isEmpty()) {
            // Only with nothing in flight: this also ends Qt's HTTP thread.
            m_manager.clearConnectionCache();
            m_rotating = false;
            m_sinceRotation = 0;
        }
        qCDebug(lcNet) << "finished" << loggableUrl(file.url) << "status" << status << "error"
                       << reply->error() << "good" << good;

        if (good) {
            // No sync by default (see setDownloadSync): measured here, syncing
            // each small game file cost more than the download, and a file
            // that did not reach the disk fails its check on the next run.
            if (t.out->commit(detail::downloadSync() ? AtomicFile::Durability::Synced
                                                     : AtomicFile::Durability::Unsynced))
                ++m_completed;
            else
                m_errorMessage = QStringLiteral("Nelze dokončit stažení: ") + fileNameOf(file.path);
        } else {
            t.out->abandon();
            if (unprocessed(t, status) && t.entry.refusals < kMaxRefusals) {
                m_queue.push_back(Entry{file, t.entry.attempt, t.entry.refusals + 1});
            } else if (t.entry.attempt < 1 && !t.failed && (status == 0 || status >= 500)) {
                m_queue.push_back(Entry{file, t.entry.attempt + 1, t.entry.refusals});
            } else if (m_errorMessage.isEmpty()) {
                m_errorMessage = QStringLiteral("Stažení nebo kontrola souboru selhala: ") +
                                 fileNameOf(file.path);
            }
        }
        t.out.reset();
        reply->deleteLater();

        if (m_progress) {
            const int value =
                m_total == 0 ? 100 : static_cast<int>(qint64(m_completed) * 100 / m_total);
            m_progress(
                QStringLiteral("Stahuji a ověřuji soubory · %1 / %2").arg(m_completed).arg(m_total),
                value);
        }
        schedulePump();
    }

    QNetworkAccessManager& m_manager;
    const CancelFlag& m_cancel;
    const ProgressCallback& m_progress;
    const qsizetype m_total;
    int m_completed = 0;
    std::deque<Entry> m_queue;
    QHash<QNetworkReply*, Transfer*> m_active;
    int m_ownInFlight = 0;
    qint64 m_multiplexedBytes = 0;
    // Servers that answered over HTTP/2 (host:port).
    QSet<QString> m_multiplexingServers;
    // Transfers in flight per server, and the servers whose connection is
    // going away (see onFinished).
    QHash<QString, int> m_inFlightTo;
    QSet<QString> m_draining;
    // Requests that may have used HTTP/2 since the connections were last
    // renewed, and whether the run waits for its transfers to renew them.
    int m_sinceRotation = 0;
    bool m_rotating = false;
    QByteArray m_block{kIoBlockSize, Qt::Uninitialized};
    QSet<QString> m_madeFolders;
    // Per target path, the temporaries that killed runs left for it.
    QHash<QString, QStringList> m_stale;
    QString m_errorMessage;
    QEventLoop m_loop;
};

} // namespace

void Http::downloadMany(const QList<Download>& files)
{
    DownloadRun run(*m_manager, m_cancel, m_progress, files.size());
    run.scan(files);
    if (!run.hasWork())
        return;
    run.run();
}

} // namespace tarvik
