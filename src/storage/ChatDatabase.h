#pragma once

// The one SQLite file that keeps every saved chat and its messages:
// <app data folder>/chats.db, spoken to through the plain SQLite C API with
// one connection and statements prepared per call.
//
// Threads: one connection without a lock, so every call comes from the main
// thread (the app's chat list, the open chat's history and chat deletion).
//
// Failures never reach the caller as errors: each SQLite error is logged on
// lcChatDatabase and the call yields its empty value (an empty list or set,
// false, or 0 for an id). Whether writes get through is kept, though:
// writesFailing tells the chat screen that what the user does is not being
// stored. A database that could not be opened (another process creating the
// schema at the same moment, a file that is not a database) is closed, and
// every call is then such a no-op. A closed or read-only connection tries a
// read-write open again on a write, at most every few seconds, so it comes
// back once the file or folder can be written; openChanged tells when that
// happens.
//
// The main thread's connection waits for another process's write lock only
// about a frame (mainThreadBusyTimeoutMs): a backup tool holding the lock
// makes a write fail, and its caller queue it, instead of freezing the window.
//
// Several processes may write the file at once: it is kept in WAL mode and
// every write transaction starts with BEGIN IMMEDIATE, so a writer waits for
// another (the busy timeout) instead of failing on a lock upgrade.
//
// Message search runs on a trigram index of the case-folded text of every
// message (message_search) and on a copy of that text in memory. Triggers
// written in plain SQL note each inserted, edited or deleted message in
// message_search_pending (and drop deleted ones from the index), so any
// client may write the tables; this connection folds and indexes the noted
// messages in the transaction of its own next write, or before the next
// search.
//
// A file that can only be read (a write-protected file or data folder) is
// opened read-only: the chats are listed, opened and searched as stored, and
// every write is refused without touching the file. A read-only folder that
// holds a -wal file without its -shm (a run that ended before a checkpoint)
// is read through a private copy of the file and its -wal in a temporary
// folder, so that the chats committed only to the -wal are listed too. The
// copy's folder is named after the process that made it: close() removes it
// at quit, and an open removes those whose process no longer runs (a run
// that was killed). When no copy can be made (a full or read-only temporary
// folder), the file is read alone and someChatsHidden tells that the chats
// only its -wal holds are missing; the copy is tried again only once the
// -wal changes or the folder can be written.
//
// An older file that a full disk keeps from taking what the schema adds is
// read as a read-only one is, and gets it once a write gets through.
//
// The file is never dropped or deleted; it is rewritten whole (VACUUM) only
// once, so that deleted chats give their space back. An older file that
// lacks a column or table of the current schema gets it added in place (the
// images of messages, for one, written before they were kept), the search
// index built and its journal switched to WAL; a file that is not a database is
// left exactly as it is and the database stays closed. An older program
// that opens a newer file finds every table it knows and leaves the others
// alone; the triggers in the file still take a message's images along when
// it deletes the message.
//
// A message's images (message_images) are the files' bytes, kept in the
// order they were sent, written in the message's own transaction and read
// with it in the same statement; search never reads them. Beside each may
// be what a prompt needs of it for one projector (ChatImage::Facts),
// written when a model first learns it; a file without their columns,
// opened only for reading, reads its images without them, and gets the
// columns once it can be written.
//
// ChatDatabase.cpp holds the connection and the schema;
// ChatDatabaseRows.cpp reading a row; ChatDatabaseStatements.cpp running
// statements and transactions, and the chat and message queries;
// ChatDatabaseSearch.cpp the search index, the folded copy and the scans.

#include "engine/ChatMessage.h"
#include "platform/FileIdentity.h"
#include "platform/SerialQueue.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QElapsedTimer>
#include <QSet>
#include <QString>

#include <array>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

struct sqlite3;
struct sqlite3_stmt;

class QTemporaryDir;

namespace cvn {

class ChatDatabase : public QObject {
    Q_OBJECT

public:
    // One bound parameter: a 64-bit integer, a text (bound as UTF-8 with its
    // byte length, so U+0000 inside it survives), bytes (a BLOB, empty ones
    // included) or NULL.
    class Value {
    public:
        enum class Kind { integer, text, blob, null };

