#include "engine/Turn.h"
#include "storage/ChatHistory.h"

#include "RawDatabase.h"
#include "Turns.h"
#include "support/WriteFailure.h"

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>

#include <memory>
#include <tuple>

#include <gtest/gtest.h>

using cvn::ChatDatabase;
using cvn::ChatHistory;
using cvn::ChatStore;
using cvn::test::createdAtOf;
using cvn::test::openStored;
using cvn::test::RawDatabase;
using cvn::test::replyTurn;
using cvn::test::userTurn;
using Turn = cvn::Turn;
using Role = cvn::ChatMessage::Role;
using Rows = QList<QVariantList>;

namespace {

class ChatHistoryTest : public ::testing::Test {
protected:
    Rows messageRows() const
    {
        return raw.rows("SELECT role, content, model_name, reasoning, reasoning_ms FROM messages ORDER BY id");
    }
    QVariant chatCount() const { return raw.value("SELECT COUNT(*) FROM chats"); }
    QVariant messageCount() const { return raw.value("SELECT COUNT(*) FROM messages"); }
    // Changes when another connection (ours) commits a write.
    QVariant dataVersion() const { return raw.value("PRAGMA data_version"); }

    const QString path = cvn::test::newDatabasePath();
    ChatDatabase db{path};
    ChatStore store{db};
    ChatHistory history{db, store};
    RawDatabase raw{path};
};

} // namespace

TEST_F(ChatHistoryTest, UserTurnsWaitForTheFirstCompletedReplyWhichCreatesTheChat)
{
    QSignalSpy chatIds(&history, &ChatHistory::chatIdChanged);
    QSignalSpy listChanges(&store, &ChatStore::rowsChanged);

    QList<Turn> turns{userTurn("Hello there"), replyTurn("failed words", Turn::State::failed("No model loaded"))};
    history.persist(turns, QString("m-7"));
    turns << userTurn("Second") << replyTurn("", Turn::State::streaming());
    const QVariant versionBefore = dataVersion();
    history.persist(turns, QString("m-7"));
    turns[3].content = "Ans";
    history.persist(turns, QString("m-7"));
    EXPECT_EQ(dataVersion(), versionBefore) << "waiting turns and a streaming reply write nothing";
    EXPECT_EQ(history.chatId(), 0);

    turns[3].content = "Answer";
    turns[3].state = Turn::State::complete();
    turns[3].reasoning = " \n ";
    turns[3].modelName = "Qwen";
    turns[3].reasoningDurationMs = 1200;
    const int64_t before = ChatDatabase::now();
    history.persist(turns, QString("m-7"));
    EXPECT_EQ(history.chatId(), 1);
    EXPECT_EQ(chatIds.count(), 1);
    EXPECT_EQ(raw.rows("SELECT id, title, model_id FROM chats"), (Rows{{1, "Hello there", "m-7"}}));
    EXPECT_GE(raw.value("SELECT updated_at FROM chats").toLongLong(), before);
    EXPECT_EQ(raw.rows("SELECT chat_id, role, content, model_name, reasoning, reasoning_ms FROM messages ORDER BY id"),
              (Rows{{1, "user", "Hello there", QVariant(), QVariant(), QVariant()},
                    {1, "user", "Second", QVariant(), QVariant(), QVariant()},
                    {1, "assistant", "Answer", "Qwen", QVariant(), 1200}}))
        << "the failed reply is never stored";
    EXPECT_EQ(listChanges.count(), 1);
    ASSERT_EQ(store.rows().size(), 1);
    EXPECT_EQ(store.rows().first().title, "Hello there");

    // Stored turns are never rewritten; a stopped reply is never stored.
    turns[0].content = "Edited";
    turns[3].reasoning = "later thoughts";
    Turn stopped = replyTurn("half an ans");
    stopped.cancelledByUser = true;
    turns << userTurn("Third") << stopped;
    history.persist(turns, QString("m-7"));
    history.persist(turns, QString("m-7"));
    EXPECT_EQ(messageRows(), (Rows{{"user", "Hello there", QVariant(), QVariant(), QVariant()},
                                   {"user", "Second", QVariant(), QVariant(), QVariant()},
                                   {"assistant", "Answer", "Qwen", QVariant(), 1200},
                                   {"user", "Third", QVariant(), QVariant(), QVariant()}}));

    // A regenerated reply: the old turn leaves, its row goes; the chat's
    // time stays.
    ASSERT_TRUE(raw.exec("UPDATE chats SET updated_at=7"));
    turns.removeAt(3);
    history.persist(turns, QString("m-7"));
    EXPECT_EQ(raw.value("SELECT updated_at FROM chats"), 7);
    // A new reply moves it. A system turn is never stored; text is stored
    // as it is (NUL, untrimmed reasoning, an empty model name).
    Turn system;
    system.role = Role::system;
    Turn again = replyTurn("Again");
    again.reasoning = "  word \n";
    again.modelName = "";
    turns << system << userTurn(QString::fromUtf8("nul\0byte", 8)) << again;
    history.persist(turns, QString("other model"));
    EXPECT_GE(raw.value("SELECT updated_at FROM chats").toLongLong(), before);
    EXPECT_EQ(raw.value("SELECT model_id FROM chats"), "m-7") << "the model of the first reply stays";
    EXPECT_EQ(messageRows().mid(1), (Rows{{"user", "Second", QVariant(), QVariant(), QVariant()},
                                          {"user", "Third", QVariant(), QVariant(), QVariant()},
                                          {"user", QString::fromUtf8("nul\0byte", 8), QVariant(), QVariant(), QVariant()},
                                          {"assistant", "Again", "", "  word \n", QVariant()}}));
    EXPECT_EQ(chatIds.count(), 1);
}

