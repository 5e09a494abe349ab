#pragma once

// The tray icon and its menu, which keep the application reachable while its
// window is hidden: open the window, the bridge's state (a click copies its
// address), the loaded model, a new chat, preferences, quit. The two status
// lines are rewritten each time the menu opens.
//
// Main thread only. Owns the icon and the menu; the bridge must outlive it.
// Shortcut texts in the menu are for display: the menu is its own window, so
// they never clash with the main window's Ctrl+, and Ctrl+Q.

#include <QObject>

#include <functional>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace cvn {

class RigBridgeServer;

class MenuBarController : public QObject {
    Q_OBJECT
public:
    MenuBarController(RigBridgeServer& bridge, std::function<void()> showMainWindow, QObject* parent = nullptr);
    ~MenuBarController() override;

    // Rewrites the bridge and model lines.
    void refresh();

    QMenu* menu() const { return m_menu.get(); }
    QSystemTrayIcon* trayIcon() const { return m_tray; }
    QAction* bridgeAction() const { return m_bridgeItem; }
    QAction* modelAction() const { return m_modelItem; }
    // The local server's base URL, shown while it listens; empty hides it.
    void setLocalServerUrl(const QString& url);
    QAction* localServerAction() const { return m_localServerItem; }

private:
    void copyBridgeUrl();

    RigBridgeServer& m_bridge;
    std::function<void()> m_showMainWindow;
    std::unique_ptr<QMenu> m_menu;
    QSystemTrayIcon* m_tray;
    QAction* m_bridgeItem;
    QAction* m_modelItem;
    QAction* m_localServerItem = nullptr;
};

} // namespace cvn