        template <std::integral T>
            requires(!std::same_as<T, bool>)
        Value(T value) : m_kind(Kind::integer), m_integer(int64_t(value)) {}
        Value(QString value) : m_kind(Kind::text), m_text(std::move(value)) {}
        Value(const char* value) : Value(QString::fromUtf8(value)) {}
        explicit Value(QByteArray bytes) : m_kind(Kind::blob), m_bytes(std::move(bytes)) {}
        static Value null() { return Value(); }
        static Value textOrNull(const std::optional<QString>& value) { return value ? Value(*value) : null(); }
        static Value integerOrNull(std::optional<int64_t> value) { return value ? Value(*value) : null(); }

        Kind kind() const { return m_kind; }
        int64_t integer() const { return m_integer; }
        const QString& text() const { return m_text; }
        const QByteArray& bytes() const { return m_bytes; }

    private:
        Value() = default;

        Kind m_kind = Kind::null;
        int64_t m_integer = 0;
        QString m_text;
        QByteArray m_bytes;
    };

    // One row of the chat list.
    struct ChatRecord {
        int64_t id = 0;
        QString title;          // NULL reads as ""
        QString modelId;        // NULL reads as ""
        int64_t createdAt = 0;  // seconds since 1970, NULL reads as 0
        int64_t updatedAt = 0;
        bool isPinned = false;
        bool isCouncil = false;
        bool hasReasoning = false; // a message has stored reasoning or a think tag

        friend bool operator==(const ChatRecord&, const ChatRecord&) = default;
    };

    // One stored message.
    struct MessageRecord {
        int64_t id = 0;
        QString role;           // NULL reads as "user"
        QString content;        // NULL reads as ""
        QString modelName;      // NULL reads as ""
        std::optional<QString> reasoning;
        std::optional<int64_t> reasoningDurationMs; // read as 0 .. one week
        int64_t createdAt = 0;  // seconds since 1970, NULL reads as 0
        QList<ChatImage> images; // in the order they were sent

        friend bool operator==(const MessageRecord&, const MessageRecord&) = default;
    };

    struct StatementDeleter {
        void operator()(sqlite3_stmt* statement) const;
    };
    // A prepared statement, finalized when it goes out of scope.
    using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

    // Chats as read (readChatList, readChats), with what their records
    // cannot tell of the list's order.
    struct ChatList {
        QList<ChatRecord> chats;
        QSet<int64_t> undated;   // updated_at is NULL: read as 0, listed after every dated chat
        bool plainOrder = true;  // every pinned is 0 or 1 and every updated_at an integer or NULL
        bool ok = false;         // false: the chats could not be read
    };

    // Opens (creating when missing) the file at `path`, turns foreign keys
    // on, creates what the schema lacks, adds missing columns, builds the
    // search index when the file has none and switches the file to WAL. An
    // empty path gives a database that stays closed. A write waits up to
    // `busyTimeoutMs` for another connection's lock.
    static constexpr int defaultBusyTimeoutMs = 2000;
    // What the application's own connection, on the main thread, waits.
    static constexpr int mainThreadBusyTimeoutMs = 40;
    // How soon a closed or read-only connection tries a read-write open
    // again after the last try.
    static constexpr int defaultReopenIntervalMs = 3000;
    explicit ChatDatabase(const QString& path, int busyTimeoutMs = defaultBusyTimeoutMs);
    ~ChatDatabase();

    ChatDatabase(const ChatDatabase&) = delete;
    ChatDatabase& operator=(const ChatDatabase&) = delete;

    // The application's database, <appDataFolder()>/chats.db, opened on first
    // use and kept for the whole run; main() closes it at quit.
    static ChatDatabase& shared();
    static QString defaultPath();
    // How the folder of a private copy starts, in the temporary folder; the
    // owner's ProcessIdentity and a random part follow.
    static inline const QString privateCopyPrefix = QStringLiteral("Corvanthelis-chats-copy-");
    // What the user is told while someChatsHidden holds.
    static inline const QString someChatsHiddenText =
        QStringLiteral("Some recent chats cannot be shown until the data folder can be written");

    // Closes the connection for good, at quit: a private copy it read is
    // removed, and every later call is a no-op, as on a closed database.
    void close();

    // Open: connected, with every table, index and trigger in place (or,
    // read-only, with every column the reads need).
    bool isOpen() const { return m_db != nullptr; }
    // Open, but only for reading: every write fails.
    bool isReadOnly() const { return m_readOnly; }
    // Open only for reading because the disk is full: the file lacks what
    // the schema adds, and could not take it. writeFault() is full, and a
    // reopen adds it once writes work.
    bool waitsForSpace() const { return m_waitsForSpace; }
    // Open for reading the file alone, although its -wal holds commits that
    // a private copy could not be made to read. someChatsHiddenChanged tells.
    bool someChatsHidden() const { return m_someChatsHidden; }
    const QString& path() const { return m_path; }

