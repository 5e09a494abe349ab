#include "storage/ChatDatabase.h"

#include <QFile>
#include <QStringList>

#include <algorithm>

#include <sqlite3.h>

// Statements: preparing and binding, running one statement or a script,
// transactions, and the chat and message queries built on them.

namespace cvn {

namespace {

// The chats' columns and reasoning mark, for the whole list in its order
// or for some chats by id. Ties in pinned and updated_at are broken by id,
// so that the list has one order a chat read alone can be put back into.
const QString chatRows = QStringLiteral(
    "SELECT c.id, c.title, c.model_id, c.created_at, c.updated_at, c.pinned, c.is_council,\n"
    "    (SELECT COUNT(*) FROM messages m WHERE m.chat_id = c.id\n"
    "        AND (m.reasoning IS NOT NULL OR m.content LIKE '%<think>%'\n"
    "             OR m.content LIKE '%</think>%')) AS has_reasoning\n"
    "FROM chats c ");
const QString listQuery = chatRows + QStringLiteral("ORDER BY c.pinned DESC, c.updated_at DESC, c.id DESC");
const QString chatsByIdQuery = chatRows + QStringLiteral("WHERE c.id IN (%1)");

const QString messageColumns =
    QStringLiteral("m.id, m.role, m.content, m.model_name, m.reasoning, m.reasoning_ms, m.created_at");
// Each message once for every image it has (or once, with NULL for the
// image), with the image's name, bytes and facts after the message's columns.
QString messagesQuery(const ChatDatabase& db)
{
    return QStringLiteral("SELECT %1, i.name, i.data%4 FROM messages m%2 WHERE m.chat_id=? ORDER BY m.id ASC, %3")
        .arg(messageColumns, db.imageJoin(), ChatDatabase::imageOrder, db.imageFactsColumns());
}
// The chat's row beside each of its messages; a chat without messages
// gives one row whose message columns are NULL, and no row means no such
// chat. messages.id is never NULL otherwise.
QString chatQuery(const ChatDatabase& db)
{
    return QStringLiteral("SELECT c.created_at, c.title, c.is_council, c.pinned, %1, i.name, i.data%4\n"
                          "FROM chats c LEFT JOIN messages m ON m.chat_id = c.id%2\n"
                          "WHERE c.id=? AND ifnull(CAST(c.created_at AS INTEGER), 0)=? ORDER BY m.id ASC, %3")
        .arg(messageColumns, db.imageJoin(), ChatDatabase::imageOrder, db.imageFactsColumns());
}
const QString identityQuery = QStringLiteral("SELECT created_at, title, is_council, pinned FROM chats WHERE id=?");

// The row's chat identity from its first four columns.
ChatDatabase::ChatIdentity identityAt(sqlite3_stmt* s)
{
    using DB = ChatDatabase;
    return {DB::integerColumn(s, 0), DB::textColumn(s, 1), DB::integerColumn(s, 2) != 0, DB::integerColumn(s, 3) != 0};
}

// The message in the seven columns from `first` on.
ChatDatabase::MessageRecord messageAt(sqlite3_stmt* s, int first)
{
    using DB = ChatDatabase;
    DB::MessageRecord row;
    row.id = DB::integerColumn(s, first);
    row.role = DB::isNull(s, first + 1) ? QStringLiteral("user") : DB::textColumn(s, first + 1);
    row.content = DB::textColumn(s, first + 2);
    row.modelName = DB::textColumn(s, first + 3);
    if (!DB::isNull(s, first + 4))
        row.reasoning = DB::textColumn(s, first + 4);
    if (!DB::isNull(s, first + 5)) {
        // A stored duration is only shown as "Thought for N seconds": a
        // negative one (or text, read as 0) counts as none, and anything
        // over a week is no real reasoning time, so it stops there.
        constexpr int64_t longestReasoningMs = int64_t(7) * 24 * 60 * 60 * 1000;
        row.reasoningDurationMs = std::clamp<int64_t>(DB::integerColumn(s, first + 5), 0, longestReasoningMs);
    }
    row.createdAt = DB::integerColumn(s, first + 6);
    return row;
}

// The message of a messagesQuery or chatQuery row whose message columns
// start at `first`, or its next image when the row before was the message.
void appendMessageRow(QList<ChatDatabase::MessageRecord>& messages, sqlite3_stmt* s, int first)
{
    const int64_t id = ChatDatabase::integerColumn(s, first);
    if (messages.isEmpty() || messages.last().id != id)
        messages.append(messageAt(s, first));
    if (std::optional<ChatImage> image = ChatDatabase::imageAt(s, first + 7, true))
        messages.last().images.append(std::move(*image));
}

// Every row of a chatRows statement; not ok when there is no statement or
// the rows were cut short (a lock on a file not in WAL mode): the caller
// then keeps what it showed.
ChatDatabase::ChatList readChatRows(sqlite3_stmt* s)
{
    using DB = ChatDatabase;
    DB::ChatList list;
    if (!s)
        return list;
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        // The types before any reading converts the values. SQLite sorts a
        // NULL below every number, and another client's text, real or other
        // pin values by what the record no longer holds.
        const int updatedType = sqlite3_column_type(s, 4);
        const int pinnedType = sqlite3_column_type(s, 5);
        DB::ChatRecord chat;
        chat.id = DB::integerColumn(s, 0);
        chat.title = DB::textColumn(s, 1);
        chat.modelId = DB::textColumn(s, 2);
        chat.createdAt = DB::integerColumn(s, 3);
        chat.updatedAt = DB::integerColumn(s, 4);
        const int64_t pinned = DB::integerColumn(s, 5);
        chat.isPinned = pinned != 0;
        chat.isCouncil = DB::integerColumn(s, 6) != 0;
        chat.hasReasoning = DB::integerColumn(s, 7) > 0;
        if (updatedType == SQLITE_NULL)
            list.undated.insert(chat.id);
        if ((updatedType != SQLITE_INTEGER && updatedType != SQLITE_NULL) || pinnedType != SQLITE_INTEGER
            || (pinned != 0 && pinned != 1))
            list.plainOrder = false;
        list.chats.append(std::move(chat));
    }
    list.ok = rc == SQLITE_DONE;
    return list;
}

} // namespace

