#include "storage/ChatDatabase.h"

#include "platform/AppPaths.h"
#include "platform/Logging.h"
#include "platform/Utf8Decoder.h"

#include <QDateTime>
#include <QByteArrayView>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <cstring>

#include <sqlite3.h>

namespace cvn {

const char* const ChatDatabase::schemaScript =
    "CREATE TABLE IF NOT EXISTS chats(\n"
    "    id INTEGER PRIMARY KEY,\n"
    "    title TEXT,\n"
    "    model_id TEXT,\n"
    "    created_at INTEGER,\n"
    "    updated_at INTEGER,\n"
    "    pinned INTEGER NOT NULL DEFAULT 0,\n"
    "    is_council INTEGER NOT NULL DEFAULT 0,\n"
    "    council_on INTEGER NOT NULL DEFAULT 0\n"
    ");\n"
    "CREATE TABLE IF NOT EXISTS messages(\n"
    "    id INTEGER PRIMARY KEY,\n"
    "    chat_id INTEGER,\n"
    "    role TEXT CHECK(role IN ('user','assistant')),\n"
    "    content TEXT,\n"
    "    model_name TEXT,\n"
    "    created_at INTEGER,\n"
    "    reasoning TEXT,\n"
    "    reasoning_ms INTEGER,\n"
    "    FOREIGN KEY(chat_id) REFERENCES chats(id) ON DELETE CASCADE\n"
    ");\n"
    "CREATE INDEX IF NOT EXISTS idx_messages_chat ON messages(chat_id);";

// The index holds text already folded by foldedUtf8, so the tokenizer keeps
// case as it is: its own folding follows an older Unicode than Qt's.
const char* const ChatDatabase::searchScript =
    "CREATE VIRTUAL TABLE IF NOT EXISTS message_search USING fts5(folded, tokenize='trigram case_sensitive 1');\n"
    "CREATE TABLE IF NOT EXISTS message_search_pending(id INTEGER PRIMARY KEY);\n"
    "CREATE TRIGGER IF NOT EXISTS message_search_insert AFTER INSERT ON messages BEGIN\n"
    "    INSERT OR IGNORE INTO message_search_pending(id) VALUES(new.id);\n"
    "END;\n"
    "CREATE TRIGGER IF NOT EXISTS message_search_update AFTER UPDATE OF id, chat_id, content ON messages BEGIN\n"
    "    INSERT OR IGNORE INTO message_search_pending(id) VALUES(old.id);\n"
    "    INSERT OR IGNORE INTO message_search_pending(id) VALUES(new.id);\n"
    "END;\n"
    "CREATE TRIGGER IF NOT EXISTS message_search_delete AFTER DELETE ON messages BEGIN\n"
    "    DELETE FROM message_search WHERE rowid = old.id;\n"
    "    INSERT OR IGNORE INTO message_search_pending(id) VALUES(old.id);\n"
    "END;";

namespace {

// Every object the two scripts create.
const QStringList schemaObjects = {
    QStringLiteral("chats"), QStringLiteral("messages"), QStringLiteral("idx_messages_chat"),
    QStringLiteral("message_search"), QStringLiteral("message_search_pending"),
    QStringLiteral("message_search_insert"), QStringLiteral("message_search_update"),
    QStringLiteral("message_search_delete")};

const QString listQuery = QStringLiteral(
    "SELECT c.id, c.title, c.model_id, c.created_at, c.updated_at, c.pinned, c.is_council,\n"
    "    (SELECT COUNT(*) FROM messages m WHERE m.chat_id = c.id\n"
    "        AND (m.reasoning IS NOT NULL OR m.content LIKE '%<think>%'\n"
    "             OR m.content LIKE '%</think>%')) AS has_reasoning\n"
    "FROM chats c ORDER BY c.pinned DESC, c.updated_at DESC");

const QString messagesQuery = QStringLiteral(
    "SELECT id, role, content, model_name, reasoning, reasoning_ms\n"
    "FROM messages WHERE chat_id=? ORDER BY id ASC");

// Every column of the schema but the row ids, with the declaration an older
// file gets when the column is missing: the schema's own type, constraint and
// default. (ALTER TABLE cannot add a key column, and every file has one.)
struct SchemaColumn {
    const char* table;
    const char* name;
    const char* addStatement;
};

constexpr SchemaColumn schemaColumns[] = {
    {"chats", "title", "ALTER TABLE chats ADD COLUMN title TEXT"},
    {"chats", "model_id", "ALTER TABLE chats ADD COLUMN model_id TEXT"},
    {"chats", "created_at", "ALTER TABLE chats ADD COLUMN created_at INTEGER"},
    {"chats", "updated_at", "ALTER TABLE chats ADD COLUMN updated_at INTEGER"},
    {"chats", "pinned", "ALTER TABLE chats ADD COLUMN pinned INTEGER NOT NULL DEFAULT 0"},
    {"chats", "is_council", "ALTER TABLE chats ADD COLUMN is_council INTEGER NOT NULL DEFAULT 0"},
    {"chats", "council_on", "ALTER TABLE chats ADD COLUMN council_on INTEGER NOT NULL DEFAULT 0"},
    {"messages", "chat_id",
     "ALTER TABLE messages ADD COLUMN chat_id INTEGER REFERENCES chats(id) ON DELETE CASCADE"},
    {"messages", "role", "ALTER TABLE messages ADD COLUMN role TEXT CHECK(role IN ('user','assistant'))"},
    {"messages", "content", "ALTER TABLE messages ADD COLUMN content TEXT"},
    {"messages", "model_name", "ALTER TABLE messages ADD COLUMN model_name TEXT"},
    {"messages", "created_at", "ALTER TABLE messages ADD COLUMN created_at INTEGER"},
    {"messages", "reasoning", "ALTER TABLE messages ADD COLUMN reasoning TEXT"},
    {"messages", "reasoning_ms", "ALTER TABLE messages ADD COLUMN reasoning_ms INTEGER"},
};

// The schema's columns that the file lacks; `readable` false when a table
// could not be read at all.
QList<const SchemaColumn*> missingColumns(const ChatDatabase& db, bool* readable)
{
    QList<const SchemaColumn*> missing;
    QString table;
    QSet<QString> present;
    *readable = false;
    for (const SchemaColumn& column : schemaColumns) {
        if (table != QLatin1String(column.table)) {
            table = QLatin1String(column.table);
            present.clear();
            const ChatDatabase::Statement statement =
                db.prepare(QStringLiteral("SELECT name FROM pragma_table_info(?)"), {table});
            if (!statement)
                return {};
            while (ChatDatabase::stepRow(statement.get()))
                present.insert(ChatDatabase::textColumn(statement.get(), 0));
            if (present.isEmpty())
                return {};
        }
        if (!present.contains(QLatin1String(column.name)))
            missing.append(&column);
    }
    *readable = true;
    return missing;
}

QString errorText(sqlite3* db)
{
    return QString::fromUtf8(sqlite3_errmsg(db));
}

// The UTF-8 of every character beyond ASCII whose case folding lies in
// ASCII (KELVIN SIGN folds to "k", LONG S to "s"): the only way a text with
// other characters beyond ASCII can match an ASCII query through them.
const QList<QByteArray>& foldsIntoAscii()
{
    static const QList<QByteArray> sequences = [] {
        QList<QByteArray> found;
        for (char32_t c = 0x80; c <= 0x10FFFF; ++c) {
            if (QChar::toCaseFolded(c) < 0x80)
                found.append(QString::fromUcs4(&c, 1).toUtf8());
        }
        return found;
    }();
    return sequences;
}

// Whether message text contains a query, ignoring case the way
// QString::contains(query, Qt::CaseInsensitive) does (simple case folding of
// each character). A query that folds to ASCII is looked for in the UTF-8
// bytes directly, which spares converting every message; the text is
// converted only when it holds a character that folds into ASCII.
class ContentMatcher {
public:
    explicit ContentMatcher(const QString& query)
        : m_query(query)
    {
        for (const char32_t c : query.toUcs4()) {
            const char32_t folded = QChar::toCaseFolded(c);
            if (folded >= 0x80) {
                m_ascii.clear();
                return;
            }
            m_ascii.append(char(folded));
        }
    }

