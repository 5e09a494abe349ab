#include "engine/SessionRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace cvn;

namespace {

// Stands in for a session: an identity and the alive token it owns.
struct FakeSession {
    std::shared_ptr<void> alive = std::make_shared<int>(0);
};

LlamaSession::Snapshot snapshot(const char* shortId, bool streaming = false)
{
    LlamaSession::Snapshot s;
    s.shortId = QString::fromLatin1(shortId);
    s.isStreaming = streaming;
    return s;
}

// This test's rows only: sessions of other tests in the same process, or of
// an earlier repeat, may still be listed.
QList<LlamaSession::Snapshot> rowsOf(const char* prefix)
{
    QList<LlamaSession::Snapshot> rows;
    for (const LlamaSession::Snapshot& s : SessionRegistry::snapshots())
        if (s.shortId.startsWith(QLatin1String(prefix)))
            rows.append(s);
    return rows;
}

} // namespace

TEST(SessionRegistry, DeadSessionsAreNotListed)
{
    auto s1 = std::make_unique<FakeSession>();
    auto s2 = std::make_unique<FakeSession>();
    SessionRegistry::registerSession(s1.get(), s1->alive, snapshot("GONEAAAA"));
    SessionRegistry::registerSession(s2.get(), s2->alive, snapshot("GONEBBBB"));
    EXPECT_EQ(rowsOf("GONE"), (QList{snapshot("GONEAAAA"), snapshot("GONEBBBB")}));
    s1.reset();
    EXPECT_EQ(rowsOf("GONE"), QList{snapshot("GONEBBBB")});

    // Released after an update.
    LlamaSession::Snapshot streaming = snapshot("GONEBBBB", true);
    streaming.tokensPerSecond = 12.5;
    streaming.chatTemplate = ChatTemplate::gemma;
    SessionRegistry::update(s2.get(), streaming);
    EXPECT_EQ(rowsOf("GONE"), QList{streaming});
    s2.reset();
    EXPECT_TRUE(rowsOf("GONE").isEmpty());
}

TEST(SessionRegistry, UpdateNeverAdds)
{
    FakeSession stranger;
    SessionRegistry::update(&stranger, snapshot("UPDC0000"));
    EXPECT_TRUE(rowsOf("UPD").isEmpty());

    // A new session at the address of a dead one gets its own updates.
    FakeSession holder;
    SessionRegistry::registerSession(&holder, holder.alive, snapshot("UPDOLD00"));
    holder.alive = std::make_shared<int>(1);
    SessionRegistry::registerSession(&holder, holder.alive, snapshot("UPDNEW00"));
    SessionRegistry::update(&holder, snapshot("UPDNEW11"));
    EXPECT_EQ(rowsOf("UPD"), QList{snapshot("UPDNEW11")});

    // Once the session is gone, updates go nowhere.
    holder.alive.reset();
    SessionRegistry::update(&holder, snapshot("UPDNEW22"));
    EXPECT_TRUE(rowsOf("UPD").isEmpty());
}

TEST(SessionRegistry, ConcurrentUseFromManyThreads)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::atomic<int> badReads = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &badReads] {
            for (int i = 0; i < kRounds; ++i) {
                FakeSession session;
                const QString id = QStringLiteral("MANY%1").arg(t * kRounds + i);
                LlamaSession::Snapshot s;
                s.shortId = id;
                SessionRegistry::registerSession(&session, session.alive, s);
                s.contextSize = i;
                SessionRegistry::update(&session, s);
                bool seen = false;
                for (const LlamaSession::Snapshot& read : SessionRegistry::snapshots()) {
                    if (read.shortId == id)
                        seen = read.contextSize == i;
                }
                if (!seen)
                    ++badReads;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(badReads, 0);
    EXPECT_TRUE(rowsOf("MANY").isEmpty());
}