TEST_F(ChatHistoryTest, TitlesAreTheFirstFortyCharactersOfTheFirstWaitingMessage)
{
    const auto titleFor = [&](const QString& first) {
        history.reset();
        const QList<Turn> turns{userTurn(first), userTurn("more"), replyTurn("ok")};
        history.persist(turns, std::nullopt);
        return raw.value("SELECT title FROM chats WHERE id=?", {qint64(history.chatId())}).toString();
    };
    EXPECT_EQ(titleFor("abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWX"),
              "abcdefghijklmnopqrstuvwxyz0123456789ABCD");
    const QString family = QString::fromUtf8("👨‍👩‍👧"); // one character of eight UTF-16 units
    EXPECT_EQ(titleFor(family.repeated(50)), family.repeated(40));
    EXPECT_EQ(titleFor(QString::fromUtf8("e\u0301").repeated(45)), QString::fromUtf8("e\u0301").repeated(40));
    EXPECT_EQ(titleFor(""), "New chat");
    EXPECT_EQ(titleFor("  padded  "), "  padded  ");
    EXPECT_EQ(raw.value("SELECT model_id FROM chats WHERE id=1"), "") << "no model loaded";

    // The first waiting message still on screen gives the title.
    history.reset();
    QList<Turn> turns{userTurn("withdrawn"), userTurn("kept")};
    history.persist(turns, std::nullopt);
    turns.removeFirst();
    turns << replyTurn("ok");
    history.persist(turns, std::nullopt);
    EXPECT_EQ(raw.value("SELECT title FROM chats WHERE id=?", {qint64(history.chatId())}), "kept");
    EXPECT_EQ(raw.value("SELECT COUNT(*) FROM messages WHERE content='withdrawn'"), 0);

    // A reply with no waiting message keeps the default title.
    history.reset();
    history.persist({replyTurn("greeting")}, std::nullopt);
    EXPECT_EQ(raw.value("SELECT title FROM chats WHERE id=?", {qint64(history.chatId())}), "New chat");
}

