#include "storage/ChatDatabase.h"

#include "HeldReads.h"
#include "RawDatabase.h"
#include "Turns.h"
#include "support/TempEnv.h"
#include "support/Wait.h"
#include "support/WriteFailure.h"
#include "storage/ChatArchive.h"
#include "storage/ChatHistory.h"
#include "storage/ChatStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <tuple>

using cvn::ChatDatabase;
using cvn::test::newDatabasePath;
using cvn::test::RawDatabase;
using Value = ChatDatabase::Value;

namespace {

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int64_t addChat(ChatDatabase& db, int64_t id, int64_t pinned, int64_t updatedAt)
{
    db.run("INSERT INTO chats(id, title, pinned, updated_at) VALUES(?,?,?,?)",
           {id, QStringLiteral("chat %1").arg(id), pinned, updatedAt});
    return id;
}

int64_t addMessage(ChatDatabase& db, int64_t chatId, const QString& content,
                   ChatDatabase::Value reasoning = ChatDatabase::Value::null())
{
    return db.insert("INSERT INTO messages(chat_id, role, content, reasoning) VALUES(?,?,?,?)",
                     {chatId, "user", content, reasoning});
}

QList<int64_t> listedIds(const ChatDatabase& db)
{
    QList<int64_t> ids;
    for (const auto& chat : db.listChats())
        ids.append(chat.id);
    return ids;
}

} // namespace

TEST(ChatDatabase, FreshStartCreatesTheFileInWalModeAndReopeningKeepsRowsAndSchema)
{
    const QString home = cvn::test::makeTempFolder("home");
    cvn::test::ScopedEnvironment dataHome("XDG_DATA_HOME", QFile::encodeName(home));
    const QString path = ChatDatabase::defaultPath();
    EXPECT_EQ(path, home + "/Corvanthelis/chats.db");
    {
        ChatDatabase db(path);
        ASSERT_TRUE(db.isOpen());
        EXPECT_EQ(db.insertChat("Trip", "m1"), 1);
    }
    RawDatabase raw(path);
    EXPECT_EQ(raw.value("PRAGMA journal_mode"), "wal");
    const auto schema = raw.rows("SELECT sql FROM sqlite_master ORDER BY name");
    ChatDatabase reopened(path);
    ASSERT_EQ(reopened.listChats().size(), 1);
    EXPECT_EQ(reopened.listChats().first().title, "Trip");
    EXPECT_EQ(raw.rows("SELECT sql FROM sqlite_master ORDER BY name"), schema);
}

TEST(ChatDatabase, InsertChatNumbersRowsStampsTimesAndAnswersZeroOnFailure)
{
    const QString path = newDatabasePath();
    ChatDatabase db(path);
    const int64_t before = ChatDatabase::now();
    EXPECT_EQ(db.insertChat("Trip", "m1"), 1);
    EXPECT_EQ(db.insertChat("Second", ""), 2);
    const int64_t after = ChatDatabase::now();

    RawDatabase raw(path);
    const auto row = raw.rows("SELECT title, model_id, pinned, is_council, council_on, created_at, updated_at "
                              "FROM chats WHERE id=1")
                         .value(0);
    ASSERT_EQ(row.size(), 7);
    EXPECT_EQ(row.first(5), (QVariantList{"Trip", "m1", 0, 0, 0}));
    EXPECT_GE(row[5].toLongLong(), before);
    EXPECT_LE(row[5].toLongLong(), after);
    EXPECT_EQ(row[5], row[6]);
    EXPECT_EQ(raw.value("SELECT model_id FROM chats WHERE id=2"), "") << "an empty model id is a text, not NULL";

    EXPECT_FALSE(db.councilOn(99));

    // After a failed insert the connection's last row id is still 2: the
    // answer must be 0, or a caller would take chat 2 as its own.
    ASSERT_TRUE(raw.exec("CREATE TRIGGER refuse BEFORE INSERT ON chats BEGIN SELECT RAISE(ABORT, 'full'); END"));
    EXPECT_EQ(db.insertChat("Lost", "m1"), 0);
    EXPECT_EQ(db.insert("INSERT INTO messages(chat_id, role, content) VALUES(?,?,?)", {77, "user", "orphan"}), 0)
        << "the foreign key refuses a message of no chat";
    EXPECT_EQ(db.insert("INSERT INTO messages(chat_id, role, content) VALUES(?,?,?)", {1, "narrator", "x"}), 0)
        << "the role check refuses other roles";
    EXPECT_EQ(raw.value("SELECT COUNT(*) FROM messages"), 0);
    EXPECT_FALSE(db.run("UPDATE nowhere SET x=1"));
    EXPECT_FALSE(db.exec("THIS IS NOT SQL"));
    EXPECT_FALSE(db.prepare("SELECT ?", {1, 2})) << "a value without a parameter is refused";
    ASSERT_TRUE(raw.exec("DROP TRIGGER refuse"));
    EXPECT_EQ(db.insertChat("Third", "m1"), 3);

    // A message is stamped with now; its chat keeps its own time.
    ASSERT_TRUE(db.run("UPDATE chats SET updated_at=5 WHERE id=1"));
    const auto stored = raw.rows("SELECT chat_id, role, content, model_name, reasoning, reasoning_ms, created_at "
                                 "FROM messages WHERE id=?",
                                 {qint64(db.insertMessage(1, "assistant", "hi", "Qwen"))})
                            .value(0);
    ASSERT_EQ(stored.size(), 7);
    EXPECT_EQ(stored.first(6), (QVariantList{1, "assistant", "hi", "Qwen", QVariant(), QVariant()}));
    EXPECT_GE(stored[6].toLongLong(), before);
    EXPECT_LE(stored[6].toLongLong(), ChatDatabase::now());
    EXPECT_EQ(raw.value("SELECT updated_at FROM chats WHERE id=1"), 5);
}

