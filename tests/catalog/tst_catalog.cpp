// Catalog validation through a real HTTPS server, mod resolution, and the
// settings file on a real, per-test data folder.
#include "catalog/Catalog.h"
#include "catalog/ModManager.h"
#include "catalog/Settings.h"
#include "fs/SafeFiles.h"
#include "net/Http.h"
#include "support/HttpsTestServer.h"
#include "support/TestData.h"
#include "support/TestEndpoints.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <limits>
#include <memory>

Q_DECLARE_METATYPE(tarvik::Settings)
Q_DECLARE_METATYPE(tarvik::test::TestReply)

using namespace tarvik;
using namespace Qt::StringLiterals;
using tarvik::test::HttpsTestServer;
using tarvik::test::TestReply;

namespace {

const QString kCatalogPath = QStringLiteral("/api/v1/catalog.json");
const QString kField = QStringLiteral("Neplatné pole katalogu: ");
const QString kIdentifier = QStringLiteral("Neplatný identifikátor katalogu.");
const QString kBadPath = QStringLiteral("Nepovolená cesta v manifestu: ");
const QString kServer = QStringLiteral("Neplatná adresa herního serveru.");
const QString kModList = QStringLiteral("Neplatný seznam Fabric modů.");
const QString kBadMod = QStringLiteral("Duplicitní nebo neplatný mod v katalogu.");
const QString kSha = QStringLiteral("Neplatný SHA-512 modu.");
const QString kSize = QStringLiteral("Neplatná velikost modu.");
const QString kHttps = QStringLiteral("Je vyžadována platná HTTPS adresa.");
const QString kCycle = QStringLiteral("Cyklus závislostí modů.");
const QString kMissingDependency = QStringLiteral("Chybějící závislost modu: ");
const QString kRam = QStringLiteral("RAM musí být 1–64 GB v krocích po 256 MB.");
const QString kResolution = QStringLiteral("Neplatné rozlišení hry.");
const QString kJvm = QStringLiteral("Neplatné JVM parametry.");

QString repeated(QChar c, qsizetype n)
{
    return QString(n, c);
}

QJsonObject modJson(const QString& id, const QString& file)
{
    return QJsonObject{
        {QStringLiteral("id"), id},
        {QStringLiteral("name"), QString(QStringLiteral("Mod ") + id)},
        {QStringLiteral("version"), QStringLiteral("1.0.0")},
        {QStringLiteral("description"), QStringLiteral("Popis modu.")},
        {QStringLiteral("category"), QStringLiteral("Výkon")},
        {QStringLiteral("file"), file},
        {QStringLiteral("url"), QString(QStringLiteral("https://cdn.example.net/") + file)},
        {QStringLiteral("sha512"), repeated(QLatin1Char('a'), 128)},
        {QStringLiteral("size"), 1000},
    };
}

QJsonObject eventJson(const QString& id, const QJsonArray& mods = {})
{
    return QJsonObject{
        {QStringLiteral("id"), id},
        {QStringLiteral("name"), QStringLiteral("Letní turnaj")},
        {QStringLiteral("description"), QStringLiteral("Turnaj pro všechny.")},
        {QStringLiteral("minecraft"), QStringLiteral("1.21.1")},
        {QStringLiteral("fabricLoader"), QStringLiteral("0.16.5")},
        {QStringLiteral("server"), QStringLiteral("play.example.cz:25565")},
        {QStringLiteral("mods"), mods},
    };
}

QJsonObject catalog(const QJsonArray& events)
{
    return QJsonObject{
        {QStringLiteral("schema"), 1},
        {QStringLiteral("microsoftClientId"),
         QStringLiteral("0123abcd-4567-89ab-CDEF-0123456789ab")},
        {QStringLiteral("events"), events},
    };
}

// A catalog of one event with one mod "a" ("a.jar"), with one value replaced.
QJsonObject withTop(const QString& key, const QJsonValue& value)
{
    QJsonObject document = catalog(
        {eventJson(QStringLiteral("e1"), {modJson(QStringLiteral("a"), QStringLiteral("a.jar"))})});
    document.insert(key, value);
    return document;
}

QJsonObject withEvent(const QString& key, const QJsonValue& value)
{
    QJsonObject e =
        eventJson(QStringLiteral("e1"), {modJson(QStringLiteral("a"), QStringLiteral("a.jar"))});
    if (value.isUndefined())
        e.remove(key);
    else
        e.insert(key, value);
    return catalog({e});
}

QJsonObject withMod(const QString& key, const QJsonValue& value)
{
    QJsonObject m = modJson(QStringLiteral("a"), QStringLiteral("a.jar"));
    if (value.isUndefined())
        m.remove(key);
    else
        m.insert(key, value);
    return catalog({eventJson(QStringLiteral("e1"), {m})});
}

QJsonObject withMods(const QJsonArray& mods)
{
    return catalog({eventJson(QStringLiteral("e1"), mods)});
}

QJsonObject dependent(const QString& id, const QString& file, const QStringList& dependencies)
{
    QJsonObject m = modJson(id, file);
    m.insert(QStringLiteral("dependencies"), QJsonArray::fromStringList(dependencies));
    return m;
}

QJsonArray manyEvents(int count)
{
    QJsonArray events;
    for (int i = 0; i < count; ++i)
        events.append(eventJson(QStringLiteral("e%1").arg(i)));
    return events;
}

QJsonArray manyMods(int count)
{
    QJsonArray mods;
    for (int i = 0; i < count; ++i)
        mods.append(modJson(QStringLiteral("m%1").arg(i), QStringLiteral("m%1.jar").arg(i)));
    return mods;
}

Event resolveEvent()
{
    // a -> b -> c; d required; e -> a; f alone.
    Event e;
    e.id = QStringLiteral("e1");
    const auto add = [&](const QString& id, const QStringList& dependencies, bool required) {
        Mod m;
        m.id = id;
        m.dependencies = dependencies;
        m.required = required;
        e.mods.append(m);
    };
    add(QStringLiteral("a"), {QStringLiteral("b")}, false);
    add(QStringLiteral("b"), {QStringLiteral("c")}, false);
    add(QStringLiteral("c"), {}, false);
    add(QStringLiteral("d"), {}, true);
    add(QStringLiteral("e"), {QStringLiteral("a")}, false);
    add(QStringLiteral("f"), {}, false);
    return e;
}

QSet<QString> ids(const QStringList& list)
{
    return QSet<QString>(list.cbegin(), list.cend());
}

void writeSettings(const QByteArray& json)
{
    QVERIFY(tarvik::test::writeBytes(Settings::path(), json));
}

} // namespace