    // Tries a read-write open again when the database is closed or only
    // open for reading, unless the last try was less than the reopen
    // interval ago; true when it is open (perhaps only for reading)
    // afterwards. Every write calls it first. A retry does not wait for a
    // lock, unlike the first open.
    bool reopen();
    void setReopenInterval(int ms) { m_reopenIntervalMs = ms; }

    // The last write (a statement that changes the file, or a transaction)
    // failed, or was refused because the database is closed or read-only;
    // cleared by the next write that succeeds. writesFailingChanged tells.
    bool writesFailing() const { return m_writesFailing; }
    // Why the last transaction that failed did. Only a lock another
    // connection holds goes away by itself; the rest need the user.
    enum class WriteFault {
        none,
        locked,      // another connection holds the write lock (SQLITE_BUSY, SQLITE_LOCKED)
        full,        // the disk or the file's size limit (SQLITE_FULL)
        damaged,     // SQLITE_CORRUPT, SQLITE_NOTADB
        readOnly,    // a write-protected file or folder (SQLITE_READONLY, SQLITE_PERM)
        diskError,   // the disk failed a read or write (SQLITE_IOERR)
        unavailable, // the file cannot be opened
        other,
    };
    // Of the last write that failed; none once one succeeds.
    WriteFault writeFault() const { return m_writeFault; }
    // A write transaction that changes nothing: whether writes get through
    // now (the lock is free, the connection writable). Sets writesFailing.
    bool probeWrites();

    // Pinned chats first, then the most recently updated first (a NULL
    // updated_at after every date), then the highest id first.
    QList<ChatRecord> listChats() const { return readChatList().chats; }
    ChatList readChatList() const;
    // The chats in `ids` that exist, in no particular order, read as the
    // list reads them.
    ChatList readChats(const QSet<int64_t>& ids) const;
    // The file another thread may read the chat list from through a
    // connection of its own (readChatListAt): this database's file while it
    // is open for writing; nothing while it is closed or read-only, when
    // what this connection reads may be a private copy or the file alone.
    std::optional<QString> listFile() const;
    // readChatList() through a read-only connection to `path` opened and
    // closed here, for a thread other than the main one; not ok when the
    // file cannot be opened or read.
    static ChatList readChatListAt(const QString& path);
    // SQLite's data_version of this connection: it changes when another
    // connection (another instance, a tool) commits, never for this
    // connection's own writes. Nothing when it cannot be read.
    std::optional<int64_t> dataVersion() const;

    // Ids are handed out again once freed, so a chat is one id together
    // with its created_at (in whole seconds, as stored; NULL reads as 0).
    // What a statement names a chat by: `id=? AND` this, bound to the id
    // and then the created_at.
    static inline const QString sameCreatedAt = QStringLiteral("ifnull(CAST(created_at AS INTEGER), 0)=?");
    // The chats that may be one given chat: bound to its created_at and
    // then its title. An index of the schema holds exactly these values.
    static inline const QString sameCreatedAtAndTitle = sameCreatedAt + QStringLiteral(" AND ifnull(title, '')=?");
    // The row stored under a chat id, as far as telling one chat from a
    // later one given the same id needs.
    struct ChatIdentity {
        int64_t createdAt = 0; // NULL reads as 0
        QString title;         // NULL reads as ""
        bool isCouncil = false;
        bool isPinned = false;
    };
    // Whether the row under `id` could be read: `identity` is then that
    // row, or nothing when no chat has the id.
    bool readChatIdentity(int64_t id, std::optional<ChatIdentity>* identity) const;
    // One chat as it is opened: its row and its messages in ascending id.
    struct StoredChat {
        ChatIdentity identity;
        QList<MessageRecord> messages;
    };
    // The chat stored under `id` with `createdAt`, read in one statement, so
    // that a chat that took a freed id is never read in its place. False
    // when it could not be read; `chat` is otherwise the chat, or nothing
    // when no such chat is stored.
    bool readChat(int64_t id, int64_t createdAt, std::optional<StoredChat>* chat) const;
    // The chats with a message whose content contains `query`, ignoring case
    // (simple Unicode case folding of each character, as QString's
    // case-insensitive search, no locale, no diacritic folding). An empty
    // query matches nothing. A query of three characters or more that few
    // messages hold is looked up in the trigram index; shorter ones and
    // common ones in a copy of the indexed text kept in memory (each chat
    // read up to its first match). Queries the index cannot hold exactly
    // (U+0000, U+FFFD to U+FFFF, lone surrogates) and an index that cannot
    // be brought up to date read every message.
    //
    // Once another connection has committed, the copy is read again on a
    // thread of the database's own through a read-only connection of its
    // own; searches meanwhile answer from the copy as it was (and the index)
    // and searchRenewed tells when the new copy is in. The first copy is
    // read at once, unless prepareSearch started reading it: until it is in,
    // the index answers, and every message is read for queries shorter than
    // three characters.
    QSet<int64_t> searchMessages(const QString& query) { return startSearch(query).chats(); }

