// What happens to the user's words while the chat database cannot be
// written: another process holding its write lock (a backup tool), a data
// folder that is read-only for a while, a read-only folder holding a -wal
// file without its -shm. And the chat list after a write, which must be the
// list a full read gives without rereading every message.

#include "engine/Turn.h"
#include "platform/ProcessIdentity.h"
#include "storage/ChatHistory.h"

#include "RawDatabase.h"
#include "Turns.h"
#include "support/TempEnv.h"
#include "support/WriteFailure.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>

#include <memory>

#include <gtest/gtest.h>

using cvn::ChatDatabase;
using cvn::ChatHistory;
using cvn::ChatStore;
using cvn::test::createdAtOf;
using cvn::test::openStored;
using cvn::test::RawDatabase;
using cvn::test::rowOf;
using cvn::test::replyTurn;
using cvn::test::userTurn;
using Turn = cvn::Turn;
using Rows = QList<QVariantList>;
using Change = ChatStore::Change;

namespace {

QStringList contents(const QList<Turn>& turns)
{
    QStringList texts;
    for (const Turn& turn : turns)
        texts.append(turn.content);
    return texts;
}

Rows storedContents(const RawDatabase& raw, int64_t chatId)
{
    return raw.rows("SELECT content FROM messages WHERE chat_id=? ORDER BY id", {qint64(chatId)});
}

// The warnings logged while it lives.
class LogCapture {
public:
    LogCapture() { previous = qInstallMessageHandler(&LogCapture::keep); }
    ~LogCapture() { qInstallMessageHandler(previous); }
    static inline QStringList lines;

private:
    static void keep(QtMsgType, const QMessageLogContext&, const QString& message) { lines.append(message); }
    QtMessageHandler previous = nullptr;
};

// A fresh database as the application opens it, a history over it, and a
// plain second connection to look at the file. Reopening is not held back,
// so that a test need not wait for it.
class WriteRecovery : public ::testing::Test {
protected:
    WriteRecovery() { db.setReopenInterval(0); }
    // Another process taking the write lock until the holder goes.
    std::unique_ptr<RawDatabase> holdLock(const char* begin = "BEGIN EXCLUSIVE")
    {
        auto holder = std::make_unique<RawDatabase>(path);
        EXPECT_TRUE(holder->exec(begin));
        return holder;
    }

    const QString path = cvn::test::newDatabasePath();
    ChatDatabase db{path, 0};
    ChatStore store{db};
    ChatHistory history{db, store};
    RawDatabase raw{path};
};

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// chats.db and its -wal at `path` as a run that ended before a checkpoint
// leaves them: one chat in the file, a second (`walChat`) only in the -wal.
void writeFileWithWal(const QString& path, int64_t* walChat)
{
    const QString source = cvn::test::newDatabasePath();
    ChatDatabase db{source};
    ChatStore store(db);
    ChatHistory history(db, store);
    history.persist({userTurn("checkpointed"), replyTurn("in the file")}, QString("m"));
    ASSERT_TRUE(db.exec("PRAGMA wal_checkpoint(TRUNCATE)"));
    history.reset();
    history.persist({userTurn("only in the wal"), replyTurn("The lighthouse keeper")}, QString("m"));
    *walChat = history.chatId();
    // Copied while the connection still holds the -wal's frames.
    ASSERT_TRUE(QFile::copy(source, path));
    ASSERT_TRUE(QFile::copy(source + "-wal", path + "-wal"));
    ASSERT_GT(QFileInfo(path + "-wal").size(), 0);
}

QStringList sortedTitles(const ChatDatabase& db)
{
    QStringList titles;
    for (const auto& chat : db.listChats())
        titles.append(chat.title);
    titles.sort();
    return titles;
}

QStringList foldersIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
}

} // namespace

