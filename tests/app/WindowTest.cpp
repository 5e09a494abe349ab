#include "LoopbackClient.h"
#include "app/AppController.h"
#include "app/DebugShortcut.h"
#include "app/MainWindow.h"
#include "app/RootView.h"
#include "bridge/BridgeLog.h"
#include "bridge/RigBridgeServer.h"
#include "chat/AppSignals.h"
#include "platform/AppSettings.h"
#include "support/Wait.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

using namespace cvn;

namespace {

// A text field that counts the D presses it is given.
struct Composer : QLineEdit {
    int keys = 0;
    void keyPressEvent(QKeyEvent* event) override
    {
        keys += event->key() == Qt::Key_D;
        QLineEdit::keyPressEvent(event);
    }
};

} // namespace

TEST(MainWindow, OneMenuAndAStartRequestEachTimeItIsShown)
{
    RigBridgeServer bridge({test::freePort()}); // never the application's ports
    AppController app(bridge, new QWidget);
    const QList<QAction*> menus = app.window()->menuBar()->actions();
    ASSERT_EQ(menus.size(), 1);
    EXPECT_EQ(menus[0]->text(), "Corvanthelis");
    QStringList titles;
    for (QAction* item : menus[0]->menu()->actions())
        titles << (item->isSeparator() ? "-" : item->text() + " " + item->shortcut().toString());
    EXPECT_EQ(titles, QStringList({"About Corvanthelis ", "Preferences\u2026 Ctrl+,", "-", "Quit Corvanthelis Ctrl+Q"}));

    // Ctrl+, opens the settings page through one signal, although the tray
    // menu has the same shortcut, and opens no window of its own.
    app.launch();
    app.showMainWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(app.window()));
    const auto visible = [] { return std::ranges::count_if(QApplication::topLevelWidgets(), &QWidget::isVisible); };
    const auto windows = visible();
    QSignalSpy settings(&AppSignals::instance(), &AppSignals::openSettingsPage);
    QTest::keyClick(app.window(), Qt::Key_Comma, Qt::ControlModifier);
    EXPECT_EQ(settings.count(), 1);
    EXPECT_EQ(visible(), windows);

    app.window()->aboutAction()->trigger();
    auto* about = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_TRUE(about);
    EXPECT_TRUE(about->text().contains("1.0.0"));
    about->close();

    app.window()->hide();
    app.showMainWindow();
    const std::optional<uint16_t> port = bridge.boundPort(); // answers after the last start
    ASSERT_TRUE(port);
    bridgeLogFlush();
    QFile file(*bridgeLogPath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString log = QString::fromUtf8(file.readAll());
    EXPECT_EQ(log.count("applicationDidFinishLaunching: calling start()"), 1);
    EXPECT_EQ(log.count("applicationDidFinishLaunching: start() returned"), 1);
    EXPECT_EQ(log.count("RootView.onAppear: requesting start()"), 2);
    EXPECT_EQ(log.count("listening on port"), 1);
    EXPECT_EQ(log.count("start(): already listening - nothing to do"), 2);
    app.shutdown();
    EXPECT_EQ(test::connectLoopback(*port), -1);
}

TEST(MainWindow, FirstRunFitsTheScreenLaterRunsRestoreTheFrameAndCloseHides)
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
        EXPECT_TRUE(window->rootView()->width() >= 1175 && window->rootView()->height() >= 480);
        window->resize(1190, 700);
        placed = window->geometry();
        EXPECT_FALSE(window->close()); // hides while a tray can bring it back
        EXPECT_FALSE(window->isVisible());
    }
    AppController again(bridge, new QWidget);
    again.window()->placeOnScreen();
    again.showMainWindow();
    EXPECT_EQ(again.window()->geometry(), placed);

    again.window()->showMinimized();
    again.showMainWindow();
    EXPECT_FALSE(again.window()->isMinimized());

    // Without a tray nothing could bring a hidden window back: closing quits.
    again.window()->setHidesOnClose([] { return false; });
    QSignalSpy quit(again.window(), &MainWindow::quitRequested);
    EXPECT_TRUE(again.window()->close());
    EXPECT_EQ(quit.count(), 1);
}

TEST(MainWindow, CtrlShiftDTogglesTheRuntimePanelAndIsSwallowed)
{
    const QString panel = QString::fromLatin1(AppSettings::showRuntimePanel);
    AppSettings::registerDefaults(2);
    DebugShortcut shortcut;
    qApp->installEventFilter(&shortcut);
    Composer composer;
    composer.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&composer));

    QList<bool> seen; // through the window system's road: window, then widget
    for (int i = 0; i < 3; ++i) {
        QTest::keyClick(composer.windowHandle(), Qt::Key_D, Qt::ControlModifier | Qt::ShiftModifier);
        seen << AppSettings::boolValue(panel);
    }
    EXPECT_EQ(seen, QList<bool>({true, false, true}));
    EXPECT_EQ(composer.keys, 0);

    for (auto extra : {Qt::AltModifier, Qt::KeypadModifier, Qt::MetaModifier})
        QTest::keyClick(composer.windowHandle(), Qt::Key_D, Qt::ControlModifier | Qt::ShiftModifier | extra);
    QTest::keyClick(composer.windowHandle(), Qt::Key_D, Qt::ControlModifier);
    EXPECT_TRUE(AppSettings::boolValue(panel));
    EXPECT_EQ(composer.keys, 4);
}