TEST(ChatDatabase, ListsPinnedFirstThenNewestAndMarksReasoning)
{
    ChatDatabase db(newDatabasePath());
    const QList<std::tuple<int64_t, int64_t, int64_t, const char*, ChatDatabase::Value>> chats = {
        {1, 0, 100, "a</think>b", ChatDatabase::Value::null()},
        {2, 0, 300, "plain", ChatDatabase::Value::null()},
        {3, 1, 200, "<think>open", ChatDatabase::Value::null()},
        {4, 1, 50, "plain", QString(" ")}, // stored reasoning counts even when blank
        {5, 0, 10, "<THINK> is not a tag", ChatDatabase::Value::null()}, // LIKE ignores ASCII case
        {6, 0, 5, nullptr, ChatDatabase::Value::null()},
    };
    for (const auto& [id, pinned, updatedAt, content, reasoning] : chats) {
        addChat(db, id, pinned, updatedAt);
        if (content)
            addMessage(db, id, content, reasoning);
    }
    QList<std::tuple<int64_t, bool, bool>> listed;
    for (const auto& chat : db.listChats())
        listed.append({chat.id, chat.isPinned, chat.hasReasoning});
    EXPECT_EQ(listed, (QList<std::tuple<int64_t, bool, bool>>{
                          {3, true, true}, {4, true, true}, {2, false, false},
                          {1, false, true}, {5, false, true}, {6, false, false}}));

    // Deleting a chat takes its messages and only them.
    EXPECT_TRUE(db.run("DELETE FROM chats WHERE id=?", {1}));
    EXPECT_EQ(listedIds(db), (QList<int64_t>{3, 4, 2, 5, 6}));
    EXPECT_EQ(RawDatabase(db.path()).value("SELECT group_concat(chat_id) FROM messages"), "2,3,4,5");
}

TEST(ChatDatabase, NullColumnsReadAsTheirEmptyValues)
{
    ChatDatabase db(newDatabasePath());
    db.run("INSERT INTO chats(id, title, model_id, created_at, updated_at) VALUES(1, NULL, NULL, NULL, NULL)");
    db.run("INSERT INTO messages(id, chat_id, role, content, model_name, reasoning, reasoning_ms) "
           "VALUES(10, 1, NULL, NULL, NULL, NULL, NULL)");
    db.run("INSERT INTO messages(id, chat_id, role, content, model_name, reasoning, reasoning_ms) "
           "VALUES(11, 1, 'assistant', 'hi', 'Qwen', '', 0)");

    const auto chats = db.listChats();
    ASSERT_EQ(chats.size(), 1);
    EXPECT_EQ(chats[0], (ChatDatabase::ChatRecord{1, "", "", 0, 0, false, false, true}));

    const auto rows = db.messages(1);
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0], (ChatDatabase::MessageRecord{10, "user", "", "", std::nullopt, std::nullopt}));
    EXPECT_EQ(rows[1], (ChatDatabase::MessageRecord{11, "assistant", "hi", "Qwen", QString(""), 0}));
    EXPECT_TRUE(db.messages(2).isEmpty());
}

// Stored reasoning durations come back in a range a label can show: a
// hostile file's extremes, reals and text read as none or as the ceiling.
TEST(ChatDatabase, StoredReasoningDurationsReadIntoASaneRange)
{
    ChatDatabase db(newDatabasePath());
    db.run("INSERT INTO chats(id, title) VALUES(1, 'c')");
    db.run("INSERT INTO messages(id, chat_id, role, content, reasoning, reasoning_ms) VALUES"
           "(1, 1, 'assistant', 'a', 'r', -9223372036854775808),"
           "(2, 1, 'assistant', 'b', 'r', 9223372036854775807),"
           "(3, 1, 'assistant', 'c', 'r', 1e300),"
           "(4, 1, 'assistant', 'd', 'r', 'soon'),"
           "(5, 1, 'assistant', 'e', 'r', -1),"
           "(6, 1, 'assistant', 'f', 'r', 1500)");
    const auto rows = db.messages(1);
    ASSERT_EQ(rows.size(), 6);
    const int64_t week = int64_t(7) * 24 * 3600 * 1000;
    const int64_t expected[] = {0, week, week, 0, 0, 1500};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(rows[i].reasoningDurationMs, expected[i]) << "row " << rows[i].id;
}

