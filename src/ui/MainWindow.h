// The launcher's only window. It owns no launcher state: it shows the
// Controller's state, redraws itself from scratch on every changed(), and
// forwards every user action to a Controller operation. Two pages: sign-in
// while nobody is signed in, and the main page with the "Eventy",
// "Modifikace" and "Nastavení" tabs.
//
// GUI thread only. Holds a non-owning pointer to the Controller, which
// outlives the window (start-up destroys the window first).
#pragma once

#include <QHash>
#include <QMainWindow>
#include <QPointer>
#include <QUrl>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QStackedWidget;
class QTabWidget;
class QVBoxLayout;

namespace tarvik {

class Controller;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(Controller* controller, QWidget* parent = nullptr);
    ~MainWindow() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildSignInPage();
    QWidget* buildMainPage();
    QWidget* buildEventsTab();
    QWidget* buildModsTab();
    QWidget* buildSettingsTab();
    void fitToScreen();

    void onChanged();
    void onProgress(const QString& text, int value);
    void onError(const QString& message);
    void onDeviceCode(const QString& code, const QUrl& url, int expires);

    void redraw();
    void drawEvents();
    void drawMods();
    void saveSettings();
    void chooseJava();
    void openEventFolder();
    void openSignInPage();
    void showMessage(const QString& message);
    void rememberFocus();
    void restoreFocus();
    // The mod whose card button `widget` is; empty for any other widget.
    QString modOfButton(QWidget* widget) const;

    Controller* m_controller;
    QUrl m_verificationUrl;
    bool m_closeRequested = false;
    // What the last redraw showed: whether a player was signed in, and
    // whether the main page was usable (signed in, no job, no game).
    bool m_signedIn = false;
    bool m_mainActive = false;
    // Where the keyboard focus returns when the main page is usable again:
    // the widget that had it, or the card button of this mod (cards are
    // rebuilt, so the widget itself is gone by then).
    QPointer<QWidget> m_returnFocus;
    QString m_returnModId;

    QLabel* m_accountLabel = nullptr;
    QPushButton* m_logoutButton = nullptr;
    QLabel* m_messageLabel = nullptr;
    QStackedWidget* m_pages = nullptr;
    QTabWidget* m_tabs = nullptr;
    QWidget* m_signInPage = nullptr;
    QWidget* m_mainPage = nullptr;
    QPushButton* m_signInButton = nullptr;
    QLabel* m_deviceCodeLabel = nullptr;
    QPushButton* m_openPageButton = nullptr;
    QProgressBar* m_progressBar = nullptr;
    QLabel* m_statusLabel = nullptr;
    QPushButton* m_cancelButton = nullptr;
    QPushButton* m_stopButton = nullptr;

    QListWidget* m_eventList = nullptr;
    QLabel* m_eventTitle = nullptr;
    QLabel* m_eventFacts = nullptr;
    QLabel* m_eventDescription = nullptr;
    QPushButton* m_folderButton = nullptr;
    QPushButton* m_playButton = nullptr;

    QLineEdit* m_searchEdit = nullptr;
    QComboBox* m_categoryBox = nullptr;
    QVBoxLayout* m_cardBox = nullptr;
    // The shown cards' buttons by mod id.
    QHash<QString, QPointer<QPushButton>> m_modButtons;

    QSpinBox* m_ramSpin = nullptr;
    QLineEdit* m_javaEdit = nullptr;
    QLineEdit* m_jvmEdit = nullptr;
    QSpinBox* m_widthSpin = nullptr;
    QSpinBox* m_heightSpin = nullptr;
    QCheckBox* m_closeOnLaunchBox = nullptr;
};

} // namespace tarvik
