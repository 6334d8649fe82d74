#include "program/Startup.h"

#include "app/Controller.h"
#include "fs/SafeFiles.h"
#include "ui/MainWindow.h"
#include "update/Update.h"

#include <QApplication>
#include <QLockFile>
#include <QMessageBox>
#include <QTimer>

#include <memory>

namespace tarvik {

namespace {

const QString kTitle = QStringLiteral("Tarvik Client");

} // namespace

int runClient(QApplication& app)
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tarvik"));
    QCoreApplication::setApplicationName(QStringLiteral("TarvikClient"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    // Destroyed in reverse order: window, Controller, lock.
    std::unique_ptr<QLockFile> lock;
    std::unique_ptr<Controller> controller;
    std::unique_ptr<MainWindow> window;
    try {
        const QString folder = dataDir();
        ensureDir(folder);
        lock = std::make_unique<QLockFile>(folder + QStringLiteral("/launcher.lock"));
        // A lock is never stale because of its age; whether its owner still
        // runs is the lock file's own check.
        lock->setStaleLockTime(0);
        if (!lock->tryLock(100)) {
            lock.reset();
            QMessageBox::information(
                nullptr, kTitle, QStringLiteral("Klient už běží. Otevřete jeho stávající okno."));
            return 0;
        }
        // The updater will start the new launcher itself; a second hand-off
        // now would race the first.
        if (isUpdateInProgress()) {
            lock.reset();
            QMessageBox::information(
                nullptr, kTitle,
                QStringLiteral(
                    "Probíhá aktualizace klienta. Po jejím dokončení se klient spustí sám."));
            return 0;
        }
        controller = std::make_unique<Controller>();
        window = std::make_unique<MainWindow>(controller.get());
        window->show();
        QTimer::singleShot(0, controller.get(), [c = controller.get()] { c->initialize(); });
        const int code = app.exec();
        window.reset();
        controller.reset();
        lock.reset();
        return code;
    } catch (const std::exception& e) {
        window.reset();
        controller.reset();
        lock.reset();
        QMessageBox::critical(nullptr, kTitle, errorMessage(e));
        return 1;
    }
}

} // namespace tarvik
