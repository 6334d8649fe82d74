// Safe paths and small file operations shared by both programs: the validator
// for every relative path from outside, the link-refusing join, bounded reads,
// hashing, atomic writes and copies, and the cancellation checks. All are free
// functions without shared state, safe on any thread; failures throw Error.
#pragma once

#include "fs/Error.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QJsonObject>
#include <QString>

#include <functional>

namespace tarvik {

// Block size of streaming reads (hashing, copying).
inline constexpr qint64 kIoBlockSize = 131072;
// The ceiling every caller of readFile passes.
inline constexpr qint64 kMaxDocumentSize = 8388608;

// Throws "Operace byla zrušena." when the flag is set.
void checkCancelled(const CancelFlag& flag);

// Sleeps in steps of at most 100 ms, reading the flag before each step.
void sleepCancellable(int milliseconds, const CancelFlag& flag);

// Creates the folder with all missing parents; an existing folder is success.
void ensureDir(const QString& path);

// The whole content of a file no larger than the ceiling.
QByteArray readFile(const QString& path, qint64 ceiling);

// A JSON document whose top level is an object.
QJsonObject parseJsonObject(const QByteArray& bytes);

// The lower-case hexadecimal digest of a file, read in 128 KiB blocks and
// hashed by the system's crypto library where it has the algorithm (see
// StreamHash); the cancel flag is read before every block.
QByteArray hashFile(const QString& path, QCryptographicHash::Algorithm algorithm,
                    const CancelFlag& flag);

// Symbolic link, junction or mount point (dangling links included).
bool isReparsePoint(const QString& path);

// The one validator for relative paths from outside; returns the path with
// "/" separators or throws "Nepovolená cesta v manifestu: " + the input.
QString sanitizeRelativePath(const QString& text);

// The base folder joined with a validated relative path; refuses a link or
// junction on the base, above it, or on any existing part below it.
QString resolveInside(const QString& base, const QString& relative);

// Writes through a temporary file in the same folder (AtomicFile), synced
// and renamed over the target; the target is unchanged on failure. Removes
// what killed runs left for the same target first.
void writeFileAtomically(const QString& path, const QByteArray& bytes);

// Copies in 128 KiB blocks into an AtomicFile on the target, synced.
void copyFile(const QString& source, const QString& target);

// The launcher's per-user data folder (not created here).
QString dataDir();

namespace detail {
// sleepCancellable with the sleep itself replaceable, so the slices can be
// observed.
void sleepCancellable(int milliseconds, const CancelFlag& flag,
                      const std::function<void(int)>& sleep);
} // namespace detail

} // namespace tarvik
