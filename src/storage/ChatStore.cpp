#include "storage/ChatStore.h"

#include <QHash>
#include <QLocale>

#include <algorithm>

namespace cvn {

const QString ChatStore::newChatTitle = QStringLiteral("New chat");

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


ChatStore::Row rowOf(const ChatDatabase::ChatRecord& chat)
{
    ChatStore::Row row;
    row.id = chat.id;
    row.title = chat.title.trimmed().isEmpty() ? ChatStore::newChatTitle : chat.title;
    row.reasoning = chat.hasReasoning;
    row.council = chat.isCouncil;
    row.pinned = chat.isPinned;
    row.updatedAt = chat.updatedAt;
    return row;
}

} // namespace

ChatStore::ChatStore(ChatDatabase& db, QObject* parent)
    : QObject(parent)
    , m_db(db)
{
    // A database that opens later, or becomes writable, may hold more than
    // what was read before.
    connect(&m_db, &ChatDatabase::openChanged, this, &ChatStore::reload);
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
    const ChatDatabase::ChatList list = m_db.readChatList(std::nullopt);
    if (!list.ok)
        return;
    m_loaded = true;
    QList<Row> rows;
    rows.reserve(list.chats.size());
    for (const ChatDatabase::ChatRecord& chat : list.chats)
        rows.append(rowOf(chat));
    publish(std::move(rows));
}

void ChatStore::refresh(const QSet<int64_t>& ids)
{
    if (!m_loaded) {
        reload();
        return;
    }
    m_contentHits.reset();
    const ChatDatabase::ChatList list = m_db.readChatList(ids);
    if (!list.ok)
        return;
    QHash<int64_t, bool> reasoning;
    reasoning.reserve(m_rows.size());
    for (const Row& row : std::as_const(m_rows))
        reasoning.insert(row.id, row.reasoning);
    QList<Row> rows;
    rows.reserve(list.chats.size());
    for (const ChatDatabase::ChatRecord& chat : list.chats) {
        Row row = rowOf(chat);
        if (list.reasoningUnread.contains(chat.id)) {
            const auto known = reasoning.constFind(chat.id);
            // Another process added it: its mark has never been read.
            if (known == reasoning.cend()) {
                reload();
                return;
            }
            row.reasoning = known.value();
        }
        rows.append(std::move(row));
    }
    publish(std::move(rows));
}

void ChatStore::publish(QList<Row> rows)
{
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

bool ChatStore::setPinned(int64_t id)
{
    const auto row = std::find_if(m_rows.cbegin(), m_rows.cend(), [&](const Row& r) { return r.id == id; });
    if (row == m_rows.cend())
        return true;
    const bool stored = m_db.run(QStringLiteral("UPDATE chats SET pinned=? WHERE id=?"), {row->pinned ? 0 : 1, id});
    refresh({id});
    return stored;
}

bool ChatStore::rename(int64_t id, const QString& title)
{
    const QString trimmed = title.trimmed();
    if (trimmed.isEmpty())
        return true;
    const bool stored = m_db.run(QStringLiteral("UPDATE chats SET title=? WHERE id=?"), {trimmed, id});
    refresh({id});
    return stored;
}

} // namespace cvn
