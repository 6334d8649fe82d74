// Instance mods synchronisation on a real instance folder, with jars served by
// a real HTTPS server and a per-test data folder.
#include "catalog/Catalog.h"
#include "fs/SafeFiles.h"
#include "mods/InstanceMods.h"
#include "net/Http.h"
#include "support/HttpsTestServer.h"
#include "support/TestData.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <sys/resource.h>
#include <sys/stat.h>

#include <memory>

using namespace tarvik;
using namespace Qt::StringLiterals;
using tarvik::test::HttpsTestServer;
using tarvik::test::TestReply;

namespace {

const QString kUnapproved = u"Neschválený nebo změněný mod: "_s;
const QString kUnapprovedEnd = u". Odstraňte jej ze složky mods."_s;
const QString kForbidden = u"Nepovolená položka ve složce mods: "_s;
const QDateTime kOldTime = QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6), Qt::UTC);

QByteArray sha512(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha512).toHex();
}

QString unapproved(const QString& name)
{
    return kUnapproved + name + kUnapprovedEnd;
}

QSet<QString> ids(const QStringList& list)
{
    return QSet<QString>(list.cbegin(), list.cend());
}

} // namespace

class TestMods : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void instanceFolder_data();
    void instanceFolder();
    void emptyEventWritesNoRecord();
    void linkedRecordStopsBeforeAnythingIsCreated();
    void installsWantedSetWithDependencies();
    void refusedEntryChangesNothing_data();
    void refusedEntryChangesNothing();
    void unvouchedJarChangesNothing_data();
    void unvouchedJarChangesNothing();
    void switchOffThenOnUsesCache();
    void hashChangeReplacesJar();
    void correctUnrecordedJar_data();
    void correctUnrecordedJar();
    void recordedFileGone_data();
    void recordedFileGone();
    void wantedCorrectJarIsLeftButRecorded();
    void failedDownloadLeavesModsUnchanged();
    void cacheSharedBetweenEvents();
    void fileChangedDuringRunIsNotTouched_data();
    void fileChangedDuringRunIsNotTouched();
    void cancelledRunIsCompletedByNextRun_data();
    void cancelledRunIsCompletedByNextRun();
    void copyKilledMidwayIsCompletedByNextRun();

private:
    // A mod served by the test server at /mods/<id>-<n>/<file>.
    Mod serve(const QString& id, const QString& file, const QByteArray& content,
              const QStringList& dependencies = {}, bool required = false);
    Event makeEvent(const QString& id, const QList<Mod>& mods) const;
    void sync(const Event& event, const QStringList& enabled, const CancelFlag& cancel = {});
    QString syncError(const Event& event, const QStringList& enabled);
    QString modsDir(const QString& eventId = u"e1"_s) const;
    QJsonObject record(const QString& eventId = u"e1"_s) const;
    int jarRequests() const;
    // The mods folder holds exactly these files with exactly this content, and
    // the record a member with the right hash for each.
    void verifyInstalled(const QList<Mod>& mods, const QString& eventId = u"e1"_s);

    std::unique_ptr<HttpsTestServer> m_server;
    std::unique_ptr<tarvik::test::ScopedDataDir> m_dataDir;
    QHash<QString, QByteArray> m_content; // sha -> bytes
    int m_served = 0;
};

Mod TestMods::serve(const QString& id, const QString& file, const QByteArray& content,
                    const QStringList& dependencies, bool required)
{
    const QString path = u"/mods/%1-%2/%3"_s.arg(id).arg(++m_served).arg(file);
    m_server->on("GET", path, TestReply::ok(content));
    Mod mod;
    mod.id = id;
    mod.name = id;
    mod.file = file;
    mod.download.url = m_server->url(path);
    mod.download.sha = sha512(content);
    mod.download.algorithm = QCryptographicHash::Sha512;
    mod.download.size = content.size();
    mod.dependencies = dependencies;
    mod.required = required;
    m_content.insert(QString::fromLatin1(mod.download.sha), content);
    return mod;
}