TEST(ChatDatabase, SearchIgnoresCaseTakesWildcardsLiterallyAndMatchesNothingForEmpty)
{
    ChatDatabase db(newDatabasePath());
    for (int64_t id = 1; id <= 9; ++id)
        addChat(db, id, 0, id);
    addMessage(db, 1, "Hello World");
    addMessage(db, 1, "hello again");
    addMessage(db, 2, "WORLD peace");
    addMessage(db, 3, "nothing");
    addMessage(db, 4, QString::fromUtf8("100% ÄRGER"));
    addMessage(db, 5, QString::fromUtf8("before\0after", 12));
    // Characters beyond ASCII that fold into it: KELVIN SIGN and LONG S.
    addMessage(db, 6, QString::fromUtf8("200 \u212Aelvin, ca\u017Fe"));
    addMessage(db, 7, QString::fromUtf8("caf\u00E9 ends with Kelvin"));
    addMessage(db, 8, "kel");
    addMessage(db, 9, QString::fromUtf8("\u00FC\u00FC\u00FCwor"));

    using Ids = QSet<int64_t>;
    EXPECT_EQ(db.searchMessages("world"), (Ids{1, 2}));
    EXPECT_EQ(db.searchMessages("HELLO"), (Ids{1}));
    EXPECT_EQ(db.searchMessages(""), Ids{});
    EXPECT_EQ(db.searchMessages("xyz"), Ids{});
    EXPECT_EQ(db.searchMessages("%"), (Ids{4})) << "no LIKE wildcards";
    EXPECT_EQ(db.searchMessages("_"), Ids{});
    EXPECT_EQ(db.searchMessages(QString::fromUtf8("ärger")), (Ids{4})) << "case folding beyond ASCII";
    EXPECT_EQ(db.searchMessages("after"), (Ids{5})) << "text after a NUL is searched";
    EXPECT_EQ(db.searchMessages(QString::fromUtf8("\0", 1)), (Ids{5}));
    EXPECT_EQ(db.searchMessages("KELVIN"), (Ids{6, 7}));
    EXPECT_EQ(db.searchMessages(QString::fromUtf8("\u212A")), (Ids{6, 7, 8}));
    EXPECT_EQ(db.searchMessages("CASE"), (Ids{6}));
    EXPECT_EQ(db.searchMessages("kelvins"), Ids{}) << "a match may not run past the end";
    EXPECT_EQ(db.searchMessages(QString::fromUtf8("\u00DC\u00FCw")), (Ids{9}));
}

TEST(ChatDatabase, HostileTitlesAndTextsRoundTripVerbatim)
{
    const QString path = newDatabasePath();
    ChatDatabase db(path);
    const QStringList titles = {
        "x'); DROP TABLE chats;--",
        "Robert\"; DELETE FROM messages; --",
        "50% off_sale \\ ?1 :name @p $v",
        QString::fromUtf8("nul\0inside", 10),
        QString::fromUtf8("👨‍👩‍👧‍👦 ünïcödé"),
        QString(100000, QChar('z')),
        QString(QChar(0xFEFF)) + "starts with a zero-width no-break space",
        "",
    };
    QList<int64_t> ids;
    for (const QString& title : titles)
        ids.append(db.insertChat(title, title));
    QHash<int64_t, QString> listed;
    for (const auto& chat : db.listChats()) {
        listed.insert(chat.id, chat.title);
        EXPECT_EQ(chat.title, chat.modelId);
    }
    ASSERT_EQ(listed.size(), titles.size());
    for (int i = 0; i < titles.size(); ++i)
        EXPECT_EQ(listed.value(ids[i]), titles[i]) << i;
    EXPECT_TRUE(db.updateTitle(ids[0], QString::fromUtf8("new\0title", 9)));
    EXPECT_EQ(RawDatabase(path).value("SELECT length(CAST(title AS BLOB)) FROM chats WHERE id=?", {qint64(ids[0])}), 9);
}

TEST(ChatDatabase, OlderFileGetsMissingColumnsAddedAndKeepsEverythingElse)
{
    const QString path = newDatabasePath();
    {
        RawDatabase old(path);
        ASSERT_TRUE(old.exec("CREATE TABLE chats(id INTEGER PRIMARY KEY, title TEXT, model_id TEXT, "
                             "created_at INTEGER, updated_at INTEGER, colour TEXT);"
                             "CREATE TABLE messages(id INTEGER PRIMARY KEY, chat_id INTEGER, role TEXT, "
                             "content TEXT, model_name TEXT, created_at INTEGER);"
                             "INSERT INTO chats VALUES(1, 'Old trip', 'm0', 10, 20, 'teal');"
                             "INSERT INTO chats VALUES(2, 'Older', 'm0', 5, 5, NULL);"
                             "INSERT INTO messages VALUES(1, 1, 'user', 'hi', NULL, 10);"
                             "INSERT INTO messages VALUES(2, 1, 'assistant', 'hello', 'Qwen', 11);"));
    }
    {
        ChatDatabase db(path);
        ASSERT_TRUE(db.isOpen());
        EXPECT_EQ(listedIds(db), (QList<int64_t>{1, 2}));
        EXPECT_EQ(db.messages(1).value(1), (ChatDatabase::MessageRecord{2, "assistant", "hello", "Qwen", {}, {}, 11}));
        EXPECT_EQ(db.searchMessages("HELLO"), (QSet<int64_t>{1}));
        EXPECT_EQ(db.insertChat("New", "m1"), 3);
        EXPECT_GT(db.insert("INSERT INTO messages(chat_id, role, content, reasoning, reasoning_ms) VALUES(?,?,?,?,?)",
                            {3, "assistant", "a", "why", 5}),
                  0);
        EXPECT_TRUE(db.run("UPDATE chats SET pinned=1, council_on=1 WHERE id=2"));
        EXPECT_EQ(listedIds(db), (QList<int64_t>{2, 3, 1}));
        EXPECT_TRUE(db.councilOn(2));
        EXPECT_TRUE(db.run("UPDATE chats SET instructions='Be brief.' WHERE id=2"));
        EXPECT_EQ(db.instructions(2), "Be brief.");
        EXPECT_EQ(db.instructions(1), "");
    }

    RawDatabase raw(path);
    EXPECT_EQ(raw.rows("SELECT title, colour, pinned, is_council, council_on, instructions FROM chats WHERE id=1"),
              (QList<QVariantList>{{"Old trip", "teal", 0, 0, 0, QVariant()}}))
        << "unknown columns stay; added ones take their defaults";
    EXPECT_EQ(raw.value("PRAGMA journal_mode"), "wal") << "switched from the rollback journal";
    EXPECT_EQ(raw.value("SELECT COUNT(*) FROM message_search"), 3) << "older messages indexed on open";
    EXPECT_EQ(raw.value("PRAGMA integrity_check"), "ok");

    // A second open finds nothing to add.
    const auto schemaBefore = raw.rows("SELECT sql FROM sqlite_master");
    ChatDatabase again(path);
    EXPECT_EQ(raw.rows("SELECT sql FROM sqlite_master"), schemaBefore);
    EXPECT_EQ(listedIds(again), (QList<int64_t>{2, 3, 1}));
}

