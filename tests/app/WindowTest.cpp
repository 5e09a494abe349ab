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
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

using namespace cvn;

namespace {

// A bridge on ports of its own, so the suite never competes for the
// application's.
RigBridgeServer& testBridge()
{
    static RigBridgeServer bridge({test::freePort()});
    return bridge;
}

QString logText()
{
    bridgeLogFlush();
    QFile file(*bridgeLogPath());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

int visibleTopLevels()
{
    int count = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
        count += widget->isVisible();
    return count;
}

// A text field that counts the D keys it is given.
class Composer : public QLineEdit {
public:
    using QLineEdit::QLineEdit;
    int keys = 0;

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        keys += event->key() == Qt::Key_D;
        QLineEdit::keyPressEvent(event);
    }
};

} // namespace

TEST(MainWindow, OneMenuWithAboutPreferencesAndQuit)
{
    AppController app(testBridge(), new QWidget);
    const QList<QAction*> menus = app.window()->menuBar()->actions();
    ASSERT_EQ(menus.size(), 1);
    EXPECT_EQ(menus[0]->text(), "Corvanthelis");
    const QList<QAction*> items = menus[0]->menu()->actions();
    QStringList titles;
    for (QAction* item : items)
        titles << (item->isSeparator() ? QStringLiteral("-") : item->text());
    EXPECT_EQ(titles, QStringList({"About Corvanthelis", QStringLiteral("Preferences\u2026"), "-", "Quit Corvanthelis"}));
    EXPECT_EQ(items[1]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
    EXPECT_EQ(items[3]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    EXPECT_EQ(app.window()->windowTitle(), "Corvanthelis");

    // Ctrl+, reaches the settings page through one signal, with the tray
    // menu's own Preferences… present, and opens no window of its own.
    app.launch();
    app.showMainWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(app.window()));
    const int windows = visibleTopLevels();
    QSignalSpy settings(&AppSignals::instance(), &AppSignals::openSettingsPage);
    QTest::keyClick(app.window(), Qt::Key_Comma, Qt::ControlModifier);
    EXPECT_EQ(settings.count(), 1);
    EXPECT_EQ(visibleTopLevels(), windows);

    app.window()->aboutAction()->trigger();
    auto* about = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_TRUE(about);
    EXPECT_TRUE(about->text().contains("1.0.0"));
    about->close();
}

TEST(MainWindow, FirstRunFitsTheScreenAndLaterRunsRestoreTheFrame)
{
    AppSettings::remove(MainWindow::frameKey);
    QRect placed;
    {
        AppController app(testBridge(), new QWidget);
        MainWindow* window = app.window();
        EXPECT_EQ(window->rootView()->minimumSize(), QSize(1175, 480));
        window->placeOnScreen();
        // The offscreen screen is smaller than 1280 by 800: cut to it, but
        // never below the minimum.
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        const QSize least = window->minimumSizeHint();
        EXPECT_EQ(window->size(), QSize(1280, 800).boundedTo(screen.size()).expandedTo(least));
        EXPECT_LE((window->geometry().center() - screen.center()).manhattanLength(), 2); // rounding

        window->show();
        window->resize(1190, 700);
        window->move(20, 30);
        window->resize(10, 10); // below the minimum: refused
        EXPECT_GE(window->rootView()->width(), 1175);
        EXPECT_GE(window->rootView()->height(), 480);
        window->resize(1190, 700);
        placed = window->geometry();
        window->hide(); // saves
    }
    QSettings file(QStringLiteral("Corvanthelis"), QStringLiteral("Corvanthelis"));
    EXPECT_TRUE(file.contains(MainWindow::frameKey));

    AppController again(testBridge(), new QWidget);
    again.window()->placeOnScreen();
    again.window()->show();
    EXPECT_EQ(again.window()->geometry(), placed);
}

TEST(MainWindow, CloseHidesWithATrayAndQuitsWithout)
{
    AppController app(testBridge(), new QWidget);
    app.window()->placeOnScreen();
    app.window()->setHidesOnClose(true);
    app.showMainWindow();
    EXPECT_FALSE(app.window()->close());
    EXPECT_FALSE(app.window()->isVisible());

    app.window()->showMinimized();
    app.showMainWindow();
    EXPECT_TRUE(app.window()->isVisible());
    EXPECT_FALSE(app.window()->isMinimized());

    // Without a tray nothing could bring a hidden window back: closing quits.
    app.window()->setHidesOnClose(false);
    QSignalSpy quit(app.window(), &MainWindow::quitRequested);
    EXPECT_TRUE(app.window()->close());
    EXPECT_EQ(quit.count(), 1);
}

TEST(MainWindow, CtrlShiftDTogglesTheRuntimePanelAndIsSwallowed)
{
    const QString panel = QString::fromLatin1(AppSettings::showRuntimePanel);
    AppSettings::registerDefaults(2);
    AppSettings::remove(panel);
    DebugShortcut shortcut;
    qApp->installEventFilter(&shortcut);
    Composer composer(QStringLiteral("hello"));
    composer.show();
    composer.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&composer));

    // Through the window system's road: the window first, then the widget.
    QWindow* window = composer.windowHandle();
    QList<bool> seen;
    for (int i = 0; i < 3; ++i) {
        QTest::keyClick(window, Qt::Key_D, Qt::ControlModifier | Qt::ShiftModifier);
        seen << AppSettings::boolValue(panel);
    }
    EXPECT_EQ(seen, QList<bool>({true, false, true}));
    EXPECT_EQ(composer.text(), "hello");
    EXPECT_EQ(composer.keys, 0);

    QTest::keyClick(window, Qt::Key_D, Qt::ControlModifier);
    QTest::keyClick(window, Qt::Key_D, Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier);
    QTest::keyClick(window, Qt::Key_D, Qt::ControlModifier | Qt::ShiftModifier | Qt::KeypadModifier);
    EXPECT_TRUE(AppSettings::boolValue(panel));
    EXPECT_EQ(composer.keys, 3);
    qApp->removeEventFilter(&shortcut);
    AppSettings::remove(panel);
}

TEST(RootView, AsksTheBridgeToStartEachTimeItIsShown)
{
    RigBridgeServer bridge({test::freePort()});
    AppController app(bridge, new QWidget);
    app.launch();
    app.showMainWindow();
    ASSERT_TRUE(test::waitUntil([&] { return bridge.boundPort().has_value(); }));
    app.window()->hide();
    app.showMainWindow();
    // The bridge's queue runs in order: this answers after the last start.
    const uint16_t port = *bridge.boundPort();

    const QString log = logText();
    EXPECT_EQ(log.count("applicationDidFinishLaunching: calling start()"), 1);
    EXPECT_EQ(log.count("applicationDidFinishLaunching: start() returned"), 1);
    EXPECT_EQ(log.count("RootView.onAppear: requesting start()"), 2);
    EXPECT_EQ(log.count("] start() called"), 3);
    EXPECT_EQ(log.count("listening on port"), 1);
    EXPECT_EQ(log.count("start(): already listening - nothing to do"), 2);

    app.shutdown();
    EXPECT_EQ(test::connectLoopback(port), -1);
}