Event TestMods::makeEvent(const QString& id, const QList<Mod>& mods) const
{
    Event event;
    event.id = id;
    event.fabricLoader = u"0.16.5"_s;
    event.mods = mods;
    return event;
}

void TestMods::sync(const Event& event, const QStringList& enabled, const CancelFlag& cancel)
{
    Http http(cancel);
    syncInstanceMods(http, event, ids(enabled), cancel);
}

QString TestMods::syncError(const Event& event, const QStringList& enabled)
{
    try {
        sync(event, enabled);
    } catch (const Error& e) {
        return e.message();
    }
    return {};
}

QString TestMods::modsDir(const QString& eventId) const
{
    return dataDir() + u"/instances/"_s + eventId + u"/mods"_s;
}

QJsonObject TestMods::record(const QString& eventId) const
{
    const QByteArray bytes =
        tarvik::test::readBytes(dataDir() + u"/instances/"_s + eventId + u"/managed-mods.json"_s);
    return QJsonDocument::fromJson(bytes).object();
}

int TestMods::jarRequests() const
{
    int count = 0;
    for (const auto& request : m_server->requests()) {
        if (request.path.startsWith(u"/mods/"_s))
            ++count;
    }
    return count;
}

void TestMods::verifyInstalled(const QList<Mod>& mods, const QString& eventId)
{
    QStringList expectedFiles;
    QJsonObject expectedRecord;
    for (const Mod& mod : mods) {
        expectedFiles.append(mod.file);
        expectedRecord.insert(mod.file, QString::fromLatin1(mod.download.sha));
        QCOMPARE(tarvik::test::readBytes(modsDir(eventId) + u'/' + mod.file),
                 m_content.value(QString::fromLatin1(mod.download.sha)));
    }
    expectedFiles.sort();
    QCOMPARE(tarvik::test::listFiles(modsDir(eventId)), expectedFiles);
    const QJsonObject actual = record(eventId);
    for (const QString& file : expectedFiles)
        QCOMPARE(actual.value(file), expectedRecord.value(file));
}

void TestMods::initTestCase()
{
    m_server = std::make_unique<HttpsTestServer>();
}

void TestMods::init()
{
    m_dataDir = std::make_unique<tarvik::test::ScopedDataDir>();
    m_server->clearRecords();
}

void TestMods::cleanup()
{
    m_dataDir.reset();
}

void TestMods::instanceFolder_data()
{
    QTest::addColumn<QString>("eventId");
    QTest::addColumn<QString>("message"); // empty: accepted
    QTest::newRow("plain id") << u"summer-2024"_s << QString();
    QTest::newRow("parent folder") << u".."_s << u"Nepovolená cesta v manifestu: .."_s;
    QTest::newRow("nested folder") << u"a/b"_s << u"Nepovolená cesta v manifestu: a/b"_s;
    QTest::newRow("nested with backslash") << u"a\\b"_s << u"Nepovolená cesta v manifestu: a\\b"_s;
    QTest::newRow("device name") << u"aux"_s << u"Nepovolená cesta v manifestu: aux"_s;
    QTest::newRow("empty") << QString() << u"Nepovolená cesta v manifestu: "_s;
}

void TestMods::instanceFolder()
{
    QFETCH(QString, eventId);
    QFETCH(QString, message);
    QString thrown;
    QString folder;
    try {
        folder = instanceDir(eventId);
    } catch (const Error& e) {
        thrown = e.message();
    }
    QCOMPARE(thrown, message);
    if (message.isEmpty())
        QCOMPARE(folder, QDir::cleanPath(dataDir()) + u"/instances/"_s + eventId);
}

void TestMods::emptyEventWritesNoRecord()
{
    sync(makeEvent(u"e1"_s, {}), {u"ghost"_s});
    QVERIFY2(QFileInfo(modsDir()).isDir(), "the mods folder is created");
    QVERIFY2(!QFileInfo::exists(dataDir() + u"/instances/e1/managed-mods.json"_s),
             "nothing was placed, so nothing is recorded");
    QCOMPARE(m_server->requests().size(), 0);
}

