#include "support/TestData.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace tarvik::test {

QString dataPath(const QString& relative)
{
    return QStringLiteral(TARVIK_TEST_DATA_DIR "/") + relative;
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

ScopedDataDir::ScopedDataDir()
{
#ifdef Q_OS_WIN
    QStandardPaths::setTestModeEnabled(true);
    m_root = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    QDir(m_root).removeRecursively();
#else
    m_root = m_dir.path();
#endif
    m_hadPrevious = qEnvironmentVariableIsSet("XDG_DATA_HOME");
    m_previous = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.path()));
}

ScopedDataDir::~ScopedDataDir()
{
#ifdef Q_OS_WIN
    QDir(m_root).removeRecursively();
#endif
    if (m_hadPrevious)
        qputenv("XDG_DATA_HOME", m_previous);
    else
        qunsetenv("XDG_DATA_HOME");
}

QStringList listFiles(const QString& folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QDir base(folder);
    while (it.hasNext())
        files << base.relativeFilePath(it.next());
    files.sort();
    return files;
}

} // namespace tarvik::test