class TestCatalog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void load_data();
    void load();
    void realisticCatalogLoadsWhole();
    void serverFailures_data();
    void serverFailures();

    void resolve_data();
    void resolve();
    void resolveEndsOnCycle();

    void settingsWithoutFile();
    void settingsValidate_data();
    void settingsValidate();
    void settingsLenientReading_data();
    void settingsLenientReading();
    void settingsUnreadableFile_data();
    void settingsUnreadableFile();
    void settingsSaveWritesSortedArrays();
    void settingsFailedSaveKeepsOldFile();
    void settingsSaveFailsOnUnwritableTarget();

private:
    std::unique_ptr<HttpsTestServer> m_server;
    std::unique_ptr<tarvik::test::ScopedEndpoints> m_endpoints;
    std::unique_ptr<tarvik::test::ScopedDataDir> m_dataDir;
};

void TestCatalog::initTestCase()
{
    m_server = std::make_unique<HttpsTestServer>();
    m_endpoints = std::make_unique<tarvik::test::ScopedEndpoints>(m_server->baseUrl());
}

void TestCatalog::init()
{
    m_dataDir = std::make_unique<tarvik::test::ScopedDataDir>();
}

void TestCatalog::cleanup()
{
    m_dataDir.reset();
}

void TestCatalog::load_data()
{
    QTest::addColumn<QJsonObject>("document");
    QTest::addColumn<QString>("message"); // empty: the catalog loads
    QTest::addColumn<QString>("where");

    const QString id80 = QStringLiteral("a") + repeated(QLatin1Char('b'), 79);
    const QString sha = repeated(QLatin1Char('a'), 128);

    QTest::newRow("schema 2") << withTop(QStringLiteral("schema"), 2)
                              << QStringLiteral("Nepodporované schéma katalogu.") << u"schema"_s;
    QTest::newRow("schema as text")
        << withTop(QStringLiteral("schema"), QStringLiteral("1"))
        << QStringLiteral("Nepodporované schéma katalogu.") << u"schema"_s;
    QTest::newRow("schema missing")
        << QJsonObject{} << QStringLiteral("Nepodporované schéma katalogu.") << u"schema"_s;
    QTest::newRow("client id missing")
        << QJsonObject{{QStringLiteral("schema"), 1}} << QString() << QString();
    QTest::newRow("client id empty")
        << withTop(QStringLiteral("microsoftClientId"), QString()) << QString() << QString();
    QTest::newRow("client id in braces")
        << withTop(QStringLiteral("microsoftClientId"),
                   QStringLiteral("{0123abcd-4567-89ab-cdef-0123456789ab}"))
        << QStringLiteral("Server nemá platné Microsoft Application ID.") << u"microsoftClientId"_s;
    QTest::newRow("client id group too short")
        << withTop(QStringLiteral("microsoftClientId"),
                   QStringLiteral("0123abcd-456-89ab-cdef-0123456789ab"))
        << QStringLiteral("Server nemá platné Microsoft Application ID.") << u"microsoftClientId"_s;
    QTest::newRow("client id with trailing line feed")
        << withTop(QStringLiteral("microsoftClientId"),
                   QStringLiteral("0123abcd-4567-89ab-cdef-0123456789ab\n"))
        << QStringLiteral("Server nemá platné Microsoft Application ID.") << u"microsoftClientId"_s;
    QTest::newRow("100 events") << catalog(manyEvents(100)) << QString() << QString();
    {
        // Every element is broken: the count must be refused before any is read.
        QJsonArray events;
        for (int i = 0; i < 101; ++i)
            events.append(QJsonObject{});
        QTest::newRow("101 events, none read")
            << catalog(events) << QStringLiteral("Katalog obsahuje příliš mnoho eventů.")
            << u"events"_s;
    }
    QTest::newRow("event not an object") << catalog({42}) << kField + u"id"_s << u"events[0].id"_s;
    QTest::newRow("event id 80 characters")
        << withEvent(QStringLiteral("id"), id80) << QString() << QString();
    QTest::newRow("event id 81 characters")
        << withEvent(QStringLiteral("id"), QString(id80 + QLatin1Char('c'))) << kField + u"id"_s
        << u"events[0].id"_s;
    QTest::newRow("event id missing") << withEvent(QStringLiteral("id"), QJsonValue::Undefined)
                                      << kField + u"id"_s << u"events[0].id"_s;
    QTest::newRow("event id a number")
        << withEvent(QStringLiteral("id"), 7) << kField + u"id"_s << u"events[0].id"_s;
    QTest::newRow("event id starts with hyphen")
        << withEvent(QStringLiteral("id"), QStringLiteral("-e1")) << kIdentifier
        << u"events[0].id"_s;
    QTest::newRow("event id with blank") << withEvent(QStringLiteral("id"), QStringLiteral("e 1"))
                                         << kIdentifier << u"events[0].id"_s;
    QTest::newRow("event id with trailing line feed")
        << withEvent(QStringLiteral("id"), QStringLiteral("e1\n")) << kIdentifier
        << u"events[0].id"_s;
    QTest::newRow("event id device name") << withEvent(QStringLiteral("id"), QStringLiteral("COM1"))
                                          << kBadPath + u"COM1"_s << u"events[0].id"_s;
    QTest::newRow("event id ends in dot") << withEvent(QStringLiteral("id"), QStringLiteral("e1."))
                                          << kBadPath + u"e1."_s << u"events[0].id"_s;
    QTest::newRow("name 120 characters")
        << withEvent(QStringLiteral("name"), repeated(QLatin1Char('n'), 120)) << QString()
        << QString();
    QTest::newRow("name 121 characters")
        << withEvent(QStringLiteral("name"), repeated(QLatin1Char('n'), 121)) << kField + u"name"_s
        << u"events[0].name"_s;
    QTest::newRow("description empty") << withEvent(QStringLiteral("description"), QString())
                                       << kField + u"description"_s << u"events[0].description"_s;
    QTest::newRow("description 2049")
        << withEvent(QStringLiteral("description"), repeated(QLatin1Char('d'), 2049))
        << kField + u"description"_s << u"events[0].description"_s;
    QTest::newRow("minecraft missing")
        << withEvent(QStringLiteral("minecraft"), QJsonValue::Undefined) << kField + u"minecraft"_s
        << u"events[0].minecraft"_s;
    QTest::newRow("fabric loader with blank")
        << withEvent(QStringLiteral("fabricLoader"), QStringLiteral("0.16 5")) << kIdentifier
        << u"events[0].fabricLoader"_s;
    QTest::newRow("fabric loader 81 characters")
        << withEvent(QStringLiteral("fabricLoader"), QString(id80 + QLatin1Char('x')))
        << kField + u"fabricLoader"_s << u"events[0].fabricLoader"_s;
    QTest::newRow("server 253 characters")
        << withEvent(QStringLiteral("server"), repeated(QLatin1Char('s'), 253)) << QString()
        << QString();
    QTest::newRow("server 254 characters")
        << withEvent(QStringLiteral("server"), repeated(QLatin1Char('s'), 254)) << kServer
        << u"events[0].server"_s;
    QTest::newRow("server trailing blank")
        << withEvent(QStringLiteral("server"), QStringLiteral("play.cz ")) << kServer
        << u"events[0].server"_s;
    QTest::newRow("server with slash")
        << withEvent(QStringLiteral("server"), QStringLiteral("play.cz/x")) << kServer
        << u"events[0].server"_s;
    QTest::newRow("server with backslash")
        << withEvent(QStringLiteral("server"), QStringLiteral("play\\cz")) << kServer
        << u"events[0].server"_s;
    QTest::newRow("server with tab")
        << withEvent(QStringLiteral("server"), QStringLiteral("play\tcz")) << kServer
        << u"events[0].server"_s;
    QTest::newRow("server empty") << withEvent(QStringLiteral("server"), QString()) << QString()
                                  << QString();
    QTest::newRow("duplicate event id")
        << catalog({eventJson(QStringLiteral("e1")), eventJson(QStringLiteral("e1"))})
        << QStringLiteral("Duplicitní event v katalogu.") << u"events[1].id"_s;
    QTest::newRow("event ids differing in case share a folder")
        << catalog({eventJson(QStringLiteral("Finale")), eventJson(QStringLiteral("finale"))})
        << QStringLiteral("Duplicitní event v katalogu.") << u"events[1].id"_s;
    QTest::newRow("mods without fabric loader")
        << withEvent(QStringLiteral("fabricLoader"), QJsonValue::Undefined) << kModList
        << u"events[0].mods"_s;
    {
        QJsonObject e = eventJson(QStringLiteral("e1"));
        e.remove(QStringLiteral("fabricLoader"));
        QTest::newRow("no loader, no mods") << catalog({e}) << QString() << QString();
    }
    QTest::newRow("200 mods") << withMods(manyMods(200)) << QString() << QString();
    QTest::newRow("201 mods") << withMods(manyMods(201)) << kModList << u"events[0].mods"_s;
    QTest::newRow("mod id 81 characters")
        << withMod(QStringLiteral("id"), QString(id80 + QLatin1Char('x'))) << kField + u"id"_s
        << u"events[0].mods[0].id"_s;
    QTest::newRow("mod id with trailing line feed")
        << withMod(QStringLiteral("id"), QStringLiteral("a\n")) << kIdentifier
        << u"events[0].mods[0].id"_s;
    QTest::newRow("mod version empty") << withMod(QStringLiteral("version"), QString())
                                       << kField + u"version"_s << u"events[0].mods[0].version"_s;
    QTest::newRow("mod category 61 characters")
        << withMod(QStringLiteral("category"), repeated(QLatin1Char('c'), 61))
        << kField + u"category"_s << u"events[0].mods[0].category"_s;
    QTest::newRow("file 181 characters")
        << withMod(QStringLiteral("file"),
                   QString(repeated(QLatin1Char('f'), 177) + QStringLiteral(".jar")))
        << kField + u"file"_s << u"events[0].mods[0].file"_s;
    QTest::newRow("file 180 characters")
        << withMod(QStringLiteral("file"),
                   QString(repeated(QLatin1Char('f'), 176) + QStringLiteral(".jar")))
        << QString() << QString();
    QTest::newRow("file ending .JAR") << withMod(QStringLiteral("file"), QStringLiteral("a.JAR"))
                                      << kBadMod << u"events[0].mods[0].file"_s;
    QTest::newRow("file in folder, slash")
        << withMod(QStringLiteral("file"), QStringLiteral("x/a.jar")) << kBadMod
        << u"events[0].mods[0].file"_s;
    QTest::newRow("file in folder, backslash")
        << withMod(QStringLiteral("file"), QStringLiteral("x\\a.jar")) << kBadMod
        << u"events[0].mods[0].file"_s;
    QTest::newRow("file climbing out")
        << withMod(QStringLiteral("file"), QStringLiteral("../a.jar")) << kBadPath + u"../a.jar"_s
        << u"events[0].mods[0].file"_s;
    QTest::newRow("file device name") << withMod(QStringLiteral("file"), QStringLiteral("nul.jar"))
                                      << kBadPath + u"nul.jar"_s << u"events[0].mods[0].file"_s;
    QTest::newRow("files differing in case")
        << withMods({modJson(QStringLiteral("a"), QStringLiteral("Mod.jar")),
                     modJson(QStringLiteral("b"), QStringLiteral("mod.jar"))})
        << kBadMod << u"events[0].mods[1].file"_s;
    QTest::newRow("duplicate mod id")
        << withMods({modJson(QStringLiteral("a"), QStringLiteral("a.jar")),
                     modJson(QStringLiteral("a"), QStringLiteral("b.jar"))})
        << kBadMod << u"events[0].mods[1].file"_s;
    QTest::newRow("same file in two events")
        << catalog({eventJson(QStringLiteral("e1"),
                              {modJson(QStringLiteral("a"), QStringLiteral("a.jar"))}),
                    eventJson(QStringLiteral("e2"),
                              {modJson(QStringLiteral("a"), QStringLiteral("a.jar"))})})
        << QString() << QString();
    QTest::newRow("url http") << withMod(QStringLiteral("url"),
                                         QStringLiteral("http://cdn.example.net/a.jar"))
                              << kHttps << u"events[0].mods[0].url"_s;
    QTest::newRow("url with user")
        << withMod(QStringLiteral("url"), QStringLiteral("https://u:p@cdn.example.net/a.jar"))
        << kHttps << u"events[0].mods[0].url"_s;
    QTest::newRow("url missing") << withMod(QStringLiteral("url"), QJsonValue::Undefined)
                                 << kField + u"url"_s << u"events[0].mods[0].url"_s;
    QTest::newRow("url 2049 characters")
        << withMod(QStringLiteral("url"), QString(QStringLiteral("https://cdn.example.net/") +
                                                  repeated(QLatin1Char('u'), 2025)))
        << kField + u"url"_s << u"events[0].mods[0].url"_s;
    QTest::newRow("sha512 upper case")
        << withMod(QStringLiteral("sha512"), repeated(QLatin1Char('A'), 128)) << QString()
        << QString();
    QTest::newRow("sha512 127 digits")
        << withMod(QStringLiteral("sha512"), repeated(QLatin1Char('a'), 127)) << kSha
        << u"events[0].mods[0].sha512"_s;
    QTest::newRow("sha512 not hex")
        << withMod(QStringLiteral("sha512"),
                   QString(repeated(QLatin1Char('a'), 127) + QLatin1Char('g')))
        << kSha << u"events[0].mods[0].sha512"_s;
    QTest::newRow("sha512 non-latin")
        << withMod(QStringLiteral("sha512"),
                   QString(repeated(QLatin1Char('a'), 127) + QChar(0x0101)))
        << kSha << u"events[0].mods[0].sha512"_s;
    QTest::newRow("sha512 129 characters")
        << withMod(QStringLiteral("sha512"), QString(sha + QLatin1Char('a')))
        << kField + u"sha512"_s << u"events[0].mods[0].sha512"_s;
    QTest::newRow("sha512 a number") << withMod(QStringLiteral("sha512"), 5) << kField + u"sha512"_s
                                     << u"events[0].mods[0].sha512"_s;
    QTest::newRow("size 128 MiB") << withMod(QStringLiteral("size"), 134217728) << QString()
                                  << QString();
    QTest::newRow("size 1") << withMod(QStringLiteral("size"), 1) << QString() << QString();
    QTest::newRow("size 128 MiB + 1")
        << withMod(QStringLiteral("size"), 134217729) << kSize << u"events[0].mods[0].size"_s;
    QTest::newRow("size 0") << withMod(QStringLiteral("size"), 0) << kSize
                            << u"events[0].mods[0].size"_s;
    QTest::newRow("size negative")
        << withMod(QStringLiteral("size"), -1) << kSize << u"events[0].mods[0].size"_s;
    QTest::newRow("size lowest 64-bit")
        << withMod(QStringLiteral("size"), std::numeric_limits<qint64>::min()) << kSize
        << u"events[0].mods[0].size"_s;
    QTest::newRow("size fraction")
        << withMod(QStringLiteral("size"), 1000.5) << kSize << u"events[0].mods[0].size"_s;
    QTest::newRow("size as text") << withMod(QStringLiteral("size"), QStringLiteral("1000"))
                                  << kSize << u"events[0].mods[0].size"_s;
    QTest::newRow("self dependency")
        << withMods(
               {dependent(QStringLiteral("a"), QStringLiteral("a.jar"), {QStringLiteral("a")})})
        << kCycle << u"events[0].mods[0].dependencies"_s;
    QTest::newRow("two-mod cycle")
        << withMods(
               {dependent(QStringLiteral("a"), QStringLiteral("a.jar"), {QStringLiteral("b")}),
                dependent(QStringLiteral("b"), QStringLiteral("b.jar"), {QStringLiteral("a")})})
        << kCycle << u"events[0].mods[0].dependencies"_s;
    QTest::newRow("dependency in another event")
        << catalog({eventJson(QStringLiteral("e1"),
                              {modJson(QStringLiteral("lib"), QStringLiteral("lib.jar"))}),
                    eventJson(QStringLiteral("e2"),
                              {dependent(QStringLiteral("a"), QStringLiteral("a.jar"),
                                         {QStringLiteral("lib")})})})
        << kMissingDependency + u"lib"_s << u"events[1].mods[0].dependencies"_s;
    QTest::newRow("dependency differing in case")
        << withMods(
               {modJson(QStringLiteral("lib"), QStringLiteral("lib.jar")),
                dependent(QStringLiteral("a"), QStringLiteral("a.jar"), {QStringLiteral("Lib")})})
        << kMissingDependency + u"Lib"_s << u"events[0].mods[1].dependencies"_s;
    {
        QJsonObject m = modJson(QStringLiteral("a"), QStringLiteral("a.jar"));
        m.insert(QStringLiteral("dependencies"), QJsonArray{3});
        QTest::newRow("dependency not a string")
            << withMods({m}) << kMissingDependency << u"events[0].mods[0].dependencies"_s;
    }
    {
        QJsonObject m = modJson(QStringLiteral("a"), QStringLiteral("a.jar"));
        m.insert(QStringLiteral("extra"), QJsonArray{1, 2});
        QJsonObject e = eventJson(QStringLiteral("e1"), {m});
        e.insert(QStringLiteral("banner"), QStringLiteral("x"));
        QJsonObject document = catalog({e});
        document.insert(QStringLiteral("comment"), QJsonObject{{QStringLiteral("x"), 1}});
        QTest::newRow("unknown keys ignored") << document << QString() << QString();
    }
}

