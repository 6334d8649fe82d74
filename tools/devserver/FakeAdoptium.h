// A stand-in for the Java vendor's assets API on an HttpsServer: answers
// "/v3/assets/latest/<major>/hotspot" with the package record of a JRE archive
// and serves that archive, and builds JRE archives whose Java launcher and
// console are small shell scripts (around the machine's real JVM, for
// example). Usable from any thread; the routes run on the server's thread.
#pragma once

#include "devserver/HttpsServer.h"
#include "platform/Platform.h"

#include <QByteArray>
#include <QString>

namespace tarvik::dev {

class FakeAdoptium
{
public:
    explicit FakeAdoptium(HttpsServer& server);

    // The assets route and the archive route of one major version.
    static QString assetsPath(int major);
    static QString archivePath(int major);
    // The query that every assets request must carry for the platform.
    static QString expectedQuery(const PlatformDescriptor& platform);

    // Serves `archive` as the JRE of `major`, announced with its real SHA-256
    // and size.
    void serve(int major, const QByteArray& archive);
    // Answers the assets request of `major` with a fixed reply (faults); the
    // archive, if any, stays served.
    void answerAssets(int major, const Reply& reply);

    // The package record the service answers with: an array of one asset.
    static QByteArray packageJson(const QUrl& link, const QByteArray& checksum, qint64 size);

private:
    HttpsServer& m_server;
};

// The machine's real `java` (followed through links), or empty.
QString systemJava();

// A shell script that runs the real JVM with its arguments.
QByteArray javaWrapperScript(const QString& realJava);

// A JRE-shaped ZIP: <top>/bin/<launcher> and <top>/bin/<console> (both the
// given script, executable), <top>/lib/modules and <top>/release.
QByteArray jreArchive(const PlatformDescriptor& platform, const QByteArray& script,
                      const QByteArray& top = "jdk-17.0.12+7-jre");

} // namespace tarvik::dev