TEST_F(ChatHistoryTest, LoadRebuildsTurnsAndLinksThemToTheirRows)
{
    ASSERT_TRUE(raw.exec(
        "INSERT INTO chats(id, title, updated_at) VALUES(5, 'Stored', 1);"
        "INSERT INTO messages(id, chat_id, role, content) VALUES(10, 5, 'user', 'q');"
        "INSERT INTO messages(id, chat_id, role, content, model_name, reasoning, reasoning_ms) "
        "VALUES(11, 5, 'assistant', 'a', 'Qwen', 'r', NULL);"
        "INSERT INTO messages(id, chat_id, role, content, model_name, reasoning, reasoning_ms) "
        "VALUES(12, 5, 'assistant', 'b', '', NULL, 5);"
        "INSERT INTO messages(id, chat_id, role, content) VALUES(13, 5, NULL, NULL);"
        "INSERT INTO messages(id, chat_id, role, content, reasoning, reasoning_ms) "
        "VALUES(14, 5, 'assistant', 'c', 'deep', 900);"));

    const QList<Turn> first = openStored(history, db, 5);
    EXPECT_EQ(history.chatId(), 5);
    QList<std::tuple<Role, QString, std::optional<QString>, QString, std::optional<int64_t>>> read;
    for (const Turn& turn : first)
        read.append({turn.role, turn.content, turn.modelName, turn.reasoning, turn.reasoningDurationMs});
    EXPECT_EQ(read, (decltype(read){{Role::user, "q", std::nullopt, "", std::nullopt},
                                    {Role::assistant, "a", "Qwen", "r", 0},
                                    {Role::assistant, "b", std::nullopt, "", std::nullopt},
                                    {Role::user, "", std::nullopt, "", std::nullopt},
                                    {Role::assistant, "c", std::nullopt, "deep", 900}}));
    const QList<Turn> second = openStored(history, db, 5);
    EXPECT_NE(first[0].id, second[0].id) << "ids are new on every load";

    QList<Turn> turns = second;
    const QVariant versionBefore = dataVersion();
    history.persist(turns, QString("m"));
    EXPECT_EQ(dataVersion(), versionBefore) << "loaded turns are already stored";

    turns.removeAt(1);
    turns << userTurn("follow-up");
    history.persist(turns, QString("m"));
    EXPECT_EQ(raw.rows("SELECT id, content FROM messages WHERE chat_id=5 ORDER BY id"),
              (Rows{{10, "q"}, {12, "b"}, {13, QVariant()}, {14, "c"}, {15, "follow-up"}}));

    // Another chat's transcript never deletes this chat's rows.
    EXPECT_FALSE(history.load(99, 0)) << "no such chat";
    EXPECT_EQ(history.chatId(), 0);
    history.persist({}, QString("m"));
    EXPECT_EQ(raw.value("SELECT COUNT(*) FROM messages WHERE chat_id=5"), 5);
}

TEST_F(ChatHistoryTest, CouncilFlagsWaitForTheChatAndThenGoStraightToIt)
{
    history.markCouncil();
    history.setCouncilOn(true);
    EXPECT_FALSE(history.loadCouncilOn());
    EXPECT_EQ(chatCount(), 0);

    history.persist({userTurn("@a @b hi"), replyTurn("from a")}, QString("m"));
    EXPECT_EQ(raw.rows("SELECT is_council, council_on FROM chats"), (Rows{{1, 1}}));
    EXPECT_TRUE(history.loadCouncilOn());
    EXPECT_TRUE(store.rows().first().council);

    history.setCouncilOn(false);
    EXPECT_EQ(raw.value("SELECT council_on FROM chats"), 0);
    EXPECT_FALSE(history.loadCouncilOn());

    // A plain chat marked once it exists shows the mark in the list at once.
    history.reset();
    history.persist({userTurn("plain"), replyTurn("reply")}, QString("m"));
    EXPECT_EQ(raw.rows("SELECT is_council, council_on FROM chats WHERE id=2"), (Rows{{0, 0}}));
    QSignalSpy listChanges(&store, &ChatStore::rowsChanged);
    history.markCouncil();
    EXPECT_EQ(listChanges.count(), 1);
    EXPECT_EQ(raw.value("SELECT is_council FROM chats WHERE id=2"), 1);

    // reset keeps the switch but forgets an unsaved mark.
    history.setCouncilOn(true);
    history.reset();
    history.markCouncil();
    history.reset();
    history.persist({userTurn("x"), replyTurn("y")}, QString("m"));
    EXPECT_EQ(raw.rows("SELECT is_council, council_on FROM chats WHERE id=3"), (Rows{{0, 1}}));
}

TEST_F(ChatHistoryTest, SettingTheChatIdKeepsEveryTurnInTheChatItWasWrittenIn)
{
    const auto contents = [&](int64_t chatId) {
        return raw.rows("SELECT content FROM messages WHERE chat_id=? ORDER BY id", {qint64(chatId)});
    };
    ASSERT_TRUE(raw.exec("INSERT INTO chats(id, title) VALUES(7, 'other'), (8, 'another')"));
    QList<Turn> turns{userTurn("q1"), replyTurn("a1")};
    history.persist(turns, QString("m"));
    const int64_t saved = history.chatId();
    ASSERT_EQ(contents(saved), (Rows{{"q1"}, {"a1"}}));

    // Stored turns stay in their chat: never written again into the new one,
    // never deleted by the new chat's transcript.
    history.setChatId(7);
    turns << userTurn("q2");
    history.persist(turns, QString("m"));
    history.persist({turns.last(), userTurn("seven")}, QString("m"));
    EXPECT_EQ(contents(saved), (Rows{{"q1"}, {"a1"}}));
    EXPECT_EQ(contents(7), (Rows{{"q2"}, {"seven"}}));

    // Turns waiting for an unsaved chat go into the chat the transcript
    // becomes, before its reply; they are never written into a chat whose
    // transcript does not hold them.
    history.reset();
    turns = {userTurn("typed"), userTurn("waiting")};
    history.persist(turns, QString("m"));
    history.setChatId(8);
    turns << replyTurn("answer");
    history.persist(turns, QString("m"));
    EXPECT_EQ(contents(8), (Rows{{"typed"}, {"waiting"}, {"answer"}}));
    history.reset();
    history.persist({userTurn("lost")}, QString("m"));
    history.setChatId(7);
    history.persist({userTurn("eight")}, QString("m"));
    EXPECT_EQ(raw.value("SELECT COUNT(*) FROM messages WHERE content='lost'"), 0);
    EXPECT_EQ(chatCount(), 3);
}

