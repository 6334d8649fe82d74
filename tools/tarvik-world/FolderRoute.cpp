#include "FolderRoute.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace tarvik::world {

QString fileInside(const QString& root, const QString& relative)
{
    if (relative.isEmpty() || relative.contains(QLatin1Char('\\')) || relative.contains(QChar(0)))
        return {};
    for (const QString& segment : relative.split(QLatin1Char('/'))) {
        if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String(".."))
            return {};
    }
    const QString realRoot = QFileInfo(root).canonicalFilePath();
    if (realRoot.isEmpty())
        return {};
    const QFileInfo file(realRoot + QLatin1Char('/') + relative);
    const QString real = file.canonicalFilePath();
    if (real.isEmpty() || !real.startsWith(realRoot + QLatin1Char('/')) ||
        !QFileInfo(real).isFile())
        return {};
    return real;
}

QByteArray contentTypeFor(const QString& fileName)
{
    if (fileName.endsWith(QLatin1String(".json")))
        return "application/json";
    if (fileName.endsWith(QLatin1String(".zip")))
        return "application/zip";
    if (fileName.endsWith(QLatin1String(".jar")))
        return "application/java-archive";
    return "application/octet-stream";
}

void serveFolder(dev::HttpsServer& server, const QString& prefix, const QString& root)
{
    server.onPrefix("GET", prefix, [prefix, root](const dev::RecordedRequest& request) {
        const QString path = fileInside(root, request.path.mid(prefix.size()));
        QFile file(path);
        if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
            return dev::Reply::withStatus(404, "not found");
        return dev::Reply::ok(file.readAll(), contentTypeFor(path));
    });
}

} // namespace tarvik::world
