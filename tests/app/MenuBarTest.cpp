#include "LoopbackClient.h"
#include "app/MenuBarController.h"
#include "app/MenuBarStatus.h"
#include "bridge/RigBridgeServer.h"
#include "chat/AppSignals.h"
#include "support/Wait.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

using namespace cvn;

TEST(MenuBar, StatusLinesShowTheBridgeAndTheModel)
{
    test::HeldPort a, b, c; // someone else's: the bridge moves on, or gives up
    const uint16_t free = test::freePort();
    RigBridgeServer running({a.port(), free}), refused({a.port(), b.port(), c.port()});
    running.start();
    refused.start();
    ASSERT_TRUE(test::waitUntil([&] { return running.boundPort() && refused.statusText() != "Bridge stopped"; }));

    MenuBarController controller(running, [] {});
    QStringList titles;
    for (const QAction* action : controller.menu()->actions())
        titles << (action->isSeparator() ? QStringLiteral("-") : action->text());
    const QString line = QStringLiteral("Zav Avazev: \U0001F7E2 Running on :%1").arg(free);
    EXPECT_EQ(titles, QStringList({"Open Corvanthelis", "-", line, "No model loaded", "-", "New chat",
                                   "Preferences\u2026", "-", "Quit Corvanthelis"}));
    EXPECT_EQ(controller.trayIcon()->toolTip(), "Corvanthelis");
    EXPECT_EQ(controller.bridgeAction()->toolTip(), QStringLiteral("Click to copy http://127.0.0.1:%1").arg(free));
    controller.bridgeAction()->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("http://127.0.0.1:%1").arg(free));

    for (const auto& [name, expected] : std::vector<std::pair<std::optional<QString>, QString>>{
             {"tiny", "Current model: tiny"}, {"", "No model loaded"}, {std::nullopt, "No model loaded"}}) {
        MenuBarStatus::setLoadedModelName(name);
        emit controller.menu()->aboutToShow();
        EXPECT_EQ(controller.modelAction()->text(), expected);
        EXPECT_FALSE(controller.modelAction()->isEnabled());
    }

    MenuBarController stopped(refused, [] {});
    EXPECT_EQ(stopped.bridgeAction()->text(), QStringLiteral("Zav Avazev: \U0001F534 Stopped"));
    EXPECT_FALSE(stopped.bridgeAction()->isEnabled());
    EXPECT_EQ(stopped.bridgeAction()->toolTip(), QStringLiteral("Bridge unavailable (port bind failed: bind(127.0.0.1:"
                                                                "%1) failed: errno 98 (Address already in use))")
                                                     .arg(c.port()));
}

TEST(MenuBar, ActionsShowTheWindowFirst)
{
    RigBridgeServer bridge({test::freePort()});
    QStringList events;
    MenuBarController controller(bridge, [&] { events << "show"; });
    QObject::connect(&AppSignals::instance(), &AppSignals::newChat, &controller, [&] { events << "newChat"; });
    QObject::connect(&AppSignals::instance(), &AppSignals::openSettingsPage, &controller, [&] { events << "settings"; });
    for (QAction* action : controller.menu()->actions()) {
        if (action->text() != "Quit Corvanthelis" && action != controller.bridgeAction())
            action->trigger();
    }
    emit controller.trayIcon()->activated(QSystemTrayIcon::Trigger);
    emit controller.trayIcon()->activated(QSystemTrayIcon::Context);
    EXPECT_EQ(events, QStringList({"show", "show", "newChat", "show", "settings", "show"}));
}
