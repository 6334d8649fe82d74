#include "devserver/FakeAdoptium.h"

#include "devserver/ZipBuilder.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace tarvik::dev {

FakeAdoptium::FakeAdoptium(HttpsServer& server) : m_server(server) {}

QString FakeAdoptium::assetsPath(int major)
{
    return QStringLiteral("/v3/assets/latest/%1/hotspot").arg(major);
}

QString FakeAdoptium::archivePath(int major)
{
    return QStringLiteral("/binary/jre-%1-x64.zip").arg(major);
}

QString FakeAdoptium::expectedQuery(const PlatformDescriptor& platform)
{
    return QStringLiteral("architecture=x64&image_type=jre&os=") + platform.javaDownloadOs +
           QStringLiteral("&vendor=eclipse");
}

QByteArray FakeAdoptium::packageJson(const QUrl& link, const QByteArray& checksum, qint64 size)
{
    return QByteArrayLiteral(
               R"([{"binary": {"architecture": "x64", "image_type": "jre", "package": {"checksum": ")") +
           checksum + QByteArrayLiteral(R"(", "link": ")") + link.toEncoded() +
           QByteArrayLiteral(R"(", "name": "jre.zip", "size": )") + QByteArray::number(size) +
           QByteArrayLiteral(R"(}}, "release_name": "jdk-17.0.12+7", "vendor": "eclipse"}])");
}

void FakeAdoptium::serve(int major, const QByteArray& archive)
{
    const QByteArray sha = QCryptographicHash::hash(archive, QCryptographicHash::Sha256).toHex();
    m_server.on("GET", archivePath(major), Reply::ok(archive, "application/zip"));
    m_server.on("GET", assetsPath(major),
                Reply::json(packageJson(m_server.url(archivePath(major)), sha, archive.size())));
}

void FakeAdoptium::answerAssets(int major, const Reply& reply)
{
    m_server.on("GET", assetsPath(major), reply);
}

QString systemJava()
{
    const QString java = QStandardPaths::findExecutable(QStringLiteral("java"));
    return java.isEmpty() ? QString() : QFileInfo(java).canonicalFilePath();
}

QByteArray javaWrapperScript(const QString& realJava)
{
    return QByteArrayLiteral("#!/bin/sh\nexec '") + realJava.toUtf8() +
           QByteArrayLiteral("' \"$@\"\n");
}

QByteArray jreArchive(const PlatformDescriptor& platform, const QByteArray& script,
                      const QByteArray& top)
{
    ZipBuilder builder;
    builder.directory(top + '/')
        .file(top + "/bin/" + platform.javaLauncher.toUtf8(), script, ZipBuilder::Method::Deflated,
              0100755)
        .file(top + "/release", "JAVA_VERSION=\"17.0.12\"\n", ZipBuilder::Method::Deflated, 0100644)
        .file(top + "/lib/modules", QByteArray(20000, 'm'), ZipBuilder::Method::Deflated, 0100644);
    if (platform.javaConsole != platform.javaLauncher)
        builder.file(top + "/bin/" + platform.javaConsole.toUtf8(), script,
                     ZipBuilder::Method::Deflated, 0100755);
    return builder.bytes();
}

} // namespace tarvik::dev
