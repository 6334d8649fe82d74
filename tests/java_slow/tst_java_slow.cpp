// The one honest test of the probe's time limit: a runtime whose console
// never answers is killed after about 15 seconds. Labelled "slow".
#include "game/JavaRuntime.h"
#include "support/TestData.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace tarvik;
using namespace tarvik::test;

class TestJavaSlow : public QObject
{
    Q_OBJECT

private slots:
    void probeThatHangsIsKilled()
    {
        QTemporaryDir dir;
        const QString javaw = dir.filePath("javaw.exe");
        const QString pidFile = dir.filePath("pid");
        const auto writeScript = [](const QString& path, const QByteArray& script) {
            return writeBytes(path, script) &&
                   QFile::setPermissions(path,
                                         QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        };
        QVERIFY(writeScript(javaw, "#!/bin/sh\n"));
        QVERIFY(writeScript(dir.filePath("java.exe"),
                            "#!/bin/sh\necho $$ > '" + pidFile.toUtf8() + "'\nexec sleep 60\n"));
        QElapsedTimer timer;
        timer.start();
        const QString result =
            errorOf([&] { probeJava(javaw, 17, nullptr, PlatformDescriptor::forWindows()); });
        QCOMPARE(result, QStringLiteral("Kontrola Javy překročila časový limit."));
        QVERIFY2(timer.elapsed() >= 15000 && timer.elapsed() < 25000,
                 qPrintable(QString::number(timer.elapsed())));
        const QByteArray pid = readBytes(pidFile).trimmed();
        QVERIFY2(!pid.isEmpty() &&
                     !QFileInfo::exists("/proc/" + QString::fromLatin1(pid) + "/cmdline"),
                 "the hanging probe was killed");
    }
};

QTEST_GUILESS_MAIN(TestJavaSlow)
#include "tst_java_slow.moc"
