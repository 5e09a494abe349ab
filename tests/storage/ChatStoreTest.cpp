#include "storage/ChatStore.h"

#include "HeldReads.h"
#include "RawDatabase.h"
#include "Turns.h"
#include "support/TempEnv.h"
#include "support/Wait.h"

#include <QLocale>
#include <QSignalSpy>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

using cvn::ChatDatabase;
using cvn::ChatStore;
using cvn::test::newDatabasePath;
using cvn::test::RawDatabase;
using cvn::test::rowOf;
using Change = cvn::ChatStore::Change;

namespace {

void addChat(ChatDatabase& db, int64_t id, const ChatDatabase::Value& title, int64_t updatedAt, int64_t pinned = 0)
{
    ASSERT_TRUE(db.run("INSERT INTO chats(id, title, pinned, updated_at) VALUES(?,?,?,?)",
                       {id, title, pinned, updatedAt}));
}

QList<int64_t> ids(const QList<ChatStore::Row>& rows)
{
    QList<int64_t> result;
    for (const auto& row : rows)
        result.append(row.id);
    return result;
}

// Lets the store's reading thread hand its rows over.
bool caughtUp(const ChatStore& store)
{
    return cvn::test::waitUntil([&] { return !store.catchingUp(); }, 10000);
}

// 2026-12-05 12:00 UTC.
const QDateTime noonUtc = QDateTime::fromSecsSinceEpoch(1796472000);

} // namespace

TEST(ChatStore, BlankTitlesListAsNewChatAndOthersStayUntrimmed)
{
    ChatDatabase db(newDatabasePath());
    addChat(db, 1, ChatDatabase::Value::null(), 5);
    addChat(db, 2, "", 4);
    addChat(db, 3, "   ", 3);
    addChat(db, 4, " a ", 2);
    addChat(db, 5, "\n\t", 1);
    ChatStore store(db);
    QStringList titles;
    for (const auto& row : store.rows())
        titles.append(row.title);
    EXPECT_EQ(titles, (QStringList{"New chat", "New chat", "New chat", " a ", "New chat"}));
}

TEST(ChatStore, SectionsFollowTheLocalDayOfOneNow)
{
    cvn::test::ScopedEnvironment utc("TZ", "UTC");
    ChatDatabase db(newDatabasePath());
    addChat(db, 1, "future", 1796515200);
    addChat(db, 2, "today", 1796428800);
    addChat(db, 3, "last second of yesterday", 1796428799);
    addChat(db, 4, "first second of yesterday", 1796342400);
    addChat(db, 5, "day before", 1796342399);
    addChat(db, 6, "march", 1740996000);
    addChat(db, 7, "pinned today", 1796470000, 1);
    addChat(db, 8, "pinned old", 100, 1);
    ChatStore store(db);

    EXPECT_EQ(ids(store.pinnedRows()), (QList<int64_t>{7, 8}));
    EXPECT_EQ(ids(store.unpinnedRows()), (QList<int64_t>{1, 2, 3, 4, 5, 6}));
    const auto sections = store.sections(noonUtc);
    QStringList headings;
    QList<QList<int64_t>> grouped;
    for (const auto& section : sections) {
        headings.append(section.heading);
        grouped.append(ids(section.rows));
    }
    EXPECT_EQ(headings, (QStringList{"6 DEC 2026", "TODAY", "YESTERDAY", "3 DEC 2026", "3 MAR 2025"}));
    EXPECT_EQ(grouped, (QList<QList<int64_t>>{{1}, {2}, {3, 4}, {5}, {6}}));

    // Month names are English whatever the user's locale.
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(ChatStore::dayHeading(1740996000, noonUtc), "3 MAR 2025");
    EXPECT_EQ(ChatStore::dayHeading(1778198400, noonUtc), "8 MAY 2026");
    QLocale::setDefault(saved);
    // Yesterday across a month and a year boundary.
    const QDateTime newYear = QDateTime::fromSecsSinceEpoch(1767225600 + 3600); // 2026-01-01 01:00
    EXPECT_EQ(ChatStore::dayHeading(1767225600 - 1, newYear), "YESTERDAY");
    EXPECT_EQ(ChatStore::dayHeading(1767225600 - 86401, newYear), "30 DEC 2025");
    // 2026-12-04 23:30 UTC is already the 5th in Berlin.
    EXPECT_EQ(ChatStore::dayHeading(1796427000, noonUtc), "YESTERDAY");
    cvn::test::ScopedEnvironment berlin("TZ", "Europe/Berlin");
    EXPECT_EQ(ChatStore::dayHeading(1796427000, noonUtc), "TODAY");
}