void TestMods::linkedRecordStopsBeforeAnythingIsCreated()
{
    const QString instance = dataDir() + u"/instances/e1"_s;
    QVERIFY(QDir().mkpath(instance));
    const QString recordPath = instance + u"/managed-mods.json"_s;
    QVERIFY(tarvik::test::writeBytes(dataDir() + u"/elsewhere.json"_s, "{}"));
    QVERIFY(QFile::link(dataDir() + u"/elsewhere.json"_s, recordPath));

    QCOMPARE(syncError(makeEvent(u"e1"_s, {}), {}),
             u"Symbolický odkaz není povolen: "_s + QDir::cleanPath(recordPath));
    QVERIFY2(!QFileInfo::exists(modsDir()), "the paths are checked before the mods folder is made");
}

void TestMods::installsWantedSetWithDependencies()
{
    const Mod api = serve(u"api"_s, u"api.jar"_s, "api");
    const Mod sodium = serve(u"sodium"_s, u"sodium.jar"_s, "sodium", {u"api"_s});
    const Mod iris = serve(u"iris"_s, u"iris.jar"_s, "iris", {u"sodium"_s});
    const Mod core = serve(u"core"_s, u"core.jar"_s, "core", {}, true);
    const Mod extra = serve(u"extra"_s, u"extra.jar"_s, "extra");
    // Same content as "core" under another name: fetched once.
    Mod twin = serve(u"twin"_s, u"twin.jar"_s, "core");

    sync(makeEvent(u"e1"_s, {api, sodium, iris, core, extra, twin}), {u"iris"_s, u"twin"_s});
    verifyInstalled({api, sodium, iris, core, twin});
    QCOMPARE(jarRequests(), 4);
    QVERIFY2(QFileInfo::exists(dataDir() + u"/cache/mods/"_s +
                               QString::fromLatin1(core.download.sha) + u".jar"_s),
             "jars come through the content-addressed cache");
}

void TestMods::refusedEntryChangesNothing_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("sub-folder") << u"folder"_s;
    QTest::newRow("link to an approved jar") << u"link"_s;
    QTest::newRow("dangling link") << u"dangling"_s;
    QTest::newRow("named pipe") << u"fifo"_s;
}

void TestMods::refusedEntryChangesNothing()
{
    QFETCH(QString, kind);
    const Mod a = serve(u"a"_s, u"a.jar"_s, "a-content");
    const Mod b = serve(u"b"_s, u"b.jar"_s, "b-content");
    const Event event = makeEvent(u"e1"_s, {a, b});
    sync(event, {u"a"_s});
    const int requestsBefore = jarRequests();
    const QJsonObject recordBefore = record();

    const QString entry = modsDir() + u"/b.jar"_s;
    if (kind == u"folder")
        QVERIFY(QDir().mkpath(entry));
    else if (kind == u"link")
        QVERIFY(QFile::link(modsDir() + u"/a.jar"_s, entry));
    else if (kind == u"dangling")
        QVERIFY(QFile::link(modsDir() + u"/missing.jar"_s, entry));
    else
        QCOMPARE(::mkfifo(QFile::encodeName(entry).constData(), 0600), 0);

    // Switching a off and b on would delete a and copy b.
    QCOMPARE(syncError(event, {u"b"_s}), kForbidden + u"b.jar"_s);
    QCOMPARE(tarvik::test::readBytes(modsDir() + u"/a.jar"_s), QByteArray("a-content"));
    QCOMPARE(record(), recordBefore);
    QCOMPARE(jarRequests(), requestsBefore);
}

void TestMods::unvouchedJarChangesNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("unknown name") << u"hack.jar"_s << QByteArray("x-ray");
    QTest::newRow("catalog name, other content") << u"b.jar"_s << QByteArray("b-modified");
    QTest::newRow("recorded name, altered content") << u"a.jar"_s << QByteArray("a-modified");
    QTest::newRow("hidden file") << u".hidden"_s << QByteArray("x");
    QTest::newRow("non-ASCII name") << u"příliš žluťoučký.jar"_s << QByteArray("x");
}