void TestCatalog::load()
{
    QFETCH(QJsonObject, document);
    QFETCH(QString, message);
    QFETCH(QString, where);

#ifndef Q_OS_WIN // no test server there: the validation below still runs
    m_server->on("GET", kCatalogPath,
                 TestReply::json(QJsonDocument(document).toJson(QJsonDocument::Compact)));
    Http http;
    QString thrown;
    try {
        const Catalog loaded = Catalog::load(http);
        QVERIFY2(message.isEmpty(), qPrintable(QStringLiteral("loaded, expected: ") + message));
        QCOMPARE(loaded.events.size(), document.value(QLatin1String("events")).toArray().size());
    } catch (const Error& e) {
        thrown = e.message();
    }
    QCOMPARE(thrown, message);
#endif

    // The operator's tool gets the same verdict from the same code, and where it lies.
    QString failedAt = QStringLiteral("unset");
    QString refused;
    try {
        Catalog::fromJson(document, &failedAt);
    } catch (const Error& e) {
        refused = e.message();
    }
    QCOMPARE(refused, message);
    QCOMPARE(failedAt, where);
}

void TestCatalog::realisticCatalogLoadsWhole()
{
    TARVIK_REQUIRE_TEST_SERVER();
    const QString upperSha = QStringLiteral("ABCDEF0123456789").repeated(8);
    QJsonObject sodium = modJson(QStringLiteral("sodium"), QStringLiteral("sodium-0.6.jar"));
    sodium.insert(QStringLiteral("sha512"), upperSha);
    sodium.insert(QStringLiteral("size"), 1048576);
    sodium.insert(QStringLiteral("required"), true);
    QJsonObject api = modJson(QStringLiteral("fabric-api"), QStringLiteral("fabric-api.jar"));
    api.insert(QStringLiteral("required"), QStringLiteral("yes")); // wrong type: false
    const QJsonObject iris = dependent(QStringLiteral("iris"), QStringLiteral("iris.jar"),
                                       {QStringLiteral("sodium"), QStringLiteral("fabric-api")});
    QJsonObject vanilla = eventJson(QStringLiteral("vanilla-1.20"));
    vanilla.remove(QStringLiteral("fabricLoader"));
    vanilla.remove(QStringLiteral("server"));

    const QJsonObject document =
        catalog({eventJson(QStringLiteral("summer.2024"), {iris, sodium, api}), vanilla,
                 eventJson(QStringLiteral("winter+cup"),
                           {modJson(QStringLiteral("iris"), QStringLiteral("iris.jar"))})});
    m_server->on("GET", kCatalogPath, TestReply::json(QJsonDocument(document).toJson()));
    Http http;
    const Catalog c = Catalog::load(http);

    QCOMPARE(c.microsoftClientId, QStringLiteral("0123abcd-4567-89ab-CDEF-0123456789ab"));
    QCOMPARE(c.events.size(), 3);
    const Event& summer = c.events.at(0);
    QCOMPARE(summer.id, QStringLiteral("summer.2024"));
    QCOMPARE(summer.name, QStringLiteral("Letní turnaj"));
    QCOMPARE(summer.description, QStringLiteral("Turnaj pro všechny."));
    QCOMPARE(summer.minecraft, QStringLiteral("1.21.1"));
    QCOMPARE(summer.fabricLoader, QStringLiteral("0.16.5"));
    QCOMPARE(summer.server, QStringLiteral("play.example.cz:25565"));
    QCOMPARE(summer.mods.size(), 3);
    const Mod& first = summer.mods.at(0);
    QCOMPARE(first.id, QStringLiteral("iris"));
    QCOMPARE(first.file, QStringLiteral("iris.jar"));
    QCOMPARE(first.category, QStringLiteral("Výkon"));
    QCOMPARE(first.version, QStringLiteral("1.0.0"));
    QCOMPARE(first.dependencies,
             QStringList({QStringLiteral("sodium"), QStringLiteral("fabric-api")}));
    QCOMPARE(first.download.url, QUrl(QStringLiteral("https://cdn.example.net/iris.jar")));
    QVERIFY2(first.download.path.isEmpty(), "the path belongs to the synchronisation");
    QCOMPARE(first.download.algorithm, QCryptographicHash::Sha512);
    QCOMPARE(first.download.size, qint64(1000));
    QVERIFY(!first.required);
    const Mod& second = summer.mods.at(1);
    QCOMPARE(second.download.sha, upperSha.toLower().toLatin1());
    QCOMPARE(second.download.size, qint64(1048576));
    QVERIFY(second.required);
    QVERIFY2(!summer.mods.at(2).required, "a non-boolean \"required\" reads as false");
    QCOMPARE(c.events.at(1).id, QStringLiteral("vanilla-1.20"));
    QVERIFY(c.events.at(1).fabricLoader.isEmpty());
    QVERIFY(c.events.at(1).server.isEmpty());
    QVERIFY(c.events.at(1).mods.isEmpty());
    QCOMPARE(c.events.at(2).mods.at(0).file, QStringLiteral("iris.jar"));
}