// A backup tool holds the write lock while the user sends a message, then
// goes to other chats and starts a new one: nothing typed is dropped, each
// chat keeps its own turns, and they are written in order once the lock is
// released, at the next chat change.
TEST_F(WriteRecovery, TurnsTypedUnderAHeldLockFollowTheirChatAcrossChatChanges)
{
    QList<Turn> first{userTurn("q1"), replyTurn("a1")};
    history.persist(first, QString("m"));
    const int64_t firstId = history.chatId();
    history.reset();
    history.persist({userTurn("other"), replyTurn("other reply")}, QString("m"));
    const int64_t otherId = history.chatId();
    ASSERT_GE(firstId, 1);
    ASSERT_GE(otherId, 1);

    first = openStored(history, db, firstId);
    auto lock = holdLock();
    QSignalSpy availability(&history, &ChatHistory::databaseAvailableChanged);
    first << userTurn("locked send one") << replyTurn("locked reply");
    history.persist(first, QString("m"));
    EXPECT_FALSE(history.databaseAvailable());
    EXPECT_TRUE(history.hasWaitingWrites());

    // Chat changes while the lock is still held; the first exchange of a new
    // chat waits too.
    openStored(history, db, otherId);
    history.reset();
    history.persist({userTurn("new while locked"), replyTurn("new reply")}, QString("m"));
    history.reset();
    // Another chat deleted meanwhile takes nothing of the others with it.
    history.forgetChat(otherId, createdAtOf(db, otherId));
    // Opened again while held: shown as it was left, waiting turns included.
    EXPECT_EQ(contents(openStored(history, db, firstId)), (QStringList{"q1", "a1", "locked send one", "locked reply"}));
    EXPECT_EQ(history.chatId(), firstId);
    openStored(history, db, otherId);
    EXPECT_EQ(storedContents(raw, firstId), (Rows{{"q1"}, {"a1"}}));
    EXPECT_EQ(availability.count(), 1);

    // At quit with the lock still held: each waiting turn is named.
    {
        LogCapture log;
        LogCapture::lines.clear();
        history.flushBeforeQuit();
        const QString all = LogCapture::lines.join(QLatin1Char('\n'));
        EXPECT_TRUE(all.contains(QString("chat %1: \"locked send one\"").arg(firstId))) << all.toStdString();
        EXPECT_TRUE(all.contains("a new chat: \"new while locked\"")) << all.toStdString();
        EXPECT_TRUE(all.contains("\"new reply\"")) << all.toStdString();
    }

    lock.reset();
    const QList<Turn> back = openStored(history, db, firstId);
    EXPECT_EQ(contents(back), (QStringList{"q1", "a1", "locked send one", "locked reply"}));
    EXPECT_EQ(storedContents(raw, firstId), (Rows{{"q1"}, {"a1"}, {"locked send one"}, {"locked reply"}}));
    EXPECT_EQ(raw.rows("SELECT title FROM chats ORDER BY id"),
              (Rows{{"q1"}, {"other"}, {"new while locked"}}));
    EXPECT_EQ(storedContents(raw, 3), (Rows{{"new while locked"}, {"new reply"}}));
    EXPECT_TRUE(history.databaseAvailable());
    EXPECT_FALSE(history.hasWaitingWrites());
    EXPECT_EQ(store.rows().size(), 3);

    // The reopened chat goes on from its rows: nothing is written twice.
    history.persist(back, QString("m"));
    EXPECT_EQ(raw.value("SELECT COUNT(*) FROM messages"), 8);
}

// Retried with no chat change: by the timer's call, and by the next send,
// which writes what waited before its own turn; the flags of a saved chat
// wait with them. A chat deleted meanwhile drops what waited for it.
TEST_F(WriteRecovery, WaitingWritesGoOutAtTheRetryOrTheNextSendInOrder)
{
    QList<Turn> turns{userTurn("q1"), replyTurn("a1")};
    history.persist(turns, QString("m"));
    const int64_t chatId = history.chatId();
    auto lock = holdLock("BEGIN IMMEDIATE");
    turns << userTurn("q2");
    history.persist(turns, QString("m"));
    history.setCouncilOn(true);
    history.markCouncil();
    EXPECT_TRUE(history.loadCouncilOn()) << "the switch as the user left it";
    EXPECT_FALSE(history.retryWrites());
    lock.reset();

    // The next send: q2 first, then q3.
    turns << replyTurn("a2") << userTurn("q3");
    history.persist(turns, QString("m"));
    EXPECT_EQ(storedContents(raw, chatId), (Rows{{"q1"}, {"a1"}, {"q2"}, {"a2"}, {"q3"}}));
    EXPECT_EQ(raw.rows("SELECT is_council, council_on FROM chats"), (Rows{{1, 1}}));
    EXPECT_TRUE(history.databaseAvailable());

    // The retry alone.
    lock = holdLock();
    turns << replyTurn("a3");
    history.persist(turns, QString("m"));
    lock.reset();
    EXPECT_TRUE(history.retryWrites());
    EXPECT_EQ(storedContents(raw, chatId).size(), 6);

    // Deleted by another instance while a turn waited: not retried for ever,
    // and not dropped either: saved again as a new chat.
    ASSERT_TRUE(raw.exec("CREATE TRIGGER refuse BEFORE INSERT ON messages BEGIN SELECT RAISE(ABORT, 'full'); END"));
    turns << userTurn("into a chat that goes");
    history.persist(turns, QString("m"));
    EXPECT_TRUE(history.hasWaitingWrites());
    ASSERT_TRUE(raw.exec("DROP TRIGGER refuse; DELETE FROM chats"));
    EXPECT_TRUE(history.retryWrites());
    EXPECT_FALSE(history.hasWaitingWrites());
    EXPECT_EQ(storedContents(raw, history.chatId()).size(), 7);
}

