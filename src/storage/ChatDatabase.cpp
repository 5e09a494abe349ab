#include "storage/ChatDatabase.h"

#include "platform/AppPaths.h"
#include "platform/Logging.h"
#include "platform/ProcessIdentity.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <sqlite3.h>

#include <algorithm>
#include <span>

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
    "    council_on INTEGER NOT NULL DEFAULT 0,\n"
    "    instructions TEXT\n"
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
    "CREATE INDEX IF NOT EXISTS idx_messages_chat ON messages(chat_id);\n"
    // The images sent with a message, as the files' bytes. Triggers as well
    // as the cascade, since a client with foreign keys off (the sqlite3
    // shell, an older tool) deletes messages without it: the images go with
    // their message, and a later message given its freed id never finds
    // images left behind. Search indexes the messages' text only. The
    // facts, all NULL or none, are what a prompt needs of the image for the
    // projector that facts_key names (ChatImage::Facts).
    "CREATE TABLE IF NOT EXISTS message_images(\n"
    "    message_id INTEGER NOT NULL REFERENCES messages(id) ON DELETE CASCADE,\n"
    "    position INTEGER NOT NULL,\n"
    "    name TEXT,\n"
    "    data BLOB NOT NULL,\n"
    "    facts_key TEXT,\n"
    "    pixel_hash BLOB,\n"
    "    width INTEGER,\n"
    "    height INTEGER,\n"
    "    positions INTEGER,\n"
    "    PRIMARY KEY(message_id, position)\n"
    ");\n"
    "CREATE TRIGGER IF NOT EXISTS message_images_insert AFTER INSERT ON messages BEGIN\n"
    "    DELETE FROM message_images WHERE message_id = new.id;\n"
    "END;\n"
    "CREATE TRIGGER IF NOT EXISTS message_images_delete AFTER DELETE ON messages BEGIN\n"
    "    DELETE FROM message_images WHERE message_id = old.id;\n"
    "END;\n"
    // The expressions of sameCreatedAtAndTitle, so that an import's look-up
    // of a chat it may hold already reads the few chats of that second and
    // title instead of every chat.
    "CREATE INDEX IF NOT EXISTS idx_chats_created_title\n"
    "    ON chats(ifnull(CAST(created_at AS INTEGER), 0), ifnull(title, ''));";

namespace {

// The -wal as its writes leave it. Its change time is left out: SQLite run
// by root hands the -wal to the database file's owner at every open of it,
// ours included, which moves that time while the contents stay, and the copy
// would then be made again at every reopen.
std::optional<FileIdentity> walIdentity(const QString& databasePath)
{
    std::optional<FileIdentity> identity = FileIdentity::of(databasePath + QStringLiteral("-wal"));
    if (identity)
        identity->changedNs = 0;
    return identity;
}

// Every object the two scripts create.
const QStringList schemaObjects = {
    QStringLiteral("chats"), QStringLiteral("messages"), QStringLiteral("idx_messages_chat"),
    QStringLiteral("idx_chats_created_title"), QStringLiteral("message_images"),
    QStringLiteral("message_images_insert"), QStringLiteral("message_images_delete"),
    QStringLiteral("message_search"), QStringLiteral("message_search_pending"),
    QStringLiteral("message_search_insert"), QStringLiteral("message_search_update"),
    QStringLiteral("message_search_delete")};

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
    {"chats", "instructions", "ALTER TABLE chats ADD COLUMN instructions TEXT"},
    {"messages", "chat_id",
     "ALTER TABLE messages ADD COLUMN chat_id INTEGER REFERENCES chats(id) ON DELETE CASCADE"},
    {"messages", "role", "ALTER TABLE messages ADD COLUMN role TEXT CHECK(role IN ('user','assistant'))"},
    {"messages", "content", "ALTER TABLE messages ADD COLUMN content TEXT"},
    {"messages", "model_name", "ALTER TABLE messages ADD COLUMN model_name TEXT"},
    {"messages", "created_at", "ALTER TABLE messages ADD COLUMN created_at INTEGER"},
    {"messages", "reasoning", "ALTER TABLE messages ADD COLUMN reasoning TEXT"},
    {"messages", "reasoning_ms", "ALTER TABLE messages ADD COLUMN reasoning_ms INTEGER"},
};

