#include "chat/TranscriptColumn.h"

#include "chat/MessageBubble.h"

#include <QSet>

namespace cvn {

TranscriptColumn::TranscriptColumn(QWidget* parent) : QWidget(parent)
{
    resize(MessageBubble::columnWidth, contentHeight());
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

void TranscriptColumn::setTurns(const QList<Turn>& turns)
{
    // The common cases: the same rows with one of them changed (a reply
    // streaming), or new rows after them (a message sent). Only the changed
    // and the new rows are touched then.
    bool extends = size_t(turns.size()) >= m_rows.size();
    for (size_t i = 0; extends && i < m_rows.size(); ++i)
        extends = turns[qsizetype(i)].id == m_rows[i].id;
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
            if (!row.bubble->setTurn(turns[qsizetype(i)]))
                continue;
            row.user = turns[qsizetype(i)].role == ChatMessage::Role::user;
            const int height = row.bubble->heightForWidth(MessageBubble::columnWidth);
            if (height != row.height) {
                row.height = height;
                first = first ? *first : i;
            }
        }
        const size_t old = m_rows.size();
        for (qsizetype i = qsizetype(old); i < turns.size(); ++i) {
            const Turn& turn = turns[i];
            Row row{turn.id, makeBubble(turn, m_rows.size()), 0, turn.role == ChatMessage::Role::user};
            row.height = row.bubble->heightForWidth(MessageBubble::columnWidth);
            m_index.insert(turn.id, m_rows.size());
            m_rows.push_back(row);
        }
        if (m_rows.size() > old)
            first = first ? qMin(*first, old) : old;
        if (first)
            relayout(*first, m_rows.size() > old);
        return;
    }

    std::vector<Row> rows;
    rows.reserve(size_t(turns.size()));
    QHash<QUuid, size_t> index;
    index.reserve(turns.size());
    for (const Turn& turn : turns) {
        if (index.contains(turn.id))
            continue; // one row per id, as the rows are found by it
        Row row{turn.id, nullptr, 0, turn.role == ChatMessage::Role::user};
        const auto old = m_index.find(turn.id);
        if (old != m_index.end() && m_rows[*old].bubble) {
            row.bubble = std::exchange(m_rows[*old].bubble, nullptr);
            row.bubble->setTurn(turn);
        } else {
            row.bubble = makeBubble(turn, rows.size());
        }
        row.height = row.bubble->heightForWidth(MessageBubble::columnWidth);
        index.insert(turn.id, rows.size());
        rows.push_back(row);
    }
    for (Row& row : m_rows)
        delete row.bubble;
    m_rows = std::move(rows);
    m_index = std::move(index);
    relayout(0, true);
}

void TranscriptColumn::relayout(size_t first, bool regroup)
{
    ++m_relayouts;
    m_tops.resize(m_rows.size());
    int y = first == 0 ? topSpacer : m_tops[first - 1] + m_rows[first - 1].height;
    for (size_t i = first; i < m_rows.size(); ++i) {
        m_tops[i] = y;
        y += m_rows[i].height;
    }
    m_tailTop = y;

    // Rows within their group: from `first` to its group's end, or to the
    // last row when the rows were regrouped.
    const size_t firstGroup = first / groupSize;
    const size_t placeUntil = regroup ? m_rows.size() : qMin(m_rows.size(), (firstGroup + 1) * groupSize);
    for (size_t i = first; i < placeUntil; ++i) {
        Row& row = m_rows[i];
        QWidget* g = group(i / groupSize);
        if (row.bubble->parentWidget() != g)
            row.bubble->setParent(g);
        const QRect geometry(0, m_tops[i] - m_tops[(i / groupSize) * groupSize], MessageBubble::columnWidth,
                             row.height);
        if (row.bubble->geometry() != geometry)
            row.bubble->setGeometry(geometry);
        if (!row.bubble->isVisibleTo(g))
            row.bubble->show();
    }

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
        const QRect geometry(x, top, MessageBubble::columnWidth, bottom - top);
        if (group(g)->geometry() != geometry)
            group(g)->setGeometry(geometry);
    }
    if (height() != contentHeight())
        resize(width(), contentHeight());
    emit tailTopChanged(m_tailTop);
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
    if (it == m_index.end() || !m_rows[*it].user || *it >= m_tops.size())
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
}

} // namespace cvn