TEST_F(ChatHistoryTest, FailedCreationKeepsTheFirstExchangeForTheNextCall)
{
    const QList<Turn> turns{userTurn("first words"), userTurn("second words"), replyTurn("the reply")};
    history.markCouncil();
    // Refused outright; refused halfway, after the chat row and the waiting
    // messages went in; the reply itself refused: each attempt leaves
    // nothing behind and keeps everything for the next.
    const QStringList refusals = {
        "",
        "CREATE TRIGGER no_title BEFORE UPDATE OF title ON chats BEGIN SELECT RAISE(ABORT, 'disk full'); END",
        "DROP TRIGGER no_title; CREATE TRIGGER no_reply BEFORE INSERT ON messages WHEN NEW.role = 'assistant' "
        "BEGIN SELECT RAISE(ABORT, 'disk full'); END",
    };
    for (const QString& refusal : refusals) {
        SCOPED_TRACE(refusal.toStdString());
        ASSERT_TRUE(refusal.isEmpty() ? db.exec("PRAGMA query_only = ON") : raw.exec(refusal));
        // The same transcript again is no new write: the retry tries it.
        if (history.hasWaitingWrites())
            EXPECT_FALSE(history.retryWrites());
        else
            history.persist(turns, QString("m"));
        ASSERT_TRUE(db.exec("PRAGMA query_only = OFF"));
        EXPECT_EQ(chatCount(), 0);
        EXPECT_EQ(messageCount(), 0);
        EXPECT_EQ(history.chatId(), 0);
    }

    ASSERT_TRUE(raw.exec("DROP TRIGGER no_reply"));
    history.persist(turns, QString("m"));
    EXPECT_EQ(history.chatId(), 0) << "a streamed piece does not try again";
    EXPECT_TRUE(history.retryWrites());
    EXPECT_GE(history.chatId(), 1);
    EXPECT_EQ(raw.rows("SELECT title, is_council FROM chats"), (Rows{{"first words", 1}}));
    EXPECT_EQ(raw.rows("SELECT content FROM messages ORDER BY id"),
              (Rows{{"first words"}, {"second words"}, {"the reply"}}));
}

TEST_F(ChatHistoryTest, FailedWritesInASavedChatAreRetriedInOrder)
{
    QList<Turn> turns{userTurn("q1"), replyTurn("a1")};
    history.persist(turns, QString("m"));
    ASSERT_EQ(history.chatId(), 1);

    // An insert that fails after a successful one must not inherit its id,
    // and a2 waits for q2.
    ASSERT_TRUE(raw.exec("CREATE TRIGGER refuse BEFORE INSERT ON messages WHEN NEW.content = 'q2' "
                         "BEGIN SELECT RAISE(ABORT, 'disk full'); END"));
    turns << userTurn("q2") << replyTurn("a2");
    history.persist(turns, QString("m"));
    EXPECT_EQ(raw.rows("SELECT content FROM messages ORDER BY id"), (Rows{{"q1"}, {"a1"}}));

    ASSERT_TRUE(raw.exec("DROP TRIGGER refuse"));
    EXPECT_TRUE(history.retryWrites());
    EXPECT_EQ(raw.rows("SELECT content FROM messages ORDER BY id"), (Rows{{"q1"}, {"a1"}, {"q2"}, {"a2"}}));

    // Each turn leaving deletes its own row; a delete that fails is tried
    // again.
    turns.removeAt(2);
    history.persist(turns, QString("m"));
    EXPECT_EQ(raw.rows("SELECT content FROM messages ORDER BY id"), (Rows{{"q1"}, {"a1"}, {"a2"}}));
    ASSERT_TRUE(raw.exec("CREATE TRIGGER keep BEFORE DELETE ON messages BEGIN SELECT RAISE(ABORT, 'busy'); END"));
    turns.removeLast();
    history.persist(turns, QString("m"));
    EXPECT_EQ(messageCount(), 3);
    ASSERT_TRUE(raw.exec("DROP TRIGGER keep"));
    EXPECT_TRUE(history.retryWrites());
    EXPECT_EQ(raw.rows("SELECT content FROM messages ORDER BY id"), (Rows{{"q1"}, {"a1"}}));
}

