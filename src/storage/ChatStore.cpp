#include "storage/ChatStore.h"

#include "platform/MainThread.h"

#include <QHash>
#include <QLocale>
#include <QPointer>

#include <algorithm>
#include <ctime>

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


// The local day of a time, as QDateTime gives it (its local time is the C
// library's localtime_r after a tzset), for many times at once: the zone is
// read once (tzset), and a time inside a day already met is placed by two
// integer compares. A day is kept only where its seconds run evenly from
// 00:00:00 to 23:59:59 under one UTC offset; a time in any other day (a
// change of summer time, a leap second) is converted on its own, and so is
// a time before 1970 or after 2037, through Qt.
class LocalDays {
public:
    LocalDays() { tzset(); }

    // The local day of `time`; every time in [*from, *to) falls on that day
    // too (the whole day, or `time` alone).
    QDate dayOf(int64_t time, int64_t* from, int64_t* to) const
    {
        *from = time;
        *to = time + 1;
        if (time < kFirst || time > kLast)
            return QDateTime::fromSecsSinceEpoch(time).date();
        tm local{};
        if (!convert(time, &local))
            return QDateTime::fromSecsSinceEpoch(time).date();
        const QDate day = dateOf(local);
        const int64_t start = time - (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
        const int64_t end = start + 86400;
        tm first{};
        tm last{};
        if (convert(start, &first) && convert(end - 1, &last) && dateOf(first) == day && dateOf(last) == day
            && first.tm_hour == 0 && first.tm_min == 0 && first.tm_sec == 0 && last.tm_hour == 23
            && last.tm_min == 59 && last.tm_sec == 59 && first.tm_gmtoff == local.tm_gmtoff
            && last.tm_gmtoff == local.tm_gmtoff) {
            *from = start;
            *to = end;
        }
        return day;
    }

private:
    // Before 1970 and after 2037 (2145916799) Qt has converted times
    // otherwise than localtime_r; those go through Qt one by one. A day's
    // margin on either side.
    static constexpr int64_t kFirst = 86400;
    static constexpr int64_t kLast = 2145916799 - 86400;

    static bool convert(int64_t time, tm* local)
    {
        const time_t t = time_t(time);
        return localtime_r(&t, local) != nullptr;
    }
    static QDate dateOf(const tm& local) { return QDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday); }
};

ChatStore::Row rowOf(const ChatDatabase::ChatRecord& chat)
{
    ChatStore::Row row;
    row.id = chat.id;
    row.createdAt = chat.createdAt;
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
    connect(&m_db, &ChatDatabase::searchRenewed, this, &ChatStore::matchesChanged);
    reload();
}

ChatStore& ChatStore::shared()
{
    static ChatStore* const instance = new ChatStore(ChatDatabase::shared());
    return *instance;
}

struct ChatStore::ReadList {
    QList<Row> rows;
    QSet<int64_t> undated;
    bool plainOrder = true;
    bool ok = false;
    // Worked out on the reading thread: whether the rows equal those shown
    // when the read started, and the lists the drawer shows of them.
    bool same = false;
    Lists derived;
};

ChatStore::ReadList ChatStore::readList(ChatDatabase::ChatList list)
{
    ReadList read;
    read.ok = list.ok;
    read.undated = std::move(list.undated);
    read.plainOrder = list.plainOrder;
    read.rows.reserve(list.chats.size());
    for (const ChatDatabase::ChatRecord& chat : std::as_const(list.chats))
        read.rows.append(rowOf(chat));
    return read;
}

void ChatStore::reload()
{
    // Taken before the read: a commit in between makes the next look read
    // again, never hides behind this read.
    const std::optional<int64_t> version = m_db.dataVersion();
    ReadList list = readList(m_db.readChatList());
    if (!list.ok)
        return;
    // A read still under way started before this one.
    ++m_reads;
    m_reading.reset();
    m_loaded = true;
    m_dataVersion = version;
    m_undated = std::move(list.undated);
    m_plainOrder = list.plainOrder;
    publish(std::move(list.rows));
}

bool ChatStore::catchUp()
{
    if (m_loaded && m_db.dataVersion() == m_dataVersion)
        return false;
    read();
    return true;
}

