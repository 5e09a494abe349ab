#pragma once

// The window's content: one content widget (the main view) on the page
// background, never smaller than 1175 by 480. Each time it is shown it asks
// the bridge to start; the bridge answers a second request while it listens
// with a log line only, so this matters only when the first start left it
// without a port. Main thread only; owns its content widget, only uses the
// bridge, which must outlive it.

#include <QPointer>
#include <QWidget>

namespace cvn {

class RigBridgeServer;

class RootView : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize minimumContentSize{1175, 480};

    explicit RootView(RigBridgeServer& bridge, QWidget* parent = nullptr);

    // Replaces the content; the previous one is deleted.
    void setContent(QWidget* content);
    QWidget* content() const { return m_content; }

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    RigBridgeServer& m_bridge;
    QPointer<QWidget> m_content;
};

} // namespace cvn