    bool matches(const char* text, qsizetype size) const
    {
        if (m_ascii.isEmpty())
            return QString::fromUtf8(text, size).contains(m_query, Qt::CaseInsensitive);
        const auto* bytes = reinterpret_cast<const unsigned char*>(text);
        const auto* needle = reinterpret_cast<const unsigned char*>(m_ascii.constData());
        const qsizetype length = m_ascii.size();
        bool beyondAscii = false;
        for (qsizetype i = 0; i + length <= size; ++i) {
            if (lower(bytes[i]) != needle[0]) {
                beyondAscii = beyondAscii || bytes[i] >= 0x80;
                continue;
            }
            qsizetype j = 1;
            while (j < length && lower(bytes[i + j]) == needle[j])
                ++j;
            if (j == length)
                return true;
        }
        for (qsizetype i = std::max<qsizetype>(0, size - length + 1); i < size && !beyondAscii; ++i)
            beyondAscii = bytes[i] >= 0x80;
        if (!beyondAscii)
            return false;
        const QByteArrayView view(text, size);
        for (const QByteArray& sequence : foldsIntoAscii()) {
            if (view.contains(sequence))
                return QString::fromUtf8(text, size).contains(m_query, Qt::CaseInsensitive);
        }
        return false;
    }

private:
    static unsigned char lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