void ChatDatabase::StatementDeleter::operator()(sqlite3_stmt* statement) const
{
    sqlite3_finalize(statement);
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
        case Value::Kind::blob: {
            // Never a null pointer, which would bind NULL: an empty file is
            // an empty BLOB.
            static const char nothing = 0;
            const QByteArray& bytes = value.bytes();
            rc = sqlite3_bind_blob64(raw, index, bytes.isEmpty() ? &nothing : bytes.constData(),
                                     sqlite3_uint64(bytes.size()), SQLITE_TRANSIENT);
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

int64_t ChatDatabase::update(const QString& sql, const QList<Value>& values)
{
    int64_t changed = 0;
    return step(sql, values, nullptr, &changed) ? changed : -1;
}

int64_t ChatDatabase::insert(const QString& sql, const QList<Value>& values)
{
    int64_t row = 0;
    return step(sql, values, &row) ? row : 0;
}

bool ChatDatabase::step(const QString& sql, const QList<Value>& values, int64_t* insertedRow, int64_t* changed)
{
    if (!reopen()) {
        // Nothing can be read from a closed database either: what is run
        // here is a write that did not happen.
        if (m_transactionDepth == 0) {
            m_writeFault = faultOf(m_openError);
            noteWrite(false);
        }
        return false;
    }
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
        if (changed)
            *changed = sqlite3_changes64(m_db);
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
    if (m_transactionDepth > 0)
        return body();
    const bool committed = runTransaction(body);
    if (committed)
        m_writeFault = WriteFault::none;
    noteWrite(committed);
    if (committed)
        releaseFreedSpace();
    return committed;
}

bool ChatDatabase::probeWrites()
{
    return transaction([] { return true; });
}

ChatDatabase::WriteFault ChatDatabase::faultOf(int rc)
{
    switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_PROTOCOL: // a race for the WAL's locks, lost this time
        return WriteFault::locked;
    case SQLITE_FULL: return WriteFault::full;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return WriteFault::damaged;
    case SQLITE_READONLY:
    case SQLITE_PERM: return WriteFault::readOnly;
    case SQLITE_IOERR: return WriteFault::diskError;
    case SQLITE_CANTOPEN: return WriteFault::unavailable;
    default: return WriteFault::other;
    }
}

bool ChatDatabase::runTransaction(const std::function<bool()>& body)
{
    const WriteFault readOnlyFault = m_waitsForSpace ? WriteFault::full : WriteFault::readOnly;
    if (!reopen()) {
        m_writeFault = m_db ? readOnlyFault : faultOf(m_openError);
        return false;
    }
    // Said once, at the open: asking SQLite would log each refusal.
    if (m_readOnly) {
        m_writeFault = readOnlyFault;
        return false;
    }
    // IMMEDIATE takes the write lock first, so a second process makes the
    // whole transaction wait (busy timeout) instead of failing halfway: a
    // read lock upgraded later fails at once, without waiting.
    m_lastFailure = SQLITE_OK;
    if (!execScript("BEGIN IMMEDIATE")) {
        m_writeFault = faultOf(m_lastFailure);
        return false;
    }
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
    // The statement that failed noted its code (the connection's own code
    // is reset by every statement finalized since); a body that gave up
    // without one is "other".
    m_writeFault = faultOf(m_lastFailure);
    if (!sqlite3_get_autocommit(m_db))
        execScript("ROLLBACK");
    return false;
}

int ChatDatabase::step(sqlite3_stmt* statement) const
{
    const int rc = sqlite3_step(statement);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        m_lastFailure = sqlite3_extended_errcode(m_db);
    return rc;
}

ChatDatabase::ChatList ChatDatabase::readChatList() const
{
    const Statement statement = prepare(listQuery);
    ChatList list = readChatRows(statement.get());
    if (statement && !list.ok)
        logError("step failed: %1");
    return list;
}

ChatDatabase::ChatList ChatDatabase::readChats(const QSet<int64_t>& ids) const
{
    QList<Value> values;
    QStringList marks;
    for (const int64_t id : ids) {
        values.append(id);
        marks.append(QStringLiteral("?"));
    }
    if (ids.isEmpty())
        marks.append(QStringLiteral("NULL"));
    const Statement statement = prepare(chatsByIdQuery.arg(marks.join(QLatin1Char(','))), values);
    ChatList list = readChatRows(statement.get());
    if (statement && !list.ok)
        logError("step failed: %1");
    return list;
}

std::optional<QString> ChatDatabase::listFile() const
{
    if (!m_db || m_readOnly)
        return std::nullopt;
    return m_path;
}

ChatDatabase::ChatList ChatDatabase::readChatListAt(const QString& path)
{
    sqlite3* handle = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &handle, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(handle);
        return {};
    }
    // Off the main thread a writer's lock may be waited for.
    sqlite3_busy_timeout(handle, defaultBusyTimeoutMs);
    const QByteArray sql = listQuery.toUtf8();
    sqlite3_stmt* raw = nullptr;
    ChatList list;
    if (sqlite3_prepare_v2(handle, sql.constData(), int(sql.size()), &raw, nullptr) == SQLITE_OK) {
        const Statement statement(raw);
        list = readChatRows(statement.get());
    } else {
        sqlite3_finalize(raw);
    }
    sqlite3_close_v2(handle);
    return list;
}