// A file from before images, on a full disk: the read-write open fails (a
// WAL file closed cleanly needs room for its -shm), or gets through and the
// images' table is what the disk refuses (the file is held open elsewhere).
// Either way its chats are listed, searched and read for export, the disk is
// said to be full, and the table comes once there is room.
TEST(ChatDatabase, AnOlderFileOnAFullDiskIsReadUntilThereIsRoomForImages)
{
    const QString old = newDatabasePath();
    ASSERT_TRUE(RawDatabase(old).exec(
        "PRAGMA journal_mode=WAL; CREATE TABLE chats(id INTEGER PRIMARY KEY, title TEXT, model_id TEXT, "
        "created_at INTEGER, updated_at INTEGER, pinned INTEGER NOT NULL DEFAULT 0, is_council INTEGER NOT NULL "
        "DEFAULT 0, council_on INTEGER NOT NULL DEFAULT 0, instructions TEXT); CREATE TABLE messages(id INTEGER "
        "PRIMARY KEY, chat_id INTEGER, role TEXT, content TEXT, model_name TEXT, created_at INTEGER, reasoning TEXT, "
        "reasoning_ms INTEGER); INSERT INTO chats(id, title, created_at) VALUES(1, 'Old trip', 10), (2, 'Older', 5);"
        "INSERT INTO messages(id, chat_id, role, content) VALUES(1, 1, 'user', 'hi'), (2, 1, 'assistant', 'hello');"));
    for (const bool held : {false, true}) {
        SCOPED_TRACE(held ? "held open elsewhere" : "closed");
        const QString path = newDatabasePath();
        ASSERT_TRUE(QFile::copy(old, path));
        const auto holder = held ? std::make_unique<RawDatabase>(path) : nullptr;
        std::optional<ChatDatabase> db;
        {
            // Held open, the -wal's header fits and its first page does not.
            cvn::test::FileWritesFail full(held ? 100 : 0);
            db.emplace(path, 0);
            db->setReopenInterval(0);
            ASSERT_TRUE(db->isReadOnly());
            EXPECT_TRUE(db->waitsForSpace() && db->writesFailing());
            EXPECT_EQ(listedIds(*db), (QList<int64_t>{2, 1}));
            EXPECT_EQ(db->searchMessages("HELLO"), (QSet<int64_t>{1}));
            EXPECT_EQ(cvn::ChatArchive::read(*db, {1}).value_or(cvn::ChatArchive::Chat{}).messages.size(), 2);
            cvn::ChatStore store(*db);
            EXPECT_EQ(cvn::ChatHistory(*db, store).notice(), cvn::ChatHistory::diskFullNotice);
            EXPECT_EQ(db->insertChat("Lost", "m"), 0);
            EXPECT_EQ(db->writeFault(), ChatDatabase::WriteFault::full);
        }
        EXPECT_EQ(db->insertChat("New", "m"), 3);
        EXPECT_FALSE(db->isReadOnly() || db->waitsForSpace());
        EXPECT_EQ(RawDatabase(path).value("SELECT COUNT(*) FROM message_images"), 0) << "the table is there";
    }
}