// The images' facts: no read needs them, so a file without them is read as
// it is (its images with no facts), and they are added once it is written.
constexpr SchemaColumn factColumns[] = {
    {"message_images", "facts_key", "ALTER TABLE message_images ADD COLUMN facts_key TEXT"},
    {"message_images", "pixel_hash", "ALTER TABLE message_images ADD COLUMN pixel_hash BLOB"},
    {"message_images", "width", "ALTER TABLE message_images ADD COLUMN width INTEGER"},
    {"message_images", "height", "ALTER TABLE message_images ADD COLUMN height INTEGER"},
    {"message_images", "positions", "ALTER TABLE message_images ADD COLUMN positions INTEGER"},
};

// The `columns` that the file lacks; `readable` false when a table could
// not be read at all.
QList<const SchemaColumn*> missingColumns(const ChatDatabase& db, bool* readable,
                                          std::span<const SchemaColumn> columns = schemaColumns)
{
    QList<const SchemaColumn*> missing;
    QString table;
    QSet<QString> present;
    *readable = false;
    for (const SchemaColumn& column : columns) {
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


// The private copies whose process no longer runs: a run that was killed
// left them behind, each as large as the -wal it was made for. Those of a
// process still running (a second instance, or this one) are in use.
void removeAbandonedCopies()
{
    const QDir temp(QDir::tempPath());
    const qsizetype prefix = ChatDatabase::privateCopyPrefix.size();
    for (const QString& name : temp.entryList({ChatDatabase::privateCopyPrefix + QLatin1Char('*')},
                                              QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot)) {
        // <prefix><pid>-<start>-<random>
        const qsizetype dash = std::max(name.lastIndexOf(QLatin1Char('-')), prefix);
        const auto owner = ProcessIdentity::fromString(QStringView(name).sliced(prefix, dash - prefix));
        if (owner && !owner->runs() && QDir(temp.filePath(name)).removeRecursively())
            qCInfo(lcChatDatabase).noquote() << QStringLiteral("removed %1, left by a run that has ended").arg(name);
    }
}

} // namespace

ChatDatabase::ChatDatabase(const QString& path, int busyTimeoutMs)
    : m_path(path)
    , m_busyTimeoutMs(busyTimeoutMs)
{
    if (!m_path.isEmpty()) {
        removeAbandonedCopies();
        m_lastOpenTry.start();
        open(m_busyTimeoutMs, Accept::any);
    }
}

ChatDatabase::~ChatDatabase()
{
    // Before the private copy it may read is removed.
    sqlite3_close_v2(m_db);
}

ChatDatabase& ChatDatabase::shared()
{
    // Never destroyed: the chat list and history hold it until the process
    // ends, and every write is already durable when its statement returns.
    // main() closes it last, so that a private copy goes with the run.
    static ChatDatabase* const instance = new ChatDatabase(defaultPath(), mainThreadBusyTimeoutMs);
    return *instance;
}

void ChatDatabase::close()
{
    m_closed = true;
    sqlite3_close_v2(std::exchange(m_db, nullptr));
    // After the connection that reads it.
    m_privateCopy.reset();
    m_readOnly = false;
    m_waitsForSpace = false;
    m_copy = {};
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
    if (m_closed)
        return false;
    if (m_db && !m_readOnly)
        return true;
    const bool wasOpen = m_db != nullptr;
    // Each try opens the file and reads its schema; writes may come once
    // per message, and a folder stays read-only for a while.
    if (m_path.isEmpty() || (m_lastOpenTry.isValid() && m_lastOpenTry.elapsed() < m_reopenIntervalMs))
        return wasOpen;
    m_lastOpenTry.start();
    // A read-only connection is only replaced by a writable one, or by one
    // that shows the chats it hides, once that may work: the -wal differs
    // from the one no copy could be made of, or the folder can now hold the
    // -shm that reading the -wal in place needs. Trying the copy every time
    // would copy the whole -wal every few seconds, likely to fail again.
    Accept accept = Accept::any;
    if (wasOpen) {
        const bool walMayShow = m_someChatsHidden
            && (walIdentity(m_path) != m_uncopiedWal
                || QFileInfo(QFileInfo(m_path).path()).isWritable());
        accept = walMayShow ? Accept::showingWal : Accept::writable;
    }
    if (!open(0, accept))
        return wasOpen;
    emit openChanged(true);
    return true;
}

void ChatDatabase::noteWrite(bool succeeded)
{
    if (m_writesFailing == !succeeded)
        return;
    m_writesFailing = !succeeded;
    emit writesFailingChanged(m_writesFailing);
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
    // The extended code: a -shm that found no room is told from other
    // failures to read or write only by it.
    if (handle)
        *rc = sqlite3_extended_errcode(handle);
    *error = handle ? ChatDatabase::errorText(handle) : QString();
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

// A full disk, as a read-write open or a write meets it: a WAL file opened
// read-write needs its -shm given room first (a few bytes, then a page),
// which fails before anything is read.
bool diskIsFull(int rc)
{
    return (rc & 0xff) == SQLITE_FULL || rc == SQLITE_IOERR_SHMOPEN || rc == SQLITE_IOERR_SHMSIZE;
}

} // namespace

sqlite3* ChatDatabase::openForReading(int busyMs, int* rc, QString* error, std::unique_ptr<QTemporaryDir>* copy,
                                      std::optional<FileIdentity>* uncopiedWal) const
{
    const QByteArray uri = QUrl::fromLocalFile(m_path).toEncoded();
    sqlite3* handle = connectTo(uri, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, busyMs, rc, error);
    if (handle || !(mayOnlyRead(*rc) || diskIsFull(*rc)))
        return handle;
    // The folder cannot hold the -shm file that reading a -wal needs (or the
    // disk has no room to make it). With no
    // -wal, the file alone is the whole database, read as immutable. A -wal
    // holds commits the file lacks (the last run ended before a checkpoint):
    // they are read from a private copy of both, and nothing is written
    // beside the originals.
    const QString wal = m_path + QStringLiteral("-wal");
    const auto fileAlone = [&] {
        return connectTo(uri + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, busyMs, rc, error);
    };
    if (QFileInfo(wal).size() <= 0)
        return fileAlone();
    const std::optional<FileIdentity> walNow = walIdentity(m_path);
    if (!walNow || walNow != m_uncopiedWal) {
        handle = readThroughCopy(busyMs, rc, error, copy);
        if (handle)
            return handle;
        qCWarning(lcChatDatabase).noquote() << QStringLiteral("%1: %2; reading the file alone").arg(m_path, *error);
    }
    // A temporary folder too small or not writable: the chats of the file
    // itself are still listed, and those only the -wal holds wait for a copy
    // that works.
    *uncopiedWal = walNow;
    return fileAlone();
}

sqlite3* ChatDatabase::readThroughCopy(int busyMs, int* rc, QString* error,
                                       std::unique_ptr<QTemporaryDir>* copy) const
{
    // Named after this process, so that a later run can tell a copy left
    // behind by a kill from a second instance's (removeAbandonedCopies).
    auto folder = std::make_unique<QTemporaryDir>(QDir(QDir::tempPath()).filePath(
        privateCopyPrefix + ProcessIdentity::current().toString() + QStringLiteral("-XXXXXX")));
    const QString copyPath = folder->filePath(QStringLiteral("chats.db"));
    if (!folder->isValid() || !QFile::copy(m_path, copyPath)
        || !QFile::copy(m_path + QStringLiteral("-wal"), copyPath + QStringLiteral("-wal"))) {
        *error = QStringLiteral("could not copy it to read its -wal file");
        return nullptr;
    }
    // SQLite needs to write the copy's -shm, and a write-protected original
    // gives a write-protected copy.
    for (const QString& file : {copyPath, copyPath + QStringLiteral("-wal")})
        QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    sqlite3* handle = connectTo(QFile::encodeName(copyPath), SQLITE_OPEN_READONLY, busyMs, rc, error);
    if (handle) {
        qCWarning(lcChatDatabase).noquote() << QStringLiteral("reading %1 through a copy with its -wal").arg(m_path);
        *copy = std::move(folder);
    }
    return handle;
}

bool ChatDatabase::open(int busyMs, Accept accept)
{
    int rc = SQLITE_OK;
    QString error;
    bool readOnly = false;
    std::unique_ptr<QTemporaryDir> copy;
    std::optional<FileIdentity> uncopiedWal;
    // Open for reading only until the disk has room: reopen() tries writing
    // again every few seconds, as for a read-only folder.
    bool waitsForSpace = false;
    sqlite3* handle = connectTo(QFile::encodeName(m_path), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, busyMs,
                                &rc, &error);
    if (handle) {
        // SQLite opens a write-protected file for reading without a word.
        readOnly = sqlite3_db_readonly(handle, "main") == 1;
    } else if (accept != Accept::writable && (mayOnlyRead(rc) || diskIsFull(rc)) && QFileInfo::exists(m_path)) {
        // The chats stay readable and searchable from a file or folder we
        // may not write, or on a disk that is full.
        waitsForSpace = diskIsFull(rc);
        handle = openForReading(busyMs, &rc, &error, &copy, &uncopiedWal);
        readOnly = handle != nullptr;
        // Taken or not, this -wal is not copied again.
        if (uncopiedWal)
            m_uncopiedWal = uncopiedWal;
    }
    if (handle && readOnly && (accept == Accept::writable || (accept == Accept::showingWal && uncopiedWal))) {
        sqlite3_close_v2(handle);
        handle = nullptr;
        error = accept == Accept::writable ? QStringLiteral("still read-only")
                                           : QStringLiteral("its -wal still cannot be read");
    }
    if (handle) {
        // Replacing a read-only connection: it stays in place until the new
        // one has proved itself.
        sqlite3* const previous = std::exchange(m_db, handle);
        const bool previousReadOnly = std::exchange(m_readOnly, readOnly);
        std::unique_ptr<QTemporaryDir> previousCopy = std::exchange(m_privateCopy, std::move(copy));
        const auto settle = [&] {
            sqlite3_close_v2(previous);
            previousCopy.reset();
            // The folded copy follows one connection's view of the file.
            m_copy = {};
            m_openFailureLogged = false;
            m_uncopiedWal = uncopiedWal;
            const bool hidden = uncopiedWal.has_value();
            if (std::exchange(m_someChatsHidden, hidden) != hidden)
                emit someChatsHiddenChanged(hidden);
            return true;
        };
        bool ready = execScript("PRAGMA foreign_keys = ON;") && (readOnly ? readableSchema() : createSchema());
        // An older file lacks what the schema adds (the images' table, for
        // one), and a full disk refuses to take it: the file is whole all
        // the same, so its chats are listed, searched and exported as a
        // read-only file's are, and reopen() adds what it lacks once a
        // write gets through. Only the first open falls back so: a retry
        // that meets the full disk again leaves this connection as it is.
        if (!ready && !readOnly && accept == Accept::any && diskIsFull(m_lastFailure) && readableSchema()) {
            waitsForSpace = true;
            readOnly = true;
            m_readOnly = true;
            ready = true;
        }
        if (ready) {
            // A file written before messages kept images, opened only for
            // reading, has nowhere to read them from. (The statement ends
            // here: one left open holds a read that the switch to WAL below
            // cannot be made under.)
            {
                const Statement images = prepare(
                    QStringLiteral("SELECT 1 FROM sqlite_master WHERE type='table' AND name='message_images'"));
                m_keepsImages = images && stepRow(images.get());
            }
            bool factsReadable = false;
            m_keepsImageFacts = m_keepsImages
                && missingColumns(*this, &factsReadable, factColumns).isEmpty() && factsReadable;
            m_waitsForSpace = waitsForSpace;
            if (waitsForSpace) {
                m_writeFault = WriteFault::full;
                noteWrite(false);
                qCWarning(lcChatDatabase).noquote()
                    << QStringLiteral("opened %1 for reading only: the disk is full").arg(m_path);
                return settle();
            }
            if (readOnly) {
                qCWarning(lcChatDatabase).noquote()
                    << QStringLiteral("opened %1 read-only: nothing is saved").arg(m_path);
                return settle();
            }
            // Readers then never block a writer nor a writer a reader, and the
            // setting stays with the file. A file that cannot switch (a lock
            // held, a file system without shared memory) keeps working in its
            // old mode and is switched on a later open.
            {
                const Statement mode = prepare(QStringLiteral("PRAGMA journal_mode = WAL"));
                if (!mode || !stepRow(mode.get()) || textColumn(mode.get(), 0) != QLatin1String("wal"))
                    qCWarning(lcChatDatabase).noquote() << QStringLiteral("could not switch %1 to WAL").arg(m_path);
            }
            // With no statement left open: a rewrite refuses to run beside one.
            switchToIncrementalVacuum();
            sqlite3_busy_timeout(handle, m_busyTimeoutMs);
            if (previous)
                qCInfo(lcChatDatabase).noquote() << QStringLiteral("%1 can be written again").arg(m_path);
            return settle();
        }
        error = ChatDatabase::errorText(handle);
        m_db = previous;
        m_readOnly = previousReadOnly;
        m_privateCopy = std::move(previousCopy);
        sqlite3_close_v2(handle);
    }
    m_openError = rc != SQLITE_OK ? rc : SQLITE_CANTOPEN;
    // A retry runs every few seconds while the file stays unavailable: one
    // line in the log for the whole stretch.
    if (!m_openFailureLogged) {
        qCWarning(lcChatDatabase).noquote()
            << (accept == Accept::any ? QStringLiteral("could not open %1")
                                      : QStringLiteral("could not open %1 for writing"))
                   .arg(m_path)
            << error;
    }
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
    bool factsReadable = false;
    if (complete && missingColumns(*this, &readable).isEmpty() && readable
        && missingColumns(*this, &factsReadable, factColumns).isEmpty() && factsReadable)
        return true;
    // A new file gives freed space back from the start: the setting holds
    // only when made before its first table, and outside a transaction.
    if (present.isEmpty())
        execScript("PRAGMA auto_vacuum = INCREMENTAL");
    // One transaction, so that instances creating a new file at the same
    // moment wait for each other instead of each finding half a schema.
    return transaction([&] {
        if (!execScript(schemaScript) || !addMissingColumns() || !execScript(searchScript))
            return false;
        // An older file's messages are indexed before the commit.
        return indexed || execScript("INSERT OR IGNORE INTO message_search_pending(id) SELECT id FROM messages");
    });
}

int64_t ChatDatabase::pragmaNumber(const char* pragma) const
{
    const Statement statement = prepare(QStringLiteral("PRAGMA %1").arg(QLatin1String(pragma)));
    return statement && stepRow(statement.get()) ? integerColumn(statement.get(), 0) : -1;
}

void ChatDatabase::switchToIncrementalVacuum()
{
    constexpr int64_t incremental = 2;
    if (pragmaNumber("auto_vacuum") == incremental)
        return;
    // What a rewrite copies: the pages in use, not the free ones.
    const int64_t bytes = (pragmaNumber("page_count") - pragmaNumber("freelist_count")) * pragmaNumber("page_size");
    if (bytes < 0 || bytes > largestFileRewrittenAtOpen)
        return;
    // VACUUM writes the new file in the temporary folder and then through
    // the WAL into place. A disk without room for both would end it halfway
    // (leaving the file as it was), after a long wait for nothing.
    const int64_t room = 2 * bytes + (16LL << 20);
    if (QStorageInfo(QFileInfo(m_path).absolutePath()).bytesAvailable() < room
        || QStorageInfo(QDir::tempPath()).bytesAvailable() < room)
        return;
    // The setting alone changes nothing in a file that has tables: the
    // rewrite makes it hold. Either is whole or not at all, as any write.
    if (execScript("PRAGMA auto_vacuum = INCREMENTAL; VACUUM;"))
        qCInfo(lcChatDatabase).noquote() << QStringLiteral("%1 now gives freed space back to the disk").arg(m_path);
}

void ChatDatabase::releaseFreedSpace()
{
    // A file not switched yet keeps its free pages until an open switches
    // it: a rewrite here would hold the window up in the middle of a delete.
    if (!m_db || m_readOnly || pragmaNumber("auto_vacuum") != 2
        || pragmaNumber("freelist_count") * pragmaNumber("page_size") < freedBytesReleased)
        return;
    // A failure costs nothing: the pages stay free for the next writes.
    execScript("PRAGMA incremental_vacuum");
    // The file shrinks when the WAL is copied back into it: now, rather
    // than at whatever later write fills the WAL, and the WAL is emptied
    // too. Another connection reading holds it back; it is tried again at
    // the next large delete.
    execScript("PRAGMA wal_checkpoint(TRUNCATE)");
}

bool ChatDatabase::addMissingColumns()
{
    bool readable = false;
    bool factsReadable = false;
    const QList<const SchemaColumn*> missing = missingColumns(*this, &readable)
                                               + missingColumns(*this, &factsReadable, factColumns);
    if (!readable || !factsReadable)
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

QString ChatDatabase::errorText(sqlite3* db)
{
    return QString::fromUtf8(sqlite3_errmsg(db));
}

void ChatDatabase::logError(const char* format) const
{
    m_lastFailure = sqlite3_extended_errcode(m_db);
    qCWarning(lcChatDatabase).noquote() << QString::fromUtf8(format).arg(ChatDatabase::errorText(m_db));
}
} // namespace cvn
