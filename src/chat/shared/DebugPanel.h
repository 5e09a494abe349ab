#pragma once

// The "DEBUG · RUNTIME" card: a clock and eight rows that say what the
// runtime is doing (model loads, live sessions, the transcript's scroll
// state, memory, layout probes). While it is shown it rebuilds its
// DebugPanelModel once a second and paints it; hidden, it does nothing.
//
// It takes the width its container gives it and the height its rows need
// (heightForWidth); placed by hand rather than in a layout, it keeps its own
// height fitted to its rows as they grow and shrink. bindToSetting() makes it
// follow "debug.showRuntimePanel" at once on every write of that setting. It
// owns its timer and its last model; it only reads the records the model
// copies. Main thread only.

#include "chat/shared/DebugPanelModel.h"

#include <QTimer>
#include <QWidget>

#include <functional>

namespace cvn {

class DebugPanel : public QWidget {
    Q_OBJECT
public:
    static constexpr int padding = 12;
    static constexpr int radius = 15;
    static constexpr int spacing = 6; // between the header and the rows
    static constexpr int labelWidth = 124;
    static constexpr int labelGap = 8; // between a label and its value
    static constexpr int headerPixels = 10;
    static constexpr int rowPixels = 11;
    static constexpr double fillAlpha = 0.06;
    // The width it asks a layout for; it takes whatever width it is given.
    static constexpr int naturalWidth = 520;

    using Source = std::function<DebugPanelModel()>;

    explicit DebugPanel(QWidget* parent = nullptr);

    // Where the model comes from; the live records by default.
    void setSource(Source source);
    // Builds the model again and repaints.
    void refresh();
    const DebugPanelModel& model() const { return m_model; }
    const QTimer& ticker() const { return m_ticker; }

    // Shows the panel while "debug.showRuntimePanel" is true, from now on.
    void bindToSetting();

    // Where row `index`'s value is painted, for the layout's own checks.
    QRectF valueRect(int index) const;
    QRectF labelRect(int index) const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Layout {
        QRectF title, clock;
        QList<QRectF> labels, values;
        qreal height = 0;
    };
    Layout layoutFor(int width) const;
    void fitHeight();

    Source m_source;
    DebugPanelModel m_model;
    QTimer m_ticker;
};

} // namespace cvn