void TestMods::unvouchedJarChangesNothing()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    const Mod a = serve(u"a"_s, u"a.jar"_s, "a-content");
    const Mod b = serve(u"b"_s, u"b.jar"_s, "b-content");
    const Mod c = serve(u"c"_s, u"c.jar"_s, "c-content");
    const Event event = makeEvent(u"e1"_s, {a, b, c});
    sync(event, {u"a"_s, u"c"_s});
    QVERIFY(tarvik::test::writeBytes(modsDir() + u'/' + name, content));
    const QStringList filesBefore = tarvik::test::listFiles(modsDir());
    const QJsonObject recordBefore = record();

    QCOMPARE(syncError(event, {u"b"_s}), unapproved(name));
    QCOMPARE(tarvik::test::listFiles(modsDir()), filesBefore);
    QCOMPARE(tarvik::test::readBytes(modsDir() + u'/' + name), content);
    QCOMPARE(record(), recordBefore);

    // Once the user removed it, the run goes through.
    QVERIFY(QFile::remove(modsDir() + u'/' + name));
    sync(event, {u"b"_s});
    verifyInstalled({b});
}

void TestMods::switchOffThenOnUsesCache()
{
    const Mod a = serve(u"a"_s, u"a.jar"_s, "a-content");
    const Mod b = serve(u"b"_s, u"b.jar"_s, "b-content");
    const Event event = makeEvent(u"e1"_s, {a, b});
    sync(event, {u"a"_s, u"b"_s});
    verifyInstalled({a, b});
    QCOMPARE(jarRequests(), 2);

    sync(event, {u"b"_s});
    verifyInstalled({b});
    QVERIFY2(!record().contains(u"a.jar"_s), "the member of a removed jar is removed");

    sync(event, {u"a"_s, u"b"_s});
    verifyInstalled({a, b});
    QCOMPARE(jarRequests(), 2); // from the cache, no request
}

void TestMods::hashChangeReplacesJar()
{
    const Mod v1 = serve(u"a"_s, u"a.jar"_s, "version one");
    sync(makeEvent(u"e1"_s, {v1}), {u"a"_s});
    verifyInstalled({v1});

    const Mod v2 = serve(u"a"_s, u"a.jar"_s, "version two, longer");
    sync(makeEvent(u"e1"_s, {v2}), {u"a"_s});
    verifyInstalled({v2});
    QCOMPARE(record().size(), 1);
}

void TestMods::correctUnrecordedJar_data()
{
    QTest::addColumn<bool>("wanted");
    QTest::newRow("wanted: adopted") << true;
    QTest::newRow("not wanted: deleted") << false;
}

void TestMods::correctUnrecordedJar()
{
    QFETCH(bool, wanted);
    const Mod a = serve(u"a"_s, u"a.jar"_s, "a-content");
    const QString path = modsDir() + u"/a.jar"_s;
    QVERIFY(tarvik::test::writeBytes(path, "a-content"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(kOldTime, QFileDevice::FileModificationTime));
    }

    sync(makeEvent(u"e1"_s, {a}), wanted ? QStringList{u"a"_s} : QStringList{});
    if (wanted) {
        verifyInstalled({a});
        QVERIFY2(QFileInfo(path).lastModified().toUTC() == kOldTime,
                 "a correct jar is neither copied nor rewritten");
    } else {
        QVERIFY(!QFileInfo::exists(path));
        QVERIFY2(QFileInfo::exists(dataDir() + u"/instances/e1/managed-mods.json"_s),
                 "the record is saved after the deletion, member or not");
        QCOMPARE(record(), QJsonObject());
    }
}

void TestMods::recordedFileGone_data()
{
    QTest::addColumn<bool>("wanted");
    QTest::newRow("wanted: copied again") << true;
    QTest::newRow("not wanted: member stays") << false;
}

