// The main window over a real Controller and the stand-in world, offscreen:
// every state is reached through the Controller's real operations or the
// window's own widgets.
#include "app/Controller.h"
#include "fs/SafeFiles.h"
#include "support/StandInGame.h"
#include "support/StandInWorld.h"
#include "support/TestData.h"
#include "ui/MainWindow.h"

#include <QAccessible>
#include <QClipboard>
#include <QComboBox>
#include <QFontMetrics>
#include <QFrame>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTabWidget>
#include <QtTest>

#include <memory>

using namespace tarvik;
using namespace tarvik::test;

namespace {

template <typename T> T* withText(QWidget* root, const QString& text)
{
    for (T* widget : root->findChildren<T*>()) {
        if (widget->text() == text)
            return widget;
    }
    return nullptr;
}

bool waitIdle(Controller& controller)
{
    return QTest::qWaitFor([&] { return !controller.isBusy(); }, 120000);
}

// The mod cards now shown: heading text -> the card's button.
QMap<QString, QPushButton*> shownCards(QWidget* window)
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QMap<QString, QPushButton*> cards;
    for (QFrame* frame : window->findChildren<QFrame*>(QStringLiteral("card"))) {
        QLabel* heading = frame->findChild<QLabel*>(QStringLiteral("heading"));
        QPushButton* button = frame->findChild<QPushButton*>();
        if (heading && button && heading->text().contains("  ·  "))
            cards.insert(heading->text().section("  ·  ", 0, 0), button);
    }
    return cards;
}

QString accessibleName(QWidget* widget)
{
    QAccessibleInterface* face = widget ? QAccessible::queryAccessibleInterface(widget) : nullptr;
    return face ? face->text(QAccessible::Name) : QString();
}

// What the player can reach with Tab (a spin box's own line edit is part of it).
QList<QWidget*> fields(QWidget* root)
{
    QList<QWidget*> result;
    for (QWidget* widget : root->findChildren<QWidget*>()) {
        if ((widget->focusPolicy() & Qt::TabFocus) && !widget->focusProxy() &&
            !qobject_cast<QAbstractSpinBox*>(widget->parentWidget()))
            result << widget;
    }
    return result;
}

QString cardState(QPushButton* button)
{
    return button->text() + (button->isEnabled() ? "" : " (disabled)");
}

} // namespace

class TestUi : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void czechTextHasGlyphs();
    void styleSheetIsInForce();
    void signInAndOut_data();
    void signInAndOut();
    void progressBar();
    void formRestoredOnChanged();
    void closeDuringJobAndGame();
    void emptyCatalog();
    void listRebuildDoesNotSelect();
    void eventFacts_data();
    void eventFacts();
    void modCards_data();
    void modCards();
    void geometry_data();
    void geometry();
    void keyboard_data();
    void keyboard();
    void accessibleNames();

private:
    // Controller and window after the start-up job; signed in when asked.
    void start(bool signIn);
    // Serves the sample catalog with its Fabric event changed by `edit`.
    void serveWithFabricEvent(const std::function<void(QJsonObject&)>& edit);

    std::unique_ptr<ScopedDataDir> m_data;
    std::unique_ptr<StandInWorld> m_world;
    std::unique_ptr<Controller> m_controller;
    std::unique_ptr<MainWindow> m_window;
};

void TestUi::init()
{
    m_data = std::make_unique<ScopedDataDir>();
    m_world = std::make_unique<StandInWorld>();
    QVERIFY2(m_world->error().isEmpty(), qPrintable(m_world->error()));
}

void TestUi::cleanup()
{
    m_window.reset();
    m_controller.reset();
    m_world.reset();
    m_data.reset();
}

void TestUi::start(bool signIn)
{
    if (signIn)
        m_world->storeRefreshToken();
    m_controller = std::make_unique<Controller>();
    m_window = std::make_unique<MainWindow>(m_controller.get());
    m_window->show();
    m_controller->initialize();
    QVERIFY(waitIdle(*m_controller));
}