// Deleted chats give their space back: a file made before is switched to
// incremental vacuum at an open, and a delete that frees more than
// freedBytesReleased shrinks the file.
TEST(ChatDatabase, DeletedChatsGiveTheirSpaceBackToTheDisk)
{
    const QString path = newDatabasePath();
    ASSERT_TRUE(RawDatabase(path).exec("CREATE TABLE chats(id INTEGER PRIMARY KEY, title TEXT, model_id TEXT, "
                                       "created_at INTEGER, updated_at INTEGER);"));
    ChatDatabase db(path);
    EXPECT_EQ(RawDatabase(path).value("PRAGMA auto_vacuum"), 2) << "switched at the open";
    QList<int64_t> chats;
    for (int i = 0; i < 4; ++i) {
        chats.append(db.insertChat(QStringLiteral("Photos %1").arg(i), "m"));
        ASSERT_NE(db.insertMessage(chats.last(), "user", "look", Value::null(), Value::null(), Value::null(),
                                   Value(10), {{QStringLiteral("a.png"), QByteArray(3 << 20, 'p')}}),
                  0);
    }
    const auto fileSize = [&path] { return QFileInfo(path).size() + QFileInfo(path + "-wal").size(); };
    ASSERT_TRUE(db.exec("PRAGMA wal_checkpoint(TRUNCATE)"));
    const int64_t full = fileSize();
    ASSERT_TRUE(db.run("DELETE FROM chats WHERE id=?", {chats[0]}));
    EXPECT_GT(fileSize(), full - (1 << 20)) << "a small delete leaves its pages for the next writes";
    ASSERT_TRUE(db.run("DELETE FROM chats WHERE id IN (?, ?)", {chats[1], chats[2]}));
    EXPECT_LT(fileSize(), full - (8 << 20));
    EXPECT_EQ(RawDatabase(path).value("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(listedIds(db), (QList<int64_t>{chats[3]}));
}

// A file as the app wrote it before messages kept their images: opened, it
// keeps every message and then stores images with their message, which
// go with it whoever deletes it, and never with a later message given its id.
TEST(ChatDatabase, AFileWithoutImagesKeepsEveryMessageAndThenStoresImagesWithTheirMessage)
{
    const QString path = newDatabasePath();
    {
        RawDatabase before(path);
        ASSERT_TRUE(before.exec(
            "CREATE TABLE chats(id INTEGER PRIMARY KEY, title TEXT, model_id TEXT, created_at INTEGER, "
            "updated_at INTEGER, pinned INTEGER NOT NULL DEFAULT 0, is_council INTEGER NOT NULL DEFAULT 0, "
            "council_on INTEGER NOT NULL DEFAULT 0, instructions TEXT);"
            "CREATE TABLE messages(id INTEGER PRIMARY KEY, chat_id INTEGER, "
            "role TEXT CHECK(role IN ('user','assistant')), content TEXT, model_name TEXT, created_at INTEGER, "
            "reasoning TEXT, reasoning_ms INTEGER, FOREIGN KEY(chat_id) REFERENCES chats(id) ON DELETE CASCADE);"
            "CREATE INDEX idx_messages_chat ON messages(chat_id);"
            "CREATE INDEX idx_chats_created_title ON chats(ifnull(CAST(created_at AS INTEGER), 0), ifnull(title, ''));"));
        ASSERT_TRUE(before.exec(ChatDatabase::searchScript));
        ASSERT_TRUE(before.exec("PRAGMA journal_mode=WAL;"
                                "INSERT INTO chats(id, title, created_at) VALUES(1, 'Trip', 10);"
                                "INSERT INTO messages VALUES(1, 1, 'user', 'hi', NULL, 10, NULL, NULL);"
                                "INSERT INTO messages VALUES(2, 1, 'assistant', 'hello', 'Qwen', 11, 'r', 5);"));
    }
    const QList<cvn::ChatImage> images = cvn::test::sampleImages();
    {
        ChatDatabase db(path);
        ASSERT_TRUE(db.isOpen());
        EXPECT_EQ(db.messages(1), (QList<ChatDatabase::MessageRecord>{{1, "user", "hi", "", {}, {}, 10},
                                                                      {2, "assistant", "hello", "Qwen", "r", 5, 11}}));
        const int64_t row = db.insertMessage(1, "user", "look", Value::null(), Value::null(), Value::null(), 12, images);
        ASSERT_EQ(row, 3);
        db.insertMessage(1, "assistant", "nice", Value::null(), Value::null(), Value::null(), 13);
        EXPECT_EQ(db.messages(1).value(2).images, images);
        std::optional<ChatDatabase::StoredChat> chat;
        ASSERT_TRUE(db.readChat(1, 10, &chat) && chat);
        ASSERT_EQ(chat->messages.size(), 4);
        EXPECT_EQ(chat->messages[2].content, "look");
        EXPECT_EQ(chat->messages[2].images, images) << "each image once, in order, byte for byte";
        EXPECT_TRUE(chat->messages[3].images.isEmpty());
        EXPECT_EQ(db.searchMessages("look"), (QSet<int64_t>{1}));
        EXPECT_TRUE(db.searchMessages("zebra").isEmpty()) << "image bytes are not searched";
    }

    // A tool with foreign keys off (the sqlite3 shell's default).
    RawDatabase raw(path);
    EXPECT_EQ(raw.value("SELECT COUNT(*) FROM message_images WHERE message_id=3"), 4);
    ASSERT_TRUE(raw.exec("DELETE FROM messages WHERE id=4; DELETE FROM messages WHERE id=3"));
    EXPECT_EQ(raw.value("SELECT COUNT(*) FROM message_images"), 0);
    ASSERT_TRUE(raw.exec("INSERT INTO message_images(message_id, position, name, data) VALUES(3, 0, 'stray', x'00');"
                         "INSERT INTO messages(chat_id, role, content) VALUES(1, 'user', 'later')"));
    ChatDatabase again(path);
    ASSERT_EQ(again.messages(1).size(), 3);
    EXPECT_EQ(again.messages(1)[2].id, 3);
    EXPECT_TRUE(again.messages(1)[2].images.isEmpty()) << "an image left behind is not a later message's";
    ASSERT_GT(again.insertMessage(1, "user", "again", Value::null(), Value::null(), Value::null(), 14, images), 0);
    ASSERT_TRUE(again.run("DELETE FROM chats WHERE id=1"));
    EXPECT_EQ(raw.value("SELECT COUNT(*) FROM message_images"), 0) << "a deleted chat takes its images along";
    EXPECT_EQ(raw.value("PRAGMA integrity_check"), "ok");
}

// A folder that cannot be made, no path, a file that is not a database and a
// damaged database: every read answers empty, every write reports failure,
// and the file is left exactly as it was.
TEST(ChatDatabase, UnusableFilesAnswerEmptyValuesFailWritesAndAreLeftAsTheyWere)
{
    const auto expectNothing = [](ChatDatabase& db) {
        EXPECT_TRUE(db.listChats().isEmpty());
        EXPECT_TRUE(db.searchMessages("a").isEmpty());
        EXPECT_TRUE(db.searchMessages("aaa").isEmpty());
        EXPECT_TRUE(db.messages(3).isEmpty());
        EXPECT_FALSE(db.councilOn(1));
        EXPECT_EQ(db.insertChat("Trip", "m"), 0);
        EXPECT_EQ(db.insertMessage(1, "user", "lost"), 0);
        EXPECT_FALSE(db.updateTitle(1, "renamed"));
        EXPECT_FALSE(db.run("DELETE FROM chats WHERE id=?", {1}));
    };
    const auto write = [](const QString& path, const QByteArray& bytes) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    };

    const QString blocker = cvn::test::makeTempFolder("closed") + "/not-a-folder";
    write(blocker, {});
    {
        cvn::test::ScopedEnvironment dataHome("XDG_DATA_HOME", QFile::encodeName(blocker));
        for (const QString& path : {ChatDatabase::defaultPath(), QString()}) {
            ChatDatabase db(path);
            EXPECT_FALSE(db.isOpen());
            expectNothing(db);
            EXPECT_FALSE(db.exec("SELECT 1"));
            EXPECT_FALSE(db.prepare("SELECT 1"));
            EXPECT_FALSE(db.transaction([] { return true; }));
        }
    }
    EXPECT_EQ(fileBytes(blocker), QByteArray());

    const QString notes = newDatabasePath();
    const QByteArray junk = QByteArray("these are my notes, not a database\n").repeated(200);
    write(notes, junk);
    {
        ChatDatabase db(notes);
        EXPECT_FALSE(db.isOpen());
        expectNothing(db);
    }
    EXPECT_EQ(fileBytes(notes), junk);
    EXPECT_EQ(QDir(QFileInfo(notes).path()).entryList(QDir::Files), QStringList{"chats.db"});

    const QString damaged = newDatabasePath();
    {
        ChatDatabase db(damaged);
        ASSERT_TRUE(db.transaction([&] {
            for (int i = 0; i < 200; ++i)
                addMessage(db, db.insertChat(QStringLiteral("chat %1").arg(i), "m"), QString(2000, QChar('a' + i % 26)));
            return true;
        }));
    }
    QByteArray bytes = fileBytes(damaged);
    ASSERT_GT(bytes.size(), 64 * 1024);
    // Scribble over the pages past the first few, keeping the header.
    for (qsizetype i = 16 * 1024; i < bytes.size(); i += 7)
        bytes[i] = char(0xA5);
    write(damaged, bytes);
    {
        ChatDatabase db(damaged);
        expectNothing(db);
    }
    EXPECT_TRUE(fileBytes(damaged) == bytes) << "the damaged file is never rewritten, truncated or replaced";
}

// Waiting out another writer's lock is shown by the writers in several
// processes (CrashTest.cpp).
TEST(ChatDatabase, ReadOnlyConnectionAndBusyFileFailWritesButKeepReading)
{
    const QString path = newDatabasePath();
    ChatDatabase db(path, 0);
    ASSERT_EQ(db.insertChat("Kept", "m"), 1);

    // Writes refused (as on a read-only file): inserts answer 0, reads go on.
    ASSERT_TRUE(db.exec("PRAGMA query_only = ON"));
    EXPECT_EQ(db.insertChat("Refused", "m"), 0);
    EXPECT_FALSE(db.updateTitle(1, "Refused"));
    EXPECT_FALSE(db.transaction([&] { return db.insertChat("Refused", "m") != 0; }));
    EXPECT_EQ(listedIds(db), (QList<int64_t>{1}));
    EXPECT_EQ(db.listChats()[0].title, "Kept");
    ASSERT_TRUE(db.exec("PRAGMA query_only = OFF"));

    // A second process holding the write lock past the busy timeout.
    RawDatabase other(path);
    ASSERT_TRUE(other.exec("BEGIN IMMEDIATE"));
    EXPECT_EQ(db.insertChat("Blocked", "m"), 0);
    EXPECT_EQ(listedIds(db), (QList<int64_t>{1})) << "readers are not blocked by a pending write";
    EXPECT_TRUE(other.exec("COMMIT"));
    EXPECT_EQ(db.insertChat("Free", "m"), 2);
}

TEST(ChatDatabase, TransactionCommitsAllOrNothing)
{
    const QString path = newDatabasePath();
    ChatDatabase db(path);
    EXPECT_FALSE(db.transaction([&] {
        db.insertChat("one", "m");
        // A nested transaction joins the outer one and cannot commit alone.
        EXPECT_TRUE(db.transaction([&] { return db.insertChat("two", "m") != 0; }));
        return false;
    }));
    EXPECT_TRUE(db.listChats().isEmpty());
    EXPECT_TRUE(db.transaction([&] { return db.insertChat("three", "m") != 0 && db.insertChat("four", "m") != 0; }));
    EXPECT_EQ(db.listChats().size(), 2);
    EXPECT_EQ(RawDatabase(path).value("PRAGMA integrity_check"), "ok");
}

namespace {

// Pieces of text in several scripts, chosen for their case folding: accents,
// ß and ẞ, dotted and dotless i, KELVIN SIGN and LONG S (which fold into
// ASCII), the three sigmas, OHM SIGN, Cyrillic, Georgian capitals newer than
// SQLite's own folding tables, Cherokee (which folds to capitals), Deseret
// beyond the BMP, CJK and emoji.
const QStringList searchPieces = {
    "a", "A", "b", "e", "E", "k", "K", "s", "S", "i", "I", " ", "the ", "The", "\"", "'", "%", "_",
    QString::fromUtf8("é"), QString::fromUtf8("É"), QString::fromUtf8("ü"), QString::fromUtf8("Ü"),
    QString::fromUtf8("ß"), QString::fromUtf8("ẞ"), QString::fromUtf8("ı"), QString::fromUtf8("İ"),
    QString::fromUtf8("\u212A"), QString::fromUtf8("\u017F"), QString::fromUtf8("Σ"), QString::fromUtf8("σ"),
    QString::fromUtf8("ς"), QString::fromUtf8("Ω"), QString::fromUtf8("\u2126"), QString::fromUtf8("ω"),
    QString::fromUtf8("Д"), QString::fromUtf8("д"), QString::fromUtf8("Ё"), QString::fromUtf8("ё"),
    QString::fromUtf8("\u1C90"), QString::fromUtf8("\u10D0"), QString::fromUtf8("\u13A0"),
    QString::fromUtf8("\uAB70"), QString::fromUtf8("𐐀"), QString::fromUtf8("𐐨"), QString::fromUtf8("日"),
    QString::fromUtf8("本"), QString::fromUtf8("😀"), QString::fromUtf8("👨‍👩‍👧"), QString::fromUtf8("\n"),
};

QString randomText(QRandomGenerator& random, int maxPieces)
{
    QString text;
    for (int n = random.bounded(maxPieces + 1); n > 0; --n)
        text += searchPieces[random.bounded(int(searchPieces.size()))];
    return text;
}

// A query of `length` characters: a piece of a stored text with the case of
// each character flipped at random, or random pieces.
QString randomQuery(QRandomGenerator& random, const QStringList& texts, int length)
{
    const QList<uint> chars = texts[random.bounded(int(texts.size()))].toUcs4();
    QList<uint> query;
    if (chars.size() >= length && random.bounded(3) != 0) {
        const int from = random.bounded(int(chars.size()) - length + 1);
        for (int i = 0; i < length; ++i) {
            const uint c = chars[from + i];
            query.append(random.bounded(2) ? QChar::toUpper(c) : QChar::toLower(c));
        }
    } else {
        while (query.size() < length)
            query += randomText(random, 1).toUcs4();
        query.resize(length);
    }
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(query.constData()), query.size());
}

// The answer defined by QString's own case-insensitive search, message by
// message, read through a second connection.
QSet<int64_t> expectedChats(const QString& path, const QString& query)
{
    QSet<int64_t> chats;
    for (const QVariantList& row : RawDatabase(path).rows("SELECT chat_id, content FROM messages")) {
        if (!row[1].isNull() && row[1].toString().contains(query, Qt::CaseInsensitive))
            chats.insert(row[0].toLongLong());
    }
    return chats;
}

} // namespace

