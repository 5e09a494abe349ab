#include "LoopbackClient.h"
#include "app/AppController.h"
#include "app/Appearance.h"
#include "app/DebugShortcut.h"
#include "app/Launch.h"
#include "app/MainWindow.h"
#include "app/MenuBarController.h"
#include "app/MenuBarStatus.h"
#include "app/RootView.h"
#include "bridge/BridgeLog.h"
#include "bridge/RigBridgeServer.h"
#include "chat/shared/AppSignals.h"
#include "platform/AppSettings.h"
#include "support/Wait.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>

#include <gtest/gtest.h>

using namespace cvn;

namespace {

// Every case starts from an empty settings file, as a first run does, so the
// suite's cases pass in any order and when the binary runs them again.
struct Shell : ::testing::Test {
    void SetUp() override { QSettings("Corvanthelis", "Corvanthelis").clear(); }
    void TearDown() override { SetUp(); }
};

QStringList titles(const QList<QAction*>& actions, bool shortcuts = false)
{
    QStringList out;
    for (const QAction* a : actions)
        out << (a->isSeparator() ? "-" : a->text() + (shortcuts ? " " + a->shortcut().toString() : QString()));
    return out;
}

// The bridge log written from now on.
struct LogTail {
    qint64 from = (bridgeLogFlush(), QFile(*bridgeLogPath()).size());
    QString read() const
    {
        bridgeLogFlush();
        QFile file(*bridgeLogPath());
        return file.open(QIODevice::ReadOnly) && file.seek(from) ? QString::fromUtf8(file.readAll()) : QString();
    }
};

} // namespace

TEST_F(Shell, DefaultsLiveInMemoryAndAppearanceFollowsTheExactText)
{
    const QString mode = QString::fromLatin1(AppSettings::appearanceMode);
    AppSettings::registerDefaults(4);
    for (const char* flag : {AppSettings::metalOffload, AppSettings::showRuntimePanel, "hardware.introShown",
                             "council.introShown"})
        EXPECT_FALSE(AppSettings::boolValue(flag)) << flag;
    AppSettings::setValue("other", 1); // the file exists
    EXPECT_EQ(QSettings("Corvanthelis", "Corvanthelis").allKeys(), QStringList{"other"});

    followAppearanceSetting();
    EXPECT_EQ(Theme::paper(), QColor(0xFFFFFF)); // offscreen, the system look is light
    for (const auto& [stored, expected] : std::vector<std::pair<QVariant, AppearanceMode>>{
             {"dark", AppearanceMode::Dark}, {"light", AppearanceMode::Light}, {"Dark", AppearanceMode::System},
             {" dark", AppearanceMode::System}, {5, AppearanceMode::System}}) {
        AppSettings::setValue(mode, stored);
        EXPECT_EQ(Theme::appearanceMode(), expected) << stored.toString().toStdString();
    }
    AppSettings::setValue(mode, "dark");
    EXPECT_EQ(QApplication::palette().color(QPalette::Window), QColor(0x29292A));
    AppSettings::remove(mode);
    EXPECT_EQ(Theme::appearanceMode(), AppearanceMode::System);
    EXPECT_EQ(QApplication::palette().color(QPalette::WindowText), QColor(0x29292A));
}

TEST_F(Shell, ALaunchLineWithoutBundleFactsSaysSo)
{
    // The real program's lines are read end to end; here, what a bundle without facts writes.
    const LaunchFacts facts{std::nullopt, 7, "", "", "/b", "/h", std::nullopt};
    EXPECT_EQ(launchLogLine(facts), "launch: bundle=nil pid=7 version=? short=? path=/b home=/h log=nil");
}

TEST_F(Shell, OneMenuOneSettingsSignalAndAStartRequestEachTimeTheWindowShows)
{
    RigBridgeServer bridge({test::freePort()}); // never the application's ports
    AppController app(bridge, new QWidget);
    const QList<QAction*> menus = app.window()->menuBar()->actions();
    ASSERT_EQ(titles(menus), QStringList{"Corvanthelis"});
    EXPECT_EQ(titles(menus[0]->menu()->actions(), true),
              QStringList({"About Corvanthelis ", "Preferences\u2026 Ctrl+,", "-", "Quit Corvanthelis Ctrl+Q"}));

    // Ctrl+, opens the settings page through one signal, although the tray
    // menu has the same shortcut, and opens no window of its own.
    const LogTail log;
    app.launch();
    app.showMainWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(app.window()));
    const auto visible = [] { return std::ranges::count_if(QApplication::topLevelWidgets(), &QWidget::isVisible); };
    const auto windows = visible();
    QSignalSpy settings(&AppSignals::instance(), &AppSignals::openSettingsPage);
    QTest::keyClick(app.window(), Qt::Key_Comma, Qt::ControlModifier);
    EXPECT_EQ(settings.count(), 1);
    EXPECT_EQ(visible(), windows);

    app.window()->hide();
    app.showMainWindow();
    const std::optional<uint16_t> port = bridge.boundPort(); // answers after the last start
    ASSERT_TRUE(port);
    const QString written = log.read();
    EXPECT_EQ(written.count("applicationDidFinishLaunching: calling start()"), 1);
    EXPECT_EQ(written.count("applicationDidFinishLaunching: start() returned"), 1);
    EXPECT_EQ(written.count("RootView.onAppear: requesting start()"), 2);
    EXPECT_EQ(written.count("listening on port"), 1);
    app.shutdown();
    EXPECT_EQ(test::connectLoopback(*port), -1);
}