// Chat ids are handed out again: a chat deleted elsewhere is never written
// into the chat that took its id, nor are its turns dropped. They are saved
// again as a new chat under its title, and the user is told.
TEST_F(WriteRecovery, AChatDeletedElsewhereIsSavedAgainAsANewChat)
{
    QSignalSpy savedAgain(&history, &ChatHistory::chatSavedAgain);
    history.persist({userTurn("alpha"), replyTurn("a")}, QString("m"));
    history.reset();
    history.persist({userTurn("bravo"), replyTurn("b")}, QString("m"));
    ASSERT_EQ(history.chatId(), 2);
    // Bravo is older than anything made below.
    ASSERT_TRUE(raw.exec("UPDATE chats SET created_at=1000, title='Bravo' WHERE id=2"));

    // Under a held lock: a new chat waits, then Bravo, left with its reply
    // stopped by the chat change.
    auto lock = holdLock();
    history.reset();
    history.persist({userTurn("new one"), replyTurn("new reply"), userTurn("new two")}, QString("m"));
    QList<Turn> bravo = openStored(history, db, 2);
    Turn stopped = replyTurn("half a rep", Turn::State::streaming());
    bravo << userTurn("bravo two") << stopped;
    history.persist(bravo, QString("m"));
    history.reset();
    EXPECT_EQ(contents(openStored(history, db, 2)), (QStringList{"bravo", "b", "bravo two"}))
        << "the stopped reply is never stored, so it is not shown";
    history.reset();
    {
        LogCapture log;
        LogCapture::lines.clear();
        history.flushBeforeQuit();
        const QString all = LogCapture::lines.join(QLatin1Char('\n'));
        EXPECT_TRUE(all.contains("a new chat: \"new two\"")) << all.toStdString();
        EXPECT_FALSE(all.contains("half a rep")) << all.toStdString();
    }

    // Another instance deletes Bravo; the waiting new chat then takes its id.
    lock.reset();
    ASSERT_TRUE(raw.exec("PRAGMA foreign_keys=ON; DELETE FROM chats WHERE id=2; PRAGMA foreign_keys=OFF"));
    EXPECT_TRUE(history.retryWrites());
    EXPECT_EQ(storedContents(raw, 2), (Rows{{"new one"}, {"new reply"}, {"new two"}}));
    EXPECT_EQ(raw.rows("SELECT id, title FROM chats ORDER BY id"), (Rows{{1, "alpha"}, {2, "new one"}, {3, "Bravo"}}));
    EXPECT_EQ(storedContents(raw, 3), (Rows{{"bravo"}, {"b"}, {"bravo two"}}));
    ASSERT_EQ(savedAgain.count(), 1);
    EXPECT_EQ(savedAgain.first().value(0).toString(), "Bravo");
    EXPECT_EQ(ChatHistory::savedAgainToast("Bravo"), "\"Bravo\" was deleted elsewhere and is saved again as a new chat");

    // The open chat, with a blank title, deleted by a tool that leaves its
    // messages behind; the user goes on: what is on screen and the next
    // exchange land in a new chat, which is then the open one and does not
    // take in the messages left behind.
    ASSERT_TRUE(raw.exec("UPDATE chats SET title=' ' WHERE id=3"));
    QList<Turn> again = openStored(history, db, 3);
    ASSERT_TRUE(raw.exec("DELETE FROM chats WHERE id=3"));
    again << userTurn("still there?");
    history.persist(again, QString("m"));
    EXPECT_EQ(history.chatId(), 4);
    again << replyTurn("yes");
    history.persist(again, QString("m"));
    EXPECT_EQ(storedContents(raw, 4), (Rows{{"bravo"}, {"b"}, {"bravo two"}, {"still there?"}, {"yes"}}));
    EXPECT_EQ(raw.value("SELECT title FROM chats WHERE id=4"), "New chat");
    ASSERT_EQ(savedAgain.count(), 2);
    EXPECT_EQ(savedAgain.last().value(0).toString(), "New chat");
    EXPECT_TRUE(history.databaseAvailable());
    EXPECT_EQ(store.rows().size(), 3);
}