void ChatStore::read()
{
    const std::optional<QString> file = m_db.listFile();
    if (!m_loaded || !file) {
        reload();
        return;
    }
    // The read under way hands over what was committed before it started;
    // what came after shows at the next catch-up.
    if (m_reading)
        return;
    if (!m_reader)
        m_reader = std::make_unique<SerialQueue>(QStringLiteral("chat list"), QStringLiteral("cvn-chat-list"));
    const uint64_t read = ++m_reads;
    m_reading = Reading{read, m_db.dataVersion(), {}, m_rows};
    m_reader->async([self = QPointer(this), read, path = *file, hook = m_readHook, shown = m_rows] {
        auto list = std::make_shared<ReadList>(readList(ChatDatabase::readChatListAt(path)));
        if (list->ok) {
            // What the main thread would do with the rows costs it more than
            // a frame with many chats: done here instead.
            list->same = list->rows == shown;
            const QDateTime now = QDateTime::currentDateTime();
            list->derived = listsOf(list->rows, now);
        }
        if (hook)
            hook();
        runOnMain([self, read, list] {
            if (self)
                self->handOver(read, list);
        });
    });
}

void ChatStore::handOver(uint64_t read, std::shared_ptr<ReadList> list)
{
    if (!m_reading || m_reading->read != read)
        return; // a newer full read was taken in meanwhile
    const Reading reading = *std::exchange(m_reading, std::nullopt);
    if (!list->ok)
        return;
    m_loaded = true;
    const std::optional<int64_t> shownVersion = std::exchange(m_dataVersion, reading.version);
    QSet<int64_t> shownUndated = std::exchange(m_undated, std::move(list->undated));
    const bool shownPlainOrder = std::exchange(m_plainOrder, list->plainOrder);
    QList<Row> rows = std::move(list->rows);
    // This connection's writes while the thread read may be missing from
    // what it read.
    if (!reading.written.isEmpty()) {
        switch (place(rows, reading.written)) {
        case Placed::placed:
            publish(std::move(rows));
            break;
        case Placed::unordered:
            reload();
            break;
        case Placed::unreadable:
            // Showing the rows read would undo those writes: the rows shown
            // stay, and the next catch-up reads the list again.
            m_dataVersion = shownVersion;
            m_undated = std::move(shownUndated);
            m_plainOrder = shownPlainOrder;
            break;
        }
        return;
    }
    // The rows shown are those the thread compared with.
    if (m_rows.constData() == reading.shown.constData() && m_rows.size() == reading.shown.size()) {
        if (list->same)
            return;
        replaceRows(std::move(rows), std::move(list->derived));
        return;
    }
    publish(std::move(rows));
}

void ChatStore::refresh(const QSet<int64_t>& ids)
{
    if (!m_loaded) {
        reload();
        return;
    }
    if (m_reading)
        m_reading->written.unite(ids);
    // Another program's commits (a chat deleted and its id given to a new
    // one, a pin, a newer time) can touch any row, not only those written:
    // the written rows are placed at once, and the rest caught up with.
    const bool behind = m_db.dataVersion() != m_dataVersion;
    Placed placed = Placed::unordered;
    if (m_plainOrder) {
        QList<Row> rows = m_rows;
        placed = place(rows, ids);
        if (placed == Placed::placed)
            publish(std::move(rows));
    }
    if (behind || placed == Placed::unordered)
        read();
}

ChatStore::Placed ChatStore::place(QList<Row>& rows, const QSet<int64_t>& ids)
{
    const ChatDatabase::ChatList list = m_db.readChats(ids);
    if (!list.ok)
        return Placed::unreadable;
    if (!list.plainOrder)
        return Placed::unordered;
    rows.removeIf([&](const Row& row) { return ids.contains(row.id); });
    for (const int64_t id : ids)
        m_undated.remove(id);
    m_undated.unite(list.undated);
    for (const ChatDatabase::ChatRecord& chat : list.chats) {
        Row row = rowOf(chat);
        const auto at = std::lower_bound(rows.cbegin(), rows.cend(), row,
                                         [&](const Row& a, const Row& b) { return listedBefore(a, b); });
        rows.insert(at, std::move(row));
    }
    return Placed::placed;
}

bool ChatStore::listedBefore(const Row& a, const Row& b) const
{
    if (a.pinned != b.pinned)
        return a.pinned;
    // A NULL updated_at sorts below every number, 0 and less included.
    const bool aDated = !m_undated.contains(a.id);
    const bool bDated = !m_undated.contains(b.id);
    if (aDated != bDated)
        return aDated;
    if (a.updatedAt != b.updatedAt)
        return a.updatedAt > b.updatedAt;
    return a.id > b.id;
}

