// The updater as a real process swapping a real installation folder, with a
// launcher stand-in process to wait for and recorder scripts as the old and
// new launchers; the operator's release tools; and the whole hand-off from a
// launcher stand-in through the operator server to the new launcher.
#include "support/HttpsTestServer.h"
#include "support/TestData.h"
#include "support/ZipBuilder.h"

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
    void fullHandOff();
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
        QTest::newRow(name) << QString::fromLatin1(setup) << extra
                            << (message.isEmpty() || extra.size() ? message : kTitle + message)
                            << folders << record;
    };
    const QStringList newRan = ended + QStringList{QStringLiteral("new {T}")};
    const QString badDigest = QStringLiteral("Aktualizační balíček neprošel kontrolou.");
    const QString incomplete = QStringLiteral("Aktualizace neobsahuje úplnou instalaci.");
    const QString badTarget = QStringLiteral("Neplatná cílová instalace.");

    row("swapped after the launcher ended", "complete right inst ends", {}, swapped, newRan);
    row("launcher already gone", "complete right inst gone", {}, swapped, newRan);
    row("wrong digest", "complete wrong inst stays", badDigest, {inst}, none);
    row("upper-case digest", "complete upper inst stays", badDigest, {inst}, none);
    row("launcher does not end", "complete right inst stays wait",
        QStringLiteral("Klient se neukončil včas."), {inst}, none);
    row("pid 0", "complete right inst zero", QStringLiteral("Neplatný identifikátor klienta."),
        {inst}, none);
    row("archive without the updater", "noUpdater right inst gone", incomplete, staged, ended);
    row("archive marker without layout 1", "noLayout right inst gone", incomplete, staged, ended);
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
        staged, ended);
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
    updater.start(fault.isEmpty() ? QStringLiteral(TARVIK_UPDATER_PROGRAM)
                                  : QStringLiteral(TARVIK_UPDATER_HARNESS),
                  QStringList{QStringLiteral("--pid"), pid, QStringLiteral("--package"), archive,
                              QStringLiteral("--sha256"), QString::fromLatin1(sha),
                              QStringLiteral("--target"), targetArgument} +
                      extra);
    // Far below the real 120 s wait: a refused target never waits.
    QVERIFY(updater.waitForFinished(60000));
    const QString errors = QString::fromUtf8(updater.readAllStandardError());
    QCOMPARE(updater.exitCode(), report.isEmpty() ? 0 : 1);
    report.replace(QLatin1String("{T}"), inst);
    QVERIFY2(report.isEmpty() ? errors.isEmpty() : errors.contains(report), qPrintable(errors));

    QStringList expectedRecord;
    for (const QString& line : record)
        expectedRecord << QString(line).replace(QLatin1String("{T}"), inst);
    QTRY_COMPARE(lines(rec), expectedRecord);
    QCOMPARE(siblings(dir.path()), folders);
    QCOMPARE(readBytes(inst + QStringLiteral("/TarvikClient")),
             report.isEmpty() ? newClient : oldClient);
    // Whatever moved aside holds what is expected of it, the user's files
    // included.
    const QStringList entries = QDir(dir.path()).entryList({QStringLiteral("inst.*")}, QDir::Dirs);
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
    zip.file(".tarvik-install", kMarker);
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

void TestUpdater::fullHandOff()
{
    QTemporaryDir dir;
    HttpsTestServer server;
    const QString base = QStringLiteral("https://localhost:%1").arg(server.port());
    const QString rec = dir.filePath(QStringLiteral("record.txt"));
    const QString newClient = dir.filePath(QStringLiteral("new-client.sh"));
    QVERIFY(writeExecutable(newClient, recorder(rec, "new")));

    // Both releases laid out by the packaging step: the installed one runs
    // the launcher stand-in, the published one a recorder as its launcher.
    const auto assemble = [&](const QString& client, const QString& revision) {
        QProcess script;
        script.start(QStringLiteral(TARVIK_ASSEMBLE_RELEASE),
                     {QStringLiteral("--client"), client, QStringLiteral("--updater"),
                      QStringLiteral(TARVIK_UPDATER_PROGRAM), QStringLiteral("--revision"),
                      revision, QStringLiteral("--url"),
                      base + QStringLiteral("/releases/TarvikClient-%1.zip").arg(revision),
                      QStringLiteral("--host"), QStringLiteral("localhost"),
                      QStringLiteral("--manifest-tool"), QStringLiteral(TARVIK_RELEASE_MANIFEST),
                      QStringLiteral("--out"),
                      dir.filePath(QStringLiteral("release-") + revision)});
        return script.waitForFinished(60000) && script.exitCode() == 0
                   ? QString()
                   : QString::fromUtf8(script.readAllStandardError());
    };
    QCOMPARE(assemble(QStringLiteral(TARVIK_LAUNCHER_STANDIN), QStringLiteral("2")), QString());
    QCOMPARE(assemble(newClient, QStringLiteral("3")), QString());
    const QString published = dir.filePath(QStringLiteral("release-3"));
    QCOMPARE(listFiles(published + QStringLiteral("/TarvikClient-3")),
             (QStringList{QStringLiteral(".tarvik-install"), QStringLiteral("TarvikClient"),
                          QStringLiteral("TarvikUpdater")}));

    const QString inst = dir.filePath(QStringLiteral("Tarvik Client"));
    QVERIFY(QDir().rename(dir.filePath(QStringLiteral("release-2/TarvikClient-2")), inst));
    server.on("GET", QStringLiteral("/api/v1/update.json"),
              TestReply::json(readBytes(published + QStringLiteral("/update.json"))));
    server.on("GET", QStringLiteral("/releases/TarvikClient-3.zip"),
              TestReply::ok(readBytes(published + QStringLiteral("/TarvikClient-3.zip"))));

    QProcess launcher;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TARVIK_STANDIN_OPERATOR"), base);
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
    launcher.setProcessEnvironment(environment);
    launcher.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    launcher.start(inst + QStringLiteral("/TarvikClient"), QStringList());
    QVERIFY(launcher.waitForFinished(60000));
    QCOMPARE(launcher.exitCode(), 0);

    QTRY_COMPARE_WITH_TIMEOUT(lines(rec), QStringList{QStringLiteral("new ") + inst}, 30000);
    QCOMPARE(siblings(dir.path()),
             (QStringList{QStringLiteral("Tarvik Client"), QStringLiteral("Tarvik Client.backup-U"),
                          QStringLiteral("data"), QStringLiteral("release-2"),
                          QStringLiteral("release-3")}));
    QCOMPARE(readBytes(inst + QStringLiteral("/TarvikClient")), readBytes(newClient));
    const QString updates = dir.filePath(QStringLiteral("data/Tarvik/TarvikClient/updates"));
    QCOMPARE(readBytes(updates + QStringLiteral("/revision-3.zip")),
             readBytes(published + QStringLiteral("/TarvikClient-3.zip")));
    const QStringList helpers = QDir(updates).entryList({QStringLiteral("helper-*")}, QDir::Dirs);
    QCOMPARE(helpers.size(), 1);
    QCOMPARE(server.requests(QStringLiteral("/releases/TarvikClient-3.zip")).size(), 1);
}

QTEST_GUILESS_MAIN(TestUpdater)
#include "tst_updater.moc"
