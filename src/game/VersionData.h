// The game's official version data and its three small interpreters: the
// platform rules, the argument-list collector and the builder of SHA-1
// verified downloads. loadVersionJson runs on the play job's worker thread;
// the other functions are pure and safe on any thread.
#pragma once

#include "net/Download.h"
#include "net/Http.h"
#include "platform/Platform.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace tarvik {

// Lowest Java major version the launcher supports.
inline constexpr int kMinimumJavaMajor = 17;

// The parsed version JSON of one Minecraft version and the Java major version
// it requires (at least kMinimumJavaMajor). A plain value.
struct VersionData
{
    QJsonObject json;
    int javaMajor = 0;
};

// Fetches the version manifest, downloads the version JSON of `versionId` to
// dataDir + "/versions/<id>.json" (an intact file is kept) and reads it back.
// Refuses versions older than the structured "arguments" form and Java 17.
// Throws Error.
VersionData loadVersionJson(Http& http, const QString& versionId, const ProgressCallback& progress);

// Whether an element that may carry a "rules" array applies on the platform:
// the last applying rule decides, none applying means no. The launcher claims
// exactly the descriptor's features.
bool rulesAllow(const QJsonObject& element,
                const PlatformDescriptor& platform = PlatformDescriptor::current());

// The arguments of one argument array in document order: strings as they are,
// rule-guarded entries included or dropped by rulesAllow. Placeholders stay.
QStringList collectArguments(const QJsonArray& arguments,
                             const PlatformDescriptor& platform = PlatformDescriptor::current());

// A SHA-1 verified download from an object with "sha1", "url" and "size".
// Throws "Chybí platný SHA-1 herního souboru." without a valid "sha1".
Download gameFileDownload(const QJsonObject& object, const QString& targetPath);

} // namespace tarvik