// A chat saved again is stored at once, with the message that found it
// deleted, so a stopped reply loses nothing: under the title and pin the
// list showed (set here a moment before), each message keeping its time.
// When even that cannot be written, its turns wait like any others, in the
// backlog and in the quit log, and the user is told once it is stored.
TEST_F(WriteRecovery, AChatSavedAgainIsStoredAtOnceAsTheListShowedIt)
{
    QSignalSpy savedAgain(&history, &ChatHistory::chatSavedAgain);
    const auto stopped = [] {
        Turn turn = replyTurn("half a rep");
        turn.cancelledByUser = true;
        return turn;
    };
    history.persist({userTurn("alpha"), replyTurn("a")}, QString("m"));
    ASSERT_TRUE(raw.exec("UPDATE messages SET created_at=1000+id"));
    QList<Turn> turns = openStored(history, db, 1);
    ASSERT_EQ(store.rename(rowOf(store, 1), "Renamed here"), Change::stored);
    ASSERT_EQ(store.setPinned(rowOf(store, 1)), Change::stored);
    ASSERT_TRUE(raw.exec("PRAGMA foreign_keys=ON; DELETE FROM chats WHERE id=1"));

    turns << userTurn("still here?");
    history.persist(turns, QString("m"));
    ASSERT_EQ(savedAgain.count(), 1);
    EXPECT_EQ(savedAgain.first().value(0).toString(), "Renamed here");
    const qint64 again = history.chatId();
    turns << stopped();
    history.persist(turns, QString("m"));
    history.reset();
    EXPECT_EQ(raw.rows("SELECT title, pinned FROM chats WHERE id=?", {again}), (Rows{{"Renamed here", 1}}));
    EXPECT_EQ(raw.rows("SELECT content, created_at FROM messages WHERE chat_id=? AND created_at<2000", {again}),
              (Rows{{"alpha", 1001}, {"a", 1002}}));
    EXPECT_EQ(storedContents(raw, again), (Rows{{"alpha"}, {"a"}, {"still here?"}}));

    turns = openStored(history, db, again);
    ASSERT_TRUE(raw.exec(QString("DELETE FROM chats WHERE id=%1;"
                                 "CREATE TRIGGER refuse BEFORE INSERT ON messages BEGIN SELECT RAISE(ABORT, 'full'); END")
                             .arg(again)));
    turns << userTurn("typed while refused");
    history.persist(turns, QString("m"));
    turns << stopped();
    history.persist(turns, QString("m"));
    history.reset();
    EXPECT_EQ(savedAgain.count(), 1) << "nothing is stored yet";
    EXPECT_FALSE(history.databaseAvailable());
    {
        LogCapture log;
        LogCapture::lines.clear();
        history.flushBeforeQuit();
        const QString all = LogCapture::lines.join(QLatin1Char('\n'));
        EXPECT_TRUE(all.contains("a new chat: \"typed while refused\"")) << all.toStdString();
    }
    ASSERT_TRUE(raw.exec("DROP TRIGGER refuse"));
    EXPECT_TRUE(history.retryWrites());
    EXPECT_EQ(savedAgain.count(), 2);
    const QVariant newest = raw.value("SELECT max(id) FROM chats");
    EXPECT_EQ(storedContents(raw, newest.toLongLong()),
              (Rows{{"alpha"}, {"a"}, {"still here?"}, {"typed while refused"}}));
    EXPECT_EQ(raw.rows("SELECT title, pinned FROM chats"), (Rows{{"Renamed here", 1}}));
}

