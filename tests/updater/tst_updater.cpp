// The updater as a real process swapping a real installation folder, with a
// launcher stand-in process to wait for and recorder scripts as the old and
// new launchers; the operator's release tools; and the whole hand-off from a
// launcher stand-in through the operator server to the new launcher.
#include "support/HttpsTestServer.h"
#include "support/TestData.h"
#include "support/TestEndpoints.h"
#include "support/ZipBuilder.h"
#include "updater/Updater.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

using namespace tarvik;
using namespace tarvik::test;

namespace {

const QString kTitle = QStringLiteral("Tarvik Client · Aktualizace: ");
const QByteArray kMarker = R"({"product":"TarvikClient","layout":1})";

QByteArray sha256(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

// A launcher stand-in script that appends "<who> <its working folder>".
QByteArray recorder(const QString& record, const QByteArray& who)
{
    return "#!/bin/sh\necho \"" + who + " $(pwd)\" >> '" + QFile::encodeName(record) + "'\n";
}

bool writeExecutable(const QString& path, const QByteArray& bytes)
{
    return writeBytes(path, bytes) &&
           QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner);
}

QStringList lines(const QString& path)
{
    return QString::fromUtf8(readBytes(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The folders beside the installation, with the run's UUID written as "U".
QStringList siblings(const QString& folder)
{
    static const QRegularExpression uuid(
        QStringLiteral("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}"));
    QStringList names =
        QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
    for (QString& name : names)
        name.replace(uuid, QStringLiteral("U"));
    return names;
}

} // namespace

class TestUpdater : public QObject
{
    Q_OBJECT

private slots:
    void swap_data();
    void swap();
    void releaseManifest_data();
    void releaseManifest();
    void handOff_data();
    void handOff();
};

void TestUpdater::swap_data()
{
    // "package digest target launcher [fault]": package complete / noUpdater /
    // noLayout; digest right / wrong / upper; target inst / root / link /
    // link/ / noMarker; the launcher ends (after a second) / gone / stays /
    // zero (pid 0); a fault runs the harness instead of the shipped program.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("extra");
    // Expected in standard error ({T}: the installation); empty: success.
    QTest::addColumn<QString>("report");
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QStringList>("record");

    const QString inst = QStringLiteral("inst");
    const QStringList none;
    const QStringList staged{inst, QStringLiteral("inst.staging-U")};
    const QStringList swapped{inst, QStringLiteral("inst.backup-U")};
    const QStringList ended{QStringLiteral("ended")};
    const QStringList restarted = ended + QStringList{QStringLiteral("old {T}")};
    const auto row = [&](const char* name, const char* setup, const QString& message,
                         const QStringList& folders, const QStringList& record,
                         const QStringList& extra = {}) {
        QTest::newRow(name) << QString::fromLatin1(setup) << extra << message << folders << record;
    };
    const QStringList newRan = ended + QStringList{QStringLiteral("new {T}")};
    const QString badDigest = QStringLiteral("Aktualizační balíček neprošel kontrolou.");
    const QString incomplete = QStringLiteral("Aktualizace neobsahuje úplnou instalaci.");
    const QString badTarget = QStringLiteral("Neplatná cílová instalace.");

    row("swapped after the launcher ended", "complete right inst ends", {}, swapped, newRan);
    row("launcher already gone", "complete right inst gone", {}, swapped, newRan);
    // Failures with the old installation in place start its launcher again
    // (once it has ended), which shows the failure instead of an error box.
    row("wrong digest", "complete wrong inst ends", badDigest, {inst}, restarted);
    row("upper-case digest", "complete upper inst ends", badDigest, {inst}, restarted);
    row("launcher does not end", "complete right inst stays wait",
        QStringLiteral("Klient se neukončil včas."), {inst}, none);
    row("pid 0", "complete right inst zero", QStringLiteral("Neplatný identifikátor klienta."),
        {inst}, none);
    row("archive without the updater", "noUpdater right inst gone", incomplete, staged, restarted);
    row("archive marker without layout 1", "noLayout right inst gone", incomplete, staged,
        restarted);
    row("volume root refused before waiting", "complete right root stays", badTarget, {inst}, none);
    row("link refused before waiting", "complete right link stays", badTarget, {inst}, none);
    row("link with a trailing slash", "complete right link/ stays", badTarget, {inst}, none);
    row("target without a marker", "complete right noMarker stays",
        QStringLiteral("Nelze načíst soubor: {T}/.tarvik-install"), {inst}, none);
    row("unknown option before any check", "complete right root stays",
        QStringLiteral("Unknown option 'channel'."), {inst}, none,
        {QStringLiteral("--channel"), QStringLiteral("beta")});
    row("option without its value", "complete right inst stays",
        QStringLiteral("Missing value after '--target'."), {inst}, none,
        {QStringLiteral("--target")});
    row("installation cannot be moved", "complete right inst gone move",
        QStringLiteral("Instalaci nelze přesunout. Zavřete programy používající její složku."),
        staged, restarted);
    row("a rename held for a moment is tried again", "complete right inst gone busy", {}, swapped,
        newRan);
    row("killed between the renames: the next run puts the old one back first",
        "complete right inst gone die-after-move", {}, swapped, newRan);
    row("killed after the activation", "complete right inst gone die-after-activate", {}, swapped,
        newRan);
    for (const char* after : {"after0", "after100", "after200", "after400"})
        row(after, QByteArray(QByteArray("complete right inst gone ") + after).constData(), {},
            swapped, newRan);
    row("activation fails: old one back and restarted", "complete right inst gone activate",
        QStringLiteral("Novou instalaci nelze aktivovat."), staged, restarted);
    row("new launcher fails: new one set aside, old one restarted",
        "complete right inst gone start", QStringLiteral("Nového klienta nelze spustit."),
        {inst, QStringLiteral("inst.staging-U.failed")}, restarted);
}

void TestUpdater::swap()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, extra);
    QFETCH(QString, report);
    QFETCH(QStringList, folders);
    QFETCH(QStringList, record);
    const QStringList words = setup.split(QLatin1Char(' ')) << QString();
    const QString package = words.at(0), digest = words.at(1), target = words.at(2),
                  launcher = words.at(3), fault = words.at(4);

    QTemporaryDir dir;
    const QString inst = dir.filePath(QStringLiteral("inst"));
    const QString rec = dir.filePath(QStringLiteral("record.txt"));
    const QByteArray oldClient = recorder(rec, "old");
    const QByteArray newClient = recorder(rec, "new");

    QVERIFY(writeExecutable(inst + QStringLiteral("/TarvikClient"), oldClient));
    QVERIFY(writeBytes(inst + QStringLiteral("/TarvikUpdater"), "old updater"));
    QVERIFY(writeBytes(inst + QStringLiteral("/saves/world.dat"), "kept"));
    if (target != QLatin1String("noMarker"))
        QVERIFY(writeBytes(inst + QStringLiteral("/.tarvik-install"), kMarker));

    ZipBuilder zip;
    zip.file("TarvikClient", newClient, ZipBuilder::Method::Deflated, 0100755);
    if (package != QLatin1String("noUpdater"))
        zip.file("TarvikUpdater", "new updater", ZipBuilder::Method::Deflated, 0100755);
    zip.file(".tarvik-install", package == QLatin1String("noLayout")
                                    ? QByteArray(R"({"product":"TarvikClient","layout":"1"})")
                                    : kMarker);
    zip.file("lib/readme.txt", "docs");
    // Enough to unpack for a while, for the kills from outside.
    for (int i = 0; fault.startsWith(QLatin1String("after")) && i < 150; ++i)
        zip.file("lib/pad-" + QByteArray::number(i), QByteArray(65536, char('a' + i % 26)));
    const QString archive = dir.filePath(QStringLiteral("revision-2.zip"));
    QVERIFY(zip.write(archive));
    QByteArray sha = sha256(readBytes(archive));
    if (digest == QLatin1String("wrong"))
        sha = sha256("another archive");
    else if (digest == QLatin1String("upper"))
        sha = sha.toUpper();

    QString targetArgument = inst;
    if (target == QLatin1String("root")) {
        targetArgument = QStringLiteral("/");
    } else if (target.startsWith(QLatin1String("link"))) {
        targetArgument = dir.filePath(QStringLiteral("link"));
        QVERIFY(QFile::link(inst, targetArgument));
        if (target.endsWith(QLatin1Char('/')))
            targetArgument += QLatin1Char('/');
    }

    // The launcher to wait for: ends by itself after a while, has already
    // ended, or runs on (ended by QProcess's destructor).
    QProcess standIn;
    QString pid = QStringLiteral("0");
    if (launcher != QLatin1String("zero")) {
        const QString script = launcher == QLatin1String("ends")    ? QStringLiteral("sleep 1; ")
                               : launcher == QLatin1String("stays") ? QStringLiteral("sleep 60; ")
                                                                    : QString();
        standIn.start(QStringLiteral("/bin/sh"),
                      {QStringLiteral("-c"),
                       script + QStringLiteral("echo ended >> '") + rec + QLatin1Char('\'')});
        QVERIFY(standIn.waitForStarted());
        pid = QString::number(standIn.processId());
        if (launcher == QLatin1String("gone"))
            QVERIFY(standIn.waitForFinished());
    }

    QProcess updater;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TARVIK_HARNESS_FAULT"), fault);
    updater.setProcessEnvironment(environment);
    updater.setWorkingDirectory(dir.path());
    const bool killedOutside = fault.startsWith(QLatin1String("after"));
    const bool killed = killedOutside || fault.startsWith(QLatin1String("die"));
    updater.start(fault.isEmpty() || killedOutside ? QStringLiteral(TARVIK_UPDATER_PROGRAM)
                                                   : QStringLiteral(TARVIK_UPDATER_HARNESS),
                  QStringList{QStringLiteral("--pid"), pid, QStringLiteral("--package"), archive,
                              QStringLiteral("--sha256"), QString::fromLatin1(sha),
                              QStringLiteral("--target"), targetArgument} +
                      extra);
    if (killedOutside) {
        QTest::qWait(fault.mid(5).toInt());
        updater.kill();
    }
    // Far below the real 120 s wait: a refused target never waits.
    QVERIFY(updater.waitForFinished(60000) || updater.state() == QProcess::NotRunning);
    if (killed) {
        // A whole installation in place, or, only between the two renames, a
        // whole old one beside it; the next run finishes the update.
        const QStringList backups =
            QDir(dir.path()).entryList({QStringLiteral("inst.backup-*")}, QDir::Dirs);
        const QString whole = QFile::exists(inst) ? inst : dir.filePath(backups.value(0));
        QVERIFY(fault != QLatin1String("die-after-move") || whole != inst);
        QVERIFY(readBytes(whole + QStringLiteral("/TarvikClient")) == newClient
                    ? updater::isCompleteInstallation(whole, PlatformDescriptor::forLinux())
                    : readBytes(whole + QStringLiteral("/saves/world.dat")) == "kept");
        updater.start(QStringLiteral(TARVIK_UPDATER_PROGRAM), updater.arguments());
        QVERIFY(updater.waitForFinished(60000));
    }
    const QString errors = QString::fromUtf8(updater.readAllStandardError());
    QVERIFY2(updater.exitCode() == (report.isEmpty() ? 0 : 1), qPrintable(errors));
    report.replace(QLatin1String("{T}"), inst);
    // Shown by the restarted launcher, or else in the error box.
    const bool restarted = record.contains(QStringLiteral("old {T}"));
    const QJsonObject left =
        QJsonDocument::fromJson(readBytes(dir.filePath(QStringLiteral("update-failed.json"))))
            .object();
    QCOMPARE(left.value(QStringLiteral("message")).toString(), restarted ? report : QString());
    QVERIFY2(restarted || report.isEmpty()
                 ? errors.isEmpty()
                 : errors.contains(extra.isEmpty() ? kTitle + report : report),
             qPrintable(errors));

    QStringList expectedRecord;
    for (const QString& line : record)
        expectedRecord << QString(line).replace(QLatin1String("{T}"), inst);
    // A launcher started before a kill from outside starts again after it.
    const auto recorded = [&] {
        QStringList seen = lines(rec);
        seen.removeDuplicates();
        return seen;
    };
    QTRY_COMPARE(killed ? recorded() : lines(rec), expectedRecord);
    QCOMPARE(siblings(dir.path()), folders);
    QCOMPARE(readBytes(inst + QStringLiteral("/TarvikClient")),
             report.isEmpty() ? newClient : oldClient);
    // Whatever moved aside holds what is expected of it, the user's files
    // included (after a kill, the next run may have backed up the new one).
    const QStringList entries =
        killed ? QStringList() : QDir(dir.path()).entryList({QStringLiteral("inst.*")}, QDir::Dirs);
    for (const QString& name : entries) {
        const QString folder = dir.filePath(name);
        const bool isOld = name.contains(QLatin1String(".backup-"));
        QCOMPARE(readBytes(folder + QStringLiteral("/TarvikClient")),
                 isOld ? oldClient : newClient);
        QCOMPARE(QFile::exists(folder + QStringLiteral("/saves/world.dat")), isOld);
    }
    if (report.isEmpty()) {
        QCOMPARE(readBytes(inst + QStringLiteral("/lib/readme.txt")), QByteArray("docs"));
        QVERIFY(!QFile::exists(inst + QStringLiteral("/saves/world.dat")));
    } else {
        QCOMPARE(readBytes(inst + QStringLiteral("/saves/world.dat")), QByteArray("kept"));
    }
}

void TestUpdater::releaseManifest_data()
{
    QTest::addColumn<QString>("revision");
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error");

    const QString url = QStringLiteral("https://tarvik.example/releases/TarvikClient-7.zip");
    const QString source = QStringLiteral("Nepovolený zdroj aktualizace.");
    const QString range = QStringLiteral("revision must be a whole number from 2 to 1000000");
    QTest::newRow("written") << "7" << url << true << 0 << QString();
    QTest::newRow("plain http") << "7"
                                << "http://tarvik.example/releases/a.zip" << true << 1
                                << QStringLiteral("Je vyžadována platná HTTPS adresa.");
    QTest::newRow("another host") << "7"
                                  << "https://cdn.example/releases/a.zip" << true << 1 << source;
    QTest::newRow("outside releases")
        << "7"
        << "https://tarvik.example/files/a.zip" << true << 1 << source;
    QTest::newRow("marker of another revision")
        << "8" << url << true << 1 << QStringLiteral("names revision 7, not 8");
    QTest::newRow("revision 1") << "1" << url << true << 1 << range;
    QTest::newRow("revision 1000001") << "1000001" << url << true << 1 << range;
    QTest::newRow("archive without the updater")
        << "7" << url << false << 1 << QStringLiteral("Aktualizace neobsahuje úplnou instalaci.");
    QTest::newRow("no url") << "7"
                            << "" << true << 2 << QStringLiteral("Usage:");
}

void TestUpdater::releaseManifest()
{
    QFETCH(QString, revision);
    QFETCH(QString, url);
    QFETCH(bool, complete);
    QFETCH(int, exitCode);
    QFETCH(QString, error);

    QTemporaryDir dir;
    ZipBuilder zip;
    zip.file("TarvikClient", "client", ZipBuilder::Method::Deflated, 0100755);
    if (complete)
        zip.file("TarvikUpdater", "updater", ZipBuilder::Method::Deflated, 0100755);
    zip.file(".tarvik-install", R"({"product":"TarvikClient","layout":1,"revision":7})");
    const QString archive = dir.filePath(QStringLiteral("a.zip"));
    QVERIFY(zip.write(archive));
    const QString output = dir.filePath(QStringLiteral("update.json"));

    QStringList arguments{QStringLiteral("--host"),     QStringLiteral("tarvik.example"),
                          QStringLiteral("--platform"), QStringLiteral("linux"),
                          QStringLiteral("--revision"), revision,
                          QStringLiteral("--output"),   output};
    if (!url.isEmpty())
        arguments << QStringLiteral("--url") << url;
    QProcess tool;
    tool.start(QStringLiteral(TARVIK_RELEASE_MANIFEST), arguments << archive);
    QVERIFY(tool.waitForFinished(60000));
    const QString errors = QString::fromUtf8(tool.readAllStandardError());
    QCOMPARE(tool.exitCode(), exitCode);
    QVERIFY2(error.isEmpty() ? errors.isEmpty() : errors.contains(error), qPrintable(errors));
    QCOMPARE(QFile::exists(output), exitCode == 0);
    if (exitCode == 0) {
        const QJsonObject expected{
            {QStringLiteral("schema"), 1},
            {QStringLiteral("version"), QStringLiteral("1.0.0")},
            {QStringLiteral("revision"), 7},
            {QStringLiteral("url"), url},
            {QStringLiteral("sha256"), QString::fromLatin1(sha256(readBytes(archive)))},
            {QStringLiteral("size"), QFileInfo(archive).size()}};
        QCOMPARE(QJsonDocument::fromJson(readBytes(output)).object(), expected);
    }
}

void TestUpdater::handOff_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("key");
    // What each launcher run found, in order, with its installed revision.
    QTest::addColumn<QStringList>("outcomes");
    const QString failed = QStringLiteral(
        "update failed: Instalaci nelze přesunout. Zavřete programy používající její složku. (2)");
    const QString handedOff = QStringLiteral("handed off (2)");
    // The new launcher was compiled with the default revision 1, below the
    // published 3: its install marker keeps it from handing off to itself.
    QTest::newRow("installed once, never handed off to itself")
        << QString() << QString() << QStringList{handedOff, QStringLiteral("no update (3)")};
    // Published with the tools' signature, checked by launchers with the key.
    QTest::newRow("signed release") << QString() << QStringLiteral("operator-a")
                                    << QStringList{handedOff, QStringLiteral("no update (3)")};
    // The installation cannot be moved whatever happens: the old launcher
    // comes back each time and says why; the next start tries again.
    QTest::newRow("failing update never locks the player out")
        << "move" << QString() << QStringList{handedOff, failed, handedOff, failed};
}