void TestCatalog::serverFailures_data()
{
    QTest::addColumn<TestReply>("reply");
    QTest::addColumn<QString>("message");
    QTest::newRow("404") << TestReply::withStatus(404, "missing")
                         << QStringLiteral("Server odpověděl HTTP 404 (127.0.0.1).");
    QTest::newRow("not JSON") << TestReply::json("<html>")
                              << QStringLiteral("Server poslal neplatný JSON.");
    QTest::newRow("JSON array") << TestReply::json("[]")
                                << QStringLiteral("Server poslal neplatný JSON.");
}

void TestCatalog::serverFailures()
{
    TARVIK_REQUIRE_TEST_SERVER();
    QFETCH(TestReply, reply);
    QFETCH(QString, message);
    m_server->on("GET", kCatalogPath, reply);
    Http http;
    QString thrown;
    try {
        Catalog::load(http);
    } catch (const Error& e) {
        thrown = e.message();
    }
    QCOMPARE(thrown, message);
}

void TestCatalog::resolve_data()
{
    QTest::addColumn<QStringList>("enabled");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("nothing on: required only") << QStringList() << QStringList{QStringLiteral("d")};
    QTest::newRow("chain a-b-c") << QStringList{QStringLiteral("a")}
                                 << QStringList{QStringLiteral("a"), QStringLiteral("b"),
                                                QStringLiteral("c"), QStringLiteral("d")};
    QTest::newRow("unknown id dropped") << QStringList{QStringLiteral("gone"), QStringLiteral("f")}
                                        << QStringList{QStringLiteral("f"), QStringLiteral("d")};
    QTest::newRow("case differs: dropped") << QStringList{QStringLiteral("F"), QStringLiteral("C")}
                                           << QStringList{QStringLiteral("d")};
    QTest::newRow("required also switched on")
        << QStringList{QStringLiteral("d")} << QStringList{QStringLiteral("d")};
    QTest::newRow("overlapping closures")
        << QStringList{QStringLiteral("e"), QStringLiteral("b")}
        << QStringList{QStringLiteral("e"), QStringLiteral("a"), QStringLiteral("b"),
                       QStringLiteral("c"), QStringLiteral("d")};
}