// Charlie has a turn waiting behind another program's lock while another
// chat, with a turn of its own waiting, is open. The holder deletes Charlie,
// gives its id to a chat of its own and commits, and at once (before the
// retry) Charlie is opened: its entry comes out of the backlog first, the
// other chat is written, and Charlie, saved again with every turn, opens as
// the chat it became, with the toast. When even that cannot be written, it
// opens as it is, its turns waiting with the notice, until the retry saves
// it again.
TEST_F(WriteRecovery, AWaitingChatDeletedElsewhereOpensAsTheChatItBecame)
{
    QSignalSpy savedAgain(&history, &ChatHistory::chatSavedAgain);
    history.persist({userTurn("alpha"), replyTurn("a")}, QString("m"));
    history.reset();
    history.persist({userTurn("Charlie chat"), replyTurn("c")}, QString("m"));
    const int64_t charlie = history.chatId();
    const int64_t charlieAt = createdAtOf(db, charlie);
    const auto replaceAndCommit = [&](RawDatabase& holder, int64_t id, int64_t createdAt, const char* more) {
        ASSERT_TRUE(holder.exec(QString("DELETE FROM messages WHERE chat_id=%1; DELETE FROM chats WHERE id=%1;"
                                        "INSERT INTO chats(id, title, created_at) VALUES(%1, 'Holder three', %2);"
                                        "COMMIT;%3")
                                    .arg(id)
                                    .arg(createdAt + 1)
                                    .arg(more)));
    };

    QList<Turn> turns = openStored(history, db, charlie);
    auto lock = holdLock();
    turns << userTurn("typed under the lock") << replyTurn("its reply");
    history.persist(turns, QString("m"));
    QList<Turn> alpha = openStored(history, db, 1);
    alpha << userTurn("alpha two");
    history.persist(alpha, QString("m"));
    replaceAndCommit(*lock, charlie, charlieAt, "");
    lock.reset();

    const QList<Turn> opened = history.load(charlie, charlieAt).value_or(QList<Turn>());
    EXPECT_EQ(contents(opened), (QStringList{"Charlie chat", "c", "typed under the lock", "its reply"}));
    const int64_t became = history.chatId();
    EXPECT_GE(became, 1);
    EXPECT_NE(became, charlie);
    EXPECT_EQ(storedContents(raw, became), (Rows{{"Charlie chat"}, {"c"}, {"typed under the lock"}, {"its reply"}}));
    EXPECT_EQ(raw.rows("SELECT title FROM chats WHERE id=?", {qint64(charlie)}), (Rows{{"Holder three"}}));
    EXPECT_EQ(storedContents(raw, charlie), Rows{});
    EXPECT_EQ(storedContents(raw, 1), (Rows{{"alpha"}, {"a"}, {"alpha two"}})) << "the other chat is written first";
    ASSERT_EQ(savedAgain.count(), 1);
    EXPECT_EQ(savedAgain.first().value(0).toString(), "Charlie chat");
    EXPECT_TRUE(history.databaseAvailable());
    history.persist(opened, QString("m"));
    EXPECT_EQ(storedContents(raw, became).size(), 4) << "nothing is written twice";

    // Again, and now its messages cannot be written.
    const int64_t becameAt = createdAtOf(db, became);
    turns = opened;
    lock = holdLock();
    turns << userTurn("typed while refused");
    history.persist(turns, QString("m"));
    openStored(history, db, 1);
    replaceAndCommit(*lock, became, becameAt,
                     "CREATE TRIGGER refuse BEFORE INSERT ON messages BEGIN SELECT RAISE(ABORT, 'full'); END");
    lock.reset();
    EXPECT_EQ(contents(history.load(became, becameAt).value_or(QList<Turn>())),
              (QStringList{"Charlie chat", "c", "typed under the lock", "its reply", "typed while refused"}));
    EXPECT_FALSE(history.databaseAvailable());
    EXPECT_TRUE(history.hasWaitingWrites());
    EXPECT_EQ(savedAgain.count(), 1);
    ASSERT_TRUE(raw.exec("DROP TRIGGER refuse"));
    EXPECT_TRUE(history.retryWrites());
    EXPECT_EQ(savedAgain.count(), 2);
    EXPECT_EQ(storedContents(raw, history.chatId()),
              (Rows{{"Charlie chat"}, {"c"}, {"typed under the lock"}, {"its reply"}, {"typed while refused"}}));
    EXPECT_EQ(raw.rows("SELECT title FROM chats WHERE id IN (?, ?) ORDER BY id", {qint64(charlie), qint64(became)}),
              (Rows{{"Holder three"}, {"Holder three"}}));
}

// A data folder that was read-only at start (a mount, a permission) and is
// made writable again: the next send is saved, with what waited.
TEST(WriteRecoveryFiles, AReadOnlyFolderMadeWritableIsWrittenAgain)
{
    const QString path = cvn::test::newDatabasePath();
    const int64_t chatId = cvn::test::storeExchange(path, "before", "stored");
    auto undo = cvn::test::makeReadOnly(QFileInfo(path).path());
    if (!undo)
        GTEST_SKIP() << "cannot make a folder read-only here";

    ChatDatabase db{path};
    db.setReopenInterval(0);
    ChatStore store(db);
    ChatHistory history(db, store);
    EXPECT_TRUE(db.isReadOnly());
    EXPECT_FALSE(history.databaseAvailable());
    QList<Turn> turns = openStored(history, db, chatId);
    turns << userTurn("while read-only") << replyTurn("kept");
    history.persist(turns, QString("m"));
    EXPECT_FALSE(history.databaseAvailable());
    EXPECT_TRUE(history.retryWrites() == false);

    (*undo)();
    turns << userTurn("after") << replyTurn("saved");
    history.persist(turns, QString("m"));
    EXPECT_FALSE(db.isReadOnly());
    EXPECT_TRUE(history.databaseAvailable());
    EXPECT_EQ(storedContents(RawDatabase(path), chatId),
              (Rows{{"before"}, {"stored"}, {"while read-only"}, {"kept"}, {"after"}, {"saved"}}));
    EXPECT_EQ(db.searchMessages("WHILE READ"), QSet<int64_t>{chatId});
}