    // One chat's messages in the search's copy in memory, each followed by
    // U+0000, which the indexed text never holds (nor a query that reaches
    // the copy): one search of the whole chat stops at its first match and
    // never matches across two messages.
    struct FoldedChat {
        QByteArray text;
        QList<std::pair<int64_t, qsizetype>> messages; // id and length, in the order of the text
        void append(int64_t id, QByteArrayView message);
        void remove(int64_t id);
    };

    // One search as searchMessages makes it, for a caller that looks through
    // the copy in memory on a thread of its own: what needs this connection
    // (indexing, the index, reading the messages) is done when it is made,
    // and a scan of the copy is left to whoever asks, on any thread; its
    // calls only read, so several threads may ask at once. It keeps the copy as it was when made; the connection's later
    // changes go to a copy of their own.
    class MessageSearch {
    public:
        // Whether a message of the chat holds the query. Any thread.
        bool matches(int64_t chatId) const;
        // Every chat with such a message. Any thread.
        QSet<int64_t> chats() const;
        // Bytes of text left to look through: 0 when answered already.
        qsizetype pendingBytes() const { return m_pendingBytes; }

    private:
        friend class ChatDatabase;
        bool contains(const QByteArray& text) const;

        QSet<int64_t> m_answer;
        bool m_scan = false;
        QHash<int64_t, FoldedChat> m_chats;
        QByteArray m_folded;
        qsizetype m_pivot = 0;
        qsizetype m_pendingBytes = 0;
    };
    MessageSearch startSearch(const QString& query);
    // Starts reading the copy on its thread when none is loaded or being
    // read, so that a search later finds it there instead of reading it
    // while it waits.
    void prepareSearch();
    // For tests: called on the reading thread with each copy it read,
    // before the copy goes to the main thread.
    void setCopyReadHook(std::function<void()> hook) { m_copyReadHook = std::move(hook); }
    // The new chat's id, created_at = updated_at = now; 0 when the insert
    // failed or the database is closed.
    int64_t insertChat(const QString& title, const QString& modelId);
    // Also sets updated_at to now. False when nothing was written.
    bool updateTitle(int64_t id, const QString& title);
    // The new message's id, created_at = `createdAt` (now when null); 0 when
    // the insert failed or the database is closed. The message and its
    // images are written together or not at all. The chat's updated_at
    // stays as it is.
    int64_t insertMessage(int64_t chatId, const QString& role, const QString& content,
                          const Value& modelName = Value::null(), const Value& reasoning = Value::null(),
                          const Value& reasoningMs = Value::null(), const Value& createdAt = Value::null(),
                          const QList<ChatImage>& images = {});
    // Whether the file has the table of messages' images: a file written
    // before images were kept and opened only for reading has none, and its
    // messages read without images.
    bool keepsImages() const { return m_keepsImages; }
    // Whether its images have the columns of their facts: a file written
    // before they were kept and opened only for reading has none, and its
    // images read without facts.
    bool keepsImageFacts() const { return m_keepsImageFacts; }
    // What a query over messages `m` adds to read each message's images
    // beside it: the join, giving one row for each image or one whose image
    // columns are NULL, and its two columns, the image's name and bytes
    // (imageColumns), which imageFactsColumns() may follow with the five
    // of its facts (NULL in a file without them). Rows are ordered by
    // imageOrder after the message's id.
    QString imageJoin() const;
    static inline const QString imageColumns = QStringLiteral("i.name, i.data");
    QString imageFactsColumns() const;
    static inline const QString imageOrder = QStringLiteral("i.position");
    // Stores the facts of the images of message `messageId` that have
    // them, by their place in `images` (the message's whole list), over
    // any stored before; the others keep theirs. One transaction; false
    // when nothing was written.
    bool setImageFacts(int64_t messageId, const QList<ChatImage>& images);
    // The chat's council switch; false for an unknown id.
    bool councilOn(int64_t id) const;
    // The chat's own instructions; empty for none (NULL) or an unknown id.
    QString instructions(int64_t id) const;
    // The chat's messages in ascending id.
    QList<MessageRecord> messages(int64_t chatId) const;