    QString m_query;
    QByteArray m_ascii; // the folded query when it is all ASCII
};

} // namespace

void ChatDatabase::StatementDeleter::operator()(sqlite3_stmt* statement) const
{
    sqlite3_finalize(statement);
}

ChatDatabase::ChatDatabase(const QString& path, int busyTimeoutMs)
    : m_path(path)
    , m_busyTimeoutMs(busyTimeoutMs)
{
    if (!m_path.isEmpty())
        open(m_busyTimeoutMs);
}

ChatDatabase::~ChatDatabase()
{
    sqlite3_close_v2(m_db);
}

ChatDatabase& ChatDatabase::shared()
{
    // Never destroyed: the chat list and history hold it until the process
    // ends, and every write is already durable when its statement returns.
    static ChatDatabase* const instance = new ChatDatabase(defaultPath());
    return *instance;
}

QString ChatDatabase::defaultPath()
{
    return appDataFolder() + QStringLiteral("/chats.db");
}

int64_t ChatDatabase::now()
{
    return QDateTime::currentSecsSinceEpoch();
}

bool ChatDatabase::reopen()
{
    if (m_db)
        return true;
    if (m_path.isEmpty() || !open(0))
        return false;
    emit openChanged(true);
    return true;
}

namespace {

// A connection to `name` with `flags` whose schema could be read: reading it
// is the first look at the file's contents (opening only checks that a file
// exists), so a file that is not a database fails here, before any statement
// could write to it. Null on failure, with SQLite's code and message.
sqlite3* connectTo(const QByteArray& name, int flags, int busyMs, int* rc, QString* error)
{
    sqlite3* handle = nullptr;
    *rc = sqlite3_open_v2(name.constData(), &handle, flags, nullptr);
    if (*rc == SQLITE_OK) {
        // A second instance of the app may hold the file for a moment.
        sqlite3_busy_timeout(handle, busyMs);
        *rc = sqlite3_exec(handle, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    }
    if (*rc == SQLITE_OK)
        return handle;
    *error = handle ? errorText(handle) : QString();
    sqlite3_close_v2(handle);
    return nullptr;
}

// The failures of a read-write open that a file we may only read gives: a
// write-protected file or folder, or a WAL file whose -shm cannot be made.
// A lock held by another process is none of them.
bool mayOnlyRead(int rc)
{
    const int primary = rc & 0xff;
    return primary == SQLITE_CANTOPEN || primary == SQLITE_READONLY || primary == SQLITE_PERM;
}

} // namespace

bool ChatDatabase::open(int busyMs)
{
    int rc = SQLITE_OK;
    QString error;
    bool readOnly = false;
    sqlite3* handle = connectTo(QFile::encodeName(m_path), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, busyMs,
                                &rc, &error);
    if (handle) {
        // SQLite opens a write-protected file for reading without a word.
        readOnly = sqlite3_db_readonly(handle, "main") == 1;
    } else if (mayOnlyRead(rc) && QFileInfo::exists(m_path)) {
        // The chats stay readable and searchable from a file or folder we
        // may not write. A WAL file in a folder that cannot hold its -wal and
        // -shm files is read only as immutable: nobody can write it there.
        const QByteArray uri = QUrl::fromLocalFile(m_path).toEncoded();
        QString readError;
        handle = connectTo(uri, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, busyMs, &rc, &readError);
        if (!handle && mayOnlyRead(rc))
            handle = connectTo(uri + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, busyMs, &rc, &readError);
        readOnly = handle != nullptr;
    }
    if (handle) {
        m_db = handle;
        m_readOnly = readOnly;
        if (execScript("PRAGMA foreign_keys = ON;") && (readOnly ? readableSchema() : createSchema())) {
            if (readOnly) {
                qCWarning(lcChatDatabase).noquote()
                    << QStringLiteral("opened %1 read-only: nothing is saved").arg(m_path);
                m_openFailureLogged = false;
                return true;
            }
            // Readers then never block a writer nor a writer a reader, and the
            // setting stays with the file. A file that cannot switch (a lock
            // held, a file system without shared memory) keeps working in its
            // old mode and is switched on a later open.
            const Statement mode = prepare(QStringLiteral("PRAGMA journal_mode = WAL"));
            if (!mode || !stepRow(mode.get()) || textColumn(mode.get(), 0) != QLatin1String("wal"))
                qCWarning(lcChatDatabase).noquote() << QStringLiteral("could not switch %1 to WAL").arg(m_path);
            sqlite3_busy_timeout(handle, m_busyTimeoutMs);
            m_openFailureLogged = false;
            return true;
        }
        error = errorText(handle);
        m_db = nullptr;
        m_readOnly = false;
        sqlite3_close_v2(handle);
    }
    // A retry runs on every write while the file stays unavailable: one line
    // in the log for the whole stretch.
    if (!m_openFailureLogged)
        qCWarning(lcChatDatabase).noquote() << QStringLiteral("could not open %1").arg(m_path) << error;
    m_openFailureLogged = true;
    return false;
}

bool ChatDatabase::readableSchema()
{
    // Nothing can be created in a file we may only read: it serves when the
    // chat list and the messages read as they are. Search reads every
    // message when the index is missing or behind.
    bool readable = false;
    return missingColumns(*this, &readable).isEmpty() && readable;
}

bool ChatDatabase::createSchema()
{
    // Most opens find everything in place and need no write lock, which a
    // read-only file or another process's write would refuse.
    QSet<QString> present;
    {
        const Statement names = prepare(QStringLiteral("SELECT name FROM sqlite_master"));
        if (!names)
            return false;
        while (stepRow(names.get()))
            present.insert(textColumn(names.get(), 0));
    }
    const bool indexed = present.contains(QStringLiteral("message_search"));
    bool complete = true;
    for (const QString& name : schemaObjects)
        complete = complete && present.contains(name);
    bool readable = false;
    if (complete && missingColumns(*this, &readable).isEmpty() && readable)
        return true;
    // One transaction, so that instances creating a new file at the same
    // moment wait for each other instead of each finding half a schema.
    return transaction([&] {
        if (!execScript(schemaScript) || !addMissingColumns() || !execScript(searchScript))
            return false;
        // An older file's messages are indexed before the commit.
        return indexed || execScript("INSERT OR IGNORE INTO message_search_pending(id) SELECT id FROM messages");
    });
}

bool ChatDatabase::addMissingColumns()
{
    bool readable = false;
    const QList<const SchemaColumn*> missing = missingColumns(*this, &readable);
    if (!readable)
        return false; // a table itself is missing; the script has logged why
    if (missing.isEmpty())
        return true;
    const bool added = transaction([&] {
        for (const SchemaColumn* column : missing) {
            if (!execScript(column->addStatement))
                return false;
        }
        return true;
    });
    for (const SchemaColumn* column : missing) {
        qCWarning(lcChatDatabase).noquote()
            << (added ? QStringLiteral("added missing column %1.%2")
                      : QStringLiteral("could not add missing column %1.%2"))
                   .arg(QLatin1String(column->table), QLatin1String(column->name));
    }
    return added;
}

void ChatDatabase::logError(const char* format) const
{
    qCWarning(lcChatDatabase).noquote() << QString::fromUtf8(format).arg(errorText(m_db));
}

ChatDatabase::Statement ChatDatabase::prepare(const QString& sql, const QList<Value>& values) const
{
    if (!m_db)
        return {};
    const QByteArray text = sql.toUtf8();
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(m_db, text.constData(), int(text.size()), &raw, nullptr) != SQLITE_OK) {
        logError("prepare failed: %1");
        sqlite3_finalize(raw);
        return {};
    }
    Statement statement(raw);
    if (!statement)
        return {}; // blank SQL: nothing to run
    int index = 1;
    for (const Value& value : values) {
        int rc = SQLITE_OK;
        switch (value.kind()) {
        case Value::Kind::integer:
            rc = sqlite3_bind_int64(raw, index, value.integer());
            break;
        case Value::Kind::text: {
            const QByteArray utf8 = value.text().toUtf8();
            rc = sqlite3_bind_text64(raw, index, utf8.constData(), sqlite3_uint64(utf8.size()),
                                     SQLITE_TRANSIENT, SQLITE_UTF8);
            break;
        }
        case Value::Kind::null:
            rc = sqlite3_bind_null(raw, index);
            break;
        }
        // A value that cannot be bound would leave its parameter NULL and
        // write a row other than the one asked for.
        if (rc != SQLITE_OK) {
            logError("bind failed: %1");
            return {};
        }
        ++index;
    }
    return statement;
}

bool ChatDatabase::run(const QString& sql, const QList<Value>& values)
{
    return step(sql, values, nullptr);
}

int64_t ChatDatabase::insert(const QString& sql, const QList<Value>& values)
{
    int64_t row = 0;
    return step(sql, values, &row) ? row : 0;
}

bool ChatDatabase::step(const QString& sql, const QList<Value>& values, int64_t* insertedRow)
{
    if (!reopen())
        return false;
    const Statement statement = prepare(sql, values);
    if (!statement)
        return false;
    const auto once = [&] {
        if (sqlite3_step(statement.get()) != SQLITE_DONE) {
            logError("step failed: %1");
            return false;
        }
        // sqlite3_last_insert_rowid keeps the id of the last insert that
        // worked, possibly into another table (the index, at the commit);
        // only a statement that ran and changed a row has an id of its own.
        if (insertedRow)
            *insertedRow = sqlite3_changes64(m_db) > 0 ? sqlite3_last_insert_rowid(m_db) : 0;
        return true;
    };
    // A lone write is a transaction of its own too, so that it waits for the
    // write lock and the messages it adds are indexed before its commit.
    if (sqlite3_stmt_readonly(statement.get()) || m_transactionDepth > 0)
        return once();
    return transaction(once);
}

bool ChatDatabase::exec(const QString& sql)
{
    return reopen() && execScript(sql.toUtf8().constData());
}

bool ChatDatabase::execScript(const char* sql)
{
    if (!m_db)
        return false;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        logError("exec failed: %1");
        return false;
    }
    return true;
}

