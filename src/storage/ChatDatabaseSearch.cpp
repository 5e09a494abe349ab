#include "storage/ChatDatabase.h"

#include "platform/MainThread.h"

#include <QByteArrayView>
#include <QFile>
#include <QPointer>

#include <algorithm>
#include <cstring>

#include <sqlite3.h>

// Message search: the trigram index kept in step with the messages, the
// folded copy of its text in memory, and the scans that answer what the
// index cannot.

namespace cvn {

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
        if (m_copy.loaded || m_renewal)
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
    if (m_renewal)
        m_renewal->changes.append(changes);
    if (!m_copy.loaded)
        return;
    for (const IndexedChange& change : changes) {
        const auto old = m_copy.chatOfMessage.constFind(change.id);
        if (old != m_copy.chatOfMessage.cend()) {
            const auto chat = m_copy.chats.find(old.value());
            if (chat != m_copy.chats.end()) {
                m_copy.textBytes -= chat->text.size();
                chat->remove(change.id);
                m_copy.textBytes += chat->text.size();
                if (chat->messages.isEmpty())
                    m_copy.chats.erase(chat);
            }
            m_copy.chatOfMessage.erase(old);
        }
        if (change.chatId) {
            for (const char byte : change.text)
                ++m_copy.byteCounts[uchar(byte)];
            m_copy.chats[*change.chatId].append(change.id, QByteArrayView(change.text));
            m_copy.textBytes += change.text.size() + 1;
            m_copy.chatOfMessage.insert(change.id, *change.chatId);
        }
    }
}

void ChatDatabase::FoldedChat::append(int64_t id, QByteArrayView message)
{
    text.append(message).append('\0');
    messages.append({id, message.size()});
}

void ChatDatabase::FoldedChat::remove(int64_t id)
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

ChatDatabase::MessageSearch ChatDatabase::startSearch(const QString& query)
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
            return answered(scanMessages(query));
        if (QChar::isHighSurrogate(c) && i + 1 < query.size() && query[i + 1].isLowSurrogate())
            ++i;
        else if (QChar::isSurrogate(c))
            return answered(scanMessages(query));
        ++characters;
    }
    // Messages another client wrote are indexed first; when that cannot
    // happen now (a lock held, a read-only file) every message is read.
    if (!catchUp())
        return answered(scanMessages(query));
    const QByteArray folded = foldedUtf8(query);
    // While the first copy is read on its thread, the index answers what it
    // can, and every message is read for the rest.
    if (m_renewal && !m_copy.loaded) {
        if (characters < 3)
            return answered(scanMessages(query));
        const std::optional<QSet<int64_t>> hits = indexedChats(folded, -1, nullptr);
        return answered(hits ? *hits : scanMessages(query));
    }
    if (!loadFoldedCopy())
        return answered(scanMessages(query));
    // A trigram index answers nothing shorter than three characters, and a
    // query that most messages hold is found sooner in the copy, where each
    // chat is read only up to its first match: the index is asked for a
    // limited number of messages and gives way when it reaches it.
    if (characters >= 3) {
        const qsizetype limit = m_copy.chatOfMessage.size() / 16 + 64;
        bool tooMany = false;
        const std::optional<QSet<int64_t>> hits = indexedChats(folded, limit, &tooMany);
        if (!hits)
            return answered(scanMessages(query));
        if (!tooMany)
            return answered(*hits);
    }
    return scanOfCopy(folded);
}