void TestMods::recordedFileGone()
{
    QFETCH(bool, wanted);
    const Mod a = serve(u"a"_s, u"a.jar"_s, "a-content");
    const Event event = makeEvent(u"e1"_s, {a});
    sync(event, {u"a"_s});
    QVERIFY(QFile::remove(modsDir() + u"/a.jar"_s));

    sync(event, wanted ? QStringList{u"a"_s} : QStringList{});
    if (wanted) {
        verifyInstalled({a});
        QCOMPARE(jarRequests(), 1);
    } else {
        QCOMPARE(tarvik::test::listFiles(modsDir()), QStringList());
        QCOMPARE(record().value(u"a.jar"_s).toString().toLatin1(), a.download.sha);
    }
}

void TestMods::wantedCorrectJarIsLeftButRecorded()
{
    const Mod a = serve(u"a"_s, u"a.jar"_s, "a-content");
    const Event event = makeEvent(u"e1"_s, {a});
    sync(event, {u"a"_s});
    // A stale member for the same name and one for a file long gone.
    QJsonObject stale{{u"a.jar"_s, u"0000"_s}, {u"old.jar"_s, QString::fromLatin1(sha512("old"))}};
    writeFileAtomically(dataDir() + u"/instances/e1/managed-mods.json"_s,
                        QJsonDocument(stale).toJson());
    QFile file(modsDir() + u"/a.jar"_s);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(kOldTime, QFileDevice::FileModificationTime));
    file.close();

    sync(event, {u"a"_s});
    verifyInstalled({a});
    QVERIFY2(QFileInfo(file.fileName()).lastModified().toUTC() == kOldTime, "the jar is untouched");
    QVERIFY2(record().contains(u"old.jar"_s), "members of absent files are not cleaned up");
}

void TestMods::failedDownloadLeavesModsUnchanged()
{
    const Mod a = serve(u"a"_s, u"a.jar"_s, "a-content");
    Mod b = serve(u"b"_s, u"b.jar"_s, "b-content");
    b.download.url = m_server->url(u"/mods/missing/b.jar"_s); // 404
    const Event event = makeEvent(u"e1"_s, {a, b});
    sync(event, {u"a"_s});
    const QJsonObject recordBefore = record();

    QCOMPARE(syncError(event, {u"b"_s}), u"Stažení nebo kontrola souboru selhala: "_s +
                                             QString::fromLatin1(b.download.sha) + u".jar"_s);
    verifyInstalled({a});
    QCOMPARE(record(), recordBefore);
}

void TestMods::cacheSharedBetweenEvents()
{
    const Mod a = serve(u"a"_s, u"a.jar"_s, "shared");
    Mod other = serve(u"x"_s, u"x.jar"_s, "shared");
    sync(makeEvent(u"e1"_s, {a}), {u"a"_s});
    sync(makeEvent(u"e2"_s, {other}), {u"x"_s});
    verifyInstalled({a}, u"e1"_s);
    verifyInstalled({other}, u"e2"_s);
    QCOMPARE(jarRequests(), 1);
}

void TestMods::fileChangedDuringRunIsNotTouched_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<QString>("file");
    // a.jar is installed and about to be switched off; b.jar about to be installed.
    QTest::newRow("jar altered before its removal") << int(detail::SyncStep::Remove) << u"a.jar"_s;
    QTest::newRow("jar placed before its installation")
        << int(detail::SyncStep::Install) << u"b.jar"_s;
}

void TestMods::fileChangedDuringRunIsNotTouched()
{
    QFETCH(int, step);
    QFETCH(QString, file);
    const Mod a = serve(u"a"_s, u"a.jar"_s, "a-content");
    const Mod b = serve(u"b"_s, u"b.jar"_s, "b-content");
    const Event event = makeEvent(u"e1"_s, {a, b});
    sync(event, {u"a"_s});

    // The user's own file appears after the scan approved the folder.
    const QString path = modsDir() + u'/' + file;
    QString thrown;
    try {
        Http http;
        detail::syncInstanceMods(http, event, ids({u"b"_s}), {},
                                 [&](detail::SyncStep at, const QString& name) {
                                     if (int(at) == step && name == file)
                                         QVERIFY(tarvik::test::writeBytes(path, "user's own"));
                                 });
    } catch (const Error& e) {
        thrown = e.message();
    }
    QCOMPARE(thrown, unapproved(file));
    QCOMPARE(tarvik::test::readBytes(path), QByteArray("user's own"));
}

