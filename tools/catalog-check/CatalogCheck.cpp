#include "CatalogCheck.h"

#include "catalog/Catalog.h"
#include "fs/SafeFiles.h"
#include "signing/Signing.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace tarvik::tools {

namespace {

const QString kUsage = QStringLiteral(
    "Usage: catalog-check CATALOG.json\n"
    "       catalog-check --fill-hashes JAR_FOLDER CATALOG.json\n"
    "       catalog-check --sign KEY.pem CATALOG.json\n"
    "Checks a catalog exactly as the launcher does. With --fill-hashes, sets each mod's\n"
    "\"sha512\" and \"size\" from the jar named by its \"file\" in JAR_FOLDER and prints the\n"
    "catalog. With --sign, signs a valid catalog with the operator's private key and writes\n"
    "the signature to CATALOG.json.sig, to be published beside it.\n");

QString summary(const Event& event)
{
    int required = 0;
    for (const Mod& mod : event.mods)
        required += mod.required ? 1 : 0;
    QString line = event.id + QStringLiteral(": ") + event.name + QStringLiteral(" · Minecraft ") +
                   event.minecraft;
    if (!event.fabricLoader.isEmpty())
        line += QStringLiteral(" · Fabric ") + event.fabricLoader;
    line += QStringLiteral(" · mods: %1 (required: %2)").arg(event.mods.size()).arg(required);
    if (!event.server.isEmpty())
        line += QStringLiteral(" · server ") + event.server;
    return line;
}

// Validates with the launcher's code; prints the verdict. Returns the exit code.
int check(const QJsonObject& document, QTextStream& out, QTextStream& err, bool quiet)
{
    QString where;
    try {
        const Catalog catalog = Catalog::fromJson(document, &where);
        if (!quiet) {
            out << "OK\n";
            for (const Event& event : catalog.events)
                out << summary(event) << '\n';
        }
        return 0;
    } catch (const Error& error) {
        err << (where.isEmpty() ? QString() : where + QStringLiteral(": ")) << error.message()
            << '\n';
        return 1;
    }
}

// Sets "sha512" and "size" of every mod from DIR/<file>. Only names that the
// launcher would accept are looked up, and never through a link.
QJsonObject fillHashes(QJsonObject document, const QString& folder)
{
    QJsonArray events = document.value(QLatin1String("events")).toArray();
    for (qsizetype i = 0; i < events.size(); ++i) {
        QJsonObject event = events.at(i).toObject();
        // An event without a mods list is printed as it was written.
        if (!event.value(QLatin1String("mods")).isArray())
            continue;
        QJsonArray mods = event.value(QLatin1String("mods")).toArray();
        for (qsizetype j = 0; j < mods.size(); ++j) {
            QJsonObject mod = mods.at(j).toObject();
            const QString where = QStringLiteral("events[%1].mods[%2].file: ").arg(i).arg(j);
            try {
                const QString path =
                    resolveInside(folder, mod.value(QLatin1String("file")).toString());
                const QByteArray sha = hashFile(path, QCryptographicHash::Sha512, {});
                mod.insert(QStringLiteral("sha512"), QString::fromLatin1(sha));
                mod.insert(QStringLiteral("size"), QFileInfo(path).size());
            } catch (const Error& error) {
                throw Error(where + error.message());
            }
            mods.replace(j, mod);
        }
        event.insert(QStringLiteral("mods"), mods);
        events.replace(i, event);
    }
    document.insert(QStringLiteral("events"), events);
    return document;
}

} // namespace

int runCatalogCheck(const QStringList& arguments, QTextStream& out, QTextStream& err)
{
    QString jarFolder;
    QString signingKey;
    QString file;
    if (arguments.size() == 1 && !arguments.at(0).startsWith(QLatin1Char('-'))) {
        file = arguments.at(0);
    } else if (arguments.size() == 3 && arguments.at(0) == QLatin1String("--fill-hashes")) {
        jarFolder = arguments.at(1);
        file = arguments.at(2);
    } else if (arguments.size() == 3 && arguments.at(0) == QLatin1String("--sign")) {
        signingKey = arguments.at(1);
        file = arguments.at(2);
    } else {
        err << kUsage;
        return 2;
    }

    try {
        const QByteArray bytes = readFile(file, kMaxDocumentSize);
        QJsonObject document = parseJsonObject(bytes);
        if (!signingKey.isEmpty()) {
            // Only a catalog that the launcher accepts gets a signature, made
            // over exactly the bytes that were checked.
            const int verdict = check(document, out, err, false);
            if (verdict == 0) {
                writeFileAtomically(file + QStringLiteral(".sig"), signDocument(signingKey, bytes));
                out << "signed: " << file << ".sig\n";
            }
            return verdict;
        }
        if (jarFolder.isEmpty())
            return check(document, out, err, false);
        document = fillHashes(document, jarFolder);
        out << QJsonDocument(document).toJson(QJsonDocument::Indented);
        return check(document, out, err, true);
    } catch (const Error& error) {
        err << error.message() << '\n';
        return 1;
    }
}

} // namespace tarvik::tools