// The whole road with the real release tools, the real update check of a
// launcher stand-in run from its installation, and the updater it copies.
void TestUpdater::handOff()
{
    QFETCH(QString, fault);
    QFETCH(QString, key);
    QFETCH(QStringList, outcomes);
    QTemporaryDir dir;
    HttpsTestServer server;
    const QString base = QStringLiteral("https://localhost:%1").arg(server.port());
    const QStringList sign =
        key.isEmpty() ? QStringList() : QStringList{QStringLiteral("--sign"), operatorKeyFile(key)};
    const auto assemble = [&](const QString& updater, const QString& revision) {
        QProcess script;
        script.start(
            QStringLiteral(TARVIK_ASSEMBLE_RELEASE),
            QStringList{QStringLiteral("--client"), QStringLiteral(TARVIK_LAUNCHER_STANDIN),
                        QStringLiteral("--updater"), updater, QStringLiteral("--revision"),
                        revision, QStringLiteral("--url"),
                        base + QStringLiteral("/releases/TarvikClient-%1.zip").arg(revision),
                        QStringLiteral("--host"), QStringLiteral("localhost"),
                        QStringLiteral("--manifest-tool"), QStringLiteral(TARVIK_RELEASE_MANIFEST),
                        QStringLiteral("--out"),
                        dir.filePath(QStringLiteral("release-") + revision)} +
                sign);
        return script.waitForFinished(60000) && script.exitCode() == 0
                   ? QString()
                   : QString::fromUtf8(script.readAllStandardError());
    };
    QCOMPARE(assemble(fault.isEmpty() ? QStringLiteral(TARVIK_UPDATER_PROGRAM)
                                      : QStringLiteral(TARVIK_UPDATER_HARNESS),
                      QStringLiteral("2")),
             QString());
    QCOMPARE(assemble(QStringLiteral(TARVIK_UPDATER_PROGRAM), QStringLiteral("3")), QString());
    const QString published = dir.filePath(QStringLiteral("release-3"));
    const QString inst = dir.filePath(QStringLiteral("Tarvik Client"));
    QVERIFY(QDir().rename(dir.filePath(QStringLiteral("release-2/TarvikClient-2")), inst));
    server.on("GET", QStringLiteral("/api/v1/update.json"),
              TestReply::json(readBytes(published + QStringLiteral("/update.json"))));
    server.on("GET", QStringLiteral("/api/v1/update.json.sig"),
              TestReply::ok(readBytes(published + QStringLiteral("/update.json.sig"))));
    server.on("GET", QStringLiteral("/releases/TarvikClient-3.zip"),
              TestReply::ok(readBytes(published + QStringLiteral("/TarvikClient-3.zip"))));
    // What earlier updates left: removed after a successful one.
    const QString updates = dir.filePath(QStringLiteral("data/Tarvik/TarvikClient/updates"));
    const QString old = QStringLiteral("0c7e3c4e-1b2d-4e5f-8a9b-0c1d2e3f4a5b");
    for (const QString& leftover :
         QStringList{inst + QStringLiteral(".backup-") + old,
                     inst + QStringLiteral(".staging-") + old + QStringLiteral(".failed"),
                     updates + QStringLiteral("/helper-") + old})
        QVERIFY(writeBytes(leftover + QStringLiteral("/TarvikClient"), "earlier"));

    const QString rec = dir.filePath(QStringLiteral("record.txt"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TARVIK_STANDIN_OPERATOR"), base);
    environment.insert(QStringLiteral("TARVIK_STANDIN_RECORD"), rec);
    environment.insert(QStringLiteral("TARVIK_HARNESS_FAULT"), fault);
    environment.insert(QStringLiteral("TARVIK_STANDIN_KEY"),
                       key.isEmpty() ? QString() : operatorKeyFile(key, true));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
    for (int run = 1; run <= outcomes.size() / 2; ++run) {
        QProcess launcher;
        launcher.setProcessEnvironment(environment);
        launcher.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        launcher.start(inst + QStringLiteral("/TarvikClient"), QStringList());
        QVERIFY(launcher.waitForFinished(60000));
        QCOMPARE(launcher.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(lines(rec).size(), 2 * run, 30000);
    }
    QCOMPARE(lines(rec), outcomes);
    QCOMPARE(server.requests(QStringLiteral("/releases/TarvikClient-3.zip")).size(), 1);
    QVERIFY(!QFile::exists(updates + QStringLiteral("/update-failed.json")));
    if (fault.isEmpty()) {
        QTRY_COMPARE(siblings(dir.path()),
                     (QStringList{QStringLiteral("Tarvik Client"),
                                  QStringLiteral("Tarvik Client.backup-U"), QStringLiteral("data"),
                                  QStringLiteral("release-2"), QStringLiteral("release-3")}));
        QTRY_COMPARE(QDir(updates).entryList({QStringLiteral("helper-*")}, QDir::Dirs).size(), 1);
    }
    QCOMPARE(server.requests(QStringLiteral("/api/v1/update.json.sig")).isEmpty(), key.isEmpty());
}

QTEST_GUILESS_MAIN(TestUpdater)
#include "tst_updater.moc"