TEST(ChatDatabase, SearchGivesQStringsAnswerThroughEditsDeletesAndOtherWriters)
{
    const QString path = newDatabasePath();
    ChatDatabase db(path);
    QRandomGenerator random(20261207);
    QStringList texts;
    ASSERT_TRUE(db.transaction([&] {
        for (int64_t chat = 1; chat <= 60; ++chat) {
            addChat(db, chat, 0, chat);
            for (int m = 0; m < 8; ++m) {
                texts.append(randomText(random, 12));
                addMessage(db, chat, texts.last());
            }
        }
        return true;
    }));
    RawDatabase other(path);
    const auto checkQueries = [&](const char* stage) {
        for (int i = 0; i < 150; ++i) {
            const int length = 1 + i % 6;
            const QString query = randomQuery(random, texts, length);
            ASSERT_EQ(db.searchMessages(query), expectedChats(path, query)) << stage << ": " << query.toStdString();
        }
    };
    checkQueries("written");

    // Edits and deletes through this connection, a failed transaction, and
    // writes by another connection (which only this one indexes).
    ASSERT_TRUE(db.run("UPDATE messages SET content = ? WHERE id % 7 = 0", {QString::fromUtf8("Ωmega ẞtraße")}));
    ASSERT_TRUE(db.run("DELETE FROM messages WHERE id % 11 = 0"));
    ASSERT_TRUE(db.run("DELETE FROM chats WHERE id = 3"));
    EXPECT_FALSE(db.transaction([&] { return addMessage(db, 4, "rolled back zebra") != 0 && false; }));
    texts.append(QString::fromUtf8("Ωmega ẞtraße"));
    EXPECT_TRUE(db.searchMessages("zebra").isEmpty());
    checkQueries("edited");
    for (int i = 0; i < 20; ++i) {
        texts.append(randomText(random, 12));
        ASSERT_TRUE(other.rows("INSERT INTO messages(chat_id, role, content) VALUES(?, 'user', ?) RETURNING id",
                               {qint64(1 + i % 60), texts.last()})
                        .size() == 1);
    }
    ASSERT_TRUE(other.exec("UPDATE messages SET content = 'ZEBRA crossing' WHERE id = 9;"
                           "UPDATE messages SET chat_id = 2 WHERE id = 10; DELETE FROM messages WHERE id = 12"));
    EXPECT_EQ(db.searchMessages("zebra"), (QSet<int64_t>{2}));
    checkQueries("written elsewhere");
    EXPECT_EQ(other.value("SELECT COUNT(*) FROM message_search_pending"), 0);
    EXPECT_EQ(other.value("SELECT COUNT(*) FROM message_search"), other.value("SELECT COUNT(*) FROM messages"));

    // A file the index cannot be brought up to date in still answers.
    ASSERT_TRUE(other.exec("INSERT INTO messages(chat_id, role, content) VALUES(5, 'user', 'late Zebra')"));
    ASSERT_TRUE(other.exec("BEGIN IMMEDIATE"));
    ChatDatabase waiting(path, 0);
    EXPECT_EQ(waiting.searchMessages("ZEBRA"), (QSet<int64_t>{2, 5}));
    EXPECT_EQ(waiting.searchMessages(QString::fromUtf8("ω")), expectedChats(path, QString::fromUtf8("ω")));
    ASSERT_TRUE(other.exec("COMMIT"));
}