TEST(ChatStore, PinFlipsAndRenameTrimsWithoutMovingTheChat)
{
    const QString path = newDatabasePath();
    ChatDatabase db(path);
    addChat(db, 1, "old", 100);
    addChat(db, 2, "new", 200);
    ChatStore store(db);
    QSignalSpy changed(&store, &ChatStore::rowsChanged);
    RawDatabase raw(path);

    EXPECT_EQ(store.setPinned(rowOf(store, 1)), Change::stored);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(ids(store.pinnedRows()), (QList<int64_t>{1}));
    EXPECT_EQ(raw.value("SELECT updated_at FROM chats WHERE id=1"), 100);
    store.setPinned(rowOf(store, 1));
    EXPECT_EQ(changed.count(), 2);
    EXPECT_TRUE(store.pinnedRows().isEmpty());
    EXPECT_EQ(ids(store.rows()), (QList<int64_t>{2, 1})) << "back to its place by date";

    EXPECT_EQ(store.setPinned(rowOf(store, 99)), Change::gone);
    EXPECT_EQ(changed.count(), 2);

    for (const char* blank : {"  ", "", "\n"})
        store.rename(rowOf(store, 2), blank);
    EXPECT_EQ(changed.count(), 2);
    EXPECT_EQ(raw.value("SELECT title FROM chats WHERE id=2"), "new");
    store.rename(rowOf(store, 2), " Trip \n");
    EXPECT_EQ(changed.count(), 3);
    EXPECT_EQ(raw.value("SELECT title FROM chats WHERE id=2"), "Trip");
    EXPECT_EQ(store.rows().first().title, "Trip");
    EXPECT_EQ(raw.value("SELECT updated_at FROM chats WHERE id=2"), 200);
    // Renaming a chat that is gone stores nothing and publishes nothing.
    EXPECT_EQ(store.rename(rowOf(store, 42), "ghost"), Change::gone);
    EXPECT_EQ(changed.count(), 3);
}

TEST(ChatStore, AReloadPublishesOnlyAListThatDiffers)
{
    ChatDatabase db(newDatabasePath());
    addChat(db, 1, "a", 1);
    ChatStore store(db);
    QSignalSpy changed(&store, &ChatStore::rowsChanged);

    ASSERT_TRUE(db.run("INSERT INTO messages(chat_id, role, content) VALUES(?,?,?)", {1, "user", "A Zebra crossing"}));
    store.reload();
    EXPECT_EQ(changed.count(), 0) << "an identical list is not published";

    // A chat's messages do change its row (reasoning): that reload publishes.
    ASSERT_TRUE(db.run("INSERT INTO messages(chat_id, role, content) VALUES(?,?,?)", {1, "assistant", "<think>"}));
    store.reload();
    EXPECT_EQ(changed.count(), 1);
    EXPECT_TRUE(store.rows().first().reasoning);
}

TEST(ChatStore, ClosedDatabaseGivesAnEmptyListAndIgnoresActions)
{
    ChatDatabase db(QString{});
    ChatStore store(db);
    QSignalSpy changed(&store, &ChatStore::rowsChanged);
    store.reload();
    EXPECT_EQ(store.setPinned(rowOf(store, 1)), Change::notStored);
    EXPECT_EQ(store.rename(rowOf(store, 1), "x"), Change::notStored);
    EXPECT_TRUE(store.rows().isEmpty());
    EXPECT_TRUE(store.sections(noonUtc).isEmpty());
    EXPECT_TRUE(db.searchMessages("x").isEmpty());
    EXPECT_EQ(changed.count(), 0);
}

TEST(ChatStore, ChatsUpdatedInTheSameSecondListTheNewestIdFirst)
{
    ChatDatabase db(newDatabasePath());
    for (const int64_t id : {3, 1, 6, 4, 2, 5})
        addChat(db, id, "tie", 500, id > 4);
    EXPECT_EQ(ids(ChatStore(db).rows()), (QList<int64_t>{6, 5, 4, 3, 2, 1}));
}