void ChatStore::publish(QList<Row> rows)
{
    if (rows == m_rows)
        return;
    replaceRows(std::move(rows), std::nullopt);
}

void ChatStore::replaceRows(QList<Row> rows, std::optional<Lists> derived)
{
    QList<Row> old = std::exchange(m_rows, std::move(rows));
    m_derived = std::move(derived);
    // Freeing many rows takes a while too: on the reading thread, where
    // there is one.
    if (m_reader)
        m_reader->async([old = std::move(old)] {});
    emit rowsChanged();
}

QList<ChatStore::Row> ChatStore::pinnedRows() const
{
    if (m_derived)
        return m_derived->pinned;
    return rowsWithPin(m_rows, true);
}

QList<ChatStore::Row> ChatStore::unpinnedRows() const
{
    return rowsWithPin(m_rows, false);
}

QList<ChatStore::Section> ChatStore::sections(const QDateTime& now) const
{
    if (m_derived && m_derived->today == now.toLocalTime().date())
        return m_derived->sections;
    return sectionsOf(m_rows, now);
}

ChatStore::Lists ChatStore::listsOf(const QList<Row>& rows, const QDateTime& now)
{
    return {now.toLocalTime().date(), rowsWithPin(rows, true), sectionsOf(rows, now)};
}

std::optional<ChatStore::Lists> ChatStore::readyLists(const QDateTime& now) const
{
    if (m_derived && m_derived->today == now.toLocalTime().date())
        return m_derived;
    return std::nullopt;
}

QList<ChatStore::Section> ChatStore::sectionsOf(const QList<Row>& rows, const QDateTime& now)
{
    const LocalDays days;
    const QDate today = now.toLocalTime().date();
    QList<Section> sections;
    QHash<qint64, qsizetype> sectionOfDay; // by Julian day
    // The day last met, as the range of times it spans, and its section.
    int64_t from = 0;
    int64_t to = 0;
    qsizetype section = -1;
    for (const Row& row : rows) {
        if (row.pinned)
            continue;
        if (row.updatedAt < from || row.updatedAt >= to) {
            const QDate day = days.dayOf(row.updatedAt, &from, &to);
            const auto known = sectionOfDay.constFind(day.toJulianDay());
            if (known != sectionOfDay.cend()) {
                section = *known;
            } else {
                section = sections.size();
                sectionOfDay.insert(day.toJulianDay(), section);
                sections.append(Section{dayHeading(day, today), {}});
            }
        }
        sections[section].rows.append(row);
    }
    return sections;
}

QString ChatStore::dayHeading(int64_t updatedAt, const QDateTime& now)
{
    return dayHeading(QDateTime::fromSecsSinceEpoch(updatedAt).date(), now.toLocalTime().date());
}

QString ChatStore::dayHeading(const QDate& day, const QDate& today)
{
    if (day == today)
        return QStringLiteral("TODAY");
    if (day == today.addDays(-1))
        return QStringLiteral("YESTERDAY");
    // The C locale, never the user's: headings are English in every locale.
    return QLocale::c().toString(day, QStringLiteral("d MMM yyyy")).toUpper();
}

ChatStore::Change ChatStore::setPinned(const Row& row)
{
    return change(row, QStringLiteral("UPDATE chats SET pinned=? WHERE id=? AND ") + ChatDatabase::sameCreatedAt,
                  {row.pinned ? 0 : 1, row.id, row.createdAt});
}

ChatStore::Change ChatStore::rename(const Row& row, const QString& title)
{
    const QString trimmed = title.trimmed();
    if (trimmed.isEmpty())
        return Change::stored;
    return change(row, QStringLiteral("UPDATE chats SET title=? WHERE id=? AND ") + ChatDatabase::sameCreatedAt,
                  {trimmed, row.id, row.createdAt});
}

ChatStore::Change ChatStore::remove(const Row& row)
{
    return change(row, QStringLiteral("DELETE FROM chats WHERE id=? AND ") + ChatDatabase::sameCreatedAt,
                  {row.id, row.createdAt});
}

ChatStore::Change ChatStore::change(const Row& row, const QString& sql, const QList<ChatDatabase::Value>& values)
{
    const int64_t changed = m_db.update(sql, values);
    if (changed == 0) {
        // The row is out of date: what it showed is no longer stored.
        reload();
        return Change::gone;
    }
    refresh({row.id});
    return changed > 0 ? Change::stored : Change::notStored;
}

} // namespace cvn