// Another connection that indexes its own messages (another instance) makes
// the copy of the indexed text old: a search then answers at once, from the
// copy it has and from the index, and the copy is read again on a thread of
// the database's own; once it is in, the other connection's text is found
// by every query.
TEST(ChatDatabase, SearchAfterAnotherInstanceCommittedNeverWaitsForTheCopy)
{
    const QString path = newDatabasePath();
    ChatDatabase db(path);
    addChat(db, 1, 0, 1);
    addMessage(db, 1, "a zebra crossing");
    EXPECT_EQ(db.searchMessages("ze"), (QSet<int64_t>{1}));
    cvn::test::HeldReads held;
    db.setCopyReadHook(held.hook());
    QSignalSpy renewed(&db, &ChatDatabase::searchRenewed);

    ChatDatabase other(path);
    addChat(other, 2, 0, 2);
    addMessage(other, 2, "zealous");
    EXPECT_EQ(db.searchMessages("ze"), (QSet<int64_t>{1})) << "the copy as it was";
    EXPECT_EQ(db.searchMessages("zealous"), (QSet<int64_t>{2})) << "the index";
    held.hold = false;
    ASSERT_TRUE(cvn::test::waitUntil([&] { return renewed.count() == 1; }, 10000));
    EXPECT_EQ(db.searchMessages("ze"), (QSet<int64_t>{1, 2}));
    EXPECT_EQ(std::tuple(held.reads.load(), held.onMain.load()), std::tuple(1, 0));
}

