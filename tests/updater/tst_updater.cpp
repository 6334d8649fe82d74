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
    QTest::addColumn<QString>("package");  // complete, no updater, no layout
    QTest::addColumn<QString>("digest");   // right, wrong, upper
    QTest::addColumn<QString>("target");   // installation, root, link, link/, no marker
    QTest::addColumn<QString>("launcher"); // ends, gone, stays, zero
    QTest::addColumn<QString>("fault");    // empty: the shipped program
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("report");    // expected in standard error; {T}: installation
    QTest::addColumn<QString>("installed"); // whose launcher is in the installation
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QStringList>("record");

    const QString inst = QStringLiteral("inst");
    const QString ended = QStringLiteral("ended");
    const QString newRan = QStringLiteral("new {T}");
    const QString oldRan = QStringLiteral("old {T}");
    const QStringList untouched{inst};
    const QStringList staged{inst, QStringLiteral("inst.staging-U")};
    const auto row = [](const char* name) { return &QTest::newRow(name); };
    const auto fail = [&](const QString& message) { return kTitle + message; };

    *row("swapped after the launcher ended")
        << "complete"
        << "right"
        << "installation"
        << "ends"
        << "" << QStringList() << 0 << ""
        << "new" << QStringList{inst, QStringLiteral("inst.backup-U")}
        << QStringList{ended, newRan};
    *row("launcher already gone") << "complete"
                                  << "right"
                                  << "installation"
                                  << "gone"
                                  << "" << QStringList() << 0 << ""
                                  << "new" << QStringList{inst, QStringLiteral("inst.backup-U")}
                                  << QStringList{ended, newRan};
    *row("wrong digest") << "complete"
                         << "wrong"
                         << "installation"
                         << "stays"
                         << "" << QStringList() << 1
                         << fail(QStringLiteral("Aktualizační balíček neprošel kontrolou."))
                         << "old" << untouched << QStringList();
    *row("upper-case digest") << "complete"
                              << "upper"
                              << "installation"
                              << "stays"
                              << "" << QStringList() << 1
                              << fail(QStringLiteral("Aktualizační balíček neprošel kontrolou."))
                              << "old" << untouched << QStringList();
    *row("launcher does not end") << "complete"
                                  << "right"
                                  << "installation"
                                  << "stays"
                                  << "wait" << QStringList() << 1
                                  << fail(QStringLiteral("Klient se neukončil včas.")) << "old"
                                  << untouched << QStringList();
    *row("pid 0") << "complete"
                  << "right"
                  << "installation"
                  << "zero"
                  << "" << QStringList() << 1
                  << fail(QStringLiteral("Neplatný identifikátor klienta.")) << "old" << untouched
                  << QStringList();
    *row("archive without the updater")
        << "no updater"
        << "right"
        << "installation"
        << "gone"
        << "" << QStringList() << 1
        << fail(QStringLiteral("Aktualizace neobsahuje úplnou instalaci.")) << "old" << staged
        << QStringList{ended};
    *row("archive marker without layout 1")
        << "no layout"
        << "right"
        << "installation"
        << "gone"
        << "" << QStringList() << 1
        << fail(QStringLiteral("Aktualizace neobsahuje úplnou instalaci.")) << "old" << staged
        << QStringList{ended};
    *row("volume root refused before waiting")
        << "complete"
        << "right"
        << "root"
        << "stays"
        << "" << QStringList() << 1 << fail(QStringLiteral("Neplatná cílová instalace.")) << "old"
        << untouched << QStringList();
    *row("link refused before waiting")
        << "complete"
        << "right"
        << "link"
        << "stays"
        << "" << QStringList() << 1 << fail(QStringLiteral("Neplatná cílová instalace.")) << "old"
        << untouched << QStringList();
    *row("link with a trailing slash refused")
        << "complete"
        << "right"
        << "link/"
        << "stays"
        << "" << QStringList() << 1 << fail(QStringLiteral("Neplatná cílová instalace.")) << "old"
        << untouched << QStringList();
    *row("target without a marker")
        << "complete"
        << "right"
        << "no marker"
        << "stays"
        << "" << QStringList() << 1
        << fail(QStringLiteral("Nelze načíst soubor: {T}/.tarvik-install")) << "old" << untouched
        << QStringList();
    *row("unknown option before any check")
        << "complete"
        << "right"
        << "root"
        << "stays"
        << "" << QStringList{QStringLiteral("--channel"), QStringLiteral("beta")} << 1
        << QStringLiteral("Unknown option 'channel'.") << "old" << untouched << QStringList();
    *row("option without its value")
        << "complete"
        << "right"
        << "installation"
        << "stays"
        << "" << QStringList{QStringLiteral("--target")} << 1
        << QStringLiteral("Missing value after '--target'.") << "old" << untouched << QStringList();
    *row("installation cannot be moved")
        << "complete"
        << "right"
        << "installation"
        << "gone"
        << "move" << QStringList() << 1
        << fail(QStringLiteral(
               "Instalaci nelze přesunout. Zavřete programy používající její složku."))
        << "old" << staged << QStringList{ended};
    *row("activation fails: old one back and restarted")
        << "complete"
        << "right"
        << "installation"
        << "gone"
        << "activate" << QStringList() << 1
        << fail(QStringLiteral("Novou instalaci nelze aktivovat.")) << "old" << staged
        << QStringList{ended, oldRan};
    *row("new launcher fails: new one failed, old one restarted")
        << "complete"
        << "right"
        << "installation"
        << "gone"
        << "start" << QStringList() << 1 << fail(QStringLiteral("Nový klient nelze spustit."))
        << "old" << QStringList{inst, QStringLiteral("inst.staging-U.failed")}
        << QStringList{ended, oldRan};
}

