#include "fs/ZipExtract.h"

#include "fs/AtomicFile.h"
#include "fs/SafeFiles.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSet>

#include <zip.h>

#include <algorithm>
#include <limits>
#include <memory>

Q_LOGGING_CATEGORY(lcFs, "tarvik.fs", QtWarningMsg)

namespace tarvik {

namespace {

const QString kCorrupt = QStringLiteral("Poškozený ZIP archiv.");
const QString kExtractFailed = QStringLiteral("Rozbalení archivu selhalo.");

// libzip reads the archive through this callback over our own opened file, so
// the archive is opened exactly once, with Qt's file handling on every OS.
struct ArchiveReader
{
    QFile* file = nullptr;
    zip_error_t error{};
};

zip_int64_t readArchive(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command)
{
    auto* reader = static_cast<ArchiveReader*>(state);
    switch (command) {
    case ZIP_SOURCE_OPEN:
        return reader->file->seek(0) ? 0 : -1;
    case ZIP_SOURCE_READ: {
        const qint64 n = reader->file->read(static_cast<char*>(data),
                                            static_cast<qint64>(std::min<zip_uint64_t>(
                                                length, std::numeric_limits<qint64>::max())));
        if (n < 0) {
            zip_error_set(&reader->error, ZIP_ER_READ, 0);
            return -1;
        }
        return n;
    }
    case ZIP_SOURCE_CLOSE:
        return 0;
    case ZIP_SOURCE_STAT: {
        auto* st = static_cast<zip_stat_t*>(data);
        zip_stat_init(st);
        st->size = static_cast<zip_uint64_t>(reader->file->size());
        st->valid |= ZIP_STAT_SIZE;
        return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&reader->error, data, length);
    case ZIP_SOURCE_FREE:
        return 0;
    case ZIP_SOURCE_SEEK: {
        const zip_int64_t offset = zip_source_seek_compute_offset(
            static_cast<zip_uint64_t>(reader->file->pos()),
            static_cast<zip_uint64_t>(reader->file->size()), data, length, &reader->error);
        if (offset < 0 || !reader->file->seek(offset)) {
            if (offset >= 0)
                zip_error_set(&reader->error, ZIP_ER_SEEK, 0);
            return -1;
        }
        return 0;
    }
    case ZIP_SOURCE_TELL:
        return reader->file->pos();
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(
            ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR,
            ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL, ZIP_SOURCE_SUPPORTS, -1);
    default:
        zip_error_set(&reader->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

struct ArchiveCloser
{
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct EntryCloser
{
    void operator()(zip_file_t* entry) const { zip_fclose(entry); }
};

// Streams one entry into the save file, never writing past the declared size.
// Returns false when the data is damaged, fails its CRC-32, has another size
// than declared, or the save file refuses it; a set cancel flag stops the
// entry early (the caller then reports the cancellation).
bool streamEntry(zip_t* archive, zip_uint64_t index, quint64 declaredSize, AtomicFile& out,
                 const CancelFlag& flag)
{
    std::unique_ptr<zip_file_t, EntryCloser> entry(zip_fopen_index(archive, index, 0));
    if (!entry)
        return false;
    static constexpr zip_uint64_t kBlock = 65536;
    QByteArray block(static_cast<qsizetype>(kBlock), Qt::Uninitialized);
    quint64 written = 0;
    for (;;) {
        if (isCancelled(flag))
            return false;
        const zip_int64_t n = zip_fread(entry.get(), block.data(), kBlock);
        if (n < 0)
            return false; // damaged data, CRC-32 mismatch, encryption, ...
        if (n == 0)
            break;
        // libzip does not enforce the declared size: an entry that inflates
        // to more than it declares stops here, before the extra byte is written.
        if (static_cast<quint64>(n) > declaredSize - written)
            return false;
        if (!out.write(QByteArrayView(block.constData(), n)))
            return false;
        written += static_cast<quint64>(n);
    }
    return written == declaredSize;
}

// Folders are named with a trailing slash or carry the DOS directory bit.
bool isDirectoryEntry(const char* rawName, zip_uint32_t attributes)
{
    return QByteArray(rawName).endsWith('/') || (attributes & 0x10u) != 0;
}

// Only stored and deflated entries are read. libzip may also decode bzip2 and
// others; each extra decoder is more code facing untrusted input, so an
// archive that uses one is refused as a whole, before any entry is written.
void requireStoredOrDeflated(zip_t* archive, zip_uint64_t count)
{
    for (zip_uint64_t index = 0; index < count; ++index) {
        zip_stat_t st;
        zip_stat_init(&st);
        zip_uint8_t opsys = 0;
        zip_uint32_t attributes = 0;
        const char* rawName = zip_get_name(archive, index, ZIP_FL_ENC_RAW);
        if (!rawName || zip_stat_index(archive, index, ZIP_FL_ENC_RAW, &st) != 0 ||
            zip_file_get_external_attributes(archive, index, 0, &opsys, &attributes) != 0)
            throw Error(QStringLiteral("Nelze číst položku archivu."));
        if (isDirectoryEntry(rawName, attributes))
            continue;
        if (!(st.valid & ZIP_STAT_COMP_METHOD) ||
            (st.comp_method != ZIP_CM_STORE && st.comp_method != ZIP_CM_DEFLATE)) {
            qCDebug(lcFs) << "refused compression method" << st.comp_method;
            throw Error(kExtractFailed);
        }
    }
}

} // namespace

void extractZip(const QString& archivePath, const QString& targetFolder, const CancelFlag& flag,
                bool dllOnly, const QString& librarySuffix, AtomicFile::Durability durability)
{
    QFile file(archivePath);
    if (!file.open(QIODevice::ReadOnly))
        throw Error(QStringLiteral("Nelze otevřít archiv."));
    // libzip takes an empty file for an empty archive; a file too short for
    // the end-of-central-directory record is no archive at all.
    if (file.size() < 22)
        throw Error(kCorrupt);

    ArchiveReader reader;
    reader.file = &file;
    zip_error_init(&reader.error);
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_function_create(readArchive, &reader, &error);
    if (!source) {
        zip_error_fini(&error);
        zip_error_fini(&reader.error);
        throw Error(kCorrupt);
    }
    // No ZIP_CHECKCONS: libzip's extra consistency check refuses archives
    // that Info-ZIP writes with ZIP64 records and folder entries. Names and
    // sizes come from the central directory and every entry's data is
    // checked against them while it is written.
    std::unique_ptr<zip_t, ArchiveCloser> archive(zip_open_from_source(source, ZIP_RDONLY, &error));
    if (!archive) {
        qCDebug(lcFs) << "zip open failed:" << zip_error_strerror(&error);
        zip_source_free(source);
        zip_error_fini(&error);
        zip_error_fini(&reader.error);
        throw Error(kCorrupt);
    }
    zip_error_fini(&error);

    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    if (count < 0)
        throw Error(kCorrupt);
    if (static_cast<quint64>(count) > kZipMaxEntries)
        throw Error(QStringLiteral("Archiv obsahuje příliš mnoho souborů."));

    requireStoredOrDeflated(archive.get(), static_cast<zip_uint64_t>(count));
    ensureDir(targetFolder);

    QSet<QString> seen;
    QStringList written;
    quint64 total = 0;
    for (zip_uint64_t index = 0; index < static_cast<zip_uint64_t>(count); ++index) {
        checkCancelled(flag);

        zip_stat_t st;
        zip_stat_init(&st);
        zip_uint8_t opsys = 0;
        zip_uint32_t attributes = 0;
        const char* rawName = zip_get_name(archive.get(), index, ZIP_FL_ENC_RAW);
        if (!rawName || zip_stat_index(archive.get(), index, ZIP_FL_ENC_RAW, &st) != 0 ||
            !(st.valid & ZIP_STAT_SIZE) ||
            zip_file_get_external_attributes(archive.get(), index, 0, &opsys, &attributes) != 0)
            throw Error(QStringLiteral("Nelze číst položku archivu."));

        const QByteArray nameBytes(rawName);
        const QString name = QString::fromUtf8(nameBytes);
        if (isDirectoryEntry(rawName, attributes))
            continue; // folders come into being through the entries inside them

        // A name longer than 511 bytes would be cut by a reader that keeps
        // only its first 511 bytes; refuse it instead of writing a file under
        // a name nobody asked for.
        if (nameBytes.size() > kZipMaxNameBytes)
            throw Error(QStringLiteral("Nepovolená cesta v manifestu: ") + name);
        const QString validated = sanitizeRelativePath(name);

        const QString folded = validated.toCaseFolded();
        const quint32 unixMode = attributes >> 16;
        if (seen.contains(folded) || (unixMode & 0xF000u) == 0xA000u)
            throw Error(QStringLiteral("Archiv obsahuje odkaz nebo duplicitní cestu."));
        seen.insert(folded);

        const quint64 declared = st.size;
        if (declared > kZipMaxEntrySize || declared > kZipMaxTotalSize - total)
            throw Error(QStringLiteral("Rozbalený archiv překračuje povolenou velikost."));
        total += declared;

        if (dllOnly && !validated.endsWith(librarySuffix, Qt::CaseInsensitive))
            continue;

        const QString outputPath = resolveInside(targetFolder, validated);
        ensureDir(QFileInfo(outputPath).absolutePath());

        // An extraction killed part-way leaves its temporaries; each entry
        // has one writer at a time, so those of this entry are stale.
        AtomicFile::removeStaleTemporaries(outputPath);
        AtomicFile out(outputPath);
        if (!out.open())
            throw Error(QStringLiteral("Nelze zapsat obsah archivu."));

        const bool extracted = streamEntry(archive.get(), index, declared, out, flag);
        if (isCancelled(flag)) {
            out.abandon();
            checkCancelled(flag);
        }
        bool ok = extracted;
#ifndef Q_OS_WIN
        // Keep the owner-execute bit of a Unix entry (an unpacked Java runtime
        // must run) and no other mode bit.
        if (ok && opsys == ZIP_OPSYS_UNIX && (unixMode & 0100u))
            ok = out.setExecutableByOwner();
#endif
        // The entry is complete and verified; a rename makes it visible. Its
        // sync waits for the end (see below).
        if (!ok || !out.commit(AtomicFile::Durability::Unsynced))
            throw Error(kExtractFailed);
        written.append(outputPath);
    }

    // One sync for all entries instead of one per entry: with other writes
    // going on, a sync per file cost milliseconds each. The caller marks the
    // folder complete only after this returns, so an entry that lost its data
    // in a power cut before this point is never trusted.
    if (durability == AtomicFile::Durability::Synced && !written.isEmpty() &&
        !AtomicFile::syncCommitted(written))
        throw Error(kExtractFailed);
}

} // namespace tarvik