void TestCatalog::resolve()
{
    QFETCH(QStringList, enabled);
    QFETCH(QStringList, expected);
    QCOMPARE(ModManager::resolve(resolveEvent(), ids(enabled)), ids(expected));

    Event plain;
    QVERIFY2(ModManager::resolve(plain, ids(enabled)).isEmpty(),
             "an event without mods resolves to nothing");
}

void TestCatalog::resolveEndsOnCycle()
{
    // Catalogs never carry cycles, but resolution must not hang on one.
    Event e = resolveEvent();
    e.mods[2].dependencies = {QStringLiteral("a")};
    QCOMPARE(
        ModManager::resolve(e, ids({QStringLiteral("c")})),
        ids({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("d")}));
}

void TestCatalog::settingsWithoutFile()
{
    const Settings loaded = Settings::load();
    QCOMPARE(loaded, Settings{});
    QCOMPARE(loaded.ramMb, 4096);
    QCOMPARE(loaded.jvmFlags, QStringLiteral("-XX:+UseG1GC"));
    QVERIFY2(!QFileInfo::exists(Settings::path()), "loading must not create the file");
    QCOMPARE(Settings::path(), dataDir() + QStringLiteral("/settings.json"));
}

void TestCatalog::settingsValidate_data()
{
    QTest::addColumn<int>("ramMb");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QString>("jvmFlags");
    QTest::addColumn<QString>("message");
    const QString flags = QStringLiteral("-XX:+UseG1GC");
    QTest::newRow("defaults") << 4096 << 1280 << 720 << flags << QString();
    QTest::newRow("ram 1024") << 1024 << 1280 << 720 << flags << QString();
    QTest::newRow("ram 1280") << 1280 << 1280 << 720 << flags << QString();
    QTest::newRow("ram 65536") << 65536 << 1280 << 720 << flags << QString();
    QTest::newRow("ram 1000") << 1000 << 1280 << 720 << flags << kRam;
    QTest::newRow("ram 1025") << 1025 << 1280 << 720 << flags << kRam;
    QTest::newRow("ram -256") << -256 << 1280 << 720 << flags << kRam;
    QTest::newRow("ram 65792") << 65792 << 1280 << 720 << flags << kRam;
    QTest::newRow("ram lowest 32-bit")
        << std::numeric_limits<int>::min() << 1280 << 720 << flags << kRam;
    QTest::newRow("width 640") << 4096 << 640 << 720 << flags << QString();
    QTest::newRow("width 7680") << 4096 << 7680 << 720 << flags << QString();
    QTest::newRow("width 639") << 4096 << 639 << 720 << flags << kResolution;
    QTest::newRow("width 7681") << 4096 << 7681 << 720 << flags << kResolution;
    QTest::newRow("width negative") << 4096 << -1280 << 720 << flags << kResolution;
    QTest::newRow("height 480") << 4096 << 1280 << 480 << flags << QString();
    QTest::newRow("height 4320") << 4096 << 1280 << 4320 << flags << QString();
    QTest::newRow("height 479") << 4096 << 1280 << 479 << flags << kResolution;
    QTest::newRow("height 4321") << 4096 << 1280 << 4321 << flags << kResolution;
    QTest::newRow("flags 4096") << 4096 << 1280 << 720 << repeated(QLatin1Char('x'), 4096)
                                << QString();
    QTest::newRow("flags 4097") << 4096 << 1280 << 720 << repeated(QLatin1Char('x'), 4097) << kJvm;
    QTest::newRow("flags line feed")
        << 4096 << 1280 << 720 << QStringLiteral("-Xss1M\n-Xmn1G") << kJvm;
    QTest::newRow("flags carriage return")
        << 4096 << 1280 << 720 << QStringLiteral("-Xss1M\r") << kJvm;
    QTest::newRow("flags empty") << 4096 << 1280 << 720 << QString() << QString();
    QTest::newRow("ram wins over resolution") << 1000 << 1 << 1 << QStringLiteral("\n") << kRam;
    QTest::newRow("resolution wins over flags")
        << 4096 << 1 << 720 << QStringLiteral("\n") << kResolution;
}

