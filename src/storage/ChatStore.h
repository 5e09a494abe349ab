#pragma once

// The sidebar's list of saved chats: one published array of rows read from
// the chat database, and, derived from it on each call, the pinned rows, the
// unpinned rows under day headings. Pins, renames, deletes and reloads go
// through here.
//
// A row is one chat: its id together with its created_at, since another
// program may delete a chat and the id go to a new one. A pin, rename or
// delete names both in its statement, so a row read before that happened
// never acts on the chat that took its id. The list is read again in full
// whenever another connection has committed since its last read (SQLite's
// data_version): before the partial read after a write, and whenever the
// host asks (catchUp), then on a reading thread of the store's own.
//
// Threads: main thread only, like the database it reads; the reading thread
// hands its rows over there.

#include "platform/SerialQueue.h"
#include "storage/ChatDatabase.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace cvn {

class ChatStore : public QObject {
    Q_OBJECT

public:
    struct Row {
        int64_t id = 0;
        int64_t createdAt = 0;  // seconds since 1970; with the id, which chat this is
        QString title;          // blank titles read as "New chat"; others untrimmed
        bool reasoning = false; // the chat has reasoning
        bool council = false;   // the chat holds council replies
        bool pinned = false;
        int64_t updatedAt = 0;  // seconds since 1970

        friend bool operator==(const Row&, const Row&) = default;
    };

    struct Section {
        QString heading; // "TODAY", "YESTERDAY" or e.g. "5 DEC 2026"
        QList<Row> rows;

        friend bool operator==(const Section&, const Section&) = default;
    };

    // The title a chat is listed under while it has none of its own.
    static const QString newChatTitle;

    // What became of a pin, rename or delete.
    enum class Change {
        stored,
        notStored, // refused: a held lock, a full disk, a read-only file
        gone,      // no chat with the row's id and created_at: deleted elsewhere
    };

    // Reads the list once before returning. `db` must outlive the store.
    explicit ChatStore(ChatDatabase& db, QObject* parent = nullptr);

    // The application's list over ChatDatabase::shared(), made on first use
    // and kept for the whole run.
    static ChatStore& shared();

    ChatDatabase& database() const { return m_db; }

    // Pinned first, then the most recently updated first (a chat without a
    // stored time after every dated one), then the highest id first.
    const QList<Row>& rows() const { return m_rows; }

    // Rereads the list and emits rowsChanged only when the rows differ. A
    // list that cannot be read leaves the rows as they were.
    void reload();
    // When another connection has committed since the last full read: reads
    // the list again on the store's reading thread and hands the rows over
    // (rowsChanged follows when they differ). Before any full read has
    // succeeded, and while the database is closed or read-only, it reads at
    // once instead. True when it read or started a read (the rows may be
    // the same, and the messages not).
    bool catchUp();
    // A read that catchUp started has not been handed over yet.
    bool catchingUp() const { return m_reading.has_value(); }
    // For tests: called on the reading thread with each list it read,
    // before the rows go to the main thread.
    void setReadHook(std::function<void()> hook) { m_readHook = std::move(hook); }
    // After this connection's writes to the chats in `ids`: reads only
    // their rows and puts each where a full read would, so the cost does not
    // grow with the other chats; one that no longer exists leaves the list.
    // The other rows stay as last read. Emits rowsChanged only when the rows
    // differ; rows that cannot be read leave the list as it was. Reads the
    // whole list before the first full read has succeeded; when another
    // connection has committed since the last one, or a row holds values
    // (another client's) that SQLite orders otherwise than they read as,
    // it also catches up, and the rows handed over then keep these writes.
    void refresh(const QSet<int64_t>& ids);

    QList<Row> pinnedRows() const;
    QList<Row> unpinnedRows() const;
    // The unpinned rows under their day headings, sections in the order
    // their first row comes; every row is placed against the same `now`.
    // Each heading is dayHeading's, at a cost that does not grow with the
    // rows: the time zone is read once, each day's first and last second
    // are worked out once, and a row inside a known day is placed by
    // comparing integers and found its section by index. Rows handed over
    // by the reading thread come with their pinned rows and sections for
    // that day worked out there.
    QList<Section> sections(const QDateTime& now) const;
    QList<Section> sections() const { return sections(QDateTime::currentDateTime()); }