void TestUi::serveWithFabricEvent(const std::function<void(QJsonObject&)>& edit)
{
    QJsonObject catalog = StandInWorld::sampleCatalog(m_world->server().baseUrl());
    QJsonArray events = catalog["events"].toArray();
    QJsonObject fabric = events[1].toObject();
    edit(fabric);
    events[1] = fabric;
    catalog["events"] = events;
    m_world->serveCatalog(catalog);
}

void TestUi::czechTextHasGlyphs()
{
    start(false);
    QPushButton* button = withText<QPushButton>(m_window.get(), "Přihlásit se přes Microsoft");
    QVERIFY(button);
    const QFontMetrics metrics(button->font());
    const QString text = "Přihlásit se přes Microsoft ěščřžýáíéůúťďňĚŠČŘŽÝÁÍÉŮÚŤĎŇ";
    for (const QChar ch : text)
        QVERIFY2(
            metrics.inFont(ch),
            qPrintable(
                QString("no glyph for %1 in %2").arg(ch).arg(QFontInfo(button->font()).family())));
}

void TestUi::styleSheetIsInForce()
{
    start(false);
    QStringList selectors;
    for (const QString& rule : m_window->styleSheet().split('}', Qt::SkipEmptyParts)) {
        if (!rule.trimmed().isEmpty())
            selectors << rule.section('{', 0, 0).trimmed();
    }
    selectors.resize(30); // the written rules come first, in their order
    QCOMPARE(selectors, QStringList({"QWidget",
                                     "QLabel#title",
                                     "QLabel#heading",
                                     "QLabel#eyebrow",
                                     "QLabel#muted",
                                     "QLabel#message",
                                     "QFrame#card",
                                     "QFrame#card QLabel",
                                     "QPushButton",
                                     "QPushButton:hover",
                                     "QPushButton:focus",
                                     "QPushButton:disabled",
                                     "QPushButton#primary",
                                     "QPushButton#primary:hover",
                                     "QPushButton#primary:disabled",
                                     "QLineEdit, QSpinBox, QComboBox",
                                     "QLineEdit:focus, QSpinBox:focus, QComboBox:focus",
                                     "QTabWidget::pane",
                                     "QTabBar::tab",
                                     "QTabBar::tab:selected",
                                     "QTabBar::tab:hover",
                                     "QListWidget",
                                     "QListWidget::item",
                                     "QListWidget::item:selected",
                                     "QScrollArea",
                                     "QCheckBox",
                                     "QCheckBox::indicator",
                                     "QProgressBar",
                                     "QProgressBar::chunk",
                                     "QToolTip"}));
    // The rules reach the widgets: the title's size, the window's colours.
    QLabel* title = withText<QLabel>(m_window.get(), "Tvoje další hra začíná tady.");
    QCOMPARE(QFontInfo(title->font()).pixelSize(), 32);
    QCOMPARE(m_window->grab().toImage().pixelColor(5, 5), QColor("#171a20"));
}

void TestUi::signInAndOut_data()
{
    QTest::addColumn<int>("expires");
    QTest::addColumn<QString>("minutes");
    QTest::newRow("900 s") << 900 << "15 minut";
    QTest::newRow("899 s") << 899 << "14 minut";
    QTest::newRow("one") << 119 << "1 minuta";
    QTest::newRow("two to four") << 299 << "4 minuty";
}

