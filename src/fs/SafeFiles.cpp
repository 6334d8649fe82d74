#include "fs/SafeFiles.h"

#include "fs/AtomicFile.h"
#include "fs/StreamHash.h"
#include "platform/ReparsePoint.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>

namespace tarvik {

namespace {

const QString kCancelled = QStringLiteral("Operace byla zrušena.");

// Windows device names, alone or followed by a dot and anything. Windows also
// takes the superscript digits one to three after COM and LPT for device
// numbers ("lpt².txt" opens a printer port), and it drops blanks between the
// name and the dot ("con .txt" is the console). Compiled once per process
// (thread-safe static initialisation) and only read afterwards.
const QRegularExpression& reservedNameExpression()
{
    static const QRegularExpression expression = [] {
        QRegularExpression re(
            QStringLiteral("^(con|prn|aux|nul|(?:com|lpt)[0-9\\x{b9}\\x{b2}\\x{b3}])"
                           " *(?:\\.|$)"),
            QRegularExpression::CaseInsensitiveOption);
        re.optimize();
        return re;
    }();
    return expression;
}

bool hasForbiddenCharacter(const QString& segment)
{
    // Compiled on each use: cheap next to the I/O that follows any path.
    static const QString pattern = QStringLiteral("[<>:\"|?*\\x00-\\x1f]");
    const QRegularExpression forbidden(pattern);
    return forbidden.match(segment).hasMatch();
}

bool segmentAllowed(const QString& segment)
{
    if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String(".."))
        return false;
    if (segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' ')))
        return false;
    if (hasForbiddenCharacter(segment))
        return false;
    return !reservedNameExpression().match(segment).hasMatch();
}

} // namespace

void checkCancelled(const CancelFlag& flag)
{
    if (isCancelled(flag))
        throw Error(kCancelled);
}

namespace detail {

void sleepCancellable(int milliseconds, const CancelFlag& flag,
                      const std::function<void(int)>& sleep)
{
    if (milliseconds < 1)
        return;
    // 64-bit so that a total near INT_MAX cannot overflow the step counter.
    qint64 elapsed = 0;
    while (elapsed < milliseconds) {
        checkCancelled(flag);
        sleep(static_cast<int>(std::min<qint64>(100, milliseconds - elapsed)));
        elapsed += 100;
    }
}

} // namespace detail

void sleepCancellable(int milliseconds, const CancelFlag& flag)
{
    detail::sleepCancellable(milliseconds, flag, [](int ms) { QThread::msleep(ms); });
}

void ensureDir(const QString& path)
{
    if (!QDir().mkpath(path))
        throw Error(QStringLiteral("Nelze vytvořit složku: ") + path);
}

QByteArray readFile(const QString& path, qint64 ceiling)
{
    const QString message = QStringLiteral("Nelze načíst soubor: ") + path;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > ceiling)
        throw Error(message);
    // Read at most one byte past the ceiling: a file that grows after the size
    // check, or a device that reports size 0, cannot make us read without end.
    // In blocks, so that a small file does not cost a buffer of the ceiling's
    // size (QIODevice::read allocates all it is asked for).
    QByteArray content;
    while (content.size() <= ceiling) {
        const QByteArray block =
            file.read(std::min<qint64>(kIoBlockSize, ceiling + 1 - content.size()));
        if (block.isEmpty())
            break;
        content += block;
    }
    if (content.size() > ceiling || file.error() != QFileDevice::NoError)
        throw Error(message);
    return content;
}

QJsonObject parseJsonObject(const QByteArray& bytes)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        throw Error(QStringLiteral("Server poslal neplatný JSON."));
    return document.object();
}

