#pragma once

// The scrolled content of the chat page: a 16-px spacer, one message bubble
// per turn in a column 797 wide centred in the width it is given, then the
// tail marker (the room the composer and the staged files take below the
// last message) and a filler whose height the scrolling code decides.
//
// setTurns() reconciles the rows with a list of turns by their ids: a bubble
// whose turn is still there is kept and given the new snapshot, new turns get
// new bubbles and removed ones lose theirs. Only the rows from the first one
// whose height changed are moved, so a reply streaming into the last bubble
// costs the same in a long chat as in a short one. After every relayout it
// reports where the tail marker starts.
//
// The bubbles stand in groups of `groupSize` consecutive rows, each group a
// plain child of the column: Qt walks a widget's direct children on every
// paint and every move of one of them, so a thousand bubbles side by side
// would make each streamed piece cost more in a long chat. A group moves as
// one when a row above it changes height.
//
// Laid-out text costs far more memory than the text itself, so only the rows
// near what the enclosing viewport shows have a bubble: within `nearMargin`
// (or a viewport's height, if more) of it they get one, and past twice that
// they lose it. A row without a bubble keeps its turn and a height: the one
// measured when it last had a bubble, or an estimate from its text until it
// first has one. When a bubble's measured height differs from the estimate
// while the row is out of sight, the view is scrolled by the difference so
// that what shows stays where it was (the tail, when the tail is in view;
// else the top row shown), and contentShifted() says by how much. A column
// with no parent widget counts as wholly visible.
//
// Above the first message that the last reply's model saw, when older ones
// were left out, a divider row says so (setFirstSeen); it moves with the rows
// and goes when that message is gone. One that comes or goes above what
// shows scrolls the view with it, as a row out of sight that changes height
// does.
//
// The column owns its bubbles and the divider; the page that holds it sets
// the bubbles' callbacks through onBubbleCreated. Main thread only.

#include "engine/Turn.h"

#include <QHash>
#include <QPointer>
#include <QUuid>
#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

namespace cvn {

class ContextDivider;
class MessageBubble;

class TranscriptColumn : public QWidget {
    Q_OBJECT
public:
    using Turn = cvn::Turn;

    static constexpr int topSpacer = 16;
    static constexpr int groupSize = 24;
    static constexpr int nearMargin = 800;

    explicit TranscriptColumn(QWidget* parent = nullptr);
    ~TranscriptColumn() override;

    void setTurns(const QList<Turn>& turns);
    // The divider goes above this turn's row; none takes it away.
    void setFirstSeen(const std::optional<QUuid>& turnId);
    // The divider, while it shows; null otherwise.
    ContextDivider* divider() const;
    void setTailHeight(int height);
    void setFillerHeight(int height);
    int tailHeight() const { return m_tail; }
    int fillerHeight() const { return m_filler; }

    // Where the anchor above a user turn's bubble sits; nothing for any
    // other turn.
    std::optional<int> anchorY(const QUuid& turnId) const;
    // The top of the tail marker, in column coordinates.
    int tailTop() const { return m_tailTop; }
    int contentHeight() const { return m_tailTop + m_tail + m_filler; }
    // The left edge of the 797 column in the current width.
    int columnX() const;

    int rowCount() const { return int(m_rows.size()); }
    // A row's bubble; null while the row is far from what shows.
    MessageBubble* bubble(int row) const { return m_rows[size_t(row)].bubble; }
    MessageBubble* bubbleFor(const QUuid& turnId) const;
    // A row's top and height in column coordinates (the height estimated
    // until the row was first laid out).
    int rowTop(int row) const { return m_tops[size_t(row)]; }
    int rowHeight(int row) const { return m_rows[size_t(row)].height; }
    // How many rows have a bubble now.
    int bubbleCount() const;
    // How many relayouts ran since creation.
    int relayouts() const { return m_relayouts; }

    // Called once for every bubble made, to wire its actions.
    std::function<void(MessageBubble*)> onBubbleCreated;

signals:
    void tailTopChanged(int top);
    // Rows out of sight changed height and the view was scrolled by `delta`
    // to keep what shows in place. Emitted just before that scroll, whose
    // target is taken before: a receiver may already have scrolled there.
    void contentShifted(int delta);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Row {
        Turn turn;
        MessageBubble* bubble = nullptr;
        int height = 0;
        bool measured = false; // height comes from a laid-out bubble
    };

    MessageBubble* makeBubble(const Turn& turn, size_t row);
    static Row dormantRow(const Turn& turn);
    QWidget* group(size_t index);
    // The row the divider sits above, if it shows.
    std::optional<size_t> dividerRow() const;
    // Moves the rows from `first` on and sizes the column. With `regroup`,
    // every row from `first` on is also put into its group.
    void relayout(size_t first, bool regroup);
    void place(size_t row);
    // The part of the column the viewport shows, in column coordinates.
    std::pair<int, int> shown() const;
    size_t rowAt(int y) const;
    // Gives the rows near what shows their bubbles and takes them from the
    // rows far from it.
    void settleBubbles();
    // Scrolls the view by `delta` after rows out of sight moved by it, and
    // says so (contentShifted).
    void scrollBy(int delta);

    std::vector<Row> m_rows;
    std::vector<QWidget*> m_groups;
    std::vector<int> m_tops; // each row's top
    QHash<QUuid, size_t> m_index;
    int m_tail = 0;
    int m_filler = 0;
    int m_tailTop = topSpacer;
    int m_relayouts = 0;
    bool m_settling = false;
    QPointer<QWidget> m_viewport; // the parent whose resizes are watched
    std::optional<QUuid> m_firstSeen;
    ContextDivider* m_divider = nullptr;
};

} // namespace cvn