// A user message is stored with its images or not at all: an image that
// cannot be written keeps the message waiting, the retry writes both, and
// the chat opens with them in order. A message leaving the transcript takes
// its images along.
TEST_F(ChatHistoryTest, AMessageIsStoredWithItsImagesOrNotAtAllAndOpensWithThem)
{
    using cvn::test::imageTurn;
    QList<Turn> turns{imageTurn("what is this?"), replyTurn("a chart")};
    history.persist(turns, QString("m"));
    ASSERT_EQ(history.chatId(), 1);
    EXPECT_EQ(raw.rows("SELECT message_id, position, name FROM message_images ORDER BY rowid"),
              (Rows{{1, 0, "chart.png"}, {1, 1, QString::fromUtf8("ph\u00f6to 1.jpg")}, {1, 2, "raw.bin"},
                    {1, 3, "empty.png"}}));

    ASSERT_TRUE(raw.exec("CREATE TRIGGER refuse BEFORE INSERT ON message_images WHEN NEW.position = 1 "
                         "BEGIN SELECT RAISE(ABORT, 'disk full'); END"));
    const QList<cvn::ChatImage> two{{"a.png", "\x89PNG one"}, {"b.png", "\x89PNG two"}};
    turns << imageTurn("and these?", two);
    history.persist(turns, QString("m"));
    EXPECT_FALSE(history.databaseAvailable());
    EXPECT_EQ(messageCount(), 2) << "no message without its images";
    EXPECT_EQ(raw.value("SELECT COUNT(*) FROM message_images"), 4);
    ASSERT_TRUE(raw.exec("DROP TRIGGER refuse"));
    EXPECT_TRUE(history.retryWrites());
    EXPECT_EQ(messageCount(), 3);

    const QList<Turn> opened = openStored(history, db, 1);
    ASSERT_EQ(opened.size(), 3);
    EXPECT_EQ(opened[0].images, cvn::test::sampleImages());
    EXPECT_TRUE(opened[1].images.isEmpty());
    EXPECT_EQ(opened[2].images, two);

    history.persist(opened.mid(0, 2), QString("m"));
    EXPECT_EQ(messageCount(), 2);
    EXPECT_EQ(raw.value("SELECT COUNT(*) FROM message_images"), 4);
}

// Another process holds the file when the app opens it, past the busy
// timeout: with an exclusive lock (nothing can be read) or a write lock
// (another instance creating the file: the tables cannot be created).
TEST(ChatHistoryUnavailable, TurnsWaitWhileTheDatabaseIsHeldAndAreWrittenOnceItIsFree)
{
    for (const char* lock : {"BEGIN EXCLUSIVE", "BEGIN IMMEDIATE"}) {
        SCOPED_TRACE(lock);
        const QString path = cvn::test::newDatabasePath();
        auto holder = std::make_unique<RawDatabase>(path);
        ASSERT_TRUE(holder->exec("PRAGMA user_version = 1"));
        ASSERT_TRUE(holder->exec(lock));
        // No busy timeout: the lock is held for as long as the test needs.
        ChatDatabase db{path, 0};
        db.setReopenInterval(0);
        ChatStore store(db);
        ChatHistory history(db, store);
        QSignalSpy availability(&history, &ChatHistory::databaseAvailableChanged);
        EXPECT_FALSE(history.databaseAvailable());
        EXPECT_EQ(ChatHistory::notSavedNotice, "Chats are not being saved");

        QList<Turn> turns{userTurn("typed while held"), replyTurn("first reply")};
        history.persist(turns, QString("m"));
        turns << userTurn("second") << replyTurn("second reply");
        history.persist(turns, QString("m"));
        history.markCouncil();
        history.setCouncilOn(true);
        EXPECT_FALSE(history.loadCouncilOn());
        EXPECT_EQ(history.chatId(), 0);
        EXPECT_EQ(availability.count(), 0);

        holder.reset();
        EXPECT_TRUE(history.retryWrites());
        EXPECT_TRUE(history.databaseAvailable());
        ASSERT_EQ(availability.count(), 1);
        EXPECT_TRUE(availability.first().value(0).toBool());
        EXPECT_EQ(RawDatabase(path).rows("SELECT content FROM messages ORDER BY id"),
                  (Rows{{"typed while held"}, {"first reply"}, {"second"}, {"second reply"}}));
        EXPECT_EQ(RawDatabase(path).rows("SELECT is_council, council_on FROM chats"), (Rows{{1, 1}}));
        EXPECT_EQ(store.rows().size(), 1);
    }
}