void TestUi::signInAndOut()
{
    QFETCH(int, expires);
    QFETCH(QString, minutes);
    m_world->auth().change([&](AuthBehaviour& b) {
        b.expiresIn = expires;
        b.polls = {"authorization_pending", ""};
    });
    start(false);
    auto* pages = m_window->findChild<QStackedWidget*>();
    QPushButton* signIn = withText<QPushButton>(m_window.get(), "Přihlásit se přes Microsoft");
    QPushButton* openPage = withText<QPushButton>(m_window.get(), "Otevřít přihlašovací stránku");
    QPushButton* logout = withText<QPushButton>(m_window.get(), "Odhlásit");
    QVERIFY(pages && signIn && openPage && logout);
    QCOMPARE(pages->currentIndex(), 0);
    QVERIFY(!logout->isVisible());
    QVERIFY(withText<QLabel>(m_window.get(), "Přihlášení k Minecraft Java"));

    QTest::mouseClick(signIn, Qt::LeftButton);
    QTRY_VERIFY(withText<QLabel>(m_window.get(), "TRVK4242"));
    QVERIFY(openPage->isVisible());
    QVERIFY(!signIn->isEnabled());
    QVERIFY(withText<QLabel>(
        m_window.get(), "Zadej tento kód na https://www.microsoft.com/link · platnost " + minutes));
    QCOMPARE(QGuiApplication::clipboard()->text(), QString("TRVK4242"));
    QTest::mouseClick(openPage, Qt::LeftButton); // no browser offscreen: the address shows
    QVERIFY(withText<QLabel>(m_window.get(), "Prohlížeč nelze otevřít. Zadejte v něm tuto "
                                             "adresu: https://www.microsoft.com/link"));

    QVERIFY(waitIdle(*m_controller));
    QCOMPARE(pages->currentIndex(), 1);
    QVERIFY(withText<QLabel>(m_window.get(), "Tarvik_Tester"));
    QVERIFY(!openPage->isVisible());
    QVERIFY(!withText<QLabel>(m_window.get(), "TRVK4242"));
    QVERIFY(logout->isVisible() && logout->isEnabled());
    QCOMPARE(m_window->focusWidget(), m_window->findChild<QListWidget*>());
    QVERIFY(m_window->findChild<QLabel*>("message")->isHidden()); // settled by the sign-in

    QTest::mouseClick(logout, Qt::LeftButton);
    QCOMPARE(pages->currentIndex(), 0);
    QVERIFY(!logout->isVisible());
}

void TestUi::progressBar()
{
    m_world->server().on("GET", StandInWorld::catalogPath(),
                         TestReply::withStatus(503).heldUntilReleased());
    m_controller = std::make_unique<Controller>();
    m_window = std::make_unique<MainWindow>(m_controller.get());
    m_window->show();
    m_controller->initialize();
    auto* bar = m_window->findChild<QProgressBar*>();
    QPushButton* cancel = withText<QPushButton>(m_window.get(), "Zrušit");
    QTRY_VERIFY(withText<QLabel>(m_window.get(), "Kontroluji aktualizace"));
    QCOMPARE(bar->maximum(), 0); // busy and 0: indeterminate
    QVERIFY(cancel->isVisible());
    m_world->server().releaseAll();
    QVERIFY(waitIdle(*m_controller));
    QTRY_VERIFY(withText<QLabel>(m_window.get(), "Připraveno"));
    QCOMPARE(bar->maximum(), 100); // idle and 0: an empty bar
    QCOMPARE(bar->value(), 0);
    QVERIFY(!cancel->isVisible());
    // The catalog failed to load: the error shows and signing in reloads it.
    QVERIFY(withText<QLabel>(m_window.get(), "Server odpověděl HTTP 503 (127.0.0.1)."));
    QVERIFY(withText<QPushButton>(m_window.get(), "Načíst přihlášení znovu"));
}

void TestUi::formRestoredOnChanged()
{
    start(true);
    auto* ram = m_window->findChildren<QSpinBox*>().value(0);
    QCOMPARE(ram->value(), 4096);
    ram->setValue(2048);
    m_controller->selectEvent(1); // any changed() redraws the form
    QCOMPARE(ram->value(), 4096);

    ram->setValue(6144);
    auto* jvm = m_window->findChildren<QLineEdit*>().value(2);
    jvm->setText("  -XX:+UseZGC  ");
    QTest::mouseClick(withText<QPushButton>(m_window.get(), "Uložit nastavení"), Qt::LeftButton);
    QCOMPARE(m_controller->settings().ramMb, 6144);
    QCOMPARE(m_controller->settings().jvmFlags, QString("-XX:+UseZGC"));
    QCOMPARE(m_controller->settings().selectedEvent, QString("fabric-cup"));
}