// Writes never fail for the notice alone: a failed rename says so until a
// retry finds the lock free, even with nothing waiting.
TEST_F(WriteRecovery, ANoticeForAFailedChangeGoesOnceWritesGetThrough)
{    history.persist({userTurn("name me"), replyTurn("ok")}, QString("m"));
    const int64_t chatId = history.chatId();
    auto lock = holdLock();
    EXPECT_EQ(store.rename(rowOf(store, chatId), "Renamed"), Change::notStored);
    EXPECT_EQ(store.setPinned(rowOf(store, chatId)), Change::notStored);
    EXPECT_EQ(store.rows().first().title, "name me");
    EXPECT_FALSE(store.rows().first().pinned);
    EXPECT_FALSE(history.databaseAvailable());
    EXPECT_EQ(store.rename(rowOf(store, chatId), "   "), Change::stored) << "a blank title is no change";
    lock.reset();
    EXPECT_TRUE(history.retryWrites());
    EXPECT_TRUE(history.databaseAvailable());
    EXPECT_EQ(store.setPinned(rowOf(store, chatId + 40)), Change::gone) << "an unknown chat changes nothing";
    EXPECT_TRUE(history.databaseAvailable());
    EXPECT_EQ(store.rename(rowOf(store, chatId), "Renamed"), Change::stored);
    EXPECT_EQ(store.rows().first().title, "Renamed");
}

// Instructions set under a held lock, for the open chat and for one left
// earlier, are kept (the notice shows) and written once the lock goes; a
// relaunch opens each chat with its own.
TEST_F(WriteRecovery, InstructionsSetUnderAHeldLockAreKeptWrittenLaterAndReadAfterARelaunch)
{
    history.persist({userTurn("first"), replyTurn("a")}, QString("m"));
    const int64_t left = history.chatId();
    const int64_t leftAt = createdAtOf(db, left);
    history.reset();
    history.persist({userTurn("second"), replyTurn("b")}, QString("m"));
    const int64_t open = history.chatId();
    const int64_t openAt = createdAtOf(db, open);

    auto lock = holdLock();
    EXPECT_TRUE(history.setInstructions(open, openAt, "Speak French."));
    EXPECT_TRUE(history.setInstructions(left, leftAt, "Be brief."));
    EXPECT_FALSE(history.databaseAvailable());
    EXPECT_EQ(history.openInstructions(), "Speak French.");
    EXPECT_EQ(history.instructions(left, leftAt), "Be brief.");
    lock.reset();
    EXPECT_TRUE(history.retryWrites());
    EXPECT_TRUE(history.databaseAvailable());
    EXPECT_EQ(raw.rows("SELECT id, instructions FROM chats ORDER BY id"),
              (Rows{{qint64(left), "Be brief."}, {qint64(open), "Speak French."}}));
    EXPECT_FALSE(history.setInstructions(open + 40, 1, "x")) << "a chat no longer stored";

    ChatDatabase relaunched{path, 0};
    ChatStore relaunchedStore{relaunched};
    ChatHistory again{relaunched, relaunchedStore};
    ASSERT_TRUE(again.load(left, leftAt));
    EXPECT_EQ(again.openInstructions(), "Be brief.");
    EXPECT_TRUE(again.setInstructions(left, leftAt, ""));
    EXPECT_EQ(raw.value("SELECT instructions FROM chats WHERE id=?", {qint64(left)}), QVariant());
}

// The application's connection, on the main thread, gives up on another
// process's lock after about a frame; the write then waits in the history.
TEST(WriteRecoveryFiles, TheAppsConnectionWaitsOnAnotherProcessesLockOnlyAboutAFrame)
{
    ChatDatabase& db = ChatDatabase::shared();
    ASSERT_TRUE(db.isOpen());
    const ChatDatabase::Statement timeout = db.prepare("PRAGMA busy_timeout");
    ASSERT_TRUE(timeout && ChatDatabase::stepRow(timeout.get()));
    const int64_t ms = ChatDatabase::integerColumn(timeout.get(), 0);
    EXPECT_GT(ms, 0);
    EXPECT_LE(ms, 50);
}

