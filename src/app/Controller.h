// The one object that holds the launcher's state: the settings in force, the
// catalog, the signed-in account and the game process. Every long operation
// runs as one background job on Qt's global thread pool (at most one at a
// time, none while the game runs); a job works on copies and returns a
// finishing step that the GUI thread runs when the job has ended. The window
// reads the state through the queries, calls the operations and redraws on
// changed().
//
// Lives on the GUI thread and owns its fields; start-up owns the Controller
// and destroys it after the window. Destruction cancels and waits for the
// running job and terminates a running game.
#pragma once

#include "app/Job.h"
#include "auth/Account.h"
#include "catalog/Catalog.h"
#include "catalog/Settings.h"

#include <QFutureWatcher>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QUrl>

#include <optional>

namespace tarvik {

class Controller : public QObject
{
    Q_OBJECT

public:
    // Loads the settings; their failure (unreadable or invalid file)
    // propagates as Error.
    explicit Controller(QObject* parent = nullptr);
    ~Controller() override;
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // Start-up job: update check (and hand-off), catalog, silent sign-in.
    void initialize();
    // Interactive sign-in with a device code; the start-up job again while
    // no catalog has been loaded.
    void login();
    // Forgets the stored sign-in and the account.
    void logout();
    // Installs and starts the selected event's game.
    void play();
    // Asks a running game to close.
    void stopGame();
    // Switches an optional mod of the selected event on or off.
    void toggleMod(const QString& modId, bool on);

    // Validates and writes the settings, then puts them in force.
    void saveSettings(const Settings& settings);
    // Makes the catalog event at `row` the selected one (saved at once).
    void selectEvent(int row);
    // Asks the running job to stop at its next check.
    void cancel();

    const Settings& settings() const { return m_settings; }
    const Catalog& catalog() const { return m_catalog; }
    const Account& account() const { return m_account; }
    bool isBusy() const { return m_busy; }
    bool isGameRunning() const { return m_game.state() != QProcess::NotRunning; }
    // The event named by the settings, else the catalog's first, else none.
    std::optional<Event> selectedEvent() const;

signals:
    void changed();
    void progress(const QString& text, int value);
    void error(const QString& message);
    void deviceCode(const QString& code, const QUrl& url, int expires);

private:
    void run(Job job);
    void onJobFinished();
    Job initializationJob();
    void onGameFinished(int exitCode, QProcess::ExitStatus status);
    void onGameError(QProcess::ProcessError processError);

    Settings m_settings;
    Catalog m_catalog;
    Account m_account;
    bool m_busy = false;
    QFutureWatcher<WorkResult> m_watcher;
    CancelFlag m_cancelFlag;
    QProcess m_game;
    // The player asked the running game to close (stopGame).
    bool m_stopRequested = false;
};

} // namespace tarvik