void TestUi::closeDuringJobAndGame()
{
    start(true);
    // During a job: the close cancels it and happens when the job has ended.
    m_world->server().on("GET", "/v1/objects/client.jar",
                         TestReply::generated(1 << 20).heldUntilReleased());
    QTest::mouseClick(withText<QPushButton>(m_window.get(), "Hrát  →"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!m_world->server().requests("/v1/objects/client.jar").isEmpty(),
                             60000);
    QVERIFY(!m_window->findChild<QTabWidget*>()->isEnabled());
    QVERIFY(!m_window->close());
    QVERIFY(m_window->isVisible());
    QTRY_VERIFY(!m_window->isVisible());
    QVERIFY(!m_controller->isBusy());
    QVERIFY(withText<QLabel>(m_window.get(), "Operace byla zrušena."));
    m_world->server().releaseAll();

    // While the game runs: closing only minimises, as does every redraw
    // with closeOnLaunch set.
    m_window->show();
    m_world->server().on("GET", "/v1/objects/client.jar", TestReply::ok(standInGame().clientJar));
    Settings settings = m_controller->settings();
    settings.closeOnLaunch = true;
    m_controller->saveSettings(settings);
    qputenv("TARVIK_STANDIN_GAME", "linger=60000");
    QTest::mouseClick(withText<QPushButton>(m_window.get(), "Hrát  →"), Qt::LeftButton);
    qunsetenv("TARVIK_STANDIN_GAME");
    QPushButton* stop = withText<QPushButton>(m_window.get(), "Ukončit hru");
    QTRY_VERIFY_WITH_TIMEOUT(stop->isVisible(), 120000);
    QTRY_VERIFY(m_window->isMinimized());
    m_window->showNormal();
    QVERIFY(!m_window->close());
    QVERIFY(m_window->isVisible() && m_window->isMinimized());
    QTest::mouseClick(stop, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!m_controller->isGameRunning(), 30000);
    QVERIFY(!stop->isVisible());
    QVERIFY(withText<QLabel>(m_window.get(), "Hra byla ukončena"));
    QVERIFY(m_window->findChild<QLabel*>("message")->isHidden()); // a stop is no crash
    QVERIFY(m_window->close());
}

void TestUi::emptyCatalog()
{
    QJsonObject catalog = StandInWorld::sampleCatalog(m_world->server().baseUrl());
    catalog["events"] = QJsonArray();
    m_world->serveCatalog(catalog);
    start(true);
    QWidget* w = m_window.get();
    QCOMPARE(w->findChild<QListWidget*>()->count(), 0);
    QVERIFY(withText<QLabel>(w, "Zatím žádné eventy"));
    QVERIFY(withText<QLabel>(w, "Správce zatím nezveřejnil žádný event."));
    QLabel* title = withText<QLabel>(w, "Zatím žádné eventy");
    QCOMPARE(title->parentWidget()->findChildren<QLabel*>("muted").value(0)->text(), QString());
    QVERIFY(!withText<QPushButton>(w, "Hrát  →")->isEnabled());
    QVERIFY(!withText<QPushButton>(w, "Složka eventu")->isEnabled());
    QVERIFY(withText<QLabel>(w, "V této kategorii nejsou schválené mody pro vybraný event. Lunar, "
                                "Feather a Badlion jsou samostatné klienty; jejich neveřejné "
                                "součásti se zde nestahují."));
    QVERIFY(shownCards(w).isEmpty());
}

void TestUi::listRebuildDoesNotSelect()
{
    Settings settings;
    settings.selectedEvent = "no-longer-published";
    Settings::save(settings);
    start(true);
    auto* list = m_window->findChild<QListWidget*>();
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->currentRow(), 0);
    QCOMPARE(list->item(1)->text(), QString("Fabric pohár\nMinecraft 1.20.1"));
    QVERIFY(withText<QLabel>(m_window.get(), "Jarní turnaj"));
    // Filling the list did not pick an event in the Controller.
    QCOMPARE(m_controller->settings().selectedEvent, QString("no-longer-published"));
    list->setCurrentRow(1); // the player's own choice does
    QCOMPARE(m_controller->settings().selectedEvent, QString("fabric-cup"));
    QVERIFY(withText<QLabel>(m_window.get(), "Fabric pohár"));
}

