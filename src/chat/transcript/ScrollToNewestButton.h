#pragma once

// The round "Scroll to newest" button that floats above the composer while
// the user has scrolled away from the newest text: a 36-px ink disc with a
// 2-px grey ring inside its edge and a 12 by 7 downward chevron in the
// surface colour. It holds no state; the chat view shows it while
// shouldShow() holds and places it with frameIn(); connectTo() does both the
// showing and the click (TailFollower::scrollToNewest) for one scroll
// controller, which it only observes. Main thread only.

#include "chat/transcript/TailFollower.h"

#include <QPointer>

#include <QAbstractButton>

namespace cvn {

class ChatScrollController;

class ScrollToNewestButton : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int face = 36;
    static constexpr int ringWidth = 2;
    static constexpr int chevronWidth = 12;
    static constexpr int chevronHeight = 7;
    static constexpr int liftAboveBottom = 156; // clears the composer area

    explicit ScrollToNewestButton(QWidget* parent = nullptr);

    // Only with turns, while not following and while the transcript is
    // strictly taller than its viewport.
    static bool shouldShow(int64_t turns, bool autoFollow, const ScrollMetrics& metrics);
    // Centred across `area` (the chat area), 156 above its bottom.
    static QRect frameIn(const QRect& area);

    // Shows and hides itself from `controller`'s reports and follow state,
    // and asks it to scroll to the newest text when clicked.
    void connectTo(ChatScrollController* controller);
    void updateVisibility();

    QSize sizeHint() const override { return {face, face}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;

private:
    QPointer<ChatScrollController> m_controller;
};

} // namespace cvn