bool ChatDatabase::transaction(const std::function<bool()>& body)
{
    if (!reopen())
        return false;
    if (m_transactionDepth > 0)
        return body();
    // Said once, at the open: asking SQLite would log each refusal.
    if (m_readOnly)
        return false;
    // IMMEDIATE takes the write lock first, so a second process makes the
    // whole transaction wait (busy timeout) instead of failing halfway: a
    // read lock upgraded later fails at once, without waiting.
    if (!execScript("BEGIN IMMEDIATE"))
        return false;
    m_uncommitted.clear();
    ++m_transactionDepth;
    bool ok = body();
    --m_transactionDepth;
    if (ok) {
        // An index that cannot be brought up to date never costs the write:
        // the messages stay pending and search reads them directly.
        indexPending();
        ok = execScript("COMMIT");
    }
    if (ok) {
        applyToCopy(m_uncommitted);
        m_uncommitted.clear();
        return true;
    }
    m_uncommitted.clear();
    if (!sqlite3_get_autocommit(m_db))
        execScript("ROLLBACK");
    return false;
}

bool ChatDatabase::indexPending()
{
    // Batches, so that indexing a large older file never holds all of its
    // text in memory at once.
    static const char* const batchSql =
        "SELECT p.id, m.id IS NOT NULL, m.chat_id, m.content FROM message_search_pending p\n"
        "LEFT JOIN messages m ON m.id = p.id ORDER BY p.id LIMIT 500";
    if (!execScript("SAVEPOINT search_index"))
        return false;
    const qsizetype staged = m_uncommitted.size();
    const Statement batch = prepare(QString::fromUtf8(batchSql));
    const Statement remove = prepare(QStringLiteral("DELETE FROM message_search WHERE rowid = ?"));
    const Statement add = prepare(QStringLiteral("INSERT INTO message_search(rowid, folded) VALUES(?, ?)"));
    const Statement done = prepare(QStringLiteral("DELETE FROM message_search_pending WHERE id <= ?"));
    bool ok = batch && remove && add && done;
    while (ok) {
        QList<IndexedChange> rows;
        sqlite3_reset(batch.get());
        while (stepRow(batch.get())) {
            IndexedChange row;
            row.id = integerColumn(batch.get(), 0);
            if (integerColumn(batch.get(), 1) != 0) {
                row.chatId = integerColumn(batch.get(), 2);
                if (!isNull(batch.get(), 3))
                    row.text = foldedUtf8(textColumn(batch.get(), 3));
                // The tokenizer stops at U+0000; it stands in the index as
                // U+FFFD, which no query that reaches the index holds.
                row.text.replace(QByteArrayView("\0", 1), QByteArrayView("\xEF\xBF\xBD"));
            }
            rows.append(std::move(row));
        }
        sqlite3_reset(batch.get());
        if (rows.isEmpty())
            break;
        for (const IndexedChange& row : std::as_const(rows)) {
            sqlite3_reset(remove.get());
            sqlite3_bind_int64(remove.get(), 1, row.id);
            ok = ok && sqlite3_step(remove.get()) == SQLITE_DONE;
            if (!ok || !row.chatId)
                continue;
            sqlite3_reset(add.get());
            sqlite3_bind_int64(add.get(), 1, row.id);
            sqlite3_bind_text64(add.get(), 2, row.text.constData(), sqlite3_uint64(row.text.size()), SQLITE_STATIC,
                                SQLITE_UTF8);
            ok = sqlite3_step(add.get()) == SQLITE_DONE;
        }
        sqlite3_reset(done.get());
        sqlite3_bind_int64(done.get(), 1, rows.last().id);
        ok = ok && sqlite3_step(done.get()) == SQLITE_DONE;
        sqlite3_reset(add.get());
        sqlite3_reset(remove.get());
        sqlite3_reset(done.get());
        if (m_copy.loaded)
            m_uncommitted.append(std::move(rows));
    }
    if (!ok) {
        logError("could not index messages for search: %1");
        execScript("ROLLBACK TO search_index");
        m_uncommitted.resize(staged);
    }
    execScript("RELEASE search_index");
    return ok;
}

