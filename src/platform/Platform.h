// The platform descriptor: every operating-system specific *value* that game
// installation and launch need (names in version rules, native library
// suffix, Java executables, classpath separator, ...). Pure functions take a
// descriptor as a parameter so tests can check the Windows behaviour on any
// machine; the program passes PlatformDescriptor::current().
#pragma once

#include <QString>
#include <QStringList>

namespace tarvik {

struct PlatformDescriptor
{
    // "os"."name" value that a version rule must carry to apply here.
    QString osName;
    // "os"."arch" values that apply on this platform.
    QStringList archNames;
    // Searched by "os"."version" rule expressions (e.g. "10.0.22631").
    QString kernelVersion;
    // The one feature that the launcher claims in argument rules.
    QStringList features;
    // Key of a library's "natives" object ("windows").
    QString nativesKey;
    // Text in a library artifact path that marks a native jar ("natives-windows").
    QString nativesArtifactMarker;
    // File name suffix of a native library unpacked from native jars (".dll").
    QString nativeLibrarySuffix;
    // Java executable that starts the game without a console ("javaw.exe").
    QString javaLauncher;
    // Java executable used for the probe ("java.exe").
    QString javaConsole;
    // Separator between classpath entries (";").
    QString classpathSeparator;
    // "os" query value of the Java download service ("windows").
    QString javaDownloadOs;
    // Platform text inside the User-Agent ("Windows x64").
    QString userAgentPlatform;
    // File names of the two programs in the installation folder.
    QString clientExecutable;
    QString updaterExecutable;
    // Name filter of the runtime libraries copied beside the updater ("*.dll").
    QString runtimeLibraryPattern;

    // The exact values of the Windows x64 design. The kernel version is the
    // given text (the running machine's on Windows, a fixed one in tests).
    static PlatformDescriptor
    forWindows(const QString& kernelVersion = QStringLiteral("10.0.22631"));
    // The native Linux x86-64 equivalents.
    static PlatformDescriptor forLinux(const QString& kernelVersion = QString());
    // The descriptor of the machine the program runs on, with its kernel version.
    static PlatformDescriptor current();
};

} // namespace tarvik