    // Prepares, binds, steps once and finalizes; a statement that writes runs
    // in its own transaction unless one is open. True when the statement ran
    // to completion; a failure is logged.
    bool run(const QString& sql, const QList<Value>& values = {});
    // run() for an INSERT: the new row's id, or 0 when it failed. Never an
    // earlier row's id.
    int64_t insert(const QString& sql, const QList<Value>& values);
    // run() for an UPDATE or DELETE: how many rows it changed itself (not
    // those a cascade or trigger changed), or -1 when it failed.
    int64_t update(const QString& sql, const QList<Value>& values);
    // A whole script through sqlite3_exec. True on success; a failure is
    // logged.
    bool exec(const QString& sql);
    // The statement with every value bound, or null (logged) when it cannot
    // be prepared or the database is closed.
    Statement prepare(const QString& sql, const QList<Value>& values = {}) const;

    // Runs `body` inside one BEGIN IMMEDIATE transaction: committed (with
    // the search index brought up to date) when it answers true, rolled back
    // when it answers false or the commit fails. Nested calls join the outer
    // transaction. False when nothing was committed.
    bool transaction(const std::function<bool()>& body);

    // Reading the columns of a prepared statement's current row: text with
    // its byte length, so embedded NULs survive.
    static bool isNull(sqlite3_stmt* statement, int column);
    static int64_t integerColumn(sqlite3_stmt* statement, int column);
    static QString textColumn(sqlite3_stmt* statement, int column);
    static QByteArray blobColumn(sqlite3_stmt* statement, int column);
    // The image in the two columns from `first` on (imageColumns), when the
    // row holds one; `withFacts`: with its facts from the five columns after
    // them (imageFactsColumns), when they are whole.
    static std::optional<ChatImage> imageAt(sqlite3_stmt* statement, int first, bool withFacts = false);
    static std::optional<ChatImage::Facts> factsAt(sqlite3_stmt* statement, int first);
    // ChatImage::Facts::pixelHash as stored: 8 bytes, little-endian.
    static QByteArray pixelHashBytes(uint64_t hash);
    static bool stepRow(sqlite3_stmt* statement);
    // SQLite's message for the connection's last failure.
    static QString errorText(sqlite3* db);
    // sqlite3_step of a statement prepared here, noting the code of a
    // failure for writeFault(): the connection's own code is gone once
    // another statement is finalized.
    int step(sqlite3_stmt* statement) const;

    static int64_t now();

    // Deleted chats leave their pages free inside the file, and their images
    // make those many: once a write leaves at least this much free, the
    // file gives it back to the disk (SQLite's incremental vacuum).
    static constexpr int64_t freedBytesReleased = 8LL << 20;
    // A file made before kept no map of its pages and must be rewritten
    // whole (VACUUM) once to give space back. That is done at an open, only
    // for a file whose pages in use take at most this much (a second or two
    // at most), and only with room on the disk for two more copies of them;
    // a larger file keeps its size, and is switched at the first open after
    // deletes bring it below.
    static constexpr int64_t largestFileRewrittenAtOpen = 128LL << 20;

    // The schema script, run on every open; it only creates what is missing.
    static const char* const schemaScript;
    // The search index, its pending list and the triggers that keep them in
    // step; also run on every open after the schema script.
    static const char* const searchScript;

