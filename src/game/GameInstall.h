// Puts everything an event needs in place before a launch: the version data,
// a fitting Java runtime, the instance folder with its approved mods, the
// client jar, libraries, natives, the Fabric loader's libraries and the
// assets. Shared files live once under the data folder; every file is SHA-1
// verified and intact files are not fetched again. Runs on the play job's
// worker thread; the result is a plain value handed to the launch assembly.
#pragma once

#include "auth/Account.h"
#include "catalog/Catalog.h"
#include "catalog/Settings.h"
#include "fs/Error.h"
#include "net/Http.h"
#include "platform/Platform.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace tarvik {

// What the installation hands to the launch assembly (a plain value).
struct GameInstallation
{
    // The parsed version JSON.
    QJsonObject versionJson;
    // The Java launcher to start the game with.
    QString javaPath;
    // Absolute path of the event's game folder.
    QString instanceDir;
    // The checked "assetIndex" "id".
    QString assetIndexId;
    // Absolute jar paths: version libraries (document order, rules applied),
    // Fabric libraries (profile order), the client jar last.
    QStringList classpath;
    // The version's JVM arguments, then the Fabric profile's; placeholders
    // not yet substituted.
    QStringList jvmArguments;
    // The version's game arguments; placeholders not yet substituted.
    QStringList gameArguments;
    // The version's main class, or the Fabric profile's when the event uses
    // Fabric.
    QString mainClass;
};

// Validates the settings and the session, loads the version data, prepares
// Java, synchronises the event's mods, then downloads game files in one
// batch and asset objects in a second one, unpacking the native libraries in
// between. Files written before a failure stay. Throws Error.
GameInstallation installGame(Http& http, const Event& event, const Settings& settings,
                             const Account& account, const CancelFlag& cancel,
                             const ProgressCallback& progress,
                             const PlatformDescriptor& platform = PlatformDescriptor::current());

namespace detail {

// One library of a Fabric profile: its download, whose digest is empty when
// the profile gives none (the caller then fetches urlText + ".sha1"), and the
// address as the profile wrote it. Throws Error for a name that is not
// "group:artifact:version", a path the validator refuses or a bad digest.
struct FabricLibrary
{
    Download download;
    QString urlText;
};
FabricLibrary fabricLibrary(const QJsonObject& library);

// The version's library jars that apply on the platform, in document order.
struct VersionFiles
{
    QList<Download> downloads;
    // Artifact jars, for the class path.
    QStringList classpath;
    // Jars whose native libraries are unpacked.
    QStringList nativeJars;
};
VersionFiles libraryFiles(const QJsonObject& versionJson, const PlatformDescriptor& platform);

// The asset objects of an index's "objects", each hash once, below
// dataDir()/assets/objects. Throws "Neplatná herní textura." for a hash that
// is not 40 lower-case hexadecimal digits.
QList<Download> assetObjectDownloads(const QJsonObject& objects);

} // namespace detail

} // namespace tarvik