// After the list's own connection writes, only the written chats' rows are
// read again, each put where a full read puts it: into the pins, between
// chats of the same second, a chat without a date after one dated 0, values
// a full read orders differently from what they read as. A chat gone leaves
// the list, a new one comes in; rows that cannot be read leave it as it was.
TEST(ChatStore, ARefreshReadsOnlyTheWrittenChatsAndPlacesThemAsAFullReadDoes)
{
    const QString path = newDatabasePath();
    ChatDatabase db(path);
    for (int64_t id = 1; id <= 8; ++id)
        addChat(db, id, "chat", 100 * (id % 3), id % 4 == 0);
    ChatStore store(db);
    RawDatabase raw(path);
    const auto fullList = [&] { return ChatStore(db).rows(); };
    const QList<std::pair<QSet<int64_t>, QString>> writes = {
        {{3}, "UPDATE chats SET updated_at=200 WHERE id=3"},
        {{5}, "UPDATE chats SET pinned=1 WHERE id=5"},
        {{7}, "UPDATE chats SET updated_at=NULL WHERE id=7"},
        {{9}, "INSERT INTO chats(id, title, updated_at) VALUES(9, 'new', 100)"},
        {{2}, "DELETE FROM chats WHERE id=2"},
        {{3, 8}, "UPDATE chats SET updated_at=300, pinned=0 WHERE id IN (3, 8)"},
        {{4}, "UPDATE chats SET pinned=2 WHERE id=4"},
        {{6}, "UPDATE chats SET updated_at='soon' WHERE id=6"},
        {{4, 6}, "UPDATE chats SET pinned=1, updated_at=50 WHERE id IN (4, 6)"},
    };
    for (const auto& [written, sql] : writes) {
        ASSERT_TRUE(db.exec(sql));
        store.refresh(written);
        ASSERT_TRUE(caughtUp(store));
        EXPECT_EQ(store.rows(), fullList()) << sql.toStdString();
    }

    QSignalSpy changed(&store, &ChatStore::rowsChanged);
    ASSERT_TRUE(db.exec("UPDATE chats SET title='behind' WHERE id=1"));
    store.refresh({5});
    EXPECT_EQ(changed.count(), 0);
    ASSERT_TRUE(db.exec("UPDATE chats SET title='written' WHERE id=5"));
    store.refresh({5});
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(ids(store.rows()), (QList<int64_t>{5, 6, 4, 8, 3, 9, 1, 7}));
    EXPECT_EQ(store.rows()[6].title, "chat") << "chat 1 was not written";
    store.reload();
    EXPECT_EQ(store.rows()[6].title, "behind");

    ASSERT_TRUE(raw.exec("ALTER TABLE chats RENAME TO unreadable"));
    store.refresh({5});
    EXPECT_EQ(ids(store.rows()), (QList<int64_t>{5, 6, 4, 8, 3, 9, 1, 7})) << "kept when nothing can be read";
}

// Another program deletes the newest chat and makes a new one, which gets
// the freed id. The list then shows the new chat after this window's next
// write, a pin, rename or delete of the old row changes nothing, and other
// programs' edits reorder the list when the window asks, not before.
TEST(ChatStore, ARowIsOneChatAndTheListFollowsWhatOthersCommit)
{
    const QString path = newDatabasePath();
    ChatDatabase db(path);
    ASSERT_TRUE(db.exec("INSERT INTO chats(id, title, created_at, updated_at) VALUES"
                        "(1, 'first', 10, 100), (2, 'second', 20, 200)"));
    ChatStore store(db);
    RawDatabase raw(path);
    const ChatStore::Row stale = rowOf(store, 2);
    ASSERT_EQ(stale.createdAt, 20);

    ASSERT_TRUE(raw.exec("DELETE FROM chats WHERE id=2;"
                         "INSERT INTO chats(id, title, created_at, updated_at) VALUES(2, 'theirs', 30, 300)"));
    ASSERT_TRUE(db.run("UPDATE chats SET updated_at=150 WHERE id=1"));
    store.refresh({1});
    ASSERT_TRUE(caughtUp(store));
    EXPECT_EQ(store.rows(), ChatStore(db).rows());
    EXPECT_EQ(rowOf(store, 2).title, "theirs");

    EXPECT_EQ(store.rename(stale, "mine"), Change::gone);
    EXPECT_EQ(store.setPinned(stale), Change::gone);
    EXPECT_EQ(store.remove(stale), Change::gone);
    EXPECT_EQ(raw.rows("SELECT id, title, pinned FROM chats ORDER BY id"),
              (QList<QVariantList>{{1, "first", 0}, {2, "theirs", 0}}));

    // Others' edits show when the window asks; this connection's own do not
    // make it read the list again.
    ASSERT_TRUE(raw.exec("UPDATE chats SET pinned=1 WHERE id=1"));
    ASSERT_TRUE(db.run("UPDATE chats SET title='own' WHERE id=2"));
    EXPECT_TRUE(store.catchUp());
    ASSERT_TRUE(caughtUp(store));
    EXPECT_EQ(ids(store.rows()), (QList<int64_t>{1, 2}));
    ASSERT_TRUE(db.run("UPDATE chats SET title='own again' WHERE id=2"));
    EXPECT_FALSE(store.catchUp());
    EXPECT_EQ(rowOf(store, 2).title, "own");
}