void TestCatalog::settingsValidate()
{
    QFETCH(int, ramMb);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QString, jvmFlags);
    QFETCH(QString, message);

    Settings s;
    s.ramMb = ramMb;
    s.width = width;
    s.height = height;
    s.jvmFlags = jvmFlags;
    QString thrown;
    try {
        Settings::save(s);
    } catch (const Error& e) {
        thrown = e.message();
    }
    QCOMPARE(thrown, message);
    QVERIFY2(QFileInfo::exists(Settings::path()) == message.isEmpty(),
             "a refused value must not be written, an accepted one must");

    // The same values in a file are refused (or accepted) by load().
    QJsonObject file{{QStringLiteral("ramMb"), ramMb},
                     {QStringLiteral("width"), width},
                     {QStringLiteral("height"), height},
                     {QStringLiteral("jvmFlags"), jvmFlags}};
    writeSettings(QJsonDocument(file).toJson());
    thrown.clear();
    try {
        const Settings loaded = Settings::load();
        QCOMPARE(loaded.ramMb, ramMb);
        QCOMPARE(loaded.jvmFlags, jvmFlags);
    } catch (const Error& e) {
        thrown = e.message();
    }
    QCOMPARE(thrown, message);
}

void TestCatalog::settingsLenientReading_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<Settings>("expected");
    const Settings defaults;
    QTest::newRow("empty object") << QByteArray("{}") << defaults;
    QTest::newRow("ramMb as text") << QByteArray(R"({"ramMb":"2048"})") << defaults;
    QTest::newRow("ramMb fraction") << QByteArray(R"({"ramMb":2048.5})") << defaults;
    QTest::newRow("ramMb beyond 32 bits") << QByteArray(R"({"ramMb":4294969344})") << defaults;
    QTest::newRow("width null") << QByteArray(R"({"width":null})") << defaults;
    QTest::newRow("closeOnLaunch as text") << QByteArray(R"({"closeOnLaunch":"true"})") << defaults;
    QTest::newRow("jvmFlags a number") << QByteArray(R"({"jvmFlags":5})") << defaults;
    QTest::newRow("enabledMods an array") << QByteArray(R"({"enabledMods":["a"]})") << defaults;
    QTest::newRow("enabledMods empty array")
        << QByteArray(R"({"enabledMods":{"e1":[]}})") << defaults;
    QTest::newRow("enabledMods member not an array")
        << QByteArray(R"({"enabledMods":{"e1":"a"}})") << defaults;
    Settings emptyFlags;
    emptyFlags.jvmFlags.clear();
    QTest::newRow("jvmFlags empty stays empty") << QByteArray(R"({"jvmFlags":""})") << emptyFlags;
    Settings nonString;
    nonString.enabledMods[QStringLiteral("e1")] = {QString(), QStringLiteral("a")};
    QTest::newRow("non-string mod id reads empty")
        << QByteArray(R"({"enabledMods":{"e1":[1,"a"]}})") << nonString;
    Settings full;
    full.ramMb = 8192;
    full.width = 1920;
    full.height = 1080;
    full.javaPath = QStringLiteral("C:/Program Files/Java/bin/javaw.exe");
    full.jvmFlags = QStringLiteral("-XX:+UseZGC");
    full.selectedEvent = QStringLiteral("léto");
    full.closeOnLaunch = true;
    full.enabledMods[QStringLiteral("e1")] = {QStringLiteral("a"), QStringLiteral("b")};
    full.enabledMods[QStringLiteral("e2")] = {QStringLiteral("c")};
    QTest::newRow("every key")
        << QByteArray(
               R"({"ramMb":8192,"width":1920,"height":1080,"javaPath":"C:/Program Files/Java/bin/javaw.exe",
                          "jvmFlags":"-XX:+UseZGC","selectedEvent":"léto","closeOnLaunch":true,
                          "enabledMods":{"e2":["c"],"e1":["b","a","a"]},"unknown":1})")
        << full;
}

