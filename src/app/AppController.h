#pragma once

// The application's behaviour around its one window: where the window first
// appears and that its frame is remembered, that closing hides it while the
// tray icon can bring it back, Ctrl+Shift+D, the tray menu, the bridge's
// start at launch and its stop at quit, and the delivery of URLs and "show"
// requests from later starts.
//
// Main thread only. Owns the window (and through it the content) and the
// tray menu; the bridge belongs to the caller and must outlive the
// controller.

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <optional>

class QWidget;

namespace cvn {

class DebugShortcut;
class MainWindow;
class MenuBarController;
class RigBridgeServer;

class AppController : public QObject {
    Q_OBJECT
public:
    // `content` goes into the window's root view (the main view).
    AppController(RigBridgeServer& bridge, QWidget* content, QObject* parent = nullptr);
    ~AppController() override;

    // Places the window, installs Ctrl+Shift+D, makes the tray menu and asks
    // the bridge to start, with its log lines. Call once, before the window
    // is first shown.
    void launch();

    // Un-minimises, shows, raises and activates the window.
    void showMainWindow();

    // Hands a URL of ours (or nothing: a bare activation) to DeepLink and
    // carries out its answer: log lines, window forward, toast.
    void openUrl(const std::optional<QString>& url);

    // At quit: saves the frame and stops the bridge, waiting for it.
    void shutdown();

    MainWindow* window() const { return m_window.get(); }
    MenuBarController* menuBar() const { return m_menuBar; }

private:
    RigBridgeServer& m_bridge;
    std::unique_ptr<MainWindow> m_window;
    MenuBarController* m_menuBar = nullptr;
    DebugShortcut* m_debugShortcut = nullptr;
    bool m_stopped = false;
};

// Until the main view arrives: the chat screen's empty state with its toast
// layer, so URL answers are seen.
QWidget* makeChatPlaceholder();

} // namespace cvn