std::optional<QSet<int64_t>> ChatDatabase::indexedChats(const QByteArray& folded, qsizetype limit, bool* tooMany)
{
    QByteArray phrase = folded;
    phrase.replace('"', "\"\"");
    const Statement statement =
        prepare(QStringLiteral("SELECT rowid FROM message_search WHERE message_search MATCH ? LIMIT ?"),
                {QString::fromUtf8('"' + phrase + '"'), int64_t(limit)});
    if (!statement)
        return std::nullopt;
    QList<int64_t> messages;
    sqlite3_stmt* s = statement.get();
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW)
        messages.append(integerColumn(s, 0));
    if (rc != SQLITE_DONE) {
        logError("search failed: %1");
        return std::nullopt;
    }
    if (limit >= 0 && messages.size() >= limit) {
        *tooMany = true;
        return QSet<int64_t>();
    }
    QSet<int64_t> hits;
    const Statement chatOf = prepare(QStringLiteral("SELECT chat_id FROM messages WHERE id=?"));
    for (const int64_t id : std::as_const(messages)) {
        const auto chat = m_copy.chatOfMessage.constFind(id);
        if (chat != m_copy.chatOfMessage.cend()) {
            hits.insert(chat.value());
            continue;
        }
        // Another connection's message, not in the copy until it is read
        // again, or any message while there is no copy yet.
        if (!chatOf)
            return std::nullopt;
        sqlite3_reset(chatOf.get());
        sqlite3_bind_int64(chatOf.get(), 1, id);
        if (stepRow(chatOf.get()))
            hits.insert(integerColumn(chatOf.get(), 0));
    }
    return hits;
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
    const std::optional<int64_t> read = dataVersion();
    if (!read)
        return false;
    const int64_t version = *read;
    if (m_copy.loaded && m_copy.dataVersion == version)
        return true;
    // Reading it all takes a good part of a second with many messages: a
    // search meanwhile answers from the copy it has.
    if (m_copy.loaded && listFile()) {
        renewCopy(version);
        return true;
    }
    m_copy = {};
    m_renewal.reset();
    FoldedCopy copy;
    if (!readFoldedCopy(m_db, &copy)) {
        logError("could not read the messages for search: %1");
        return false;
    }
    copy.loaded = true;
    copy.dataVersion = version;
    m_copy = std::move(copy);
    return true;
}

bool ChatDatabase::readFoldedCopy(sqlite3* handle, FoldedCopy* copy)
{
    const auto statement = [&](const char* sql) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(handle, sql, -1, &raw, nullptr) != SQLITE_OK) {
            sqlite3_finalize(raw);
            raw = nullptr;
        }
        return Statement(raw);
    };
    // The chat of each message from the chat index (small, and read whole),
    // then the folded text in order from the index's own table: the message
    // table, far larger, is never read.
    {
        const Statement chats = statement("SELECT id, chat_id FROM messages");
        if (!chats)
            return false;
        while (stepRow(chats.get()))
            copy->chatOfMessage.insert(integerColumn(chats.get(), 0), integerColumn(chats.get(), 1));
    }
    const Statement texts = statement("SELECT id, c0 FROM message_search_content");
    if (!texts)
        return false;
    sqlite3_stmt* s = texts.get();
    int rc = SQLITE_ROW;
    int64_t row = 0;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        const auto chat = copy->chatOfMessage.constFind(integerColumn(s, 0));
        if (chat == copy->chatOfMessage.cend())
            continue; // never expected: every indexed message exists
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
        const QByteArrayView view(text, text ? sqlite3_column_bytes(s, 1) : 0);
        // Which byte of a query is rarest needs only a sample.
        if (row++ % 8 == 0) {
            for (const char byte : view)
                ++copy->byteCounts[uchar(byte)];
        }
        copy->chats[chat.value()].append(chat.key(), view);
        copy->textBytes += view.size() + 1;
    }
    // Messages without a row in the index (none, once caught up) would be
    // searched by nothing.
    return rc == SQLITE_DONE && copy->chatOfMessage.size() == row;
}

void ChatDatabase::prepareSearch()
{
    if (m_copy.loaded || m_renewal || !listFile())
        return;
    // The copy holds only indexed text: what another client wrote is
    // indexed first. When that cannot happen now, the first search reads the
    // copy itself.
    const std::optional<int64_t> version = dataVersion();
    if (version && catchUp())
        renewCopy(*version);
}