void ChatDatabase::applyToCopy(const QList<IndexedChange>& changes)
{
    if (!m_copy.loaded)
        return;
    for (const IndexedChange& change : changes) {
        const auto old = m_copy.chatOfMessage.constFind(change.id);
        if (old != m_copy.chatOfMessage.cend()) {
            const auto chat = m_copy.chats.find(old.value());
            if (chat != m_copy.chats.end()) {
                chat->remove(change.id);
                if (chat->messages.isEmpty())
                    m_copy.chats.erase(chat);
            }
            m_copy.chatOfMessage.erase(old);
        }
        if (change.chatId) {
            for (const char byte : change.text)
                ++m_copy.byteCounts[uchar(byte)];
            m_copy.chats[*change.chatId].append(change.id, QByteArrayView(change.text));
            m_copy.chatOfMessage.insert(change.id, *change.chatId);
        }
    }
}

void ChatDatabase::FoldedCopy::Chat::append(int64_t id, QByteArrayView message)
{
    text.append(message).append('\0');
    messages.append({id, message.size()});
}

void ChatDatabase::FoldedCopy::Chat::remove(int64_t id)
{
    qsizetype offset = 0;
    for (qsizetype i = 0; i < messages.size(); ++i) {
        const qsizetype length = messages[i].second;
        if (messages[i].first == id) {
            text.remove(offset, length + 1);
            messages.removeAt(i);
            return;
        }
        offset += length + 1;
    }
}