void TestUpdater::swap()
{
    QFETCH(QString, package);
    QFETCH(QString, digest);
    QFETCH(QString, target);
    QFETCH(QString, launcher);
    QFETCH(QString, fault);
    QFETCH(QStringList, extra);
    QFETCH(int, exitCode);
    QFETCH(QString, report);
    QFETCH(QString, installed);
    QFETCH(QStringList, folders);
    QFETCH(QStringList, record);

    QTemporaryDir dir;
    const QString inst = dir.filePath(QStringLiteral("inst"));
    const QString rec = dir.filePath(QStringLiteral("record.txt"));
    const QByteArray oldClient = recorder(rec, "old");
    const QByteArray newClient = recorder(rec, "new");

    QVERIFY(writeExecutable(inst + QStringLiteral("/TarvikClient"), oldClient));
    QVERIFY(writeBytes(inst + QStringLiteral("/TarvikUpdater"), "old updater"));
    QVERIFY(writeBytes(inst + QStringLiteral("/saves/world.dat"), "kept"));
    if (target != QLatin1String("no marker"))
        QVERIFY(writeBytes(inst + QStringLiteral("/.tarvik-install"), kMarker));

    ZipBuilder zip;
    zip.file("TarvikClient", newClient, ZipBuilder::Method::Deflated, 0100755);
    if (package != QLatin1String("no updater"))
        zip.file("TarvikUpdater", "new updater", ZipBuilder::Method::Deflated, 0100755);
    zip.file(".tarvik-install", package == QLatin1String("no layout")
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
    QCOMPARE(updater.exitCode(), exitCode);
    report.replace(QLatin1String("{T}"), inst);
    QVERIFY2(report.isEmpty() ? errors.isEmpty() : errors.contains(report), qPrintable(errors));

    QStringList expectedRecord;
    for (const QString& line : record)
        expectedRecord << QString(line).replace(QLatin1String("{T}"), inst);
    QTRY_COMPARE(lines(rec), expectedRecord);
    QCOMPARE(siblings(dir.path()), folders);
    QCOMPARE(readBytes(inst + QStringLiteral("/TarvikClient")),
             installed == QLatin1String("new") ? newClient : oldClient);
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
    if (installed == QLatin1String("new")) {
        QCOMPARE(readBytes(inst + QStringLiteral("/lib/readme.txt")), QByteArray("docs"));
        QVERIFY(!QFile::exists(inst + QStringLiteral("/saves/world.dat")));
    } else {
        QCOMPARE(readBytes(inst + QStringLiteral("/saves/world.dat")), QByteArray("kept"));
    }
}

void TestUpdater::releaseManifest_data()
{
    QTest::addColumn<QStringList>("arguments"); // before the archive
    QTest::addColumn<bool>("complete");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error");

    const auto args = [](const QString& revision, const QString& url) {
        return QStringList{QStringLiteral("--host"),     QStringLiteral("tarvik.example"),
                           QStringLiteral("--platform"), QStringLiteral("linux"),
                           QStringLiteral("--revision"), revision,
                           QStringLiteral("--url"),      url};
    };
    const QString url = QStringLiteral("https://tarvik.example/releases/TarvikClient-7.zip");
    const QString source = QStringLiteral("Nepovolený zdroj aktualizace.");
    const QString revision = QStringLiteral("revision must be a whole number from 2 to 1000000");

    QTest::newRow("written") << args(QStringLiteral("7"), url) << true << 0 << QString();
    QTest::newRow("highest revision")
        << args(QStringLiteral("1000000"), url) << true << 0 << QString();
    QTest::newRow("upper-case host in the url")
        << args(QStringLiteral("7"), QStringLiteral("https://TARVIK.example/releases/a.zip"))
        << true << 0 << QString();
    QTest::newRow("plain http") << args(QStringLiteral("7"),
                                        QStringLiteral("http://tarvik.example/releases/a.zip"))
                                << true << 1
                                << QStringLiteral("Je vyžadována platná HTTPS adresa.");
    QTest::newRow("another host") << args(QStringLiteral("7"),
                                          QStringLiteral("https://cdn.example/releases/a.zip"))
                                  << true << 1 << source;
    QTest::newRow("outside releases")
        << args(QStringLiteral("7"), QStringLiteral("https://tarvik.example/files/a.zip")) << true
        << 1 << source;
    QTest::newRow("dot-dot out of releases")
        << args(QStringLiteral("7"), QStringLiteral("https://tarvik.example/releases/../a.zip"))
        << true << 1 << source;
    QTest::newRow("revision 1") << args(QStringLiteral("1"), url) << true << 1 << revision;
    QTest::newRow("revision 1000001")
        << args(QStringLiteral("1000001"), url) << true << 1 << revision;
    QTest::newRow("revision with a sign")
        << args(QStringLiteral("+7"), url) << true << 1 << revision;
    QTest::newRow("archive without the updater")
        << args(QStringLiteral("7"), url) << false << 1
        << QStringLiteral("Aktualizace neobsahuje úplnou instalaci.");
    QTest::newRow("no url") << args(QStringLiteral("7"), url).mid(0, 6) << true << 2
                            << QStringLiteral("Usage:");
}

void TestUpdater::releaseManifest()
{
    QFETCH(QStringList, arguments);
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

    QProcess tool;
    tool.start(QStringLiteral(TARVIK_RELEASE_MANIFEST),
               arguments + QStringList{QStringLiteral("--output"), output, archive});
    QVERIFY(tool.waitForFinished(60000));
    const QString errors = QString::fromUtf8(tool.readAllStandardError());
    QCOMPARE(tool.exitCode(), exitCode);
    QVERIFY2(error.isEmpty() ? errors.isEmpty() : errors.contains(error), qPrintable(errors));
    QCOMPARE(QFile::exists(output), exitCode == 0);
    if (exitCode != 0)
        return;
    const QJsonObject manifest = QJsonDocument::fromJson(readBytes(output)).object();
    const QStringList keys{QStringLiteral("revision"), QStringLiteral("schema"),
                           QStringLiteral("sha256"),   QStringLiteral("size"),
                           QStringLiteral("url"),      QStringLiteral("version")};
    QCOMPARE(manifest.keys(), keys);
    QCOMPARE(manifest.value(QLatin1String("schema")).toInteger(), 1);
    QCOMPARE(manifest.value(QLatin1String("version")).toString(), QStringLiteral("1.0.0"));
    QCOMPARE(manifest.value(QLatin1String("revision")).toInteger(),
             arguments.at(arguments.indexOf(QStringLiteral("--revision")) + 1).toLongLong());
    QCOMPARE(manifest.value(QLatin1String("url")).toString(),
             arguments.at(arguments.indexOf(QStringLiteral("--url")) + 1));
    QCOMPARE(manifest.value(QLatin1String("sha256")).toString().toLatin1(),
             sha256(readBytes(archive)));
    QCOMPARE(manifest.value(QLatin1String("size")).toInteger(), QFileInfo(archive).size());
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
