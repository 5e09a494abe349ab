#include "app/AppController.h"

#include "app/DebugShortcut.h"
#include "app/DeepLink.h"
#include "app/MainWindow.h"
#include "app/MenuBarController.h"
#include "app/RootView.h"
#include "bridge/BridgeLog.h"
#include "bridge/RigBridgeServer.h"
#include "chat/shared/AppSignals.h"
#include "chat/shared/EmptyState.h"
#include "chat/shared/Toasts.h"
#include "platform/QuitSignals.h"
#include "platform/Logging.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

#include <cstdio>

namespace cvn {

AppController::AppController(RigBridgeServer& bridge, QWidget* content, QObject* parent)
    : QObject(parent)
    , m_bridge(bridge)
{
    auto* root = new RootView(bridge);
    root->setContent(content);
    m_window = std::make_unique<MainWindow>(root);
    connect(m_window.get(), &MainWindow::quitRequested, qApp, &quitApplication);
}

AppController::~AppController()
{
    if (m_debugShortcut)
        qApp->removeEventFilter(m_debugShortcut);
}

void AppController::launch()
{
    m_window->placeOnScreen();
    m_debugShortcut = new DebugShortcut(this);
    qApp->installEventFilter(m_debugShortcut);

    QPointer<AppController> self(this);
    m_menuBar = new MenuBarController(m_bridge, [self] {
        if (self)
            self->showMainWindow();
    }, this);
    // Shown even without a tray: Qt puts it in place when a panel appears.
    m_menuBar->trayIcon()->show();
    m_window->setHidesOnClose([] { return QSystemTrayIcon::isSystemTrayAvailable(); });
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        std::fprintf(stderr, "Corvanthelis: no system tray here; while there is none, closing the window quits\n");

    std::fprintf(stderr, "RigBridge: applicationDidFinishLaunching - calling start()\n");
    bridgeLog(QStringLiteral("applicationDidFinishLaunching: calling start()"));
    m_bridge.start();
    std::fprintf(stderr, "RigBridge: applicationDidFinishLaunching - start() returned\n");
    bridgeLog(QStringLiteral("applicationDidFinishLaunching: start() returned"));
}

void AppController::showMainWindow()
{
    if (m_window->isMinimized())
        m_window->showNormal();
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void AppController::openUrl(const std::optional<QString>& url)
{
    const DeepLink::Outcome outcome = DeepLink::handle(url);
    for (const QString& line : outcome.log)
        qCInfo(lcProtocol, "%s", qUtf8Printable(line));
    if (outcome.raiseWindow) {
        // Forward, but a minimised window stays minimised: a link is no
        // reason to undo what the user chose.
        m_window->show();
        m_window->raise();
        m_window->activateWindow();
    }
    if (outcome.toast)
        emit AppSignals::instance().showToast(*outcome.toast);
}

void AppController::shutdown()
{
    if (m_stopped)
        return;
    m_stopped = true;
    m_window->saveFrame();
    m_bridge.stop();
    bridgeLogFlush();
}

QWidget* makeChatPlaceholder()
{
    auto* area = new QWidget;
    auto* layout = new QVBoxLayout(area);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new EmptyState);
    auto* toasts = new ToastCenter(area);
    new ToastView(toasts, area);
    QObject::connect(&AppSignals::instance(), &AppSignals::showToast, toasts,
                     [toasts](const QString& message) { toasts->show(message, ToastKind::info); });
    return area;
}

} // namespace cvn
