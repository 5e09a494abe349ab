#pragma once

// The sidebar's list of saved chats: one published array of rows read from
// the chat database, and, derived from it on each call, the pinned rows, the
// unpinned rows under day headings and the chats whose messages match a
// search text. Pins, renames and reloads go through here.
//
// Threads: main thread only, like the database it reads.

#include "storage/ChatDatabase.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include <cstdint>
#include <optional>
#include <utility>

namespace cvn {

class ChatStore : public QObject {
    Q_OBJECT

public:
    struct Row {
        int64_t id = 0;
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

    // Reads the list once before returning. `db` must outlive the store.
    explicit ChatStore(ChatDatabase& db, QObject* parent = nullptr);

    // The application's list over ChatDatabase::shared(), made on first use
    // and kept for the whole run.
    static ChatStore& shared();

    ChatDatabase& database() const { return m_db; }

    // Pinned first, then the most recently updated first (a chat without a
    // stored time after every dated one), then the highest id first.
    const QList<Row>& rows() const { return m_rows; }

    // Rereads the list, forgets the cached content search, and emits
    // rowsChanged only when the rows differ. A list that cannot be read
    // leaves the rows as they were.
    void reload();
    // After writes to the chats in `ids`: reads only their rows, and those
    // of chats added since with a higher id than any listed (another
    // instance's new chats), and puts each where a full read would, so the
    // cost does not grow with the other chats; one that no longer exists
    // leaves the list. The other rows stay as last read. Emits rowsChanged
    // only when the rows differ; rows that cannot be read leave the list as
    // it was. Falls back to reload() before the first full read, and while
    // a row holds values (another client's) that SQLite orders otherwise
    // than they read.
    void refresh(const QSet<int64_t>& ids);

    QList<Row> pinnedRows() const;
    QList<Row> unpinnedRows() const;
    // The unpinned rows under their day headings, sections in the order
    // their first row comes; every row is placed against the same `now`.
    QList<Section> sections(const QDateTime& now) const;
    QList<Section> sections() const { return sections(QDateTime::currentDateTime()); }

    // "TODAY", "YESTERDAY", or the day as "d MMM yyyy" in English month
    // names, upper-cased; days in the local time zone. Later days than today
    // also get their date.
    static QString dayHeading(int64_t updatedAt, const QDateTime& now);

    // The chats with a message containing `query`, ignoring case; empty for
    // an empty query. The answer for the last query is kept until the next
    // reload.
    QSet<int64_t> contentMatches(const QString& query);

    // Flips the chat's pin; an id not in rows() does nothing. The chat keeps
    // its updated time. False when the change could not be stored; the rows
    // then show what is stored.
    bool setPinned(int64_t id);
    // Stores the title trimmed of white space and line breaks; a blank title
    // does nothing. The chat keeps its updated time. False when the title
    // could not be stored.
    bool rename(int64_t id, const QString& title);

signals:
    void rowsChanged();

private:
    void publish(QList<Row> rows);
    // The list query's order.
    bool listedBefore(const Row& a, const Row& b) const;

    ChatDatabase& m_db;
    QList<Row> m_rows;
    bool m_loaded = false;     // a full read has succeeded
    QSet<int64_t> m_undated;   // rows whose updated_at is NULL, read as 0
    bool m_plainOrder = false; // the rows' values sort as they read
    std::optional<std::pair<QString, QSet<int64_t>>> m_contentHits;
};

} // namespace cvn
