#include "app/MenuBarController.h"

#include "app/MenuBarStatus.h"
#include "bridge/RigBridgeServer.h"
#include "chat/shared/AppSignals.h"
#include "platform/QuitSignals.h"
#include "ui_kit/Icons.h"
#include "ui_kit/Theme.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

namespace cvn {

namespace {

QString bridgeAddress(uint16_t port)
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port);
}

// The silhouette at the tray's usual sizes, in the ink of the desktop's own
// appearance so it reads on a light or a dark panel.
QIcon trayImage()
{
    const QImage& source = DiroruView::templateImage();
    QIcon icon;
    if (source.isNull())
        return icon;
    const QColor tint = Theme::silhouette(Theme::systemAppearance());
    for (int side : {16, 22, 24, 32}) {
        QImage image = source.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QPainter painter(&image);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), tint);
        painter.end();
        icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}

} // namespace

MenuBarController::MenuBarController(RigBridgeServer& bridge, std::function<void()> showMainWindow,
                                     QObject* parent)
    : QObject(parent)
    , m_bridge(bridge)
    , m_showMainWindow(std::move(showMainWindow))
    , m_menu(std::make_unique<QMenu>())
    , m_tray(new QSystemTrayIcon(this))
{
    m_tray->setIcon(trayImage());
    m_tray->setToolTip(QStringLiteral("Corvanthelis"));
    m_menu->setToolTipsVisible(true);

    m_menu->addAction(QStringLiteral("Open Corvanthelis"), this, [this] { m_showMainWindow(); });
    m_menu->addSeparator();
    m_bridgeItem = m_menu->addAction(QString());
    connect(m_bridgeItem, &QAction::triggered, this, &MenuBarController::copyBridgeUrl);
    m_modelItem = m_menu->addAction(QString());
    m_modelItem->setEnabled(false);
    m_menu->addSeparator();
    m_menu->addAction(QStringLiteral("New chat"), this, [this] {
        m_showMainWindow();
        emit AppSignals::instance().newChat();
    });
    QAction* preferences = m_menu->addAction(QStringLiteral("Preferences\u2026"), this, [this] {
        m_showMainWindow();
        emit AppSignals::instance().openSettingsPage();
    });
    preferences->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    m_menu->addSeparator();
    QAction* quit = m_menu->addAction(QStringLiteral("Quit Corvanthelis"), qApp, &quitApplication);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    connect(m_menu.get(), &QMenu::aboutToShow, this, &MenuBarController::refresh);
    m_tray->setContextMenu(m_menu.get());
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            m_showMainWindow();
    });
    refresh();
}

MenuBarController::~MenuBarController() = default;

void MenuBarController::refresh()
{
    if (const std::optional<uint16_t> port = m_bridge.boundPort()) {
        m_bridgeItem->setText(QStringLiteral("Zav Avazev: \U0001F7E2 Running on :%1").arg(*port));
        m_bridgeItem->setToolTip(QStringLiteral("Click to copy ") + bridgeAddress(*port));
        m_bridgeItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
        m_bridgeItem->setEnabled(true);
    } else {
        m_bridgeItem->setText(QStringLiteral("Zav Avazev: \U0001F534 Stopped"));
        m_bridgeItem->setToolTip(m_bridge.statusText());
        m_bridgeItem->setShortcut(QKeySequence());
        m_bridgeItem->setEnabled(false);
    }
    const std::optional<QString> model = MenuBarStatus::loadedModelName();
    m_modelItem->setText(model && !model->isEmpty() ? QStringLiteral("Current model: ") + *model
                                                    : QStringLiteral("No model loaded"));
    m_modelItem->setEnabled(false);
}

void MenuBarController::copyBridgeUrl()
{
    if (const std::optional<uint16_t> port = m_bridge.boundPort())
        QGuiApplication::clipboard()->setText(bridgeAddress(*port));
}

void MenuBarController::setLocalServerUrl(const QString& url)
{
    // The line is there only while the server listens.
    delete std::exchange(m_localServerItem, nullptr);
    if (url.isEmpty())
        return;
    const QList<QAction*> actions = m_menu->actions();
    const qsizetype after = actions.indexOf(m_modelItem) + 1;
    m_localServerItem = new QAction(QStringLiteral("Local server: ") + url, m_menu.get());
    m_localServerItem->setEnabled(false);
    m_menu->insertAction(after < actions.size() ? actions[after] : nullptr, m_localServerItem);
}

} // namespace cvn