QByteArray ChatDatabase::foldedUtf8(const QString& text)
{
    QString folded;
    folded.reserve(text.size());
    const qsizetype size = text.size();
    const QChar* units = text.constData();
    for (qsizetype i = 0; i < size; ++i) {
        char32_t c = units[i].unicode();
        if (c < 0x80) {
            folded.append(QChar(char16_t(c >= 'A' && c <= 'Z' ? c + 32 : c)));
            continue;
        }
        if (QChar::isHighSurrogate(c) && i + 1 < size && units[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(units[i].unicode(), units[i + 1].unicode());
            ++i;
        }
        const char32_t f = QChar::toCaseFolded(c);
        if (QChar::requiresSurrogates(f)) {
            folded.append(QChar(QChar::highSurrogate(f)));
            folded.append(QChar(QChar::lowSurrogate(f)));
        } else {
            folded.append(QChar(char16_t(f)));
        }
    }
    return folded.toUtf8();
}

bool ChatDatabase::isNull(sqlite3_stmt* statement, int column)
{
    return sqlite3_column_type(statement, column) == SQLITE_NULL;
}

int64_t ChatDatabase::integerColumn(sqlite3_stmt* statement, int column)
{
    return sqlite3_column_int64(statement, column);
}

QString ChatDatabase::textColumn(sqlite3_stmt* statement, int column)
{
    // The pointer first, then its length, as SQLite asks.
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    if (!text)
        return QString();
    // Not QString::fromUtf8: it takes a leading U+FEFF for a byte-order mark
    // and drops it from the stored text.
    return Utf8Decoder::decode(std::string_view(text, size_t(sqlite3_column_bytes(statement, column))));
}

bool ChatDatabase::stepRow(sqlite3_stmt* statement)
{
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW)
        return true;
    if (rc != SQLITE_DONE) {
        qCWarning(lcChatDatabase).noquote()
            << QStringLiteral("step failed: %1").arg(errorText(sqlite3_db_handle(statement)));
    }
    return false;
}

QList<ChatDatabase::ChatRecord> ChatDatabase::listChats() const
{
    QList<ChatRecord> chats;
    const Statement statement = prepare(listQuery);
    if (!statement)
        return chats;
    sqlite3_stmt* s = statement.get();
    while (stepRow(s)) {
        ChatRecord chat;
        chat.id = integerColumn(s, 0);
        chat.title = textColumn(s, 1);
        chat.modelId = textColumn(s, 2);
        chat.createdAt = integerColumn(s, 3);
        chat.updatedAt = integerColumn(s, 4);
        chat.isPinned = integerColumn(s, 5) != 0;
        chat.isCouncil = integerColumn(s, 6) != 0;
        chat.hasReasoning = integerColumn(s, 7) != 0;
        chats.append(std::move(chat));
    }
    return chats;
}

