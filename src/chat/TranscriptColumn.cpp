#include "chat/TranscriptColumn.h"

#include "chat/MessageBubble.h"

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

MessageBubble* TranscriptColumn::makeBubble(const Turn& turn)
{
    auto* bubble = new MessageBubble(turn, this);
    if (onBubbleCreated)
        onBubbleCreated(bubble);
    return bubble;
}

void TranscriptColumn::setTurns(const QList<Turn>& turns)
{
    bool sameRows = size_t(turns.size()) == m_rows.size();
    for (qsizetype i = 0; sameRows && i < turns.size(); ++i)
        sameRows = turns[i].id == m_rows[size_t(i)].id;

    if (sameRows) {
        // The common case while a reply streams: the same rows, one changed.
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
        if (first)
            relayout(*first);
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
            row.bubble = makeBubble(turn);
        }
        row.height = row.bubble->heightForWidth(MessageBubble::columnWidth);
        index.insert(turn.id, rows.size());
        rows.push_back(row);
    }
    for (Row& row : m_rows)
        delete row.bubble;
    m_rows = std::move(rows);
    m_index = std::move(index);
    relayout(0);
}

void TranscriptColumn::relayout(size_t first)
{
    ++m_relayouts;
    m_tops.resize(m_rows.size());
    int y = first == 0 ? topSpacer : m_tops[first - 1] + m_rows[first - 1].height;
    const int x = columnX();
    for (size_t i = first; i < m_rows.size(); ++i) {
        Row& row = m_rows[i];
        m_tops[i] = y;
        const QRect geometry(x, y, MessageBubble::columnWidth, row.height);
        if (row.bubble->geometry() != geometry)
            row.bubble->setGeometry(geometry);
        if (!row.bubble->isVisibleTo(this))
            row.bubble->show();
        y += row.height;
    }
    m_tailTop = y;
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
    for (const Row& row : m_rows)
        if (row.bubble->x() != x)
            row.bubble->move(x, row.bubble->y());
}

} // namespace cvn