// Another program commits again and again while the window catches up: the
// list is read on the store's own thread, never the main one, and what this
// connection writes while a read is under way is kept though the read may
// have missed it. Once the other program stops, the list is a full read's.
TEST(ChatStore, CatchingUpReadsOnItsOwnThreadAndEndsAsAFullRead)
{
    const QString path = newDatabasePath();
    ChatDatabase db(path);
    for (int64_t id = 1; id <= 20; ++id)
        addChat(db, id, "chat", id);
    ChatStore store(db);
    cvn::test::HeldReads held;
    store.setReadHook(held.hook());

    // Read before this window's own rename, handed over after it.
    ASSERT_TRUE(ChatDatabase(path).run("UPDATE chats SET pinned=1 WHERE id=3"));
    EXPECT_TRUE(store.catchUp());
    ASSERT_TRUE(cvn::test::waitUntil([&] { return held.reads == 1; }, 10000));
    ASSERT_TRUE(db.run("UPDATE chats SET title='mine', updated_at=99 WHERE id=7"));
    store.refresh({7});
    EXPECT_EQ(rowOf(store, 7).title, "mine") << "placed at once";
    held.hold = false;
    ASSERT_TRUE(caughtUp(store));
    EXPECT_EQ(store.rows(), ChatStore(db).rows());

    std::atomic<bool> stop = false;
    std::thread other([&] {
        ChatDatabase theirs(path);
        for (int64_t n = 0; !stop && n < 2000; ++n) {
            theirs.transaction([&] {
                return theirs.run("UPDATE chats SET updated_at=? WHERE id=?", {100 + n, 1 + n % 20})
                    && theirs.run("INSERT INTO chats(title, updated_at) VALUES('theirs', ?)", {100 + n});
            });
            theirs.run("DELETE FROM chats WHERE id=(SELECT min(id) FROM chats WHERE title='theirs')");
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (int i = 0; i < 20; ++i) {
        store.catchUp();
        cvn::test::waitUntil([] { return false; }, 10);
    }
    stop = true;
    other.join();
    ASSERT_TRUE(caughtUp(store));
    store.catchUp();
    ASSERT_TRUE(caughtUp(store));
    EXPECT_EQ(store.rows(), ChatStore(db).rows());
    EXPECT_GE(held.reads.load(), 3);
    EXPECT_EQ(held.onMain.load(), 0);
}

// A catch-up's pinned rows and day sections are worked out on the reading
// thread: they equal those of a list read at once, on the day they were
// worked out for and on the next, and follow this connection's writes.
TEST(ChatStore, ListsWorkedOutOnTheReadingThreadEqualAFullRead)
{
    const QString path = newDatabasePath();
    ChatDatabase db(path);
    const int64_t now = QDateTime::currentSecsSinceEpoch();
    for (int64_t id = 1; id <= 30; ++id)
        addChat(db, id, "chat", now - id * 40000, id % 7 == 0);
    ChatStore store(db);
    ASSERT_TRUE(ChatDatabase(path).run("UPDATE chats SET pinned=1, updated_at=? WHERE id=3", {now}));
    EXPECT_TRUE(store.catchUp());
    ASSERT_TRUE(caughtUp(store));
    const auto expectFullRead = [&](const char* stage, const QList<int64_t>& pinned) {
        ChatStore full(db);
        const QDateTime today = QDateTime::currentDateTime();
        for (const QDateTime& day : {today, today.addDays(1)})
            EXPECT_EQ(store.sections(day), full.sections(day)) << stage;
        EXPECT_EQ(store.pinnedRows(), full.pinnedRows()) << stage;
        EXPECT_EQ(ids(store.pinnedRows()), pinned) << stage;
    };
    expectFullRead("caught up", {3, 7, 14, 21, 28});
    // Those the drawer takes as they are, worked out on the thread.
    const QDateTime today = QDateTime::currentDateTime();
    const std::optional<ChatStore::Lists> ready = store.readyLists(today);
    ASSERT_TRUE(ready);
    const ChatStore::Lists full = ChatStore::listsOf(ChatStore(db).rows(), today);
    EXPECT_EQ(std::tuple(ready->today, ready->pinned, ready->sections),
              std::tuple(full.today, full.pinned, full.sections));
    EXPECT_FALSE(store.readyLists(today.addDays(1))) << "worked out for another day";
    ASSERT_TRUE(db.run("UPDATE chats SET pinned=0, updated_at=? WHERE id=14", {now}));
    store.refresh({14});
    EXPECT_FALSE(store.readyLists(today)) << "the rows changed since";
    expectFullRead("after a write", {3, 7, 21, 28});
}