// A read-only folder holding chats.db-wal without chats.db-shm (a run that
// ended before a checkpoint, the folder then mounted read-only): the chats
// committed only to the -wal are listed, open and are found, and nothing is
// written beside the files.
TEST(WriteRecoveryFiles, AReadOnlyFolderWithAWalButNoShmListsTheWalsChats)
{
    const QString path = cvn::test::newDatabasePath();
    const QString folder = QFileInfo(path).path();
    int64_t walChat = 0;
    ASSERT_NO_FATAL_FAILURE(writeFileWithWal(path, &walChat));
    const QStringList filesBefore = QDir(folder).entryList(QDir::Files);
    const QByteArray file = fileBytes(path);
    const QByteArray wal = fileBytes(path + "-wal");
    auto undo = cvn::test::makeReadOnly(folder);
    if (!undo)
        GTEST_SKIP() << "cannot make a folder read-only here";
    {
        ChatDatabase db{path};
        EXPECT_TRUE(db.isOpen());
        EXPECT_TRUE(db.isReadOnly());
        EXPECT_EQ(sortedTitles(db), (QStringList{"checkpointed", "only in the wal"}));
        EXPECT_EQ(db.searchMessages("LIGHTHOUSE"), QSet<int64_t>{walChat});
        ASSERT_EQ(db.messages(walChat).size(), 2);
        EXPECT_EQ(db.messages(walChat)[1].content, "The lighthouse keeper");
        EXPECT_EQ(db.insertChat("refused", "m"), 0);
    }
    (*undo)();
    EXPECT_EQ(QDir(folder).entryList(QDir::Files), filesBefore);
    EXPECT_TRUE(fileBytes(path) == file);
    EXPECT_TRUE(fileBytes(path + "-wal") == wal);
}

// A read-only data folder holding chats.db with a -wal but no -shm, and a
// temporary folder (TMPDIR) of the test's own for the private copy.
class PrivateCopy : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(writeFileWithWal(path, &walChat));
        undo = cvn::test::makeReadOnly(QFileInfo(path).path());
        if (!undo)
            GTEST_SKIP() << "cannot make a folder read-only here";
    }
    void TearDown() override
    {
        if (undo)
            (*undo)();
    }

    const QString temp = cvn::test::makeTempFolder("tmp");
    cvn::test::ScopedEnvironment tmpdir{"TMPDIR", QFile::encodeName(temp)};
    const QString path = cvn::test::newDatabasePath();
    int64_t walChat = 0;
    std::optional<std::function<void()>> undo;
};

// The copy goes with the run: closed at quit, it is removed and no later
// call makes another. One left by a killed run goes at the next open, unless
// its process still runs (a second instance, or this one); an id now held
// by a process that started later is not its owner.
TEST_F(PrivateCopy, GoesAtQuitOrAtTheNextOpenAfterAKill)
{
    QProcess other, ended;
    other.start("sleep", {"600"});
    ended.start("true");
    ASSERT_TRUE(other.waitForStarted() && ended.waitForStarted());
    const qint64 endedPid = ended.processId();
    ASSERT_TRUE(ended.waitForFinished());
    const cvn::ProcessIdentity self = cvn::ProcessIdentity::current();
    QStringList leftovers;
    for (const cvn::ProcessIdentity& owner :
         {self, *cvn::ProcessIdentity::of(other.processId()), {endedPid, 1}, {self.pid, self.start + 1}}) {
        leftovers << ChatDatabase::privateCopyPrefix + owner.toString() + "-Ab12Cd";
        ASSERT_TRUE(QDir(temp).mkpath(leftovers.last() + "/inside"));
    }
    QStringList kept = leftovers.mid(0, 2);
    kept.sort();

    ChatDatabase db{path};
    EXPECT_EQ(sortedTitles(db), (QStringList{"checkpointed", "only in the wal"}));
    EXPECT_EQ(foldersIn(temp).size(), 3);
    db.close();
    db.setReopenInterval(0);
    EXPECT_EQ(db.insertChat("after quit", "m"), 0);
    EXPECT_EQ(foldersIn(temp), kept);
    other.kill();
    other.waitForFinished();
}

