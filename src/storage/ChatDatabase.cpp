#include "storage/ChatDatabase.h"

#include "platform/AppPaths.h"
#include "platform/Logging.h"

#include <QDateTime>
#include <QByteArrayView>
#include <QFile>

#include <algorithm>

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

namespace {

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

ChatDatabase::ChatDatabase(const QString& path)
    : m_path(path)
{
    open();
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

void ChatDatabase::open()
{
    if (m_path.isEmpty())
        return;
    sqlite3* handle = nullptr;
    int rc = sqlite3_open_v2(QFile::encodeName(m_path).constData(), &handle,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc == SQLITE_OK) {
        // A second instance of the app may hold the file for a moment.
        sqlite3_busy_timeout(handle, 2000);
        // Opening only checks that a file exists; reading the schema is the
        // first look at its contents. A file that is not a database fails
        // here, before any statement could write to it.
        rc = sqlite3_exec(handle, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) {
        qCWarning(lcChatDatabase).noquote()
            << QStringLiteral("could not open %1").arg(m_path)
            << (handle ? errorText(handle) : QString());
        sqlite3_close_v2(handle);
        return;
    }
    m_db = handle;
    exec(QStringLiteral("PRAGMA foreign_keys = ON;"));
    exec(QString::fromUtf8(schemaScript));
    addMissingColumns();
}

bool ChatDatabase::addMissingColumns()
{
    QList<const SchemaColumn*> missing;
    QString table;
    QSet<QString> present;
    for (const SchemaColumn& column : schemaColumns) {
        if (table != QLatin1String(column.table)) {
            table = QLatin1String(column.table);
            present.clear();
            Statement statement = prepare(QStringLiteral("SELECT name FROM pragma_table_info(?)"), {table});
            if (!statement)
                return false;
            while (stepRow(statement.get()))
                present.insert(textColumn(statement.get(), 0));
            if (present.isEmpty())
                return false; // the table itself is missing; the script has logged why
        }
        if (!present.contains(QLatin1String(column.name)))
            missing.append(&column);
    }
    if (missing.isEmpty())
        return true;
    const bool added = transaction([&] {
        for (const SchemaColumn* column : missing) {
            if (!exec(QString::fromUtf8(column->addStatement)))
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
    const Statement statement = prepare(sql, values);
    if (!statement)
        return false;
    if (sqlite3_step(statement.get()) != SQLITE_DONE) {
        logError("step failed: %1");
        return false;
    }
    return true;
}

int64_t ChatDatabase::insert(const QString& sql, const QList<Value>& values)
{
    // sqlite3_last_insert_rowid keeps the id of the last insert that worked,
    // possibly into another table; only a statement that ran and changed a
    // row has an id of its own.
    if (!run(sql, values) || sqlite3_changes64(m_db) < 1)
        return 0;
    return sqlite3_last_insert_rowid(m_db);
}

bool ChatDatabase::exec(const QString& sql)
{
    if (!m_db)
        return false;
    if (sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        logError("exec failed: %1");
        return false;
    }
    return true;
}

bool ChatDatabase::transaction(const std::function<bool()>& body)
{
    if (!m_db)
        return false;
    if (m_transactionDepth > 0)
        return body();
    // IMMEDIATE takes the write lock first, so a second process makes the
    // whole transaction wait (busy timeout) instead of failing halfway.
    if (!exec(QStringLiteral("BEGIN IMMEDIATE")))
        return false;
    ++m_transactionDepth;
    const bool ok = body();
    --m_transactionDepth;
    if (ok && exec(QStringLiteral("COMMIT")))
        return true;
    if (!sqlite3_get_autocommit(m_db))
        exec(QStringLiteral("ROLLBACK"));
    return false;
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
    return QString::fromUtf8(text, sqlite3_column_bytes(statement, column));
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

QSet<int64_t> ChatDatabase::searchMessages(const QString& query) const
{
    QSet<int64_t> hits;
    // QString::contains answers true for an empty needle.
    if (query.isEmpty())
        return hits;
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
        if (!isNull(s, 5))
            row.reasoningDurationMs = integerColumn(s, 5);
        rows.append(std::move(row));
    }
    return rows;
}

} // namespace cvn