    // The pinned rows and the day sections of a list of rows, as pinnedRows
    // and sections give them on `today`.
    struct Lists {
        QDate today;
        QList<Row> pinned;
        QList<Section> sections;
    };
    // Those of `rows` against `now`; any thread.
    static Lists listsOf(const QList<Row>& rows, const QDateTime& now);
    // Those of the rows as they are, when the reading thread worked them out
    // for `now`'s day: nothing left to work out.
    std::optional<Lists> readyLists(const QDateTime& now) const;

    // "TODAY", "YESTERDAY", or the day as "d MMM yyyy" in English month
    // names, upper-cased; days in the local time zone. Later days than today
    // also get their date.
    static QString dayHeading(int64_t updatedAt, const QDateTime& now);
    // The same for a local day against the local `today`.
    static QString dayHeading(const QDate& day, const QDate& today);

    // Pins the row's chat when the row shows it unpinned, and the other way
    // round. The chat keeps its updated time. Not stored: the rows then
    // show what is. Gone: nothing changed, and the list was read again in
    // full.
    Change setPinned(const Row& row);
    // Stores the title trimmed of white space and line breaks; a blank title
    // does nothing. The chat keeps its updated time. Outcomes as setPinned.
    Change rename(const Row& row, const QString& title);
    // Deletes the row's chat, its messages with it (the schema's cascading
    // key). Outcomes as setPinned.
    Change remove(const Row& row);

signals:
    void rowsChanged();
    // A message search may answer otherwise now: it has read what another
    // connection committed.
    void matchesChanged();

private:
    // A full read, as the reading thread hands it over.
    struct ReadList;
    void handOver(uint64_t read, std::shared_ptr<ReadList> list);
    static ReadList readList(ChatDatabase::ChatList list);
    // Starts a full read on the reading thread, or makes it at once where
    // catchUp says.
    void read();
    // Reads the rows of `ids` and puts them into `rows` where a full read
    // would; `rows` is left as it was when they cannot be read, or hold
    // values that SQLite orders otherwise than they read as.
    enum class Placed { placed, unreadable, unordered };
    Placed place(QList<Row>& rows, const QSet<int64_t>& ids);
    // Runs a statement that names the row's chat by id and created_at.
    Change change(const Row& row, const QString& sql, const QList<ChatDatabase::Value>& values);
    void publish(QList<Row> rows);
    // Takes the rows (known to differ from those shown), with their lists
    // when they were worked out already, and tells.
    void replaceRows(QList<Row> rows, std::optional<Lists> derived);
    static QList<Section> sectionsOf(const QList<Row>& rows, const QDateTime& now);
    // The list query's order.
    bool listedBefore(const Row& a, const Row& b) const;

    ChatDatabase& m_db;
    QList<Row> m_rows;
    bool m_loaded = false;     // a full read has succeeded
    QSet<int64_t> m_undated;   // rows whose updated_at is NULL, read as 0
    bool m_plainOrder = false; // the rows' values sort as they read
    std::optional<int64_t> m_dataVersion; // the database's, when the rows were last read in full
    // The lists of m_rows, when the reading thread worked them out.
    std::optional<Lists> m_derived;

    // The reading thread, made on the first catch-up.
    std::unique_ptr<SerialQueue> m_reader;
    // Numbers every full read, so that a read handed over after a newer one
    // was taken in is dropped.
    uint64_t m_reads = 0;
    // The read under way on the reading thread: its number, the data_version
    // taken before it, and the chats this connection wrote meanwhile, which
    // it may have read before the writes.
    struct Reading {
        uint64_t read = 0;
        std::optional<int64_t> version;
        QSet<int64_t> written;
        QList<Row> shown; // the rows when it started
    };
    std::optional<Reading> m_reading;
    std::function<void()> m_readHook;
};

} // namespace cvn
