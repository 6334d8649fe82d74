#include "ReleaseManifest.h"

#include "fs/SafeFiles.h"
#include "fs/ZipExtract.h"
#include "net/Http.h"
#include "signing/Signing.h"
#include "update/Update.h"
#include "updater/Updater.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QTemporaryDir>

namespace tarvik::tools {

namespace {

const QString kUsage = QStringLiteral(
    "Usage: release-manifest --host HOST --revision N --url URL [--platform windows|linux]\n"
    "                        [--output FILE [--sign KEY.pem]] ARCHIVE.zip\n"
    "Checks a release archive as the updater will and writes the update manifest for it:\n"
    "HOST is the operator's host (as compiled into the launcher), N the release's revision\n"
    "(2 to 1000000, the revision in the archive's install marker), URL where the archive\n"
    "will be served (https://HOST/releases/...). Without --output the manifest is printed.\n"
    "With --sign, the manifest is signed with the operator's private key into FILE.sig, to be\n"
    "published beside it.\n");

qint32 parseRevision(const QString& text)
{
    bool ok = !text.isEmpty() && text.size() <= 7;
    for (const QChar c : text)
        ok = ok && c.isDigit() && c.unicode() < 128;
    const int revision = ok ? text.toInt(&ok) : 0;
    if (!ok || revision < 2 || revision > kMaxUpdateRevision)
        throw Error(QStringLiteral("revision must be a whole number from 2 to %1: ")
                        .arg(kMaxUpdateRevision) +
                    text);
    return revision;
}

// Unpacks every entry exactly as the updater does, so an archive that the
// updater would refuse is refused here, before anyone downloads it. Its
// marker must carry the revision it is published as: the installed launcher
// takes that as its own, so it never hands off to its own release again.
void checkArchive(const QString& archive, const PlatformDescriptor& platform, qint32 revision)
{
    QTemporaryDir scratch;
    if (!scratch.isValid())
        throw Error(QStringLiteral("Nelze vytvořit složku: ") + scratch.path());
    const QString folder = scratch.filePath(QStringLiteral("release"));
    extractZip(archive, folder, {}, false);
    if (!updater::isCompleteInstallation(folder, platform))
        throw Error(QStringLiteral("Aktualizace neobsahuje úplnou instalaci."));
    const QJsonValue marked =
        parseJsonObject(readFile(folder + QLatin1Char('/') + QLatin1String(kInstallMarkerFile),
                                 kMaxDocumentSize))
            .value(QLatin1String("revision"));
    if (!marked.isDouble() || marked.toDouble() != revision)
        throw Error(QStringLiteral("the archive's %1 names revision %2, not %3 (lay it out with "
                                   "scripts/assemble-release --revision %3)")
                        .arg(QLatin1String(kInstallMarkerFile),
                             marked.isDouble() ? QString::number(marked.toDouble())
                                               : QStringLiteral("none"))
                        .arg(revision));
}

} // namespace

int runReleaseManifest(const QStringList& arguments, QTextStream& out, QTextStream& err)
{
    QCommandLineParser parser;
    const auto option = [](const char* name) {
        return QCommandLineOption(QLatin1String(name), QLatin1String(name),
                                  QStringLiteral("value"));
    };
    const QCommandLineOption host = option("host");
    const QCommandLineOption revision = option("revision");
    const QCommandLineOption url = option("url");
    const QCommandLineOption platformName = option("platform");
    const QCommandLineOption output = option("output");
    const QCommandLineOption sign = option("sign");
    parser.addOptions({host, revision, url, platformName, output, sign});
    QStringList withProgram = arguments;
    withProgram.prepend(QStringLiteral("release-manifest"));
    const QString platformValue =
        parser.parse(withProgram) ? parser.value(platformName) : QString();
    const bool platformKnown = platformValue.isEmpty() ||
                               platformValue == QLatin1String("windows") ||
                               platformValue == QLatin1String("linux");
    if (!parser.errorText().isEmpty() || parser.positionalArguments().size() != 1 ||
        !parser.isSet(host) || !parser.isSet(revision) || !parser.isSet(url) || !platformKnown ||
        (parser.isSet(sign) && !parser.isSet(output))) {
        if (!parser.errorText().isEmpty())
            err << parser.errorText() << '\n';
        err << kUsage;
        return 2;
    }
    const PlatformDescriptor platform = platformValue.isEmpty() ? PlatformDescriptor::current()
                                        : platformValue == QLatin1String("windows")
                                            ? PlatformDescriptor::forWindows()
                                            : PlatformDescriptor::forLinux();
    const QString archive = parser.positionalArguments().constFirst();

    try {
        const qint32 revisionNumber = parseRevision(parser.value(revision));
        const QJsonObject manifest{
            {QStringLiteral("schema"), 1},
            {QStringLiteral("version"), QLatin1String(kClientVersion)},
            {QStringLiteral("revision"), revisionNumber},
            {QStringLiteral("url"), parser.value(url)},
            {QStringLiteral("sha256"),
             QString::fromLatin1(hashFile(archive, QCryptographicHash::Sha256, {}))},
            {QStringLiteral("size"), QFileInfo(archive).size()},
        };
        // The launcher's own rules, as if the manifest had been fetched from
        // this host; the scheme is checked by its download.
        const QUrl manifestUrl(QStringLiteral("https://") + parser.value(host) +
                               QStringLiteral("/api/v1/update.json"));
        if (!manifestUrl.isValid() || manifestUrl.host().isEmpty())
            throw Error(QStringLiteral("not a host name: ") + parser.value(host));
        Http::requireHttpsUrl(QUrl(parser.value(url), QUrl::TolerantMode));
        parseUpdateManifest(manifest, manifestUrl, 1);
        checkArchive(archive, platform, revisionNumber);

        const QByteArray json = QJsonDocument(manifest).toJson(QJsonDocument::Indented);
        if (parser.isSet(output)) {
            // Signed before anything is written: a key that fails leaves the
            // published pair as it was.
            const QByteArray signature =
                parser.isSet(sign) ? signDocument(parser.value(sign), json) : QByteArray();
            writeFileAtomically(parser.value(output), json);
            if (!signature.isEmpty()) {
                writeFileAtomically(parser.value(output) + QStringLiteral(".sig"), signature);
                out << "signed: " << parser.value(output) << ".sig\n";
            }
        } else
            out << QString::fromUtf8(json);
        return 0;
    } catch (const Error& error) {
        err << error.message() << '\n';
        return 1;
    }
}

} // namespace tarvik::tools