QSet<int64_t> ChatDatabase::searchMessages(const QString& query)
{
    if (query.isEmpty() || !m_db)
        return {}; // QString::contains answers true for an empty needle
    // The index and the folded copy cannot tell these from what stands
    // between messages, or from what the tokenizer reads U+FFFE and U+FFFF
    // as.
    qsizetype characters = 0;
    for (qsizetype i = 0; i < query.size(); ++i) {
        const char16_t c = query[i].unicode();
        if (c == 0 || c >= 0xFFFD)
            return scanMessages(query);
        if (QChar::isHighSurrogate(c) && i + 1 < query.size() && query[i + 1].isLowSurrogate())
            ++i;
        else if (QChar::isSurrogate(c))
            return scanMessages(query);
        ++characters;
    }
    // Messages another client wrote are indexed first; when that cannot
    // happen now (a lock held, a read-only file) every message is read.
    if (!catchUp() || !loadFoldedCopy())
        return scanMessages(query);
    const QByteArray folded = foldedUtf8(query);
    // A trigram index answers nothing shorter than three characters, and a
    // query that most messages hold is found sooner in the copy, where each
    // chat is read only up to its first match: the index is asked for a
    // limited number of messages and gives way when it reaches it.
    if (characters >= 3) {
        QByteArray phrase = folded;
        phrase.replace('"', "\"\"");
        const qsizetype limit = m_copy.chatOfMessage.size() / 16 + 64;
        const Statement statement =
            prepare(QStringLiteral("SELECT rowid FROM message_search WHERE message_search MATCH ? LIMIT ?"),
                    {QString::fromUtf8('"' + phrase + '"'), limit});
        if (!statement)
            return scanMessages(query);
        QList<int64_t> messages;
        sqlite3_stmt* s = statement.get();
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW)
            messages.append(integerColumn(s, 0));
        if (rc != SQLITE_DONE) {
            logError("search failed: %1");
            return scanMessages(query);
        }
        if (messages.size() < limit) {
            QSet<int64_t> hits;
            for (const int64_t id : std::as_const(messages)) {
                const auto chat = m_copy.chatOfMessage.constFind(id);
                if (chat == m_copy.chatOfMessage.cend())
                    return scanMessages(query); // never expected: the two are kept in step
                hits.insert(chat.value());
            }
            return hits;
        }
    }
    return scanFoldedCopy(folded);
}

bool ChatDatabase::catchUp()
{
    const auto pending = [&] {
        const Statement any = prepare(QStringLiteral("SELECT EXISTS(SELECT 1 FROM message_search_pending)"));
        return !any || !stepRow(any.get()) || integerColumn(any.get(), 0) != 0;
    };
    return !pending() || (transaction([] { return true; }) && !pending());
}

bool ChatDatabase::loadFoldedCopy()
{
    // Another connection's commits are not seen by this one's indexing: they
    // change data_version, and the copy is read again.
    const Statement versionQuery = prepare(QStringLiteral("PRAGMA data_version"));
    if (!versionQuery || !stepRow(versionQuery.get()))
        return false;
    const int64_t version = integerColumn(versionQuery.get(), 0);
    if (m_copy.loaded && m_copy.dataVersion == version)
        return true;
    m_copy = {};
    // The chat of each message from the chat index (small, and read whole),
    // then the folded text in order from the index's own table: the message
    // table, far larger, is never read.
    {
        const Statement chats = prepare(QStringLiteral("SELECT id, chat_id FROM messages"));
        if (!chats)
            return false;
        while (stepRow(chats.get()))
            m_copy.chatOfMessage.insert(integerColumn(chats.get(), 0), integerColumn(chats.get(), 1));
    }
    const Statement texts = prepare(QStringLiteral("SELECT id, c0 FROM message_search_content"));
    if (!texts)
        return false;
    sqlite3_stmt* s = texts.get();
    int rc = SQLITE_ROW;
    int64_t row = 0;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        const auto chat = m_copy.chatOfMessage.constFind(integerColumn(s, 0));
        if (chat == m_copy.chatOfMessage.cend())
            continue; // never expected: every indexed message exists
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
        const QByteArrayView view(text, text ? sqlite3_column_bytes(s, 1) : 0);
        // Which byte of a query is rarest needs only a sample.
        if (row++ % 8 == 0) {
            for (const char byte : view)
                ++m_copy.byteCounts[uchar(byte)];
        }
        m_copy.chats[chat.value()].append(chat.key(), view);
    }
    if (rc != SQLITE_DONE) {
        logError("step failed: %1");
        m_copy = {};
        return false;
    }
    // Messages without a row in the index (none, once caught up) would be
    // searched by nothing.
    if (m_copy.chatOfMessage.size() != row) {
        m_copy = {};
        return false;
    }
    m_copy.loaded = true;
    m_copy.dataVersion = version;
    return true;
}

