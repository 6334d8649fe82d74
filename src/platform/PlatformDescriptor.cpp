#include "platform/Platform.h"

#include <QSysInfo>

namespace tarvik {

PlatformDescriptor PlatformDescriptor::forWindows(const QString& kernelVersion)
{
    PlatformDescriptor d;
    d.osName = QStringLiteral("windows");
    d.archNames = {QStringLiteral("x86_64"), QStringLiteral("amd64")};
    d.kernelVersion = kernelVersion;
    d.features = {QStringLiteral("has_custom_resolution")};
    d.nativesKey = QStringLiteral("windows");
    d.nativesArtifactMarker = QStringLiteral("natives-windows");
    d.nativeLibrarySuffix = QStringLiteral(".dll");
    d.javaLauncher = QStringLiteral("javaw.exe");
    d.javaConsole = QStringLiteral("java.exe");
    d.classpathSeparator = QStringLiteral(";");
    d.javaDownloadOs = QStringLiteral("windows");
    d.userAgentPlatform = QStringLiteral("Windows x64");
    d.clientExecutable = QStringLiteral("TarvikClient.exe");
    d.updaterExecutable = QStringLiteral("TarvikUpdater.exe");
    d.runtimeLibraryPattern = QStringLiteral("*.dll");
    return d;
}

PlatformDescriptor PlatformDescriptor::forLinux(const QString& kernelVersion)
{
    PlatformDescriptor d;
    d.osName = QStringLiteral("linux");
    d.archNames = {QStringLiteral("x86_64"), QStringLiteral("amd64")};
    d.kernelVersion = kernelVersion;
    d.features = {QStringLiteral("has_custom_resolution")};
    d.nativesKey = QStringLiteral("linux");
    d.nativesArtifactMarker = QStringLiteral("natives-linux");
    d.nativeLibrarySuffix = QStringLiteral(".so");
    d.javaLauncher = QStringLiteral("java");
    d.javaConsole = QStringLiteral("java");
    d.classpathSeparator = QStringLiteral(":");
    d.javaDownloadOs = QStringLiteral("linux");
    d.userAgentPlatform = QStringLiteral("Linux x64");
    d.clientExecutable = QStringLiteral("TarvikClient");
    d.updaterExecutable = QStringLiteral("TarvikUpdater");
    d.runtimeLibraryPattern = QStringLiteral("*.so*");
    return d;
}

PlatformDescriptor PlatformDescriptor::current()
{
#ifdef Q_OS_WIN
    return forWindows(QSysInfo::kernelVersion());
#else
    return forLinux(QSysInfo::kernelVersion());
#endif
}

} // namespace tarvik