// A temporary folder that cannot take the copy: the file's own chats are
// listed and the others said hidden, once; the copy is tried again only
// when the -wal changes, and once made it is read.
TEST_F(PrivateCopy, WithoutRoomForItTheFilesOwnChatsAreListed)
{
    auto undoTemp = cvn::test::makeReadOnly(temp);
    ASSERT_TRUE(undoTemp);
    const auto touchWal = [&](int seconds) {
        QFile wal(path + "-wal");
        return wal.open(QIODevice::ReadWrite)
            && wal.setFileTime(QDateTime::currentDateTime().addSecs(seconds), QFileDevice::FileModificationTime);
    };
    ChatDatabase db{path};
    db.setReopenInterval(0);
    QSignalSpy hidden(&db, &ChatDatabase::someChatsHiddenChanged);
    QSignalSpy opened(&db, &ChatDatabase::openChanged);
    EXPECT_TRUE(db.someChatsHidden());
    EXPECT_EQ(sortedTitles(db), QStringList{"checkpointed"});
    ASSERT_TRUE(touchWal(10));
    EXPECT_TRUE(db.reopen()) << "the copy tried, and failed, again";
    (*undoTemp)();
    EXPECT_TRUE(db.reopen() && db.reopen()) << "the copy would fit, but the -wal is as the last try found it";
    EXPECT_TRUE(db.someChatsHidden() && foldersIn(temp).isEmpty());
    EXPECT_EQ(hidden.count() + opened.count(), 0);

    ASSERT_TRUE(touchWal(20));
    EXPECT_TRUE(db.reopen());
    EXPECT_EQ(opened.count(), 1);
    EXPECT_EQ(hidden, (QList<QVariantList>{{false}}));
    EXPECT_EQ(sortedTitles(db), (QStringList{"checkpointed", "only in the wal"}));
    EXPECT_EQ(foldersIn(temp).size(), 1);
}

// After each write the list is what a full read gives (order of chats
// updated in the same second, blank titles, pins and reasoning marks
// included), while the messages of chats not written are not read again.
TEST(WriteRecoveryFiles, TheListAfterAWriteIsTheFullListWithoutRereadingOtherChats)
{
    const QString path = cvn::test::newDatabasePath();
    ChatDatabase db{path};
    RawDatabase raw(path);
    const int64_t now = ChatDatabase::now();
    ASSERT_TRUE(raw.exec(QString("INSERT INTO chats(id, title, updated_at, pinned) VALUES"
                                 "(1, 'tie a', %1, 0), (2, NULL, %1, 0), (3, 'tie c', %1, 1), (4, '  ', NULL, 0),"
                                 "(5, 'old', 100, 0), (6, 'tie d', %1, 1), (7, 'think', %1, 0), (8, 'later', %2, 0);"
                                 "INSERT INTO messages(chat_id, role, content, reasoning) VALUES"
                                 "(7, 'assistant', 'a <think>x', NULL), (5, 'assistant', 'plain', 'why'),"
                                 "(1, 'user', 'hi', NULL), (6, 'assistant', 'done</think>', NULL)")
                             .arg(now)
                             .arg(now + 1)));
    ChatStore store(db);
    ChatHistory history(db, store);
    const auto fullList = [&] { return ChatStore(db).rows(); };
    ASSERT_EQ(store.rows(), fullList());

    QList<Turn> turns = openStored(history, db, 1);
    turns << userTurn("more") << replyTurn("<think>now</think> yes");
    history.persist(turns, QString("m"));
    EXPECT_EQ(store.rows(), fullList()) << "a reply with reasoning";
    turns.removeLast();
    history.persist(turns, QString("m"));
    EXPECT_EQ(store.rows(), fullList()) << "the reply removed";
    EXPECT_EQ(store.setPinned(rowOf(store, 2)), Change::stored);
    EXPECT_EQ(store.rows(), fullList()) << "pinned";
    EXPECT_EQ(store.rename(rowOf(store, 4), " named "), Change::stored);
    EXPECT_EQ(store.rows(), fullList()) << "renamed";
    history.markCouncil();
    EXPECT_EQ(store.rows(), fullList()) << "a council mark";
    history.reset();
    history.persist({userTurn("fresh"), replyTurn("chat")}, QString("m"));
    EXPECT_EQ(store.rows(), fullList()) << "a new chat";
    ASSERT_TRUE(raw.exec("INSERT INTO chats(id, title, updated_at) VALUES(40, 'from elsewhere', 5)"));
    EXPECT_EQ(store.setPinned(rowOf(store, 5)), Change::stored);
    EXPECT_EQ(store.rows(), fullList()) << "a chat another process added";

    // Chat 8 gains a think tag behind the list's back (on the list's own
    // connection, so nothing says another one committed); a write to chat 1
    // does not read chat 8's messages again, a full reload does.
    ASSERT_TRUE(db.run("INSERT INTO messages(chat_id, role, content) VALUES(8, 'user', '</think>')"));
    turns = openStored(history, db, 1);
    turns << userTurn("again");
    history.persist(turns, QString("m"));
    const auto reasoningOf = [](const QList<ChatStore::Row>& rows, int64_t id) {
        for (const auto& row : rows)
            if (row.id == id)
                return row.reasoning;
        return false;
    };
    EXPECT_FALSE(reasoningOf(store.rows(), 8));
    EXPECT_TRUE(reasoningOf(fullList(), 8));
    store.reload();
    EXPECT_EQ(store.rows(), fullList());
}