QByteArray hashFile(const QString& path, QCryptographicHash::Algorithm algorithm,
                    const CancelFlag& flag)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Error(QStringLiteral("Nelze ověřit soubor: ") + path);
    StreamHash hash(algorithm);
    QByteArray block(kIoBlockSize, Qt::Uninitialized);
    while (!file.atEnd()) {
        checkCancelled(flag);
        const qint64 n = file.read(block.data(), kIoBlockSize);
        if (n <= 0) {
            if (n < 0 || file.error() != QFileDevice::NoError)
                throw Error(QStringLiteral("Chyba čtení: ") + path);
            break;
        }
        hash.addData(QByteArrayView(block.constData(), n));
    }
    const QByteArray digest = hash.hexResult();
    if (digest.isEmpty())
        throw Error(QStringLiteral("Nelze ověřit soubor: ") + path);
    return digest;
}

bool isReparsePoint(const QString& path)
{
    if (path.isEmpty())
        return false;
#ifdef Q_OS_WIN
    return platform::isReparsePoint(QDir::toNativeSeparators(path).toStdWString());
#else
    return platform::isReparsePoint(QFile::encodeName(path).toStdString());
#endif
}

QString sanitizeRelativePath(const QString& text)
{
    QString path = text;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    bool refused = path.isEmpty() || path.size() > 512 || path.startsWith(QLatin1Char('/')) ||
                   (path.size() > 1 && path.at(1) == QLatin1Char(':'));
    if (!refused) {
        const QStringList segments = path.split(QLatin1Char('/'), Qt::KeepEmptyParts);
        refused = !std::all_of(segments.cbegin(), segments.cend(), segmentAllowed);
    }
    if (refused)
        throw Error(QStringLiteral("Nepovolená cesta v manifestu: ") + text);
    return path;
}

QString resolveInside(const QString& base, const QString& relative)
{
    const QString relativePath = sanitizeRelativePath(relative);
    QString result = QDir::cleanPath(QDir(base).absolutePath());

    const QString linkMessage = QStringLiteral("Symbolický odkaz není povolen: ");
    // The base itself and every folder above it, up to the root of its volume.
    for (QString folder = result;;) {
        if (isReparsePoint(folder))
            throw Error(linkMessage + folder);
        const QString parent = QFileInfo(folder).path();
        if (parent.isEmpty() || parent == folder)
            break;
        folder = parent;
    }
    // Every existing part below the base, the target included.
    const QStringList segments = relativePath.split(QLatin1Char('/'));
    for (const QString& segment : segments) {
        if (!result.endsWith(QLatin1Char('/')))
            result += QLatin1Char('/');
        result += segment;
        if (isReparsePoint(result))
            throw Error(linkMessage + result);
    }
    return result;
}

void writeFileAtomically(const QString& path, const QByteArray& bytes)
{
    ensureDir(QFileInfo(path).absolutePath());
    // A link at the target is refused, not replaced: the caller meant a file.
    if (isReparsePoint(path))
        throw Error(QStringLiteral("Nelze bezpečně uložit soubor: ") + path);
    // Each document has one writer at a time, so what a killed run left for
    // it is stale.
    AtomicFile::removeStaleTemporaries(path);
    AtomicFile file(path);
    if (!file.open() || !file.write(bytes) || !file.commit())
        throw Error(QStringLiteral("Nelze bezpečně uložit soubor: ") + path);
}

void copyFile(const QString& source, const QString& target)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        throw Error(QStringLiteral("Nelze načíst: ") + source);
    ensureDir(QFileInfo(target).absolutePath());
    AtomicFile out(target);
    // As in writeFileAtomically: a link at the target is refused.
    if (isReparsePoint(target) || !out.open())
        throw Error(QStringLiteral("Nelze zapsat: ") + target);
    QByteArray block(kIoBlockSize, Qt::Uninitialized);
    while (!in.atEnd()) {
        const qint64 n = in.read(block.data(), kIoBlockSize);
        if (n < 0 || (n == 0 && in.error() != QFileDevice::NoError) ||
            !out.write(QByteArrayView(block.constData(), n)))
            throw Error(QStringLiteral("Chyba kopírování: ") + target);
        if (n == 0)
            break;
    }
    if (!out.commit())
        throw Error(QStringLiteral("Nelze dokončit zápis: ") + target);
}

QString dataDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

} // namespace tarvik
