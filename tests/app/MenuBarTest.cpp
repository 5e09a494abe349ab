#include "LoopbackClient.h"
#include "app/MenuBarController.h"
#include "app/MenuBarStatus.h"
#include "bridge/RigBridgeServer.h"
#include "chat/AppSignals.h"
#include "support/Wait.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

using namespace cvn;

namespace {

QStringList titles(const QMenu* menu)
{
    QStringList out;
    for (const QAction* action : menu->actions())
        out << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return out;
}

QAction* item(const QMenu* menu, const QString& title)
{
    for (QAction* action : menu->actions()) {
        if (action->text() == title)
            return action;
    }
    return nullptr;
}

} // namespace

TEST(MenuBar, RunningBridgeLineCopiesItsAddress)
{
    // The first candidate is taken by someone else: the bridge moves on.
    test::HeldPort taken;
    const uint16_t free = test::freePort();
    RigBridgeServer bridge({taken.port(), free});
    bridge.start();
    ASSERT_TRUE(test::waitUntil([&] { return bridge.boundPort().has_value(); }));

    MenuBarStatus::setLoadedModelName(std::nullopt);
    MenuBarController controller(bridge, [] {});
    controller.refresh();
    const QString running = QStringLiteral("Zav Avazev: \U0001F7E2 Running on :%1").arg(free);
    EXPECT_EQ(titles(controller.menu()),
              QStringList({"Open Corvanthelis", "-", running, "No model loaded", "-", "New chat",
                           QStringLiteral("Preferences\u2026"), "-", "Quit Corvanthelis"}));
    EXPECT_EQ(controller.trayIcon()->toolTip(), "Corvanthelis");
    EXPECT_TRUE(controller.bridgeAction()->isEnabled());
    EXPECT_EQ(controller.bridgeAction()->toolTip(), QStringLiteral("Click to copy http://127.0.0.1:%1").arg(free));
    controller.bridgeAction()->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("http://127.0.0.1:%1").arg(free));

    // The lines are as fresh as the last opening of the menu.
    bridge.stop();
    EXPECT_EQ(controller.bridgeAction()->text(), running);
    emit controller.menu()->aboutToShow();
    EXPECT_EQ(controller.bridgeAction()->text(), QStringLiteral("Zav Avazev: \U0001F534 Stopped"));
    EXPECT_EQ(controller.bridgeAction()->toolTip(), "Bridge stopped");
}

TEST(MenuBar, StoppedBridgeLineExplainsWhy)
{
    test::HeldPort a, b, c;
    RigBridgeServer bridge({a.port(), b.port(), c.port()});
    bridge.start();
    ASSERT_TRUE(test::waitUntil([&] { return bridge.statusText() != "Bridge stopped"; }));

    MenuBarController controller(bridge, [] {});
    QAction* line = controller.bridgeAction();
    EXPECT_EQ(line->text(), QStringLiteral("Zav Avazev: \U0001F534 Stopped"));
    EXPECT_FALSE(line->isEnabled());
    EXPECT_EQ(line->toolTip(),
              QStringLiteral("Bridge unavailable (port bind failed: bind(127.0.0.1:%1) failed: errno 98 "
                             "(Address already in use))")
                  .arg(c.port()));
    QGuiApplication::clipboard()->setText("before");
    line->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "before");
}

TEST(MenuBar, ModelLineIsNeverChosen)
{
    RigBridgeServer bridge({test::freePort()});
    MenuBarController controller(bridge, [] {});
    for (const auto& [name, expected] : std::vector<std::pair<std::optional<QString>, QString>>{
             {"tiny", "Current model: tiny"}, {"", "No model loaded"}, {std::nullopt, "No model loaded"}}) {
        MenuBarStatus::setLoadedModelName(name);
        emit controller.menu()->aboutToShow();
        EXPECT_EQ(controller.modelAction()->text(), expected);
        EXPECT_FALSE(controller.modelAction()->isEnabled());
    }
}

TEST(MenuBar, ActionsShowTheWindowFirst)
{
    RigBridgeServer bridge({test::freePort()});
    QStringList events;
    MenuBarController controller(bridge, [&] { events << "show"; });
    QObject::connect(&AppSignals::instance(), &AppSignals::newChat, &controller, [&] { events << "newChat"; });
    QObject::connect(&AppSignals::instance(), &AppSignals::openSettingsPage, &controller,
                     [&] { events << "settings"; });
    item(controller.menu(), "Open Corvanthelis")->trigger();
    item(controller.menu(), "New chat")->trigger();
    item(controller.menu(), QStringLiteral("Preferences\u2026"))->trigger();
    emit controller.trayIcon()->activated(QSystemTrayIcon::Trigger);
    emit controller.trayIcon()->activated(QSystemTrayIcon::Context);
    EXPECT_EQ(events, QStringList({"show", "show", "newChat", "show", "settings", "show"}));
}