void TestUi::eventFacts_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("withServer");
    QTest::addColumn<QString>("facts");
    QTest::newRow("vanilla, local") << 0 << false << "Minecraft 1.20.1  /  Vanilla  /  Lokální hra";
    QTest::newRow("fabric, server")
        << 1 << true << "Minecraft 1.20.1  /  Fabric 0.16.5  /  play.example.org:25565";
    QTest::newRow("fabric, local")
        << 1 << false << "Minecraft 1.20.1  /  Fabric 0.16.5  /  Lokální hra";
}

void TestUi::eventFacts()
{
    QFETCH(int, row);
    QFETCH(bool, withServer);
    QFETCH(QString, facts);
    serveWithFabricEvent([&](QJsonObject& fabric) {
        if (!withServer)
            fabric.remove("server");
    });
    start(true);
    m_window->findChild<QListWidget*>()->setCurrentRow(row);
    QVERIFY(withText<QLabel>(m_window.get(), facts));
}

void TestUi::modCards_data()
{
    QTest::addColumn<QString>("search");
    QTest::addColumn<QString>("category");
    QTest::addColumn<QStringList>("cards");

    const QStringList all{"Fabric API: Zapnuto · vypnout",   "Krypton: Nainstalovat a zapnout",
                          "Lithium: Nainstalovat a zapnout", "Mod Menu: Zapnuto · vypnout",
                          "Sodium: Povinný (disabled)",      "Zoomify: Nainstalovat a zapnout"};
    QTest::newRow("all") << ""
                         << "Všechny" << all;
    QTest::newRow("search in description, any case")
        << "RYCHLEJŠÍ"
        << "Všechny" << QStringList{"Sodium: Povinný (disabled)"};
    QTest::newRow("search in name") << "menu"
                                    << "Všechny" << QStringList{"Mod Menu: Zapnuto · vypnout"};
    QTest::newRow("category matched exactly")
        << ""
        << "Výkon" << QStringList{"Lithium: Nainstalovat a zapnout", "Sodium: Povinný (disabled)"};
    QTest::newRow("empty category") << ""
                                    << "Badlion" << QStringList();
    QTest::newRow("search untrimmed") << " sodium"
                                      << "Všechny" << QStringList();
}

void TestUi::modCards()
{
    QFETCH(QString, search);
    QFETCH(QString, category);
    QFETCH(QStringList, cards);

    // One more performance mod whose category differs only in case.
    serveWithFabricEvent([](QJsonObject& fabric) {
        QJsonArray mods = fabric["mods"].toArray();
        QJsonObject lower = mods[1].toObject();
        lower["id"] = "krypton";
        lower["name"] = "Krypton";
        lower["file"] = "krypton.jar";
        lower["category"] = "výkon";
        mods.append(lower);
        fabric["mods"] = mods;
    });
    start(true);
    m_controller->selectEvent(1);
    m_controller->toggleMod("modmenu", true);
    QVERIFY(waitIdle(*m_controller));
    QVERIFY2(m_controller->settings().enabledMods.value("fabric-cup").contains("modmenu"),
             qPrintable(m_window->findChild<QLabel*>("message")->text()));

    for (QLineEdit* edit : m_window->findChildren<QLineEdit*>()) {
        if (edit->placeholderText() == "Hledat modifikaci…")
            edit->setText(search);
    }
    m_window->findChild<QComboBox*>()->setCurrentText(category);
    QStringList shown;
    const auto found = shownCards(m_window.get());
    for (auto it = found.cbegin(); it != found.cend(); ++it)
        shown << it.key() + ": " + cardState(it.value());
    QCOMPARE(shown, cards);
    if (cards.isEmpty())
        QVERIFY(withText<QLabel>(m_window.get(),
                                 "V této kategorii nejsou schválené mody pro vybraný event. Lunar, "
                                 "Feather a Badlion jsou samostatné klienty; jejich neveřejné "
                                 "součásti se zde nestahují."));

    if (category == "Všechny" && search.isEmpty()) {
        // A card's button toggles the mod; the page is redrawn from the result.
        QTest::mouseClick(found.value("Zoomify"), Qt::LeftButton);
        QVERIFY(waitIdle(*m_controller));
        QCOMPARE(cardState(shownCards(m_window.get()).value("Zoomify")),
                 QString("Zapnuto · vypnout"));
        QTest::mouseClick(shownCards(m_window.get()).value("Fabric API"), Qt::LeftButton);
        QVERIFY(waitIdle(*m_controller));
        QVERIFY(withText<QLabel>(m_window.get(),
                                 "Tento mod je povinný nebo jej vyžaduje jiný zapnutý mod."));
    }
}

