#pragma once

#include "ui_kit/ModalOverlay.h"

namespace cvn {

// The frame of the main window's bottom overlays (model picker, attach
// sheet): the dimmed backdrop with one card 49 above the window's bottom
// edge, centred in the width right of `leadingInset`. Clicks on the backdrop
// and Escape emit dismissed(); clicks on the card stay on it. The overlay
// never closes itself. Main thread only.
class BottomCardOverlay : public ModalOverlay {
    Q_OBJECT
public:
    static constexpr int kWidth = 667;
    static constexpr qreal kRadius = 39;
    static constexpr int kBottom = 49;

    explicit BottomCardOverlay(QWidget* parent, qreal leadingInset = 0);

    qreal leadingInset() const { return m_leadingInset; }
    void setLeadingInset(qreal inset);

    // Where the card stands in an overlay of `size`; x may fall on a half
    // point, which the widget rounds down.
    static QRectF cardRect(QSize size, QSize card, qreal leadingInset);

protected:
    // Takes ownership of `card` (which fixes its width) and places it.
    void setBottomCard(QWidget* card);

    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void placeAtBottom();

    qreal m_leadingInset;
};

} // namespace cvn
