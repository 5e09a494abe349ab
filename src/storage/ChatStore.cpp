#include "storage/ChatStore.h"

#include <QLocale>

#include <algorithm>

namespace cvn {

namespace {

QList<ChatStore::Row> rowsWithPin(const QList<ChatStore::Row>& rows, bool pinned)
{
    QList<ChatStore::Row> kept;
    for (const ChatStore::Row& row : rows) {
        if (row.pinned == pinned)
            kept.append(row);
    }
    return kept;
}

} // namespace

const QString ChatStore::newChatTitle = QStringLiteral("New chat");

ChatStore::ChatStore(ChatDatabase& db, QObject* parent)
    : QObject(parent)
    , m_db(db)
{
    reload();
}

ChatStore& ChatStore::shared()
{
    static ChatStore* const instance = new ChatStore(ChatDatabase::shared());
    return *instance;
}

void ChatStore::reload()
{
    m_contentHits.reset();
    QList<Row> rows;
    const QList<ChatDatabase::ChatRecord> chats = m_db.listChats();
    rows.reserve(chats.size());
    for (const ChatDatabase::ChatRecord& chat : chats) {
        Row row;
        row.id = chat.id;
        row.title = chat.title.trimmed().isEmpty() ? newChatTitle : chat.title;
        row.reasoning = chat.hasReasoning;
        row.council = chat.isCouncil;
        row.pinned = chat.isPinned;
        row.updatedAt = chat.updatedAt;
        rows.append(std::move(row));
    }
    if (rows == m_rows)
        return;
    m_rows = std::move(rows);
    emit rowsChanged();
}

QList<ChatStore::Row> ChatStore::pinnedRows() const
{
    return rowsWithPin(m_rows, true);
}

QList<ChatStore::Row> ChatStore::unpinnedRows() const
{
    return rowsWithPin(m_rows, false);
}

QList<ChatStore::Section> ChatStore::sections(const QDateTime& now) const
{
    QList<Section> sections;
    for (const Row& row : unpinnedRows()) {
        const QString heading = dayHeading(row.updatedAt, now);
        auto section = std::find_if(sections.begin(), sections.end(),
                                    [&](const Section& s) { return s.heading == heading; });
        if (section != sections.end())
            section->rows.append(row);
        else
            sections.append(Section{heading, {row}});
    }
    return sections;
}

QString ChatStore::dayHeading(int64_t updatedAt, const QDateTime& now)
{
    const QDate day = QDateTime::fromSecsSinceEpoch(updatedAt).date();
    const QDate today = now.toLocalTime().date();
    if (day == today)
        return QStringLiteral("TODAY");
    if (day == today.addDays(-1))
        return QStringLiteral("YESTERDAY");
    // The C locale, never the user's: headings are English in every locale.
    return QLocale::c().toString(day, QStringLiteral("d MMM yyyy")).toUpper();
}

QSet<int64_t> ChatStore::contentMatches(const QString& query)
{
    if (m_contentHits && m_contentHits->first == query)
        return m_contentHits->second;
    QSet<int64_t> ids = m_db.searchMessages(query);
    m_contentHits.emplace(query, ids);
    return ids;
}

void ChatStore::setPinned(int64_t id)
{
    const auto row = std::find_if(m_rows.cbegin(), m_rows.cend(), [&](const Row& r) { return r.id == id; });
    if (row == m_rows.cend())
        return;
    m_db.run(QStringLiteral("UPDATE chats SET pinned=? WHERE id=?"), {row->pinned ? 0 : 1, id});
    reload();
}

void ChatStore::rename(int64_t id, const QString& title)
{
    const QString trimmed = title.trimmed();
    if (trimmed.isEmpty())
        return;
    m_db.run(QStringLiteral("UPDATE chats SET title=? WHERE id=?"), {trimmed, id});
    reload();
}

} // namespace cvn