TEST_F(Shell, FirstRunFitsTheScreenLaterRunsRestoreTheFrameAndCloseHides)
{
    RigBridgeServer bridge({test::freePort()});
    QRect placed;
    {
        AppController app(bridge, new QWidget);
        MainWindow* window = app.window();
        EXPECT_EQ(window->rootView()->minimumSize(), QSize(1175, 480));
        window->placeOnScreen();
        // The offscreen screen is smaller than 1280 by 800: the window is cut
        // to it, never below the minimum, and centred.
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        EXPECT_EQ(window->size(), QSize(1280, 800).boundedTo(screen.size()).expandedTo(window->minimumSizeHint()));
        EXPECT_LE((window->geometry().center() - screen.center()).manhattanLength(), 2);

        window->show();
        window->move(20, 30);
        window->resize(10, 10); // refused
        EXPECT_EQ(window->rootView()->size().expandedTo({1175, 480}), window->rootView()->size());
        window->resize(1190, 700);
        placed = window->geometry();
        EXPECT_FALSE(window->close()); // hides while a tray can bring it back
        EXPECT_FALSE(window->isVisible());
    }
    AppController again(bridge, new QWidget);
    again.window()->placeOnScreen();
    again.window()->showMinimized();
    again.showMainWindow();
    EXPECT_EQ(again.window()->geometry(), placed);
    EXPECT_FALSE(again.window()->isMinimized());

    // Without a tray nothing could bring a hidden window back: closing quits.
    again.window()->setHidesOnClose([] { return false; });
    QSignalSpy quit(again.window(), &MainWindow::quitRequested);
    EXPECT_TRUE(again.window()->close());
    EXPECT_EQ(quit.count(), 1);
}

TEST_F(Shell, CtrlShiftDTogglesTheRuntimePanelAndIsSwallowed)
{
    // A text field that counts the D presses it is given.
    struct Composer : QLineEdit {
        int keys = 0;
        void keyPressEvent(QKeyEvent* event) override
        {
            keys += event->key() == Qt::Key_D;
            QLineEdit::keyPressEvent(event);
        }
    } composer;
    AppSettings::registerDefaults(2);
    DebugShortcut shortcut;
    qApp->installEventFilter(&shortcut);
    composer.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&composer));

    QList<bool> seen; // through the window system's road: window, then widget
    for (int i = 0; i < 3; ++i) {
        QTest::keyClick(composer.windowHandle(), Qt::Key_D, Qt::ControlModifier | Qt::ShiftModifier);
        seen << AppSettings::boolValue(AppSettings::showRuntimePanel);
    }
    EXPECT_EQ(seen, QList<bool>({true, false, true}));
    EXPECT_EQ(composer.keys, 0);
    for (auto extra : {Qt::AltModifier, Qt::KeypadModifier, Qt::MetaModifier})
        QTest::keyClick(composer.windowHandle(), Qt::Key_D, Qt::ControlModifier | Qt::ShiftModifier | extra);
    QTest::keyClick(composer.windowHandle(), Qt::Key_D, Qt::ControlModifier);
    EXPECT_TRUE(AppSettings::boolValue(AppSettings::showRuntimePanel));
    EXPECT_EQ(composer.keys, 4);
}

TEST_F(Shell, TrayLinesShowTheBridgeAndTheModelAndActionsShowTheWindowFirst)
{
    test::HeldPort a, b, c; // someone else's: the bridge moves on, or gives up
    const uint16_t free = test::freePort();
    RigBridgeServer running({a.port(), free}), refused({a.port(), b.port(), c.port()});
    running.start();
    refused.start();
    ASSERT_TRUE(test::waitUntil([&] { return running.boundPort() && refused.statusText() != "Bridge stopped"; }));

    QStringList events;
    MenuBarController controller(running, [&] { events << "show"; });
    const QString line = QStringLiteral("Zav Avazev: \U0001F7E2 Running on :%1").arg(free);
    EXPECT_EQ(titles(controller.menu()->actions()),
              QStringList({"Open Corvanthelis", "-", line, "No model loaded", "-", "New chat", "Preferences\u2026", "-",
                           "Quit Corvanthelis"}));
    controller.bridgeAction()->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("http://127.0.0.1:%1").arg(free));
    for (const auto& [name, expected] : std::vector<std::pair<std::optional<QString>, QString>>{
             {"tiny", "Current model: tiny"}, {"", "No model loaded"}, {std::nullopt, "No model loaded"}}) {
        MenuBarStatus::setLoadedModelName(name);
        emit controller.menu()->aboutToShow();
        EXPECT_EQ(controller.modelAction()->text(), expected);
        EXPECT_FALSE(controller.modelAction()->isEnabled());
    }

    QObject::connect(&AppSignals::instance(), &AppSignals::newChat, &controller, [&] { events << "newChat"; });
    QObject::connect(&AppSignals::instance(), &AppSignals::openSettingsPage, &controller, [&] { events << "settings"; });
    for (QAction* action : controller.menu()->actions()) {
        if (action->text() != "Quit Corvanthelis" && action != controller.bridgeAction())
            action->trigger();
    }
    emit controller.trayIcon()->activated(QSystemTrayIcon::Trigger);
    emit controller.trayIcon()->activated(QSystemTrayIcon::Context);
    EXPECT_EQ(events, QStringList({"show", "show", "newChat", "show", "settings", "show"}));

    MenuBarController stopped(refused, [] {});
    EXPECT_EQ(stopped.bridgeAction()->text(), QStringLiteral("Zav Avazev: \U0001F534 Stopped"));
    EXPECT_FALSE(stopped.bridgeAction()->isEnabled());
    const QString reason = QStringLiteral("%1) failed: errno 98 (Address already in use))").arg(c.port());
    EXPECT_TRUE(stopped.bridgeAction()->toolTip().endsWith(reason));
}
