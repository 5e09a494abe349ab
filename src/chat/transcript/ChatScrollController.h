#pragma once

// The bridge between the transcript's QScrollArea and TailFollower: it
// watches the area, reports (offset, document height, viewport height) on a
// later turn of the event loop, scrolls to exact offsets (at once, or with a
// 250-ms ease-out animation), runs the follower's reading-gap animation, and
// owns the TailFollower it feeds.
//
// The controller finds its scroll area from the transcript column it is
// given: the column's enclosing QAbstractScrollArea, looked up again whenever
// the column is reparented. It registers once per area. It holds the area
// and the column weakly (QPointer) and never outlives its parent.
//
// What the controller cannot see in a plain QScrollArea, the column tells it
// through TranscriptSeams: where a user turn's anchor sits and where the tail
// marker's top is. Call tailTopChanged() when the latter moves.
//
// Reports triggered by the user (wheel, keys, scroll bar) count as the user
// scrolling; those caused by this controller's own scrolls or by the range
// shrinking under the view do not, so a clamp is never taken for the user
// scrolling up. User input stops a running animation, which would otherwise
// drag the view back down while a reply streams.
//
// Main thread only.

#include "chat/transcript/TailFollower.h"

#include <QAbstractScrollArea>
#include <QObject>
#include <QPointer>
#include <QPropertyAnimation>
#include <QUuid>

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QScrollBar;
class QWidget;

namespace cvn {

// What the transcript column knows of itself, in its own coordinates.
struct TranscriptSeams {
    std::function<std::optional<double>(const QUuid& turnId)> anchorY; // top of a user turn; none when absent
    std::function<double()> tailTop;                                   // top of the tail marker
};

class ChatScrollController : public QObject {
    Q_OBJECT
public:
    static constexpr int animationMs = 250;

    // The trace goes to the bridge log unless `trace` is given.
    explicit ChatScrollController(QObject* parent = nullptr, TailFollower::Trace trace = {});
    ~ChatScrollController() override;

    // Watches `column` (the transcript's content widget or one of its
    // children) and attaches to the scroll area that encloses it, now and
    // after every reparenting.
    void observe(QWidget* column, TranscriptSeams seams = {});

    // Scrolls so that `offset` is the top of the viewport, clamped to
    // [0, max(0, document − viewport)] and rounded to a whole pixel; answers
    // that offset (an animation is still running then), or nothing when
    // there is no scroll area or it has no content widget.
    std::optional<int> scrollToBottom(bool animated, double offset, int durationMs = animationMs);

    QAbstractScrollArea* scrollArea() const { return m_area; }
    TailFollower& follower() { return *m_follower; }
    bool isAnimating() const;
    // The reading gap's animation while it runs (or is paused), else null;
    // it deletes itself when it stops. Tests step it through setCurrentTime.
    QVariantAnimation* readingGapAnimation() const;

    // The tail marker moved: passes its new top to the follower.
    void tailTopChanged();
    // The column is about to scroll by `delta` to keep its content in place
    // after rows out of sight changed height. A scroll animation under way
    // is moved by as much, its current frame included.
    void contentShifted(int delta);

signals:
    // One report, delivered on a later turn of the event loop, after the
    // follower has taken it.
    void reported(double offset, double documentHeight, double viewportHeight);
    // The follower's layout figures (filler, tail height, follow flag) moved.
    void followStateChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void attach();
    void detach();
    void queueReport();
    // Hands the follower every report taken so far, oldest first.
    void deliverPending();
    std::optional<ScrollMetrics> liveMetrics() const;
    QScrollBar* bar() const;
    void stopAnimation();

    std::unique_ptr<TailFollower> m_follower;
    QPointer<QWidget> m_column;
    QPointer<QAbstractScrollArea> m_area;
    QPointer<QWidget> m_content; // the area's widget when it was attached
    TranscriptSeams m_seams;
    QList<QMetaObject::Connection> m_connections;
    QPointer<QPropertyAnimation> m_animation; // deletes itself when it stops
    QPointer<QVariantAnimation> m_gapAnimation; // likewise
    // Reports taken and not yet delivered. Posted work of the follower
    // delivers them first, so that it never acts on a view older than the
    // user's last scroll.
    std::vector<std::pair<ScrollMetrics, bool>> m_pending;
    bool m_userAction = false;                // the next value change comes from user input
    bool m_programmatic = false;              // inside our own setValue
};

} // namespace cvn
