// One file to fetch and verify, and the limits of the verified downloads that
// Http::download and Http::downloadMany perform.
#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>
#include <QUrl>

namespace tarvik {

// At most this many transfers travel on connections of their own (HTTP/1.1,
// one connection each) at once.
inline constexpr int kMaxParallelDownloads = 6;
// At most this many transfers are in flight at once in all, once a server
// has shown that it multiplexes transfers on one connection (it answered over
// HTTP/2): on a link with a round trip of 20-50 ms, six small files in flight
// leave most of the link idle, waiting for answers (the figures are in
// bench/README.md). 100 is the least number of concurrent streams that the
// HTTP/2 standard asks servers to allow, so no transfer waits inside Qt for a
// free stream while its 30-second no-data timer runs. Transfers on
// connections of their own stay within six.
inline constexpr int kMaxMultiplexedDownloads = 100;
// Qt 6.4 reads a multiplexed stream as fast as it arrives, whatever the
// reader has taken (the flow-control window is opened again on arrival), so
// unread bytes are bounded only by the file's size. Multiplexed transfers
// therefore carry files of known size only, and together at most this many
// bytes; a larger file, or one of unknown size, goes over HTTP/1.1, where the
// read buffer holds the server back.
inline constexpr qint64 kMaxMultiplexedBytes = 16 << 20;
// Ceiling of a file whose size is unknown (512 MiB).
inline constexpr qint64 kMaxUnknownDownloadSize = 536870912;
// One transfer attempt is abandoned after 5 minutes.
inline constexpr int kDownloadAttemptTimeoutMs = 300000;

// One file to fetch and verify (a plain value, copied freely).
//
// The file at `path` counts as valid, and is not fetched, when it is a regular
// file (never a symbolic link or junction), has exactly `size` bytes when the
// size is known, and its digest equals `sha`. A fetched file is written under
// a temporary name in the same folder (an AtomicFile), hashed as the bytes
// arrive, and moved over `path` only when the status is 200, the size (when
// known) matches, and the digest matches; otherwise the temporary file is
// removed and `path` keeps its previous content. When a transfer of `path`
// starts, the temporaries that killed runs left for `path` are removed.
//
// Messages thrown for a file: "Je vyžadována platná HTTPS adresa.",
// "Chybí kontrolní součet stahovaného souboru.", "Nelze ověřit soubor: " /
// "Chyba čtení: " + path (existing file unreadable), "Nelze vytvořit složku: "
// + folder, "Nelze zapsat: " + path, "Nelze dokončit stažení: " + file name,
// "Stažení nebo kontrola souboru selhala: " + file name.
struct Download
{
    // Where to fetch the file; must pass the HTTPS rule.
    QUrl url;
    // Absolute local path of the final file.
    QString path;
    // Expected digest in hexadecimal (either case); must not be empty.
    QByteArray sha;
    // Algorithm of `sha`: SHA-1, SHA-256 or SHA-512 in practice.
    QCryptographicHash::Algorithm algorithm = QCryptographicHash::Sha1;
    // Expected size in bytes; negative (callers use -1) when unknown, which
    // allows up to kMaxUnknownDownloadSize bytes.
    qint64 size = -1;
};

namespace detail {
// Whether a verified download is flushed to disk (fsync) before it is moved
// into place. Off by default: a file that did not reach the disk fails its
// size or digest check on the next run and is fetched again. For benchmarks.
void setDownloadSync(bool enabled);
bool downloadSync();
// The time limit of one transfer attempt (kDownloadAttemptTimeoutMs unless a
// test shortens it).
void setDownloadAttemptTimeout(int milliseconds);
int downloadAttemptTimeout();
// The bound of multiplexed transfers (kMaxMultiplexedDownloads unless a
// benchmark compares others; 0 turns multiplexing off: every transfer then
// goes over HTTP/1.1).
void setMaxMultiplexedDownloads(int count);
int maxMultiplexedDownloads();
} // namespace detail

} // namespace tarvik