void ChatDatabase::renewCopy(int64_t version)
{
    if (m_renewal)
        return; // what was committed after it started shows at a later search
    if (!m_copyReader)
        m_copyReader = std::make_unique<SerialQueue>(QStringLiteral("message search"), QStringLiteral("cvn-search-copy"));
    m_renewal = CopyRenewal{m_copy.loaded, m_copy.dataVersion, version, {}};
    m_copyReader->async([self = QPointer(this), path = *listFile(), hook = m_copyReadHook] {
        auto copy = std::make_shared<FoldedCopy>();
        sqlite3* handle = nullptr;
        const bool opened =
            sqlite3_open_v2(QFile::encodeName(path).constData(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK;
        if (opened)
            sqlite3_busy_timeout(handle, defaultBusyTimeoutMs);
        // One snapshot for both of its reads: a message another program
        // adds between them would be in neither.
        copy->loaded = opened && sqlite3_exec(handle, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK
                       && readFoldedCopy(handle, copy.get());
        sqlite3_exec(handle, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close_v2(handle);
        if (hook)
            hook();
        runOnMain([self, copy] {
            if (self)
                self->takeRenewedCopy(copy);
        });
    });
}

void ChatDatabase::takeRenewedCopy(std::shared_ptr<FoldedCopy> copy)
{
    if (!m_renewal)
        return;
    const CopyRenewal renewal = *std::exchange(m_renewal, std::nullopt);
    // A copy read at once since, or another connection's, stays.
    if (!copy->loaded || m_copy.loaded != renewal.stale || m_copy.dataVersion != renewal.staleVersion)
        return;

    copy->dataVersion = renewal.version;
    // The old copy is freed on the copy's thread: that takes a while too.
    auto old = std::make_shared<FoldedCopy>(std::exchange(m_copy, std::move(*copy)));
    m_copyReader->async([old = std::move(old)] {});
    applyToCopy(renewal.changes);
    emit searchRenewed();
}

ChatDatabase::MessageSearch ChatDatabase::answered(QSet<int64_t> chats)
{
    MessageSearch search;
    search.m_answer = std::move(chats);
    return search;
}

ChatDatabase::MessageSearch ChatDatabase::scanOfCopy(const QByteArray& folded) const
{
    MessageSearch search;
    search.m_scan = true;
    // The hash is shared, not copied: this connection's next change to it
    // makes a copy of its own.
    search.m_chats = m_copy.chats;
    search.m_folded = folded;
    // Each chat is searched for the query's rarest byte with memchr, which
    // runs many bytes a cycle, and the query checked around each one found:
    // text that rarely holds the query is crossed at memchr's pace, and text
    // that often does stops at its first match.
    for (qsizetype i = 1; i < folded.size(); ++i) {
        if (m_copy.byteCounts[uchar(folded[i])] < m_copy.byteCounts[uchar(folded[search.m_pivot])])
            search.m_pivot = i;
    }
    search.m_pendingBytes = m_copy.textBytes;
    return search;
}

bool ChatDatabase::MessageSearch::contains(const QByteArray& text) const
{
    const char pivotByte = m_folded[m_pivot];
    const char* const end = text.constData() + text.size();
    for (const char* at = text.constData() + m_pivot; at < end; ++at) {
        at = static_cast<const char*>(std::memchr(at, pivotByte, size_t(end - at)));
        if (!at)
            return false;
        const char* const start = at - m_pivot;
        if (end - start >= m_folded.size() && std::memcmp(start, m_folded.constData(), size_t(m_folded.size())) == 0)
            return true;
    }
    return false;
}

bool ChatDatabase::MessageSearch::matches(int64_t chatId) const
{
    if (!m_scan)
        return m_answer.contains(chatId);
    const auto chat = m_chats.constFind(chatId);
    return chat != m_chats.cend() && contains(chat->text);
}

QSet<int64_t> ChatDatabase::MessageSearch::chats() const
{
    if (!m_scan)
        return m_answer;
    QSet<int64_t> hits;
    for (auto chat = m_chats.cbegin(); chat != m_chats.cend(); ++chat) {
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

} // namespace cvn
