// The launcher's side of self-update: reading the operator's update manifest,
// downloading and verifying a newer release, and handing over to the updater
// program. checkForUpdate runs on a job's worker thread with that job's Http;
// startUpdater runs on the GUI thread. They share nothing but the UpdateInfo
// value passed between them. Failures are thrown as Error.
#pragma once

#include "fs/Error.h"
#include "platform/Platform.h"
#include "update/UpdateConfig.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QUrl>

namespace tarvik {

class Http;

// The client version line; a manifest for another line is refused.
inline constexpr char kClientVersion[] = "1.0.0";
// This build's revision within the line (configured at build time). The
// installed revision is the install marker's when that is higher (see
// installedRevision); a manifest revision of that or less is no update.
inline constexpr qint32 kClientRevision = TARVIK_CLIENT_REVISION;
// The highest revision a manifest may name.
inline constexpr qint32 kMaxUpdateRevision = 1000000;

// The install marker in the application folder and in every release archive.
inline constexpr char kInstallMarkerFile[] = ".tarvik-install";
inline constexpr char kInstallProduct[] = "TarvikClient";

// A downloaded and verified release waiting for the hand-off; all empty (and
// revision 0) when there is no update.
struct UpdateInfo
{
    // Absolute path of the verified archive.
    QString packagePath;
    // Its SHA-256 as lower-case hexadecimal.
    QByteArray sha256;
    qint32 revision = 0;
    // Set instead when the updater failed to install this very release and
    // started this launcher again: its message, shown once; no hand-off.
    QString failure = {};
};

// The update manifest after validation.
struct UpdateManifest
{
    // 0 when the manifest names no newer revision.
    qint32 revision = 0;
    QUrl url;
    // Lower-case hexadecimal.
    QByteArray sha256;
    // -1 when unknown.
    qint64 size = -1;
};

// Validates a manifest fetched from manifestUrl: schema 1 and version "1.0.0"
// ("Nepodporovaný manifest aktualizace."), a revision above currentRevision is
// an update and one above kMaxUpdateRevision is refused ("Neplatná revize
// aktualizace."), the archive must be on the manifest's host below
// "/releases/" ("Nepovolený zdroj aktualizace."), the digest 64 hexadecimal
// digits ("Neplatný kontrolní součet aktualizace."). The URL's scheme is left
// to the download's HTTPS rule.
UpdateManifest parseUpdateManifest(const QJsonObject& manifest, const QUrl& manifestUrl,
                                   qint32 currentRevision = kClientRevision);

// The revision installed in the application folder: the install marker's
// "revision" (written by the release tools, so a release never hands off to
// itself whatever it was compiled with) when it is higher than
// kClientRevision; kClientRevision without a readable marker.
qint32 installedRevision(const QString& applicationFolder);

// Whether an updater is running for this data folder (it holds the lock in
// dataDir()/updates); a launcher started meanwhile ends instead.
bool isUpdateInProgress();

// Reads the manifest at updateUrl() (refused with "Manifest aktualizace není
// podepsán klíčem pořadatele." when the build has operator keys and none of
// them signed it, see net/SignedDocument.h) and, when it names a newer
// revision than the installed one,
// downloads the archive to dataDir()/updates/revision-<N>.zip (an archive
// already there that verifies is not fetched again). When the updater left a
// report that this release failed, the report is removed and returned in
// `failure` instead of a hand-off. The caller reports "Kontroluji
// aktualizace" before calling.
UpdateInfo checkForUpdate(Http& http, const CancelFlag& cancel);

// Copies the updater and the runtime libraries of the application folder into
// a fresh dataDir()/updates/helper-<uuid>, starts that copy detached with the
// process id, the archive, its digest and the application folder, then asks
// the application to quit. Only works from a folder holding the install
// marker of this product.
void startUpdater(const UpdateInfo& info);

namespace detail {
// startUpdater without the quit, for a given application folder, platform and
// process id. Returns the launch folder.
QString launchUpdater(const UpdateInfo& info, const QString& applicationFolder,
                      const PlatformDescriptor& platform, qint64 processId);
} // namespace detail

} // namespace tarvik