QSet<int64_t> ChatDatabase::scanFoldedCopy(const QByteArray& folded) const
{
    // Each chat is searched for the query's rarest byte with memchr, which
    // runs many bytes a cycle, and the query checked around each one found:
    // text that rarely holds the query is crossed at memchr's pace, and text
    // that often does stops at its first match.
    qsizetype pivot = 0;
    for (qsizetype i = 1; i < folded.size(); ++i) {
        if (m_copy.byteCounts[uchar(folded[i])] < m_copy.byteCounts[uchar(folded[pivot])])
            pivot = i;
    }
    const char pivotByte = folded[pivot];
    const auto contains = [&](const QByteArray& text) {
        const char* const end = text.constData() + text.size();
        for (const char* at = text.constData() + pivot; at < end; ++at) {
            at = static_cast<const char*>(std::memchr(at, pivotByte, size_t(end - at)));
            if (!at)
                return false;
            const char* const start = at - pivot;
            if (end - start >= folded.size() && std::memcmp(start, folded.constData(), size_t(folded.size())) == 0)
                return true;
        }
        return false;
    };
    QSet<int64_t> hits;
    for (auto chat = m_copy.chats.cbegin(); chat != m_copy.chats.cend(); ++chat) {
        if (contains(chat->text))
            hits.insert(chat.key());
    }
    return hits;
}

QSet<int64_t> ChatDatabase::scanMessages(const QString& query)
{
    QSet<int64_t> hits;
    const Statement statement = prepare(QStringLiteral("SELECT chat_id, content FROM messages"));
    if (!statement)
        return hits;
    const ContentMatcher matcher(query);
    sqlite3_stmt* s = statement.get();
    while (stepRow(s)) {
        const int64_t chatId = integerColumn(s, 0);
        if (hits.contains(chatId))
            continue;
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
        if (text && matcher.matches(text, sqlite3_column_bytes(s, 1)))
            hits.insert(chatId);
    }
    return hits;
}

int64_t ChatDatabase::insertChat(const QString& title, const QString& modelId)
{
    const int64_t time = now();
    return insert(QStringLiteral("INSERT INTO chats(title, model_id, created_at, updated_at) VALUES(?,?,?,?)"),
                  {title, modelId, time, time});
}

bool ChatDatabase::updateTitle(int64_t id, const QString& title)
{
    return run(QStringLiteral("UPDATE chats SET title=?, updated_at=? WHERE id=?"), {title, now(), id});
}

int64_t ChatDatabase::insertMessage(int64_t chatId, const QString& role, const QString& content,
                                    const Value& modelName, const Value& reasoning, const Value& reasoningMs)
{
    return insert(QStringLiteral("INSERT INTO messages(chat_id, role, content, model_name, reasoning, "
                                 "reasoning_ms, created_at) VALUES(?,?,?,?,?,?,?)"),
                  {chatId, role, content, modelName, reasoning, reasoningMs, now()});
}

bool ChatDatabase::councilOn(int64_t id) const
{
    const Statement statement = prepare(QStringLiteral("SELECT council_on FROM chats WHERE id=?"), {id});
    if (!statement || !stepRow(statement.get()))
        return false;
    return integerColumn(statement.get(), 0) != 0;
}

QList<ChatDatabase::MessageRecord> ChatDatabase::messages(int64_t chatId) const
{
    QList<MessageRecord> rows;
    const Statement statement = prepare(messagesQuery, {chatId});
    if (!statement)
        return rows;
    sqlite3_stmt* s = statement.get();
    while (stepRow(s)) {
        MessageRecord row;
        row.id = integerColumn(s, 0);
        row.role = isNull(s, 1) ? QStringLiteral("user") : textColumn(s, 1);
        row.content = textColumn(s, 2);
        row.modelName = textColumn(s, 3);
        if (!isNull(s, 4))
            row.reasoning = textColumn(s, 4);
        if (!isNull(s, 5)) {
            // A stored duration is only shown as "Thought for N seconds": a
            // negative one (or text, read as 0) counts as none, and anything
            // over a week is no real reasoning time, so it stops there.
            constexpr int64_t longestReasoningMs = int64_t(7) * 24 * 60 * 60 * 1000;
            row.reasoningDurationMs = std::clamp<int64_t>(integerColumn(s, 5), 0, longestReasoningMs);
        }
        rows.append(std::move(row));
    }
    return rows;
}

} // namespace cvn