void TestCatalog::settingsLenientReading()
{
    QFETCH(QByteArray, json);
    QFETCH(Settings, expected);
    writeSettings(json);
    const Settings loaded = Settings::load();
    QCOMPARE(loaded.ramMb, expected.ramMb);
    QCOMPARE(loaded.width, expected.width);
    QCOMPARE(loaded.jvmFlags, expected.jvmFlags);
    QCOMPARE(loaded.closeOnLaunch, expected.closeOnLaunch);
    QCOMPARE(loaded.enabledMods, expected.enabledMods);
    QVERIFY2(loaded == expected, "every field must read as expected");
}

void TestCatalog::settingsUnreadableFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message"); // "@" stands for the file's path
    QTest::newRow("not JSON") << QByteArray("{ramMb: 4096}")
                              << QStringLiteral("Server poslal neplatný JSON.");
    QTest::newRow("an array") << QByteArray("[]") << QStringLiteral("Server poslal neplatný JSON.");
    QTest::newRow("empty file") << QByteArray() << QStringLiteral("Server poslal neplatný JSON.");
    QByteArray big = "{\"javaPath\":\"" + QByteArray(kMaxDocumentSize, 'x') + "\"}";
    QTest::newRow("over 8 MiB") << big << QStringLiteral("Nelze načíst soubor: @");
}

