#pragma once

// The application's one window: the root view, a menu bar with the single
// menu "Corvanthelis" (About, Preferences…, Quit), and a frame remembered
// under "CorvanthelisMainWindow" in the settings. Closing hides it while the
// tray icon can bring it back, and quits otherwise. Main thread only; owns
// the root view.

#include <QMainWindow>
#include <QTimer>

#include <functional>

namespace cvn {

class RootView;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr QSize firstRunSize{1280, 800};
    static inline const QString frameKey = QStringLiteral("CorvanthelisMainWindow");
    static constexpr int frameSaveDelayMs = 500;

    explicit MainWindow(RootView* root, QWidget* parent = nullptr);

    RootView* rootView() const { return m_root; }
    QAction* aboutAction() const { return m_about; }
    QAction* preferencesAction() const { return m_preferences; }
    QAction* quitAction() const { return m_quit; }

    // Asked at each close: can a tray icon bring a hidden window back? A
    // panel may come up after the application, so the answer may change.
    void setHidesOnClose(std::function<bool()> hides) { m_hidesOnClose = std::move(hides); }

    // The saved frame, or on a first run 1280 by 800 (cut to the screen, not
    // below the minimum) centred on the screen's available area.
    void placeOnScreen();
    void saveFrame();

    // Opens the About box without blocking; it deletes itself when closed.
    void showAbout();

signals:
    // Closed with no tray icon to bring it back: the application should end.
    void quitRequested();

protected:
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    RootView* m_root;
    QAction* m_about;
    QAction* m_preferences;
    QAction* m_quit;
    QTimer m_frameSave;
    std::function<bool()> m_hidesOnClose = [] { return true; };
    bool m_placed = false;
};

} // namespace cvn