// A search made ready ahead reads the copy of the indexed text on its
// thread; searches meanwhile answer in full without it, and what this
// connection writes while it is read is in the copy once it comes.
TEST(ChatDatabase, PreparedSearchReadsTheCopyOnItsThreadAndAnswersMeanwhile)
{
    ChatDatabase db(newDatabasePath());
    addChat(db, 1, 0, 1);
    addMessage(db, 1, "a zebra crossing");
    cvn::test::HeldReads held;
    db.setCopyReadHook(held.hook());
    QSignalSpy renewed(&db, &ChatDatabase::searchRenewed);
    db.prepareSearch();
    EXPECT_EQ(db.searchMessages("ze"), (QSet<int64_t>{1}));
    EXPECT_EQ(db.searchMessages("zebra"), (QSet<int64_t>{1}));
    addChat(db, 2, 0, 2);
    addMessage(db, 2, "zealous");
    EXPECT_EQ(db.searchMessages("ze"), (QSet<int64_t>{1, 2}));
    held.hold = false;
    ASSERT_TRUE(cvn::test::waitUntil([&] { return renewed.count() == 1; }, 10000));
    EXPECT_EQ(db.searchMessages("ze"), (QSet<int64_t>{1, 2}));
    EXPECT_EQ(db.searchMessages("zealous"), (QSet<int64_t>{2}));
    EXPECT_EQ(std::tuple(held.reads.load(), held.onMain.load()), std::tuple(1, 0));
}

// A search whose scan of the copy is left to another thread scans the copy
// as it was when the search was made: this connection's writes meanwhile,
// to a chat already in the copy and to a new one, go to a copy of their own.
TEST(ChatDatabase, ASearchScannedOnAnotherThreadKeepsTheCopyItWasMadeWith)
{
    ChatDatabase db(newDatabasePath());
    addChat(db, 1, 0, 1);
    addMessage(db, 1, "a zebra crossing");
    addChat(db, 2, 0, 2);
    addMessage(db, 2, "plain");
    ASSERT_EQ(db.searchMessages("ze"), (QSet<int64_t>{1}));
    const ChatDatabase::MessageSearch search = db.startSearch("ze");
    ASSERT_GT(search.pendingBytes(), 0) << "a two-letter query is a scan of the copy";

    std::atomic<bool> writing = true;
    std::atomic<int> wrong = 0;
    std::thread scanner([&] {
        while (writing) {
            if (search.chats() != QSet<int64_t>{1} || !search.matches(1) || search.matches(2) || search.matches(3))
                ++wrong;
        }
    });
    addMessage(db, 2, "zero");
    for (int i = 0; i < 200; ++i)
        addMessage(db, 1, QString("more text %1").arg(i));
    addChat(db, 3, 0, 3);
    addMessage(db, 3, "zeal");
    writing = false;
    scanner.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(db.searchMessages("ze"), (QSet<int64_t>{1, 2, 3}));
    EXPECT_EQ(db.searchMessages(""), QSet<int64_t>{});
}