std::optional<int64_t> ChatDatabase::dataVersion() const
{
    const Statement statement = prepare(QStringLiteral("PRAGMA data_version"));
    if (!statement || !stepRow(statement.get()))
        return std::nullopt;
    return integerColumn(statement.get(), 0);
}

bool ChatDatabase::readChatIdentity(int64_t id, std::optional<ChatIdentity>* identity) const
{
    const Statement statement = prepare(identityQuery, {id});
    if (!statement)
        return false;
    sqlite3_stmt* s = statement.get();
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) {
        identity->reset();
        return true;
    }
    if (rc != SQLITE_ROW) {
        logError("step failed: %1");
        return false;
    }
    *identity = identityAt(s);
    return true;
}

bool ChatDatabase::readChat(int64_t id, int64_t createdAt, std::optional<StoredChat>* chat) const
{
    const Statement statement = prepare(chatQuery(*this), {id, createdAt});
    if (!statement)
        return false;
    sqlite3_stmt* s = statement.get();
    std::optional<StoredChat> read;
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        if (!read)
            read = StoredChat{identityAt(s), {}};
        if (!isNull(s, 4))
            appendMessageRow(read->messages, s, 4);
    }
    if (rc != SQLITE_DONE) {
        logError("step failed: %1");
        return false;
    }
    *chat = std::move(read);
    return true;
}

int64_t ChatDatabase::insertChat(const QString& title, const QString& modelId)
{
    const int64_t time = now();
    // Past every chat id that messages still name: a chat deleted without
    // the cascade (a tool with foreign keys off) leaves its messages behind,
    // and a new chat given its id would show them as its own.
    return insert(QStringLiteral("INSERT INTO chats(id, title, model_id, created_at, updated_at) VALUES("
                                 "max(coalesce((SELECT max(id) FROM chats), 0), "
                                 "coalesce((SELECT max(chat_id) FROM messages), 0)) + 1, ?,?,?,?)"),
                  {title, modelId, time, time});
}

