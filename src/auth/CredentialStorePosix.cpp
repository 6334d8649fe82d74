// The POSIX store: one file per target name in a private folder below
// dataDir(). The folder is 0700 and must belong to the user, entries are 0600
// from the moment they exist, writes go through a temporary file that is
// renamed over the entry, and no path component that the store creates is
// followed if it is a symbolic link.
#include "auth/CredentialStore.h"

#include "auth/AuthLog.h"
#include "fs/Error.h"
#include "fs/SafeFiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvik {

namespace {

// Closes a descriptor at the end of a scope.
class Descriptor
{
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // Gives the descriptor up without closing it.
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes now and reports whether the close succeeded.
    bool close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};

QString refusedMessage()
{
    return QStringLiteral("Úložiště pověření odmítlo uložení přihlášení.");
}

// The entry's file name: the target name percent-encoded (so "/" and ".."
// can never name another file), or its SHA-256 when that would be too long
// for a file name.
QByteArray entryName(const QString& clientId)
{
    const QByteArray target = CredentialStore::targetName(clientId).toUtf8();
    const QByteArray encoded = target.toPercentEncoding();
    if (encoded.size() <= 200)
        return encoded;
    return QByteArrayLiteral("sha256-") +
           QCryptographicHash::hash(target, QCryptographicHash::Sha256).toHex();
}

// Opens the store's folder, refusing a symbolic link and a folder of another
// user, and tightens its mode to 0700. With `create` the folder (and dataDir)
// is made when missing. Returns an invalid descriptor on failure, with errno
// set (ENOENT when the folder does not exist).
int openFolder(bool create)
{
    const QByteArray path = QFile::encodeName(CredentialStore::folder());
    if (create) {
        if (!QDir().mkpath(dataDir()))
            return -1;
        if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
            return -1;
    }
    Descriptor folder(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid())
        return -1;
    struct stat info = {};
    if (::fstat(folder.get(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
        errno = EPERM;
        return -1;
    }
    if ((info.st_mode & 07777) != 0700 && ::fchmod(folder.get(), 0700) != 0)
        return -1;
    return folder.release();
}

bool writeAll(int fd, const char* data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

} // namespace

QString CredentialStore::folder()
{
    return dataDir() + QStringLiteral("/credentials");
}

QByteArray CredentialStore::read(const QString& clientId)
{
    const Descriptor folder(openFolder(false));
    if (!folder.valid())
        return {};
    // O_NONBLOCK: a FIFO planted under the entry's name must not hang the job.
    const Descriptor file(::openat(folder.get(), entryName(clientId).constData(),
                                   O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat info = {};
    if (!file.valid() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > kMaxStoredTokenSize) {
        return {};
    }
    QByteArray token(kMaxStoredTokenSize + 1, Qt::Uninitialized);
    qsizetype total = 0;
    while (total < token.size()) {
        const ssize_t n =
            ::read(file.get(), token.data() + total, static_cast<size_t>(token.size() - total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return {};
        if (n == 0)
            break;
        total += n;
    }
    // An entry larger than any token we write is not ours: nothing stored.
    if (total > kMaxStoredTokenSize)
        return {};
    token.truncate(total);
    return token;
}

void CredentialStore::write(const QString& clientId, const QByteArray& token)
{
    detail::checkStorableToken(token);
    const Descriptor folder(openFolder(true));
    if (!folder.valid()) {
        qCDebug(lcAuth) << "credential folder unusable, errno" << errno;
        throw Error(refusedMessage());
    }
    const QByteArray name = entryName(clientId);
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        temporary = QByteArrayLiteral(".tmp-") +
                    QByteArray::number(QRandomGenerator::system()->generate64(), 16);
        fd = ::openat(folder.get(), temporary.constData(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    Descriptor file(fd);
    // fchmod: the umask may only have removed bits, never added any, but the
    // entry must be readable and writable by its owner.
    bool ok = file.valid() && ::fchmod(file.get(), 0600) == 0 &&
              writeAll(file.get(), token.constData(), token.size()) && ::fsync(file.get()) == 0;
    if (file.valid())
        ok = file.close() && ok;
    ok = ok && ::renameat(folder.get(), temporary.constData(), folder.get(), name.constData()) == 0;
    if (!ok) {
        qCDebug(lcAuth) << "credential entry not written, errno" << errno;
        if (fd >= 0)
            ::unlinkat(folder.get(), temporary.constData(), 0);
        throw Error(refusedMessage());
    }
    // Make the rename durable; the entry is in place either way.
    ::fsync(folder.get());
}

void CredentialStore::remove(const QString& clientId)
{
    const Descriptor folder(openFolder(false));
    if (!folder.valid()) {
        if (errno == ENOENT)
            return;
        throw Error(QStringLiteral("Nelze odstranit uložené přihlášení."));
    }
    if (::unlinkat(folder.get(), entryName(clientId).constData(), 0) != 0 && errno != ENOENT)
        throw Error(QStringLiteral("Nelze odstranit uložené přihlášení."));
}

} // namespace tarvik
