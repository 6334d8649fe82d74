#include "app/Controller.h"

#include "auth/CredentialStore.h"
#include "auth/MicrosoftSignIn.h"
#include "catalog/ModManager.h"
#include "game/LaunchCommand.h"
#include "mods/InstanceMods.h"
#include "update/Update.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>
#include <QThreadPool>

#include <utility>

namespace tarvik {

Q_LOGGING_CATEGORY(lcApp, "tarvik.app", QtWarningMsg)

namespace {

const QString kReady = QStringLiteral("Připraveno");
const QString kGameRunning = QStringLiteral("Minecraft běží");

// Grace time of a game asked to terminate when the launcher goes away, and
// the wait after the kill that follows.
constexpr int kGameTerminateGraceMs = 5000;
constexpr int kGameKillWaitMs = 3000;

// Runs on the worker: the job with an Http of its own, made and destroyed
// on this thread; every standard exception becomes the result's message.
WorkResult runJob(const Job& job, const CancelFlag& cancel, const ProgressCallback& progress)
{
    WorkResult result;
    try {
        Http http(cancel, progress);
        result.apply = job(http, cancel, progress);
    } catch (const std::exception& e) {
        result.message = errorMessage(e);
        result.apply = {};
    }
    return result;
}

} // namespace

Controller::Controller(QObject* parent) : QObject(parent), m_settings(Settings::load())
{
    connect(&m_watcher, &QFutureWatcher<WorkResult>::finished, this, &Controller::onJobFinished);

    m_game.setProcessChannelMode(QProcess::MergedChannels);
    // The game writes its own logs; its output is read as it arrives and
    // dropped, so the launcher's memory does not grow with it.
    connect(&m_game, &QProcess::readyReadStandardOutput, this, [this] {
        char buffer[16384];
        while (m_game.read(buffer, sizeof buffer) > 0) {
        }
    });
    connect(&m_game, &QProcess::started, this, [this] {
        emit changed();
        emit progress(kGameRunning, 100);
    });
    connect(&m_game, &QProcess::errorOccurred, this, &Controller::onGameError);
    connect(&m_game, &QProcess::finished, this, &Controller::onGameFinished);
}

Controller::~Controller()
{
    // Nothing is reported from here on: the window is gone already.
    m_watcher.disconnect(this);
    m_game.disconnect(this);
    if (m_cancelFlag)
        m_cancelFlag->store(true);
    m_watcher.waitForFinished();
    if (m_game.state() != QProcess::NotRunning) {
        m_game.terminate();
        if (!m_game.waitForFinished(kGameTerminateGraceMs)) {
            qCWarning(lcApp) << "the game did not end after the terminate request; killing it";
            m_game.kill();
            m_game.waitForFinished(kGameKillWaitMs);
        }
    }
}

void Controller::run(Job job)
{
    if (m_busy || isGameRunning())
        return;
    m_busy = true;
    m_cancelFlag = makeCancelFlag();
    emit changed();

    const QPointer<Controller> guard(this);
    const ProgressCallback report = [guard](const QString& text, int value) {
        if (guard.isNull())
            return;
        QMetaObject::invokeMethod(
            guard.data(),
            [guard, text, value] {
                if (!guard.isNull())
                    emit guard->progress(text, value);
            },
            Qt::QueuedConnection);
    };
    const CancelFlag cancel = m_cancelFlag;
    m_watcher.setFuture(
        QtConcurrent::run(QThreadPool::globalInstance(), [job = std::move(job), cancel, report] {
            return runJob(job, cancel, report);
        }));
}

void Controller::onJobFinished()
{
    const WorkResult result = m_watcher.future().result();
    m_busy = false;
    QString message = result.message;
    if (result.apply) {
        // Finishing steps report their own failures; this only keeps one
        // that slips through from ending the event loop.
        try {
            result.apply();
        } catch (const std::exception& e) {
            message = errorMessage(e);
        }
    }
    emit changed();
    if (!message.isEmpty())
        emit error(message);
    emit progress(isGameRunning() ? kGameRunning : kReady, 0);
}

void Controller::cancel()
{
    if (m_cancelFlag)
        m_cancelFlag->store(true);
}

void Controller::saveSettings(const Settings& settings)
{
    if (m_busy || isGameRunning())
        return;
    try {
        Settings::save(settings);
        m_settings = settings;
        emit changed();
    } catch (const std::exception& e) {
        emit error(errorMessage(e));
    }
}

void Controller::selectEvent(int row)
{
    if (m_busy || isGameRunning() || row < 0 || row >= m_catalog.events.size())
        return;
    Settings copy = m_settings;
    copy.selectedEvent = m_catalog.events.at(row).id;
    saveSettings(copy);
}

std::optional<Event> Controller::selectedEvent() const
{
    for (const Event& event : m_catalog.events) {
        if (event.id == m_settings.selectedEvent)
            return event;
    }
    if (!m_catalog.events.isEmpty())
        return m_catalog.events.first();
    return std::nullopt;
}

// --- Sign-in ---------------------------------------------------------------

Job Controller::initializationJob()
{
    return [this](Http& http, const CancelFlag& cancel,
                  const ProgressCallback& progress) -> FinishingStep {
        progress(QStringLiteral("Kontroluji aktualizace"), 0);
        const UpdateInfo update = checkForUpdate(http, cancel);
        if (update.revision > 0) {
            return [this, update] {
                try {
                    startUpdater(update);
                } catch (const std::exception& e) {
                    emit error(errorMessage(e));
                }
            };
        }

        // The updater failed to install this release last time and started
        // this launcher again: said once, and no hand-off during this start.
        const QString updateFailure =
            update.failure.isEmpty()
                ? QString()
                : QStringLiteral("Aktualizace klienta se nezdařila: ") + update.failure;
        Catalog catalog;
        try {
            catalog = Catalog::load(http);
        } catch (const std::exception& e) {
            if (updateFailure.isEmpty())
                throw;
            throw Error(updateFailure + QLatin1Char('\n') + errorMessage(e));
        }
        Account account;
        QString restoreMessage;
        if (!catalog.microsoftClientId.isEmpty() &&
            !CredentialStore::read(catalog.microsoftClientId).isEmpty()) {
            try {
                progress(QStringLiteral("Ověřuji uložené přihlášení"), 0);
                const AuthContext context{http, catalog.microsoftClientId, cancel};
                account = signIn(context, false);
            } catch (const std::exception& e) {
                account = Account();
                restoreMessage = errorMessage(e);
            }
        }
        QStringList messages{updateFailure, restoreMessage};
        messages.removeAll(QString());
        return [this, catalog, account, message = messages.join(QLatin1Char('\n'))] {
            m_catalog = catalog;
            m_account = account;
            if (!message.isEmpty())
                emit error(message);
        };
    };
}

void Controller::initialize()
{
    run(initializationJob());
}

void Controller::login()
{
    if (m_catalog.events.isEmpty() && m_catalog.microsoftClientId.isEmpty()) {
        run(initializationJob());
        return;
    }
    const QPointer<Controller> guard(this);
    const QString clientId = m_catalog.microsoftClientId;
    run([this, guard, clientId](Http& http, const CancelFlag& cancel,
                                const ProgressCallback& progress) -> FinishingStep {
        progress(QStringLiteral("Čekám na přihlášení u Microsoftu"), 0);
        const AuthContext context{http, clientId, cancel};
        const DeviceCodeCallback onDeviceCode = [guard](const DeviceCode& code) {
            if (guard.isNull())
                return;
            QMetaObject::invokeMethod(
                guard.data(),
                [guard, code] {
                    if (!guard.isNull())
                        emit guard->deviceCode(code.code, code.url, code.expires);
                },
                Qt::QueuedConnection);
        };
        const Account account = signIn(context, true, onDeviceCode);
        return [this, account] { m_account = account; };
    });
}

void Controller::logout()
{
    if (m_busy || isGameRunning())
        return;
    try {
        CredentialStore::remove(m_catalog.microsoftClientId);
        m_account = Account();
        emit changed();
    } catch (const std::exception& e) {
        emit error(errorMessage(e));
    }
}

// --- Play ------------------------------------------------------------------

void Controller::play()
{
    const std::optional<Event> event = selectedEvent();
    if (!event || m_account.accessToken.isEmpty())
        return;
    const Settings settings = m_settings;
    const QString clientId = m_catalog.microsoftClientId;
    run([this, event = *event, settings,
         clientId](Http& http, const CancelFlag& cancel,
                   const ProgressCallback& progress) -> FinishingStep {
        // Renewed on every play, whatever the old token's remaining lifetime.
        const AuthContext context{http, clientId, cancel};
        const Account fresh = signIn(context, false);
        const LaunchPlan plan = prepareLaunch(http, event, settings, fresh, cancel, progress);
        if (!isSessionUsable(fresh))
            throw Error(QStringLiteral("Přihlášení vypršelo. Stiskněte Hrát znovu."));
        return [this, plan, fresh] {
            m_account = fresh;
            m_stopRequested = false;
            m_game.setWorkingDirectory(plan.workingDirectory);
            m_game.setProcessEnvironment(plan.environment);
            m_game.start(plan.program, plan.arguments, QIODevice::ReadWrite);
        };
    });
}

void Controller::stopGame()
{
    if (isGameRunning()) {
        m_stopRequested = true;
        m_game.terminate();
    }
}

void Controller::onGameError(QProcess::ProcessError processError)
{
    // Crashes and the like are reported by the finished handler.
    if (processError != QProcess::FailedToStart)
        return;
    emit error(QStringLiteral("Minecraft nelze spustit. Ověřte nastavení Javy."));
    emit changed();
    emit progress(kReady, 0);
}

void Controller::onGameFinished(int exitCode, QProcess::ExitStatus status)
{
    emit changed();
    emit progress(QStringLiteral("Hra byla ukončena"), 0);
    // A game that the player stopped ends by the terminate request (on
    // POSIX by a signal, with a non-zero code): that is no crash.
    const bool stopped = std::exchange(m_stopRequested, false);
    if (!stopped && (exitCode != 0 || status == QProcess::CrashExit)) {
        emit error(QStringLiteral("Minecraft skončil s chybou. Podrobnosti jsou v logs/latest.log "
                                  "ve složce vybraného eventu."));
    }
    if (m_settings.closeOnLaunch)
        QCoreApplication::quit();
}

// --- Mods ------------------------------------------------------------------

void Controller::toggleMod(const QString& modId, bool on)
{
    const std::optional<Event> selected = selectedEvent();
    if (!isSessionUsable(m_account) || !selected)
        return;
    Settings working = m_settings;
    const Event event = *selected;
    QSet<QString> resolved = ModManager::resolve(event, working.enabledMods.value(event.id));
    if (on) {
        resolved.insert(modId);
    } else {
        resolved.remove(modId);
        if (ModManager::resolve(event, resolved).contains(modId)) {
            emit error(QStringLiteral("Tento mod je povinný nebo jej vyžaduje jiný zapnutý mod."));
            emit changed();
            return;
        }
    }
    working.enabledMods.insert(event.id, ModManager::resolve(event, resolved));

    run([this, event, working](Http& http, const CancelFlag& cancel,
                               const ProgressCallback&) -> FinishingStep {
        syncInstanceMods(http, event, working.enabledMods.value(event.id), cancel);
        Settings::save(working);
        return [this, working] { m_settings = working; };
    });
}

} // namespace tarvik
