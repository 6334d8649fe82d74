#include "fs/AtomicFile.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>

#include <algorithm>
#include <filesystem>
#include <system_error>

#ifdef Q_OS_WIN
#include "platform/LongPath.h"

#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tarvik {

namespace {

const QLatin1String kSuffix(".part");

std::filesystem::path nativePath(const QString& path)
{
#ifdef Q_OS_WIN
    // The long form, so that a rename works beyond 260 characters.
    return std::filesystem::path(platform::longPath(QDir::toNativeSeparators(path).toStdWString()));
#else
    return std::filesystem::path(path.toStdU16String());
#endif
}

// The random part: one 64-bit number in base 36, so 1 to 13 characters.
bool isRandomPart(QStringView text)
{
    if (text.isEmpty() || text.size() > 13)
        return false;
    return std::all_of(text.begin(), text.end(), [](QChar c) {
        return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
               (c >= QLatin1Char('a') && c <= QLatin1Char('z'));
    });
}

} // namespace

AtomicFile::AtomicFile(const QString& target) : m_target(target) {}

AtomicFile::~AtomicFile()
{
    abandon();
}

bool AtomicFile::open()
{
    const QFileInfo info(m_target);
    const QString stem = info.absolutePath() + QLatin1String("/.") + temporaryStem(info.fileName());
    // A few tries in case a stale temporary holds the name.
    for (int attempt = 0; attempt < 4; ++attempt) {
        m_file.setFileName(stem + QLatin1Char('.') +
                           QString::number(QRandomGenerator::global()->generate64(), 36) + kSuffix);
        // Unbuffered: callers write whole blocks; a buffer would only copy.
        if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
            return true;
        if (m_file.error() != QFileDevice::OpenError || !m_file.exists())
            break;
    }
    m_file.setFileName(QString());
    return false;
}

bool AtomicFile::write(QByteArrayView bytes)
{
    return m_file.write(bytes.data(), bytes.size()) == bytes.size();
}

bool AtomicFile::setExecutableByOwner()
{
    return m_file.setPermissions(m_file.permissions() | QFileDevice::ExeOwner);
}

bool AtomicFile::commit(Durability durability)
{
    if (m_file.fileName().isEmpty() || !m_file.isOpen())
        return false;
    bool ok = m_file.flush();
    if (ok && durability == Durability::Synced) {
#ifdef Q_OS_WIN
        ok = ::_commit(m_file.handle()) == 0;
#else
        ok = ::fsync(m_file.handle()) == 0;
#endif
    }
    m_file.close();
    ok = ok && m_file.error() == QFileDevice::NoError;
    if (ok) {
        std::error_code error;
        std::filesystem::rename(nativePath(m_file.fileName()), nativePath(m_target), error);
        ok = !error;
    }
    if (ok)
        m_file.setFileName(QString());
    else
        abandon();
    return ok;
}

void AtomicFile::abandon()
{
    if (m_file.fileName().isEmpty())
        return;
    m_file.close();
    m_file.remove();
    m_file.setFileName(QString());
}

QString AtomicFile::temporaryStem(const QString& targetName)
{
    static constexpr qsizetype kMaxStemBytes = 200;
    QString stem = targetName;
    // Cut whole code points (never half a surrogate pair) until it fits.
    while (stem.toUtf8().size() > kMaxStemBytes)
        stem.chop(stem.size() >= 2 && stem.back().isLowSurrogate() ? 2 : 1);
    return stem;
}

QString AtomicFile::stemOfTemporary(const QString& temporaryName)
{
    if (!temporaryName.startsWith(QLatin1Char('.')) || !temporaryName.endsWith(kSuffix))
        return {};
    const QStringView rest =
        QStringView(temporaryName).mid(1, temporaryName.size() - 1 - qsizetype(kSuffix.size()));
    const qsizetype dot = rest.lastIndexOf(QLatin1Char('.'));
    if (dot < 1 || !isRandomPart(rest.mid(dot + 1)))
        return {};
    return rest.left(dot).toString();
}

bool AtomicFile::isTemporaryName(const QString& fileName)
{
    return !stemOfTemporary(fileName).isEmpty();
}

void AtomicFile::removeStaleTemporaries(const QString& target)
{
    const QFileInfo info(target);
    const QString stem = temporaryStem(info.fileName());
    QDir folder(info.absolutePath());
    // Compared by stem, not by a wildcard: a name may hold "[".
    const QStringList candidates = folder.entryList({QStringLiteral(".*") + kSuffix},
                                                    QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& candidate : candidates) {
        if (stemOfTemporary(candidate) == stem)
            folder.remove(candidate);
    }
}

bool AtomicFile::syncCommitted(const QStringList& paths)
{
    bool ok = true;
#ifdef Q_OS_LINUX
    // One syncfs() writes out every dirty page and the metadata of a whole
    // file system, which costs far less than a journal commit per file.
    QSet<dev_t> synced;
    for (const QString& path : paths) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        struct stat st
        {
        };
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            ok = false;
        } else if (!synced.contains(st.st_dev)) {
            ok = ::syncfs(fd) == 0 && ok;
            synced.insert(st.st_dev);
        }
        if (fd >= 0)
            ::close(fd);
    }
#else
    for (const QString& path : paths) {
        QFile file(path);
        // Windows flushes only through a handle with write access.
        if (!file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly)) {
            ok = false;
            continue;
        }
#ifdef Q_OS_WIN
        ok = ::_commit(file.handle()) == 0 && ok;
#else
        ok = ::fsync(file.handle()) == 0 && ok;
#endif
    }
#endif
    return ok;
}

} // namespace tarvik