void TestUi::geometry_data()
{
    QTest::addColumn<QSize>("screen"); // its available area
    QTest::addColumn<QByteArray>("scale");
    QTest::addColumn<bool>("written");    // the written start and minimum sizes fit
    QTest::addColumn<bool>("unscrolled"); // "Hrát" shows without scrolling
    QTest::newRow("1366×728 at 1") << QSize(1366, 728) << QByteArray("1") << false << true;
    QTest::newRow("1920×1040 at 1") << QSize(1920, 1040) << QByteArray("1") << true << true;
    QTest::newRow("1920×1040 at 1.25") << QSize(1920, 1040) << QByteArray("1.25") << false << true;
    QTest::newRow("1920×1040 at 1.5") << QSize(1920, 1040) << QByteArray("1.5") << false << true;
    QTest::newRow("1920×1040 at 2") << QSize(1920, 1040) << QByteArray("2") << false << false;
}

// The scale factor is fixed when the application starts: each row runs in a
// process of its own on an offscreen screen of the row's size.
void TestUi::geometry()
{
    QFETCH(QSize, screen);
    QFETCH(QByteArray, scale);
    QFETCH(bool, written);
    QFETCH(bool, unscrolled);
    if (qEnvironmentVariableIsEmpty("TST_UI_CHILD")) {
        QTemporaryFile config;
        QVERIFY(config.open());
        config.write(QString(R"({"screens": [{"name": "s", "width": %1, "height": %2}]})")
                         .arg(screen.width())
                         .arg(screen.height())
                         .toUtf8());
        config.close();
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TST_UI_CHILD", "1");
        env.insert("QT_SCALE_FACTOR", scale);
        env.insert("QT_QPA_PLATFORM", "offscreen:configfile=" + config.fileName());
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(),
                    {QString("geometry:") + QTest::currentDataTag()});
        QVERIFY(child.waitForFinished(180000));
        QVERIFY2(child.exitCode() == 0, child.readAllStandardOutput().constData());
        return;
    }
    start(false); // the sign-in card: its title whole, its parts apart
    QLabel* title = withText<QLabel>(m_window.get(), "Tvoje další hra začíná tady.");
    QTRY_VERIFY(title->height() >= title->heightForWidth(title->width()));
    QRegion card;
    for (QWidget* part :
         title->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        QVERIFY2(part->isHidden() || !card.intersects(part->geometry()),
                 qPrintable(part->objectName()));
        card += part->isHidden() ? QRect() : part->geometry();
    }

    m_world->storeRefreshToken();
    m_controller->initialize(); // signs in with the stored token
    QVERIFY(waitIdle(*m_controller));
    const QRect area = m_window->screen()->availableGeometry();
    QVERIFY(area.contains(m_window->frameGeometry()));
    QVERIFY(!written ||
            (m_window->size() == QSize(1100, 760) && m_window->minimumSize() == QSize(900, 650)));
    auto* tabs = m_window->findChild<QTabWidget*>();
    auto* play = withText<QPushButton>(m_window.get(), "Hrát  →");
    if (!unscrolled)
        qobject_cast<QScrollArea*>(tabs->widget(0))->ensureWidgetVisible(play);
    for (QWidget* button : {play, withText<QPushButton>(m_window.get(), "Odhlásit")})
        QCOMPARE(button->visibleRegion(), QRegion(button->rect()));

    // The smallest window with a message: pages scroll, fields keep their size.
    m_controller->selectEvent(1); // with mod cards
    m_window->resize(m_window->minimumSize());
    Settings wrong = m_controller->settings();
    wrong.jvmFlags = "\n";
    m_controller->saveSettings(wrong);
    for (int tab = 0; tab < tabs->count(); ++tab) {
        tabs->setCurrentIndex(tab);
        QCoreApplication::sendPostedEvents();
        for (QWidget* field : fields(tabs->currentWidget())) {
            QVERIFY2(!field->isVisible() || (field->height() >= field->sizeHint().height() &&
                                             field->width() >= field->minimumSizeHint().width()),
                     qPrintable(accessibleName(field)));
        }
        for (QScrollBar* bar : tabs->currentWidget()->findChildren<QScrollBar*>()) // dark
            QVERIFY(!bar->isVisible() ||
                    bar->grab().toImage().pixelColor(bar->rect().center()).lightness() < 100);
    }
}