// A data folder or a database file the app may not write: the stored chats
// are still listed, opened and searched, the chat screen is told that nothing
// is saved, and no write reaches the file.
TEST(ChatHistoryUnavailable, ADatabaseThatCanOnlyBeReadIsReadAndNothingIsWritten)
{
    for (const bool wholeFolder : {true, false}) {
        SCOPED_TRACE(wholeFolder ? "read-only folder" : "read-only file");
        const QString path = cvn::test::newDatabasePath();
        const int64_t chatId = cvn::test::storeExchange(path, "where is the lighthouse", "On the northern cape.");
        ASSERT_GT(chatId, 0);
        const QByteArray stored = [&] {
            QFile file(path);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        }();
        const auto undo = cvn::test::makeReadOnly(wholeFolder ? QFileInfo(path).path() : path);
        if (!undo)
            GTEST_SKIP() << "cannot make a file read-only here";

        {
            ChatDatabase db{path};
            ChatStore store(db);
            ChatHistory history(db, store);
            EXPECT_TRUE(db.isOpen());
            EXPECT_TRUE(db.isReadOnly());
            EXPECT_FALSE(history.databaseAvailable());
            ASSERT_EQ(db.listChats().size(), 1);
            EXPECT_EQ(db.listChats().first().title, "where is the lighthouse");
            EXPECT_EQ(db.searchMessages("NORTHERN"), QSet<int64_t>{chatId});
            EXPECT_EQ(db.searchMessages("no"), QSet<int64_t>{chatId}); // short queries read the copy
            EXPECT_TRUE(db.searchMessages("southern").isEmpty());

            QList<Turn> turns = openStored(history, db, chatId);
            ASSERT_EQ(turns.size(), 2);
            EXPECT_EQ(turns[1].content, "On the northern cape.");
            QSignalSpy availability(&history, &ChatHistory::databaseAvailableChanged);
            turns << userTurn("and the harbour?") << replyTurn("South of it.");
            history.persist(turns, QString("m"));
            history.setCouncilOn(true);
            EXPECT_FALSE(history.databaseAvailable());
            EXPECT_EQ(availability.count(), 0);
            EXPECT_EQ(db.messages(chatId).size(), 2);
        }
        (*undo)();
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), stored) << "the file is exactly as it was";
    }
}

// Writes that start failing in mid-run (a full disk): the history says so at
// the first failed write, keeps the turns, and says it is saving again once a
// write gets through.
TEST_F(ChatHistoryTest, AvailabilityFollowsWritesThatFailAndRecover)
{
    QSignalSpy availability(&history, &ChatHistory::databaseAvailableChanged);
    QList<Turn> turns{userTurn("q1"), replyTurn("a1")};
    history.persist(turns, QString("m"));
    EXPECT_TRUE(history.databaseAvailable());
    EXPECT_EQ(availability.count(), 0);

    turns << userTurn("q2") << replyTurn("a2");
    {
        cvn::test::FileWritesFail full;
        history.persist(turns, QString("m"));
        history.persist(turns, QString("m")); // still failing: said once
    }
    EXPECT_FALSE(history.databaseAvailable());
    ASSERT_EQ(availability.count(), 1);
    EXPECT_FALSE(availability.takeFirst().value(0).toBool());
    EXPECT_EQ(messageCount(), 2);

    // The retry writes what waited, in order.
    EXPECT_TRUE(history.retryWrites());
    EXPECT_TRUE(history.databaseAvailable());
    ASSERT_EQ(availability.count(), 1);
    EXPECT_TRUE(availability.takeFirst().value(0).toBool());
    EXPECT_EQ(raw.rows("SELECT content FROM messages ORDER BY id"), (Rows{{"q1"}, {"a1"}, {"q2"}, {"a2"}}));
}
