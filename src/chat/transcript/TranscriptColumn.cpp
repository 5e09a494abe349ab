#include "chat/transcript/TranscriptColumn.h"

#include "chat/transcript/ContextDivider.h"
#include "chat/transcript/MessageBubble.h"
#include "platform/ProcessMemory.h"

#include <QAbstractScrollArea>
#include <QEvent>
#include <QScrollBar>
#include <QSet>

#include <algorithm>
#include <climits>
#include <limits>

namespace cvn {

TranscriptColumn::TranscriptColumn(QWidget* parent) : QWidget(parent)
{
    resize(MessageBubble::columnWidth, contentHeight());
    m_divider = new ContextDivider(this);
    m_divider->hide();
}

void TranscriptColumn::setFirstSeen(const std::optional<QUuid>& turnId)
{
    if (turnId == m_firstSeen)
        return;
    const std::optional<size_t> before = dividerRow();
    m_firstSeen = turnId;
    const std::optional<size_t> after = dividerRow();
    if ((before || after) && !m_rows.empty()) {
        // What shows keeps its place when the divider comes or goes above it.
        const size_t pinned = rowAt(shown().first);
        const int pinnedTop = m_tops[pinned];
        relayout(qMin(before.value_or(m_rows.size()), after.value_or(m_rows.size())), false);
        scrollBy(m_tops[pinned] - pinnedTop);
    }
    settleBubbles();
}

std::optional<size_t> TranscriptColumn::dividerRow() const
{
    if (!m_firstSeen)
        return std::nullopt;
    const auto it = m_index.find(*m_firstSeen);
    if (it == m_index.end())
        return std::nullopt;
    return *it;
}

ContextDivider* TranscriptColumn::divider() const
{
    return m_divider->isVisibleTo(this) ? m_divider : nullptr;
}

TranscriptColumn::~TranscriptColumn() = default;

int TranscriptColumn::columnX() const
{
    return qMax(0, (width() - MessageBubble::columnWidth) / 2);
}

QWidget* TranscriptColumn::group(size_t index)
{
    while (m_groups.size() <= index) {
        auto* g = new QWidget(this);
        g->setFocusPolicy(Qt::NoFocus);
        g->show();
        m_groups.push_back(g);
    }
    return m_groups[index];
}

MessageBubble* TranscriptColumn::makeBubble(const Turn& turn, size_t row)
{
    auto* bubble = new MessageBubble(turn, group(row / groupSize));
    if (onBubbleCreated)
        onBubbleCreated(bubble);
    return bubble;
}

TranscriptColumn::Row TranscriptColumn::dormantRow(const Turn& turn)
{
    return Row{turn, nullptr, MessageBubble::estimatedHeight(turn), false};
}

int TranscriptColumn::bubbleCount() const
{
    return int(std::count_if(m_rows.cbegin(), m_rows.cend(), [](const Row& row) { return row.bubble; }));
}

void TranscriptColumn::setTurns(const QList<Turn>& turns)
{
    // The common cases: the same rows with one of them changed (a reply
    // streaming), or new rows after them (a message sent). Only the changed
    // and the new rows are touched then.
    bool extends = size_t(turns.size()) >= m_rows.size();
    for (size_t i = 0; extends && i < m_rows.size(); ++i)
        extends = turns[qsizetype(i)].id == m_rows[i].turn.id;
    QSet<QUuid> added;
    for (qsizetype i = qsizetype(m_rows.size()); extends && i < turns.size(); ++i) {
        // A repeated id takes the full road, which keeps one row per id.
        extends = !m_index.contains(turns[i].id) && !added.contains(turns[i].id);
        added.insert(turns[i].id);
    }
    if (extends) {
        std::optional<size_t> first;
        for (size_t i = 0; i < m_rows.size(); ++i) {
            Row& row = m_rows[i];
            const Turn& turn = turns[qsizetype(i)];
            int height = row.height;
            if (row.bubble) {
                if (!row.bubble->setTurn(turn))
                    continue;
                height = row.bubble->heightForWidth(MessageBubble::columnWidth);
                row.measured = true;
            } else {
                if (MessageBubble::showsSame(row.turn, turn))
                    continue;
                height = MessageBubble::estimatedHeight(turn);
                row.measured = false;
            }
            row.turn = turn;
            if (height != row.height) {
                row.height = height;
                first = first ? *first : i;
            }
        }
        const size_t old = m_rows.size();
        for (qsizetype i = qsizetype(old); i < turns.size(); ++i) {
            m_index.insert(turns[i].id, m_rows.size());
            m_rows.push_back(dormantRow(turns[i]));
        }
        if (m_rows.size() > old)
            first = first ? qMin(*first, old) : old;
        if (first)
            relayout(*first, m_rows.size() > old);
        settleBubbles();
        return;
    }

    std::vector<Row> rows;
    rows.reserve(size_t(turns.size()));
    QHash<QUuid, size_t> index;
    index.reserve(turns.size());
    for (const Turn& turn : turns) {
        if (index.contains(turn.id))
            continue; // one row per id, as the rows are found by it
        const auto old = m_index.find(turn.id);
        Row row = dormantRow(turn);
        if (old != m_index.end()) {
            Row& was = m_rows[*old];
            if (was.bubble) {
                row.bubble = std::exchange(was.bubble, nullptr);
                row.bubble->setTurn(turn);
                row.height = row.bubble->heightForWidth(MessageBubble::columnWidth);
                row.measured = true;
            } else if (was.measured && MessageBubble::showsSame(was.turn, turn)) {
                row.height = was.height;
                row.measured = true;
            }
        }
        index.insert(turn.id, rows.size());
        rows.push_back(std::move(row));
    }
    int dropped = 0;
    for (Row& row : m_rows) {
        dropped += row.bubble ? 1 : 0;
        delete row.bubble;
    }
    const bool kept = std::any_of(rows.cbegin(), rows.cend(), [](const Row& row) { return row.bubble; });
    m_rows = std::move(rows);
    m_index = std::move(index);
    relayout(0, true);
    // Another chat: the old one's text is gone, and so should its memory be.
    if (dropped > 0 && !kept)
        returnFreedMemory();
    settleBubbles();
}

void TranscriptColumn::relayout(size_t first, bool regroup)
{
    ++m_relayouts;
    m_tops.resize(m_rows.size());
    const std::optional<size_t> divided = dividerRow();
    int y = first == 0 ? topSpacer : m_tops[first - 1] + m_rows[first - 1].height;
    for (size_t i = first; i < m_rows.size(); ++i) {
        if (i == divided)
            y += ContextDivider::rowHeight;
        m_tops[i] = y;
        y += m_rows[i].height;
    }
    m_tailTop = y;
    if (divided) {
        m_divider->setGeometry(columnX(), m_tops[*divided] - ContextDivider::rowHeight, MessageBubble::columnWidth,
                               ContextDivider::rowHeight);
        m_divider->show();
    } else {
        m_divider->hide();
    }

    // Rows within their group: from `first` to its group's end, or to the
    // last row when the rows were regrouped.
    const size_t firstGroup = first / groupSize;
    const size_t placeUntil = regroup ? m_rows.size() : qMin(m_rows.size(), (firstGroup + 1) * groupSize);
    for (size_t i = first; i < placeUntil; ++i)
        place(i);

    // The groups from the first touched one on; the ones left empty go.
    const size_t groups = (m_rows.size() + groupSize - 1) / groupSize;
    while (m_groups.size() > groups) {
        delete m_groups.back();
        m_groups.pop_back();
    }
    const int x = columnX();
    for (size_t g = firstGroup; g < groups; ++g) {
        const size_t begin = g * groupSize;
        const size_t end = qMin(m_rows.size(), begin + groupSize);
        const int top = m_tops[begin];
        const int bottom = m_tops[end - 1] + m_rows[end - 1].height;
        // A group without bubbles still spans its rows, so that the ones it
        // gets later sit where their group is.
        const QRect geometry(x, top, MessageBubble::columnWidth, bottom - top);
        if (group(g)->geometry() != geometry)
            group(g)->setGeometry(geometry);
    }
    if (height() != contentHeight())
        resize(width(), contentHeight());
    emit tailTopChanged(m_tailTop);
}

void TranscriptColumn::place(size_t i)
{
    Row& row = m_rows[i];
    if (!row.bubble)
        return;
    QWidget* g = group(i / groupSize);
    if (row.bubble->parentWidget() != g)
        row.bubble->setParent(g);
    const QRect geometry(0, m_tops[i] - m_tops[(i / groupSize) * groupSize], MessageBubble::columnWidth, row.height);
    if (row.bubble->geometry() != geometry)
        row.bubble->setGeometry(geometry);
    if (!row.bubble->isVisibleTo(g))
        row.bubble->show();
}

std::pair<int, int> TranscriptColumn::shown() const
{
    const QWidget* viewport = parentWidget();
    if (!viewport)
        return {0, std::numeric_limits<int>::max() / 4};
    return {-y(), -y() + viewport->height()};
}

size_t TranscriptColumn::rowAt(int y) const
{
    // The last row whose top is at or above y.
    const auto it = std::upper_bound(m_tops.cbegin(), m_tops.cend(), y);
    return it == m_tops.cbegin() ? 0 : size_t(it - m_tops.cbegin() - 1);
}

void TranscriptColumn::settleBubbles()
{
    if (m_settling || m_rows.empty() || m_tops.size() != m_rows.size())
        return;
    m_settling = true;
    // Each pass may change heights and so what is near; a few settle it.
    for (int pass = 0; pass < 8; ++pass) {
        const auto [top, bottom] = shown();
        const int margin = qMax(nearMargin, bottom - top);
        const size_t first = rowAt(top - margin);
        const size_t last = rowAt(bottom > INT_MAX / 2 ? INT_MAX / 2 : bottom + margin);
        std::optional<size_t> changed;
        std::vector<size_t> made;
        for (size_t i = first; i <= last && i < m_rows.size(); ++i) {
            Row& row = m_rows[i];
            if (!row.bubble) {
                row.bubble = makeBubble(row.turn, i);
                made.push_back(i);
            }
            if (!row.measured) {
                row.measured = true;
                const int height = row.bubble->heightForWidth(MessageBubble::columnWidth);
                if (height != row.height) {
                    row.height = height;
                    changed = changed ? *changed : i;
                }
            }
        }
        if (!changed) {
            for (const size_t i : made)
                place(i);
            break;
        }
        // What shows keeps its place: the tail when it is in view (following
        // the newest text), otherwise the top row shown.
        const bool tailInView = bottom >= m_tailTop;
        const size_t pinned = rowAt(top);
        const int pinnedTop = m_tops[pinned];
        const int tailTop = m_tailTop;
        relayout(*changed, true);
        for (const size_t i : made)
            if (i < *changed)
                place(i);
        scrollBy(tailInView ? m_tailTop - tailTop : m_tops[pinned] - pinnedTop);
    }
    // Far from what shows, a row keeps only its turn and its height.
    const auto [top, bottom] = shown();
    const int keep = 2 * qMax(nearMargin, bottom - top);
    for (size_t i = 0; i < m_rows.size(); ++i) {
        Row& row = m_rows[i];
        if (row.bubble && (m_tops[i] + row.height < top - keep || m_tops[i] > qint64(bottom) + keep)) {
            delete row.bubble;
            row.bubble = nullptr;
        }
    }
    m_settling = false;
}

void TranscriptColumn::scrollBy(int delta)
{
    auto* area = parentWidget() ? qobject_cast<QAbstractScrollArea*>(parentWidget()->parentWidget()) : nullptr;
    QScrollBar* bar = area && area->viewport() == parentWidget() ? area->verticalScrollBar() : nullptr;
    if (delta != 0 && bar && isVisible()) {
        // Taken before the signal: a glide that moves with the content sets
        // the same value from inside it.
        const int target = bar->value() + delta;
        emit contentShifted(delta);
        bar->setValue(target);
    }
}

void TranscriptColumn::setTailHeight(int height)
{
    if (height == m_tail)
        return;
    m_tail = height;
    resize(width(), contentHeight());
}

void TranscriptColumn::setFillerHeight(int height)
{
    if (height == m_filler)
        return;
    m_filler = height;
    resize(width(), contentHeight());
}

std::optional<int> TranscriptColumn::anchorY(const QUuid& turnId) const
{
    const auto it = m_index.find(turnId);
    if (it == m_index.end() || m_rows[*it].turn.role != ChatMessage::Role::user || *it >= m_tops.size())
        return std::nullopt;
    return m_tops[*it];
}

MessageBubble* TranscriptColumn::bubbleFor(const QUuid& turnId) const
{
    const auto it = m_index.find(turnId);
    return it == m_index.end() ? nullptr : m_rows[*it].bubble;
}

void TranscriptColumn::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // A new width only moves the column sideways: at a fixed 797 nothing wraps
    // again.
    const int x = columnX();
    for (QWidget* g : m_groups)
        if (g->x() != x)
            g->move(x, g->y());
    m_divider->move(x, m_divider->y());
    settleBubbles();
}

void TranscriptColumn::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    // The scroll area scrolls by moving the column.
    settleBubbles();
}

void TranscriptColumn::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    settleBubbles();
}

bool TranscriptColumn::event(QEvent* event)
{
    if (event->type() == QEvent::ParentChange) {
        if (m_viewport)
            m_viewport->removeEventFilter(this);
        m_viewport = parentWidget();
        if (m_viewport)
            m_viewport->installEventFilter(this);
    }
    return QWidget::event(event);
}

bool TranscriptColumn::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_viewport && event->type() == QEvent::Resize)
        settleBubbles();
    return QWidget::eventFilter(watched, event);
}

} // namespace cvn
