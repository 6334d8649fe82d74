// The launcher's only window. It owns no launcher state: it shows the
// Controller's state, redraws itself from scratch on every changed(), and
// forwards every user action to a Controller operation. Two pages: sign-in
// while nobody is signed in, and the main page with the "Eventy",
// "Modifikace" and "Nastavení" tabs.
//
// GUI thread only. Holds a non-owning pointer to the Controller, which
// outlives the window (start-up destroys the window first).
#pragma once

#include <QMainWindow>
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
    void showMessage(const QString& message);

    Controller* m_controller;
    QUrl m_verificationUrl;
    bool m_closeRequested = false;

    QLabel* m_accountLabel = nullptr;
    QPushButton* m_logoutButton = nullptr;
    QLabel* m_messageLabel = nullptr;
    QStackedWidget* m_pages = nullptr;
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

    QSpinBox* m_ramSpin = nullptr;
    QLineEdit* m_javaEdit = nullptr;
    QLineEdit* m_jvmEdit = nullptr;
    QSpinBox* m_widthSpin = nullptr;
    QSpinBox* m_heightSpin = nullptr;
    QCheckBox* m_closeOnLaunchBox = nullptr;
};

} // namespace tarvik
