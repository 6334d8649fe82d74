// Start-up of the launcher: the single-instance lock against a real second
// TarvikClient process, a lock left by a killed launcher, an updater at work,
// and a settings file that fails validation. The start-up runs in this process; its message
// boxes are answered by a timer that finds the active modal widget.
#include "catalog/Settings.h"
#include "fs/SafeFiles.h"
#include "program/Startup.h"
#include "support/TestData.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QLockFile>
#include <QMessageBox>
#include <QProcess>
#include <QTimer>
#include <QtTest>

using namespace tarvik;
using namespace tarvik::test;

namespace {

// What the start-up showed while it ran.
struct Seen
{
    QString boxText;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString boxTitle;
    bool windowWhileBox = false;
    bool windowShown = false;
};

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void startUp_data();
    void startUp();
};

void TestStartup::initTestCase()
{
    QCoreApplication::setOrganizationName("Tarvik");
    QCoreApplication::setApplicationName("TarvikClient");
}

void TestStartup::startUp_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("icon");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("windowShown");

    QTest::newRow("another launcher runs")
        << "running" << int(QMessageBox::Information) << 0 << false;
    QTest::newRow("lock of a killed launcher") << "killed" << int(QMessageBox::NoIcon) << 0 << true;
    QTest::newRow("an update in progress")
        << "updating" << int(QMessageBox::Information) << 0 << false;
    QTest::newRow("settings out of limits")
        << "settings" << int(QMessageBox::Critical) << 1 << false;
}

void TestStartup::startUp()
{
    QFETCH(QString, setup);
    QFETCH(int, icon);
    QFETCH(int, exitCode);
    QFETCH(bool, windowShown);

    ScopedDataDir data;
    QProcess first;
    std::unique_ptr<QLockFile> updaterLock;
    QString expectedText;
    if (setup == "running" || setup == "killed") {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        first.setProcessEnvironment(environment);
        first.start(TARVIK_CLIENT_PROGRAM, {});
        QVERIFY(first.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dataDir() + "/launcher.lock"), 30000);
        if (setup == "killed") {
            first.kill();
            QVERIFY(first.waitForFinished());
        } else {
            expectedText = "Klient už běží. Otevřete jeho stávající okno.";
        }
    } else if (setup == "updating") {
        // As the running updater holds it.
        QVERIFY(QDir().mkpath(dataDir() + "/updates"));
        updaterLock = std::make_unique<QLockFile>(dataDir() + "/updates/updater.lock");
        QVERIFY(updaterLock->tryLock(0));
        expectedText = "Probíhá aktualizace klienta. Po jejím dokončení se klient spustí sám.";
    } else {
        QVERIFY(writeBytes(dataDir() + "/settings.json", R"({"ramMb": 100})"));
        expectedText = errorOf([] { Settings::load(); });
        QVERIFY(expectedText != kNoError);
    }

    Seen seen;
    QTimer answerer;
    connect(&answerer, &QTimer::timeout, this, [&] {
        bool window = false;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (qobject_cast<MainWindow*>(widget) && widget->isVisible()) {
                window = true;
                seen.windowShown = true;
                widget->close(); // ends the event loop (at once, or after the job)
            }
        }
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            seen.boxText = box->text();
            seen.icon = box->icon();
            seen.boxTitle = box->windowTitle();
            seen.windowWhileBox = window;
            box->accept();
        }
    });
    answerer.start(20);
    const int code = runClient(*qApp);
    answerer.stop();

    QCOMPARE(code, exitCode);
    QCOMPARE(seen.boxText, expectedText);
    QCOMPARE(int(seen.icon), icon);
    if (!expectedText.isEmpty())
        QCOMPARE(seen.boxTitle, QString("Tarvik Client"));
    QVERIFY(!seen.windowWhileBox);
    QCOMPARE(seen.windowShown, windowShown);
    if (setup == "running") {
        // The first launcher was not disturbed.
        QVERIFY(!first.waitForFinished(300));
        QCOMPARE(first.state(), QProcess::Running);
        first.terminate();
        QVERIFY(first.waitForFinished(10000));
    }
    // The lock is released when start-up returns.
    QLockFile lock(dataDir() + "/launcher.lock");
    QVERIFY(lock.tryLock(0));
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