void TestCatalog::settingsUnreadableFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    writeSettings(content);
    QString thrown;
    try {
        Settings::load();
    } catch (const Error& e) {
        thrown = e.message();
    }
    QCOMPARE(thrown, QString(message).replace(QLatin1Char('@'), Settings::path()));
    QCOMPARE(tarvik::test::readBytes(Settings::path()), content); // left untouched
}

void TestCatalog::settingsSaveWritesSortedArrays()
{
    Settings s;
    s.selectedEvent = QStringLiteral("zima");
    // Inserted out of order; "B" sorts before "a" by code unit.
    s.enabledMods[QStringLiteral("zima")] = {QStringLiteral("sodium"), QStringLiteral("B"),
                                             QStringLiteral("a"), QStringLiteral("iris")};
    s.enabledMods[QStringLiteral("jaro")] = {};
    s.enabledMods[QStringLiteral("Léto")] = {QStringLiteral("x")};
    Settings::save(s);

    const QByteArray written = tarvik::test::readBytes(Settings::path());
    QVERIFY2(written.contains("\n    \""), "the file is written indented");
    const QJsonObject object = QJsonDocument::fromJson(written).object();
    QCOMPARE(object.keys(),
             QStringList({QStringLiteral("closeOnLaunch"), QStringLiteral("enabledMods"),
                          QStringLiteral("height"), QStringLiteral("javaPath"),
                          QStringLiteral("jvmFlags"), QStringLiteral("ramMb"),
                          QStringLiteral("selectedEvent"), QStringLiteral("width")}));
    const QJsonObject enabled = object.value(QLatin1String("enabledMods")).toObject();
    QCOMPARE(enabled.value(QLatin1String("zima")).toArray(),
             QJsonArray({QStringLiteral("B"), QStringLiteral("a"), QStringLiteral("iris"),
                         QStringLiteral("sodium")}));
    QVERIFY2(enabled.value(QLatin1String("jaro")).isArray() &&
                 enabled.value(QLatin1String("jaro")).toArray().isEmpty(),
             "an empty set is written as an empty array");
    QCOMPARE(object.value(QLatin1String("ramMb")).toInt(), 4096);
    QCOMPARE(object.value(QLatin1String("closeOnLaunch")).toBool(true), false);
    // Event ids in ascending order in the text itself.
    QVERIFY(written.indexOf("\"Léto\"") < written.indexOf("\"jaro\""));
    QVERIFY(written.indexOf("\"jaro\"") < written.indexOf("\"zima\""));

    // Read back: the empty entry is gone, everything else survives.
    Settings expected = s;
    expected.enabledMods.remove(QStringLiteral("jaro"));
    QCOMPARE(Settings::load(), expected);
}

void TestCatalog::settingsFailedSaveKeepsOldFile()
{
    Settings good;
    good.ramMb = 2048;
    Settings::save(good);
    const QByteArray before = tarvik::test::readBytes(Settings::path());

    Settings bad = good;
    bad.ramMb = 2049;
    QVERIFY_THROWS_EXCEPTION(Error, Settings::save(bad));
    QCOMPARE(tarvik::test::readBytes(Settings::path()), before);
    QCOMPARE(QDir(dataDir()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("settings.json")});
}

void TestCatalog::settingsSaveFailsOnUnwritableTarget()
{
    // A folder in the file's place cannot be replaced, not even by root.
    QVERIFY(QDir().mkpath(Settings::path()));
    QString thrown;
    try {
        Settings::save(Settings{});
    } catch (const Error& e) {
        thrown = e.message();
    }
    QCOMPARE(thrown, QStringLiteral("Nelze bezpečně uložit soubor: ") + Settings::path());
    QVERIFY(QFileInfo(Settings::path()).isDir());
}

QTEST_GUILESS_MAIN(TestCatalog)
#include "tst_catalog.moc"
