// One file to fetch and verify, and the limits of the verified downloads that
// Http::download and Http::downloadMany perform.
#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>
#include <QUrl>

namespace tarvik {

// At most this many transfers are in flight at once.
inline constexpr int kMaxParallelDownloads = 6;
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
} // namespace detail

} // namespace tarvik