void TestUi::keyboard_data()
{
    QTest::addColumn<int>("tab");
    QTest::addColumn<QString>("button"); // pressed from the keyboard while a message shows
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("focus"); // afterwards
    QTest::newRow("stored sign-in at start") << 0 << "" << 0 << "Připraveno"
                                             << "Eventy";
    QTest::newRow("Enter plays, the game ends")
        << 0 << "Hrát" << int(Qt::Key_Enter) << "Hra byla ukončena"
        << "Hrát";
    QTest::newRow("Space toggles a mod")
        << 1 << "Zoomify: Nainstalovat a zapnout" << int(Qt::Key_Space) << "Připraveno"
        << "Zoomify: Zapnuto · vypnout";
    QTest::newRow("Enter saves the settings")
        << 2 << "Uložit nastavení" << int(Qt::Key_Enter) << "Připraveno"
        << "Uložit nastavení";
    QTest::newRow("Return signs out") << 0 << "Odhlásit" << int(Qt::Key_Return) << "Připraveno"
                                      << "Přihlásit se přes Microsoft";
}

void TestUi::keyboard()
{
    QFETCH(int, tab);
    QFETCH(QString, button);
    QFETCH(int, key);
    QFETCH(QString, status);
    QFETCH(QString, focus);
    start(true);
    m_controller->selectEvent(tab == 1 ? 1 : 0); // the Fabric event has optional mods
    m_window->findChild<QTabWidget*>()->setCurrentIndex(tab);
    if (!button.isEmpty()) {
        Settings wrong = m_controller->settings();
        wrong.jvmFlags = "\n";
        m_controller->saveSettings(wrong);
        const auto all = m_window->findChildren<QWidget*>();
        QWidget* pressed = *std::find_if(all.begin(), all.end(),
                                         [&](QWidget* w) { return accessibleName(w) == button; });
        pressed->setFocus();
        QTest::keyClick(pressed, Qt::Key(key));
    }
    QTRY_VERIFY_WITH_TIMEOUT(withText<QLabel>(m_window.get(), status) && !m_controller->isBusy() &&
                                 !m_controller->isGameRunning(),
                             120000);
    QCOMPARE(accessibleName(m_window->focusWidget()), focus);
    QVERIFY(m_window->findChild<QLabel*>("message")->isHidden());
}

// Every field, list, box, bar and button has a name for screen readers.
void TestUi::accessibleNames()
{
    start(true);
    QList<QWidget*> widgets = fields(m_window.get());
    widgets << m_window->findChild<QProgressBar*>();
    for (QWidget* widget : std::as_const(widgets))
        QVERIFY2(!accessibleName(widget).isEmpty(), widget->metaObject()->className());
}

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