    // The folding that search compares: each character replaced by its simple
    // case folding (QChar::toCaseFolded), as UTF-8.
    static QByteArray foldedUtf8(const QString& text);

signals:
    void openChanged(bool open);
    void writesFailingChanged(bool failing);
    void someChatsHiddenChanged(bool hidden);
    // The folded copy read on the database's own thread is in: searches may
    // answer otherwise now.
    void searchRenewed();

private:
    // What a new connection must be to be taken: anything (none is open),
    // writable (the open one is read-only), or at least showing the chats
    // that the open one hides.
    enum class Accept { any, writable, showingWal };
    bool open(int busyTimeoutMs, Accept accept);
    sqlite3* openForReading(int busyMs, int* rc, QString* error, std::unique_ptr<QTemporaryDir>* copy,
                            std::optional<FileIdentity>* uncopiedWal) const;
    sqlite3* readThroughCopy(int busyMs, int* rc, QString* error, std::unique_ptr<QTemporaryDir>* copy) const;
    bool runTransaction(const std::function<bool()>& body);
    static WriteFault faultOf(int rc);
    void noteWrite(bool succeeded);
    bool createSchema();
    // A PRAGMA's number, or -1 when it cannot be read.
    int64_t pragmaNumber(const char* pragma) const;
    void switchToIncrementalVacuum();
    void releaseFreedSpace();
    bool readableSchema();
    bool addMissingColumns();
    // The facts of `images` that have them, into their rows; inside a
    // transaction.
    bool writeImageFacts(int64_t messageId, const QList<ChatImage>& images);
    bool indexPending();
    bool execScript(const char* sql);
    // Runs one statement; `insertedRow` takes the new row's id, `changed`
    // the rows it changed.
    bool step(const QString& sql, const QList<Value>& values, int64_t* insertedRow, int64_t* changed = nullptr);
    bool catchUp();
    bool loadFoldedCopy();
    // The chats of the messages the index finds holding `folded`; nothing
    // when the index cannot be read. With a limit of zero or more, at most
    // that many messages are looked at: reaching it sets `tooMany`.
    std::optional<QSet<int64_t>> indexedChats(const QByteArray& folded, qsizetype limit, bool* tooMany);
    QSet<int64_t> scanMessages(const QString& query);
    // The search of `folded` through the copy, left to the caller.
    MessageSearch scanOfCopy(const QByteArray& folded) const;
    static MessageSearch answered(QSet<int64_t> chats);
    void logError(const char* format) const;

    // The indexed text of every message, in memory and grouped by chat, for
    // the queries the index answers slowly or not at all. Kept in step with
    // what this connection indexes (applied once its transaction commits);
    // read again when another connection has committed (data_version).
    struct FoldedCopy {
        using Chat = FoldedChat;
        bool loaded = false;
        int64_t dataVersion = -1;
        std::array<int64_t, 256> byteCounts{}; // how often each byte occurs, as loaded and added
        qsizetype textBytes = 0;               // the length of every chat's text together
        QHash<int64_t, Chat> chats;            // chat id → its messages
        QHash<int64_t, int64_t> chatOfMessage; // message id → chat id
    };
    // A message the index took in (text) or dropped (no chat).
    struct IndexedChange {
        int64_t id = 0;
        std::optional<int64_t> chatId;
        QByteArray text;
    };
    void applyToCopy(const QList<IndexedChange>& changes);
    // Reads the whole copy through `handle`; false when it cannot be read
    // whole. Any thread, one connection each.
    static bool readFoldedCopy(sqlite3* handle, FoldedCopy* copy);
    // Starts reading the copy again on the copy's thread, for `version`.
    void renewCopy(int64_t version);
    void takeRenewedCopy(std::shared_ptr<FoldedCopy> copy);

    QString m_path;
    int m_busyTimeoutMs = defaultBusyTimeoutMs;
    int m_reopenIntervalMs = defaultReopenIntervalMs;
    QElapsedTimer m_lastOpenTry;
    sqlite3* m_db = nullptr;
    bool m_readOnly = false;
    bool m_waitsForSpace = false;
    bool m_keepsImages = false;
    bool m_keepsImageFacts = false;
    bool m_writesFailing = false;
    WriteFault m_writeFault = WriteFault::none;
    // SQLite's code for the last open that failed.
    int m_openError = 0;
    // SQLite's code for the last statement that failed.
    mutable int m_lastFailure = 0;
    // The temporary folder holding the private copy the connection reads,
    // when it reads one; removed with it.
    std::unique_ptr<QTemporaryDir> m_privateCopy;
    int m_transactionDepth = 0;
    bool m_openFailureLogged = false;
    bool m_closed = false;
    bool m_someChatsHidden = false;
    // The -wal as it was when no copy of it could be made; the copy is tried
    // again only once it differs.
    std::optional<FileIdentity> m_uncopiedWal;
    FoldedCopy m_copy;
    QList<IndexedChange> m_uncommitted;
    // The copy read again on a thread of its own: whether there is a copy it
    // replaces and its version, the version it is read for, and what this
    // connection indexed meanwhile, which the read may lack.
    struct CopyRenewal {
        bool stale = false;
        int64_t staleVersion = -1;
        int64_t version = -1;
        QList<IndexedChange> changes;
    };
    std::optional<CopyRenewal> m_renewal;
    std::unique_ptr<SerialQueue> m_copyReader;
    std::function<void()> m_copyReadHook;
};

} // namespace cvn
