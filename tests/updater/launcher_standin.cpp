// A launcher stand-in for the hand-off test: run from an installation folder,
// it checks for an update at the operator server named by
// TARVIK_STANDIN_OPERATOR (its manifest signed by the key whose public PEM file
// TARVIK_STANDIN_KEY names, when set) and, when one is ready, hands over to the updater
// beside it exactly as the launcher does. Exit code 0 after the hand-off,
// 2 when there was no update, 3 on a failure (message on standard error).
// Each run appends what it found and its installed revision to the file
// named by TARVIK_STANDIN_RECORD.
#include "fs/SafeFiles.h"
#include "net/Http.h"
#include "net/SignedDocument.h"
#include "support/HttpsTestServer.h"
#include "support/TestEndpoints.h"
#include "update/Update.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>
#include <QTimer>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Tarvik"));
    QCoreApplication::setApplicationName(QStringLiteral("TarvikClient"));
    tarvik::test::HttpsTestServer::trustTestCa();
    const tarvik::test::ScopedEndpoints endpoints(
        QUrl(qEnvironmentVariable("TARVIK_STANDIN_OPERATOR")));
    const QString key = qEnvironmentVariable("TARVIK_STANDIN_KEY");
    if (!key.isEmpty())
        tarvik::detail::overrideOperatorKeys(
            QList<QByteArray>{tarvik::operatorKeyFromPem(tarvik::readFile(key, 65536))});

    const auto record = [](const QString& outcome) {
        QFile file(qEnvironmentVariable("TARVIK_STANDIN_RECORD"));
        const qint32 revision = tarvik::installedRevision(QCoreApplication::applicationDirPath());
        if (file.open(QIODevice::Append))
            file.write((outcome + QStringLiteral(" (%1)\n").arg(revision)).toUtf8());
    };
    int code = 0;
    QTimer::singleShot(0, &app, [&] {
        try {
            tarvik::Http http;
            const tarvik::UpdateInfo info = tarvik::checkForUpdate(http, {});
            if (info.revision > 0) {
                record(QStringLiteral("handed off"));
                tarvik::startUpdater(info);
                return;
            }
            record(info.failure.isEmpty() ? QStringLiteral("no update")
                                          : QStringLiteral("update failed: ") + info.failure);
            code = 2;
        } catch (const tarvik::Error& e) {
            QTextStream(stderr) << e.message() << '\n';
            record(QStringLiteral("error: ") + e.message());
            code = 3;
        }
        QCoreApplication::exit(code);
    });
    const int loop = QCoreApplication::exec();
    return loop ? loop : code;
}