bool ChatDatabase::updateTitle(int64_t id, const QString& title)
{
    return run(QStringLiteral("UPDATE chats SET title=?, updated_at=? WHERE id=?"), {title, now(), id});
}

int64_t ChatDatabase::insertMessage(int64_t chatId, const QString& role, const QString& content,
                                    const Value& modelName, const Value& reasoning, const Value& reasoningMs,
                                    const Value& createdAt, const QList<ChatImage>& images)
{
    int64_t row = 0;
    const auto write = [&] {
        row = insert(QStringLiteral("INSERT INTO messages(chat_id, role, content, model_name, reasoning, "
                                    "reasoning_ms, created_at) VALUES(?,?,?,?,?,?,?)"),
                     {chatId, role, content, modelName, reasoning, reasoningMs,
                      createdAt.kind() == Value::Kind::null ? Value(now()) : createdAt});
        for (qsizetype i = 0; row != 0 && i < images.size(); ++i) {
            if (!run(QStringLiteral("INSERT INTO message_images(message_id, position, name, data) VALUES(?,?,?,?)"),
                     {row, i, images[i].name, Value(images[i].data)}))
                return false;
        }
        // An image sent again (a question asked again or edited) brings
        // the facts a model learnt of it.
        return row != 0 && (!m_keepsImageFacts || writeImageFacts(row, images));
    };
    // A message alone is one statement, a transaction of its own already.
    if (images.isEmpty())
        return write() ? row : 0;
    return transaction(write) ? row : 0;
}

bool ChatDatabase::councilOn(int64_t id) const
{
    const Statement statement = prepare(QStringLiteral("SELECT council_on FROM chats WHERE id=?"), {id});
    if (!statement || !stepRow(statement.get()))
        return false;
    return integerColumn(statement.get(), 0) != 0;
}

QString ChatDatabase::instructions(int64_t id) const
{
    const Statement statement = prepare(QStringLiteral("SELECT instructions FROM chats WHERE id=?"), {id});
    if (!statement || !stepRow(statement.get()))
        return {};
    return textColumn(statement.get(), 0);
}

bool ChatDatabase::writeImageFacts(int64_t messageId, const QList<ChatImage>& images)
{
    // Only onto an image of the same length: a message deleted elsewhere
    // may have given its id to another. (SQLite tells a BLOB's length
    // without reading it.)
    for (qsizetype i = 0; i < images.size(); ++i) {
        const std::optional<ChatImage::Facts>& facts = images[i].facts;
        if (facts
            && !run(QStringLiteral("UPDATE message_images SET facts_key=?, pixel_hash=?, width=?, height=?, "
                                   "positions=? WHERE message_id=? AND position=? AND length(data)=?"),
                    {facts->key, Value(pixelHashBytes(facts->pixelHash)), facts->width, facts->height,
                     facts->positions, messageId, i, images[i].data.size()}))
            return false;
    }
    return true;
}

bool ChatDatabase::setImageFacts(int64_t messageId, const QList<ChatImage>& images)
{
    const bool any = std::any_of(images.begin(), images.end(), [](const ChatImage& image) { return image.facts; });
    if (!any)
        return false;
    return transaction([&] { return m_keepsImageFacts && writeImageFacts(messageId, images); });
}

QString ChatDatabase::imageFactsColumns() const
{
    if (m_keepsImageFacts)
        return QStringLiteral(", i.facts_key, i.pixel_hash, i.width, i.height, i.positions");
    return QStringLiteral(", NULL, NULL, NULL, NULL, NULL");
}

QString ChatDatabase::imageJoin() const
{
    if (m_keepsImages)
        return QStringLiteral(" LEFT JOIN message_images i ON i.message_id = m.id");
    // The same columns, never joined.
    return QStringLiteral(" LEFT JOIN (SELECT NULL AS message_id, NULL AS position, NULL AS name, NULL AS data) i ON 0");
}

QList<ChatDatabase::MessageRecord> ChatDatabase::messages(int64_t chatId) const
{
    QList<MessageRecord> rows;
    const Statement statement = prepare(messagesQuery(*this), {chatId});
    if (!statement)
        return rows;
    while (stepRow(statement.get()))
        appendMessageRow(rows, statement.get(), 0);
    return rows;
}

} // namespace cvn

