#include "ui/MainWindow.h"

#include "app/Controller.h"
#include "catalog/ModManager.h"
#include "fs/SafeFiles.h"
#include "mods/InstanceMods.h"
#include "platform/Platform.h"
#include "ui/StyleSheet.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

// The logo lives in this static library; its resources must be registered
// explicitly (outside any namespace).
static void registerResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace tarvik {

namespace {

const QString kLogo = QStringLiteral(":/brand/logo.png");

// The window's written sizes; both shrink to the screen where they do not fit.
constexpr QSize kStartSize(1100, 760);
constexpr QSize kMinimumSize(900, 650);
// Room left on the screen for the title bar and borders that the window
// system adds around the window (unknown before the window is shown).
constexpr QSize kFrameAllowance(16, 48);

// Every label is plain text and wraps words; the object name is its style
// class.
QLabel* label(const QString& text, const QString& styleClass = {})
{
    auto* result = new QLabel(text);
    result->setTextFormat(Qt::PlainText);
    result->setWordWrap(true);
    if (!styleClass.isEmpty())
        result->setObjectName(styleClass);
    return result;
}

QLabel* logo(int size)
{
    auto* result = new QLabel;
    result->setFixedSize(size, size);
    result->setPixmap(
        QPixmap(kLogo).scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    return result;
}

// Enter activates a focused button as Space does (outside dialogs only
// auto-default buttons take Enter).
QPushButton* button(const QString& text, const QString& styleClass = {})
{
    auto* result = new QPushButton(text);
    result->setAutoDefault(true);
    if (!styleClass.isEmpty())
        result->setObjectName(styleClass);
    return result;
}

QPushButton* primaryButton(const QString& text)
{
    return button(text, QStringLiteral("primary"));
}

// A page that scrolls when the window is too small for it instead of
// squeezing its fields. The area itself is no Tab stop.
QScrollArea* scrolling(QWidget* page)
{
    auto* area = new QScrollArea;
    area->setWidgetResizable(true);
    area->setFocusPolicy(Qt::NoFocus);
    area->setWidget(page);
    return area;
}

QString minutesText(int minutes)
{
    if (minutes == 1)
        return QStringLiteral("1 minuta");
    if (minutes >= 2 && minutes <= 4)
        return QStringLiteral("%1 minuty").arg(minutes);
    return QStringLiteral("%1 minut").arg(minutes);
}

QFrame* card()
{
    auto* frame = new QFrame;
    frame->setObjectName(QStringLiteral("card"));
    return frame;
}

} // namespace

MainWindow::MainWindow(Controller* controller, QWidget* parent)
    : QMainWindow(parent), m_controller(controller)
{
    registerResources();
    setWindowTitle(QStringLiteral("Tarvik Client"));
    setWindowIcon(QIcon(kLogo));
    setStyleSheet(launcherStyleSheet());

    auto* central = new QWidget;
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(28, 22, 28, 20);
    column->setSpacing(16);

    column->addWidget(buildHeader());

    m_messageLabel = label({}, QStringLiteral("message"));
    m_messageLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_messageLabel->hide();
    column->addWidget(m_messageLabel);

    m_pages = new QStackedWidget;
    m_signInPage = buildSignInPage();
    m_mainPage = buildMainPage();
    m_pages->addWidget(m_signInPage);
    m_pages->addWidget(m_mainPage);
    column->addWidget(m_pages, 1);

    m_progressBar = new QProgressBar;
    m_progressBar->setTextVisible(false);
    m_progressBar->setRange(0, 100);
    m_progressBar->setAccessibleName(QStringLiteral("Průběh"));
    column->addWidget(m_progressBar);

    auto* status = new QHBoxLayout;
    m_statusLabel = label(QStringLiteral("Spouštím klienta…"), QStringLiteral("muted"));
    m_cancelButton = button(QStringLiteral("Zrušit"));
    m_stopButton = button(QStringLiteral("Ukončit hru"));
    m_stopButton->hide();
    status->addWidget(m_statusLabel, 1);
    status->addWidget(m_cancelButton);
    status->addWidget(m_stopButton);
    column->addLayout(status);

    QLabel* footer =
        label(QStringLiteral("Neoficiální klient. Není produktem Mojang ani Microsoft."),
              QStringLiteral("muted"));
    footer->setAlignment(Qt::AlignCenter);
    column->addWidget(footer);
    setCentralWidget(central);
    fitToScreen();

    connect(m_controller, &Controller::changed, this, &MainWindow::onChanged);
    connect(m_controller, &Controller::progress, this, &MainWindow::onProgress);
    connect(m_controller, &Controller::error, this, &MainWindow::onError);
    connect(m_controller, &Controller::deviceCode, this, &MainWindow::onDeviceCode);
    connect(m_signInButton, &QPushButton::clicked, this, [this] {
        m_messageLabel->hide();
        m_deviceCodeLabel->clear();
        m_openPageButton->hide();
        m_controller->login();
    });
    connect(m_openPageButton, &QPushButton::clicked, this, &MainWindow::openSignInPage);
    connect(m_cancelButton, &QPushButton::clicked, this, [this] { m_controller->cancel(); });
    connect(m_stopButton, &QPushButton::clicked, this, [this] { m_controller->stopGame(); });
    connect(m_logoutButton, &QPushButton::clicked, this, [this] {
        m_messageLabel->hide(); // a failed sign-out shows its own message
        m_controller->logout();
    });
    connect(m_playButton, &QPushButton::clicked, this, [this] {
        m_messageLabel->hide();
        m_controller->play();
    });
    connect(m_eventList, &QListWidget::currentRowChanged, this,
            [this](int row) { m_controller->selectEvent(row); });
    connect(m_folderButton, &QPushButton::clicked, this, &MainWindow::openEventFolder);
    connect(m_searchEdit, &QLineEdit::textChanged, this, &MainWindow::drawMods);
    connect(m_categoryBox, &QComboBox::currentTextChanged, this, &MainWindow::drawMods);

    redraw();
}

MainWindow::~MainWindow() = default;

void MainWindow::fitToScreen()
{
    const QScreen* shown = screen();
    if (!shown)
        return;
    const QRect area = shown->availableGeometry();
    const QSize room = (area.size() - kFrameAllowance).expandedTo(QSize(1, 1));
    const QSize start = kStartSize.boundedTo(room);
    setMinimumSize(kMinimumSize.boundedTo(start));
    resize(start);
    const QSize outer = start + kFrameAllowance;
    move(area.x() + qMax(0, (area.width() - outer.width()) / 2),
         area.y() + qMax(0, (area.height() - outer.height()) / 2));
}

QWidget* MainWindow::buildHeader()
{
    auto* header = new QWidget;
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(logo(40));
    auto* brand = new QVBoxLayout;
    brand->addWidget(label(QStringLiteral("TARVIK"), QStringLiteral("eyebrow")));
    brand->addWidget(label(QStringLiteral("CLIENT  /  1.0.0"), QStringLiteral("muted")));
    row->addLayout(brand);
    row->addStretch();
    m_accountLabel = label({}, QStringLiteral("muted"));
    row->addWidget(m_accountLabel);
    m_logoutButton = button(QStringLiteral("Odhlásit"));
    row->addWidget(m_logoutButton);
    return header;
}

QWidget* MainWindow::buildSignInPage()
{
    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    column->addStretch();

    // The card takes the width up to its maximum, so that its wrapped title
    // gets the height it needs.
    QFrame* frame = card();
    frame->setMaximumWidth(590);
    frame->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    auto* box = new QVBoxLayout(frame);
    box->setContentsMargins(36, 32, 36, 32);
    box->setSpacing(18);
    box->addWidget(logo(88), 0, Qt::AlignHCenter);
    QLabel* title = label(QStringLiteral("Tvoje další hra začíná tady."), QStringLiteral("title"));
    title->setAlignment(Qt::AlignCenter);
    box->addWidget(title);
    QLabel* hint = label(QStringLiteral("Přihlas se Microsoft účtem, na kterém máš Minecraft Java "
                                        "Edition. Potom si vybereš event a stiskneš Hrát."),
                         QStringLiteral("muted"));
    hint->setAlignment(Qt::AlignCenter);
    box->addWidget(hint);
    m_signInButton = primaryButton(QStringLiteral("Přihlásit se přes Microsoft"));
    box->addWidget(m_signInButton);
    m_deviceCodeLabel = label({}, QStringLiteral("heading"));
    m_deviceCodeLabel->setAlignment(Qt::AlignCenter);
    m_deviceCodeLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_deviceCodeLabel->setAccessibleName(QStringLiteral("Přihlašovací kód"));
    box->addWidget(m_deviceCodeLabel);
    m_openPageButton = button(QStringLiteral("Otevřít přihlašovací stránku"));
    m_openPageButton->hide();
    box->addWidget(m_openPageButton);

    auto* centred = new QHBoxLayout;
    centred->addStretch(1);
    centred->addWidget(frame, 1000);
    centred->addStretch(1);
    column->addLayout(centred);
    column->addStretch();
    return scrolling(page);
}

QWidget* MainWindow::buildMainPage()
{
    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    m_tabs = new QTabWidget;
    m_tabs->addTab(scrolling(buildEventsTab()), QStringLiteral("Eventy"));
    m_tabs->addTab(buildModsTab(), QStringLiteral("Modifikace"));
    m_tabs->addTab(scrolling(buildSettingsTab()), QStringLiteral("Nastavení"));
    m_tabs->tabBar()->setAccessibleName(QStringLiteral("Části klienta"));
    column->addWidget(m_tabs);
    return page;
}

QWidget* MainWindow::buildEventsTab()
{
    auto* tab = new QWidget;
    auto* row = new QHBoxLayout(tab);
    row->setContentsMargins(0, 20, 0, 0);
    row->setSpacing(24);

    m_eventList = new QListWidget;
    m_eventList->setFixedWidth(255);
    m_eventList->setAccessibleName(QStringLiteral("Eventy"));
    row->addWidget(m_eventList);

    QFrame* frame = card();
    auto* box = new QVBoxLayout(frame);
    box->setContentsMargins(30, 28, 30, 28);
    box->setSpacing(20);
    box->addWidget(label(QStringLiteral("VYBER SI SVŮJ EVENT"), QStringLiteral("eyebrow")));
    m_eventTitle = label({}, QStringLiteral("title"));
    box->addWidget(m_eventTitle);
    m_eventFacts = label({}, QStringLiteral("muted"));
    box->addWidget(m_eventFacts);
    m_eventDescription = label({});
    box->addWidget(m_eventDescription);
    box->addStretch();
    box->addWidget(label(QStringLiteral("Verze hry i schválené mody se připraví automaticky. "
                                        "Každý event má vlastní oddělenou instalaci."),
                         QStringLiteral("muted")));
    auto* actions = new QHBoxLayout;
    m_folderButton = button(QStringLiteral("Složka eventu"));
    actions->addWidget(m_folderButton);
    actions->addStretch();
    m_playButton = primaryButton(QStringLiteral("Hrát  →"));
    m_playButton->setMinimumWidth(180);
    m_playButton->setAccessibleName(QStringLiteral("Hrát"));
    actions->addWidget(m_playButton);
    box->addLayout(actions);
    row->addWidget(frame, 1);
    return tab;
}

QWidget* MainWindow::buildModsTab()
{
    auto* tab = new QWidget;
    auto* column = new QVBoxLayout(tab);
    column->setContentsMargins(0, 20, 0, 0);
    column->addWidget(
        label(QStringLiteral("Modifikace pro vybraný event"), QStringLiteral("heading")));
    column->addWidget(label(QStringLiteral("Instalace mod rovnou zapne. Povinné mody a jejich "
                                           "závislosti zůstávají zapnuté."),
                            QStringLiteral("muted")));
    auto* filters = new QHBoxLayout;
    m_searchEdit = new QLineEdit;
    m_searchEdit->setPlaceholderText(QStringLiteral("Hledat modifikaci…"));
    m_searchEdit->setAccessibleName(QStringLiteral("Hledat modifikaci"));
    filters->addWidget(m_searchEdit, 1);
    m_categoryBox = new QComboBox;
    m_categoryBox->addItems({QStringLiteral("Všechny"), QStringLiteral("Výkon"),
                             QStringLiteral("Rozhraní"), QStringLiteral("Lunar"),
                             QStringLiteral("Feather"), QStringLiteral("Badlion")});
    m_categoryBox->setAccessibleName(QStringLiteral("Kategorie modifikací"));
    m_categoryBox->view()->setAccessibleName(QStringLiteral("Kategorie modifikací"));
    filters->addWidget(m_categoryBox);
    column->addLayout(filters);

    auto* content = new QWidget;
    m_cardBox = new QVBoxLayout(content);
    m_cardBox->setContentsMargins(0, 8, 8, 0);
    m_cardBox->setSpacing(12);
    column->addWidget(scrolling(content), 1);
    return tab;
}

QWidget* MainWindow::buildSettingsTab()
{
    auto* tab = new QWidget;
    auto* column = new QVBoxLayout(tab);
    column->setContentsMargins(0, 24, 0, 0);
    column->setSpacing(18);
    column->addWidget(label(QStringLiteral("Nastavení hry"), QStringLiteral("heading")));

    auto* form = new QFormLayout;
    form->setVerticalSpacing(18);
    form->setLabelAlignment(Qt::AlignLeft);

    m_ramSpin = new QSpinBox;
    m_ramSpin->setRange(1024, 65536);
    m_ramSpin->setSingleStep(256);
    m_ramSpin->setSuffix(QStringLiteral(" MB"));
    m_ramSpin->setAccessibleName(QStringLiteral("Paměť RAM"));
    form->addRow(label(QStringLiteral("Paměť RAM")), m_ramSpin);

    auto* javaRow = new QHBoxLayout;
    m_javaEdit = new QLineEdit;
    m_javaEdit->setPlaceholderText(QStringLiteral("Automatická Java podle verze eventu"));
    m_javaEdit->setAccessibleName(QStringLiteral("Java (64 bit)"));
    javaRow->addWidget(m_javaEdit, 1);
    QPushButton* chooseJava = button(QStringLiteral("Vybrat…"));
    chooseJava->setAccessibleName(QStringLiteral("Vybrat Javu"));
    connect(chooseJava, &QPushButton::clicked, this, &MainWindow::chooseJava);
    javaRow->addWidget(chooseJava);
    form->addRow(label(QStringLiteral("Java (64 bit)")), javaRow);

    m_jvmEdit = new QLineEdit;
    m_jvmEdit->setAccessibleName(QStringLiteral("JVM parametry"));
    form->addRow(label(QStringLiteral("JVM parametry")), m_jvmEdit);

    auto* resolution = new QHBoxLayout;
    m_widthSpin = new QSpinBox;
    m_widthSpin->setRange(640, 7680);
    m_heightSpin = new QSpinBox;
    m_heightSpin->setRange(480, 4320);
    m_widthSpin->setAccessibleName(QStringLiteral("Rozlišení, šířka"));
    m_heightSpin->setAccessibleName(QStringLiteral("Rozlišení, výška"));
    resolution->addWidget(m_widthSpin);
    resolution->addWidget(label(QStringLiteral("×")));
    resolution->addWidget(m_heightSpin);
    resolution->addStretch();
    form->addRow(label(QStringLiteral("Rozlišení")), resolution);

    m_closeOnLaunchBox = new QCheckBox(QStringLiteral("Minimalizovat klienta při spuštění hry"));
    form->addRow(m_closeOnLaunchBox);
    column->addLayout(form);

    column->addWidget(label(QStringLiteral("JVM: přepínače -XX: a -Xss. Velikost haldy se řídí "
                                           "nastavením RAM. Automatická Java se stáhne pouze při "
                                           "prvním použití potřebné verze."),
                            QStringLiteral("muted")));
    column->addStretch();
    QPushButton* save = primaryButton(QStringLiteral("Uložit nastavení"));
    connect(save, &QPushButton::clicked, this, [this] {
        m_messageLabel->hide(); // a failed save shows its own message
        saveSettings();
    });
    column->addWidget(save, 0, Qt::AlignRight);
    return tab;
}

void MainWindow::onChanged()
{
    redraw();
    const bool gameRunning = m_controller->isGameRunning();
    m_stopButton->setVisible(gameRunning);
    if (gameRunning && m_controller->settings().closeOnLaunch)
        showMinimized();
    if (m_closeRequested && !m_controller->isBusy())
        close();
}

void MainWindow::onProgress(const QString& text, int value)
{
    m_statusLabel->setText(text);
    if (m_controller->isBusy() && value == 0) {
        m_progressBar->setRange(0, 0);
    } else {
        m_progressBar->setRange(0, 100);
        m_progressBar->setValue(value);
    }
}

void MainWindow::onError(const QString& message)
{
    showMessage(message);
    m_openPageButton->hide();
    m_deviceCodeLabel->clear();
}

void MainWindow::onDeviceCode(const QString& code, const QUrl& url, int expires)
{
    m_verificationUrl = url;
    m_deviceCodeLabel->setText(code);
    m_openPageButton->show();
    m_openPageButton->setFocus(); // the sign-in button is disabled during the sign-in
    m_statusLabel->setText(QStringLiteral("Zadej tento kód na %1 · platnost %2")
                               .arg(url.toString(), minutesText(expires / 60)));
    QGuiApplication::clipboard()->setText(code);
}

void MainWindow::openSignInPage()
{
    if (!QDesktopServices::openUrl(m_verificationUrl)) {
        showMessage(QStringLiteral("Prohlížeč nelze otevřít. Zadejte v něm tuto adresu: ") +
                    m_verificationUrl.toString());
    }
}

void MainWindow::showMessage(const QString& message)
{
    m_messageLabel->setText(message);
    m_messageLabel->show();
}

void MainWindow::redraw()
{
    const Controller& c = *m_controller;
    const bool signedIn = !c.account().accessToken.isEmpty();
    const bool busy = c.isBusy();
    const bool gameRunning = c.isGameRunning();
    const bool mainActive = signedIn && !busy && !gameRunning;
    // Disabling the main page moves the focus out of it; remember it first.
    if (m_mainActive && !mainActive)
        rememberFocus();
    const bool becameActive = mainActive && !m_mainActive;
    const bool signedInNow = signedIn && !m_signedIn;
    m_mainActive = mainActive;
    m_signedIn = signedIn;

    m_pages->setCurrentWidget(signedIn ? m_mainPage : m_signInPage);
    if (signedInNow)
        m_messageLabel->hide(); // what went wrong before the sign-in is settled
    m_logoutButton->setVisible(signedIn);
    m_logoutButton->setEnabled(!busy && !gameRunning);
    m_accountLabel->setText(signedIn ? c.account().name
                                     : QStringLiteral("Přihlášení k Minecraft Java"));
    m_signInButton->setEnabled(!busy);
    const bool noCatalog = c.catalog().events.isEmpty() && c.catalog().microsoftClientId.isEmpty();
    m_signInButton->setText(noCatalog ? QStringLiteral("Načíst přihlášení znovu")
                                      : QStringLiteral("Přihlásit se přes Microsoft"));
    m_cancelButton->setVisible(busy);
    m_mainPage->setEnabled(!busy && !gameRunning);
    // On the sign-in page the next step is signing in (after a sign-out, or
    // when a job ends while the focus sat on "Zrušit").
    if (!signedIn && !busy && !m_signInPage->isAncestorOf(focusWidget()))
        m_signInButton->setFocus();
    if (busy)
        return; // the lists and the form keep their content during a job

    if (signedIn) {
        m_openPageButton->hide();
        m_deviceCodeLabel->clear();
    }
    drawEvents();

    const Settings& settings = c.settings();
    m_ramSpin->setValue(settings.ramMb);
    m_widthSpin->setValue(settings.width);
    m_heightSpin->setValue(settings.height);
    m_javaEdit->setText(settings.javaPath);
    m_jvmEdit->setText(settings.jvmFlags);
    m_closeOnLaunchBox->setChecked(settings.closeOnLaunch);

    drawMods();
    if (becameActive)
        restoreFocus();
}

void MainWindow::rememberFocus()
{
    QWidget* focused = focusWidget();
    if (!focused || !m_mainPage->isAncestorOf(focused)) {
        m_returnFocus.clear();
        m_returnModId.clear();
        return;
    }
    m_returnFocus = focused;
    m_returnModId = modOfButton(focused);
}

QString MainWindow::modOfButton(QWidget* widget) const
{
    for (auto it = m_modButtons.cbegin(); it != m_modButtons.cend(); ++it) {
        if (widget && it.value() == widget)
            return it.key();
    }
    return {};
}

void MainWindow::restoreFocus()
{
    QWidget* target =
        m_returnModId.isEmpty() ? m_returnFocus.data() : m_modButtons.value(m_returnModId).data();
    m_returnFocus.clear();
    m_returnModId.clear();
    // The player's next step when nothing inside the page had the focus
    // (after a sign-in) or it cannot take it any more.
    if (!target || !target->isEnabled())
        target =
            m_tabs->currentIndex() == 0 ? static_cast<QWidget*>(m_eventList) : m_tabs->tabBar();
    target->setFocus(Qt::OtherFocusReason);
}

void MainWindow::drawEvents()
{
    const Controller& c = *m_controller;
    // Filling the list must not select an event in the Controller; signals
    // stay blocked until the redraw is over.
    m_eventList->blockSignals(true);
    m_eventList->clear();
    int current = c.catalog().events.isEmpty() ? -1 : 0;
    for (qsizetype i = 0; i < c.catalog().events.size(); ++i) {
        const Event& event = c.catalog().events.at(i);
        m_eventList->addItem(event.name + u'\n' + QStringLiteral("Minecraft ") + event.minecraft);
        if (event.id == c.settings().selectedEvent)
            current = int(i);
    }
    m_eventList->setCurrentRow(current);

    const std::optional<Event> shown = c.selectedEvent();
    m_playButton->setEnabled(shown.has_value());
    m_folderButton->setEnabled(shown.has_value());
    if (shown) {
        m_eventTitle->setText(shown->name);
        m_eventDescription->setText(shown->description);
        QString facts = QStringLiteral("Minecraft ") + shown->minecraft;
        facts += shown->fabricLoader.isEmpty()
                     ? QStringLiteral("  /  Vanilla")
                     : QString(QStringLiteral("  /  Fabric ") + shown->fabricLoader);
        facts += shown->server.isEmpty() ? QStringLiteral("  /  Lokální hra")
                                         : QString(QStringLiteral("  /  ") + shown->server);
        m_eventFacts->setText(facts);
    } else {
        m_eventTitle->setText(QStringLiteral("Zatím žádné eventy"));
        m_eventDescription->setText(QStringLiteral("Správce zatím nezveřejnil žádný event."));
        m_eventFacts->clear();
    }
    m_eventList->blockSignals(false);
}

void MainWindow::drawMods()
{
    // The cards are rebuilt: a focused card button hands the focus on to
    // its successor.
    const QString focusedMod = modOfButton(focusWidget());
    m_modButtons.clear();
    while (QLayoutItem* item = m_cardBox->takeAt(0)) {
        if (QWidget* widget = item->widget())
            widget->deleteLater();
        delete item;
    }

    const Controller& c = *m_controller;
    const std::optional<Event> event = c.selectedEvent();
    int cards = 0;
    if (event) {
        const QSet<QString> effective =
            ModManager::resolve(*event, c.settings().enabledMods.value(event->id));
        const QString search = m_searchEdit->text();
        const bool anyCategory = m_categoryBox->currentIndex() == 0;
        const bool idle = !c.isBusy() && !c.isGameRunning();
        for (const Mod& mod : event->mods) {
            if (!search.isEmpty() &&
                !QString(mod.name + u' ' + mod.description).contains(search, Qt::CaseInsensitive))
                continue;
            if (!anyCategory && mod.category != m_categoryBox->currentText())
                continue;

            QFrame* frame = card();
            auto* row = new QHBoxLayout(frame);
            row->setContentsMargins(18, 16, 18, 16);
            auto* text = new QVBoxLayout;
            text->addWidget(
                label(mod.name + QStringLiteral("  ·  ") + mod.version, QStringLiteral("heading")));
            text->addWidget(label(mod.description, QStringLiteral("muted")));
            row->addLayout(text, 1);

            const bool on = effective.contains(mod.id);
            QPushButton* toggle = button(mod.required ? QStringLiteral("Povinný")
                                         : on         ? QStringLiteral("Zapnuto · vypnout")
                                                      : QStringLiteral("Nainstalovat a zapnout"));
            toggle->setAccessibleName(mod.name + QStringLiteral(": ") + toggle->text());
            toggle->setEnabled(!mod.required && idle);
            connect(toggle, &QPushButton::clicked, this, [this, id = mod.id, on] {
                m_messageLabel->hide();
                m_controller->toggleMod(id, !on);
            });
            row->addWidget(toggle);
            m_cardBox->addWidget(frame);
            m_modButtons.insert(mod.id, toggle);
            ++cards;
        }
    }
    if (cards == 0) {
        m_cardBox->addWidget(
            label(QStringLiteral("V této kategorii nejsou schválené mody pro vybraný event. Lunar, "
                                 "Feather a Badlion jsou samostatné klienty; jejich neveřejné "
                                 "součásti se zde nestahují."),
                  QStringLiteral("muted")));
    }
    m_cardBox->addStretch();
    if (QPushButton* successor = m_modButtons.value(focusedMod);
        successor && successor->isEnabled())
        successor->setFocus(Qt::OtherFocusReason);
}

void MainWindow::saveSettings()
{
    Settings settings = m_controller->settings();
    settings.ramMb = m_ramSpin->value();
    settings.width = m_widthSpin->value();
    settings.height = m_heightSpin->value();
    settings.javaPath = m_javaEdit->text().trimmed();
    settings.jvmFlags = m_jvmEdit->text().trimmed();
    settings.closeOnLaunch = m_closeOnLaunchBox->isChecked();
    m_controller->saveSettings(settings);
}

void MainWindow::chooseJava()
{
    // The platform's own Java programs ("javaw.exe java.exe" on Windows).
    const PlatformDescriptor platform = PlatformDescriptor::current();
    QStringList programs{platform.javaLauncher, platform.javaConsole};
    programs.removeDuplicates();
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Vyber ") + platform.javaLauncher, QString(),
        QStringLiteral("Java (") + programs.join(u' ') + u')');
    if (!path.isEmpty())
        m_javaEdit->setText(path);
}

void MainWindow::openEventFolder()
{
    const std::optional<Event> event = m_controller->selectedEvent();
    if (!event)
        return;
    try {
        const QString folder = instanceDir(event->id);
        ensureDir(folder);
        if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
            throw Error(QStringLiteral("Složku eventu nelze otevřít."));
    } catch (const std::exception& e) {
        showMessage(errorMessage(e));
    }
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (m_controller->isGameRunning()) {
        showMinimized();
        event->ignore();
    } else if (!m_controller->isBusy()) {
        event->accept();
    } else {
        m_closeRequested = true;
        m_controller->cancel();
        event->ignore();
    }
}

} // namespace tarvik