void TestMods::cancelledRunIsCompletedByNextRun_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<int>("occurrence"); // cancel at the nth check of that step (from 1)
    QTest::newRow("first scanned entry") << int(detail::SyncStep::Scan) << 1;
    QTest::newRow("second removal") << int(detail::SyncStep::Remove) << 2;
    QTest::newRow("third removal") << int(detail::SyncStep::Remove) << 3;
    QTest::newRow("first installation") << int(detail::SyncStep::Install) << 1;
    QTest::newRow("second installation") << int(detail::SyncStep::Install) << 2;
}

void TestMods::cancelledRunIsCompletedByNextRun()
{
    QFETCH(int, step);
    QFETCH(int, occurrence);
    const Mod a = serve(u"a"_s, u"a.jar"_s, "a-content");
    const Mod b = serve(u"b"_s, u"b.jar"_s, "b-content");
    const Mod c = serve(u"c"_s, u"c.jar"_s, "c-content");
    const Mod d = serve(u"d"_s, u"d.jar"_s, "d-content");
    const Mod e = serve(u"e"_s, u"e.jar"_s, "e-content");
    const Event event = makeEvent(u"e1"_s, {a, b, c, d, e});
    sync(event, {u"a"_s, u"b"_s, u"c"_s});

    const CancelFlag cancel = makeCancelFlag();
    int seen = 0;
    QString thrown;
    try {
        Http http(cancel);
        detail::syncInstanceMods(http, event, ids({u"c"_s, u"d"_s, u"e"_s}), cancel,
                                 [&](detail::SyncStep at, const QString&) {
                                     if (int(at) == step && ++seen == occurrence)
                                         cancel->store(true);
                                 });
    } catch (const Error& e) {
        thrown = e.message();
    }
    QCOMPARE(thrown, u"Operace byla zrušena."_s);

    // Consistent: every file still there is vouched for by the record.
    const QJsonObject members = record();
    const QStringList files = tarvik::test::listFiles(modsDir());
    for (const QString& file : files) {
        QVERIFY2(members.value(file).toString().toLatin1() ==
                     sha512(tarvik::test::readBytes(modsDir() + u'/' + file)),
                 qPrintable(file + u" is on disk without a matching member"_s));
    }

    sync(event, {u"c"_s, u"d"_s, u"e"_s});
    verifyInstalled({c, d, e});
}

// A launcher killed while it copies a jar out of the cache: a child process
// copies with the file size limit below the jar's size, so the kernel kills it
// (SIGXFSZ) in the middle of the copy, with the temporary file half written.
void TestMods::copyKilledMidwayIsCompletedByNextRun()
{
    const Mod a = serve(u"a"_s, u"a.jar"_s, "a-content");
    const Mod zeta = serve(u"zeta"_s, u"zeta.jar"_s, QByteArray(1 << 20, 'z'));
    const Event event = makeEvent(u"e1"_s, {a, zeta});
    sync(event, {u"a"_s, u"zeta"_s});
    sync(event, {u"a"_s}); // zeta.jar stays only in the cache

    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {u"--copy-with-size-limit"_s,
                 dataDir() + u"/cache/mods/"_s + QString::fromLatin1(zeta.download.sha) + u".jar"_s,
                 modsDir() + u"/zeta.jar"_s});
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    const QStringList left = tarvik::test::listFiles(modsDir()).filter(u".zeta.jar."_s);
    QVERIFY2(left.size() == 1 && QFileInfo(modsDir() + u'/' + left[0]).size() > 0,
             qPrintable(left.join(u' ')));

    QCOMPARE(syncError(event, {u"a"_s, u"zeta"_s}), QString());
    verifyInstalled({a, zeta});
}

int main(int argc, char* argv[])
{
    if (argc == 4 && qstrcmp(argv[1], "--copy-with-size-limit") == 0) {
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 300 * 1024;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        copyFile(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
        return 0; // not reached: the write past the limit ends the process
    }
    QCoreApplication app(argc, argv);
    TestMods test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_mods.moc"
