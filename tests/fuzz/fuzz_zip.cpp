// ZIP extraction into a scratch folder, as properties: nothing is written
// outside the target folder, no link is made, every file written is an entry
// of the archive under its validated name and holds at most the entry's
// declared size, no temporary stays behind, and with dllOnly (odd input
// sizes) only ".dll" files are written.
#include "FuzzSupport.h"

#include "fs/AtomicFile.h"
#include "fs/ZipExtract.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <zip.h>

#include <algorithm>

using namespace tarvik;

namespace {

// Declared sizes of the file entries by validated name, as libzip lists
// them; empty when libzip cannot open the archive.
QHash<QString, quint64> declaredSizes(const QString& archivePath)
{
    QHash<QString, quint64> sizes;
    int error = 0;
    zip_t* archive = zip_open(QFile::encodeName(archivePath).constData(), ZIP_RDONLY, &error);
    if (!archive)
        return sizes;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t index = 0; index < count; ++index) {
        zip_stat_t st;
        zip_stat_init(&st);
        const char* raw = zip_get_name(archive, static_cast<zip_uint64_t>(index), ZIP_FL_ENC_RAW);
        if (!raw ||
            zip_stat_index(archive, static_cast<zip_uint64_t>(index), ZIP_FL_ENC_RAW, &st) != 0)
            continue;
        try {
            // Duplicates are refused, but only when they are reached: the
            // first one may have been written. Keep the larger size.
            quint64& size = sizes[sanitizeRelativePath(QString::fromUtf8(raw)).toCaseFolded()];
            size = std::max<quint64>(size, st.size);
        } catch (const Error&) {
        }
    }
    zip_discard(archive);
    return sizes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString root = fuzz::scratch() + QStringLiteral("/zip");
    static const QString archivePath = root + QStringLiteral("/archive.zip");
    static const QString target = root + QStringLiteral("/out");
    QDir(root).removeRecursively();
    ensureDir(root);
    {
        QFile archive(archivePath);
        FUZZ_CHECK(archive.open(QIODevice::WriteOnly));
        FUZZ_CHECK(archive.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) ==
                   static_cast<qint64>(size));
    }
    const bool dllOnly = size % 2 == 1;
    try {
        extractZip(archivePath, target, {}, dllOnly, QStringLiteral(".dll"),
                   AtomicFile::Durability::Unsynced);
    } catch (const Error&) {
    }

    const QStringList beside =
        QDir(root).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    FUZZ_CHECK(beside.size() <= 2 && beside.contains(QStringLiteral("archive.zip")));
    if (beside.size() == 2)
        FUZZ_CHECK(beside.contains(QStringLiteral("out")));

    const QHash<QString, quint64> declared = declaredSizes(archivePath);
    QDirIterator it(target, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        FUZZ_CHECK(!info.isSymLink());
        if (info.isDir())
            continue;
        const QString relative = QDir(target).relativeFilePath(info.filePath());
        FUZZ_CHECK(!AtomicFile::isTemporaryName(info.fileName()) ||
                   declared.contains(relative.toCaseFolded()));
        const auto entry = declared.constFind(relative.toCaseFolded());
        FUZZ_CHECK(entry != declared.constEnd());
        FUZZ_CHECK(static_cast<quint64>(info.size()) <= entry.value());
        FUZZ_CHECK(info.size() <= static_cast<qint64>(kZipMaxEntrySize));
        if (dllOnly)
            FUZZ_CHECK(info.fileName().endsWith(QStringLiteral(".dll"), Qt::CaseInsensitive));
    }
    return 0;
}
