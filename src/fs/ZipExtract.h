// ZIP extraction for untrusted archives (Java runtimes, native jars, update
// packages). Runs on the calling thread; the only shared datum is the cancel
// flag, read before, during and after each entry.
#pragma once

#include "fs/AtomicFile.h"
#include "fs/Error.h"

#include <QString>

namespace tarvik {

// Fixed limits of extractZip.
inline constexpr quint64 kZipMaxEntries = 100000;
inline constexpr quint64 kZipMaxEntrySize = 536870912;  // 512 MiB declared, one entry
inline constexpr quint64 kZipMaxTotalSize = 2147483648; // 2 GiB declared, all entries
inline constexpr int kZipMaxNameBytes = 511;

// Unpacks every file entry of the archive into the target folder. Entry names
// pass the relative-path validator; links, case-insensitive duplicates, too
// many entries and too large declared sizes are refused; each file is written
// through its own AtomicFile and committed only after its CRC-32 and exact
// declared size were verified. With dllOnly, only entries whose name ends in
// ".dll" (or the given native-library suffix of another platform, compared
// case-insensitively) are written; all are still checked. Entries committed
// before a failure stay on disk. Throws Error.
//
// Durability: with Synced (the default) every written entry is on the disk
// when extractZip returns, synced all at once at the end rather than one by
// one. Before the return, a power cut can leave entries under their final
// names without their data, so a caller trusts an extraction only after it
// returned: it records the folder as complete (the Java runtime's record) or
// moves it into place afterwards. Unsynced is for files that are unpacked
// again before every use and never trusted across runs (native libraries).
void extractZip(const QString& archivePath, const QString& targetFolder, const CancelFlag& flag,
                bool dllOnly, const QString& librarySuffix = QStringLiteral(".dll"),
                AtomicFile::Durability durability = AtomicFile::Durability::Synced);

} // namespace tarvik
