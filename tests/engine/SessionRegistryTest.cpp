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

// Sessions of other tests in this process are gone by now; prune them.
void startClean()
{
    SessionRegistry::snapshots();
    ASSERT_EQ(SessionRegistry::boxCount(), 0);
}

} // namespace

TEST(SessionRegistry, DeadSessionsArePrunedAtTheNextRead)
{
    startClean();
    auto s1 = std::make_unique<FakeSession>();
    auto s2 = std::make_unique<FakeSession>();
    SessionRegistry::registerSession(s1.get(), s1->alive, snapshot("AAAAAAAA"));
    SessionRegistry::registerSession(s2.get(), s2->alive, snapshot("BBBBBBBB"));
    EXPECT_EQ(SessionRegistry::snapshots(), (QList{snapshot("AAAAAAAA"), snapshot("BBBBBBBB")}));

    s1.reset();
    EXPECT_EQ(SessionRegistry::boxCount(), 2);
    EXPECT_EQ(SessionRegistry::snapshots(), QList{snapshot("BBBBBBBB")});
    EXPECT_EQ(SessionRegistry::boxCount(), 1);

    // Released after an update: the box stays until the next read.
    LlamaSession::Snapshot streaming = snapshot("BBBBBBBB", true);
    streaming.tokensPerSecond = 12.5;
    streaming.chatTemplate = ChatTemplate::gemma;
    SessionRegistry::update(s2.get(), streaming);
    EXPECT_EQ(SessionRegistry::snapshots(), QList{streaming});
    s2.reset();
    EXPECT_EQ(SessionRegistry::boxCount(), 1);
    EXPECT_TRUE(SessionRegistry::snapshots().isEmpty());
    EXPECT_EQ(SessionRegistry::boxCount(), 0);
}

TEST(SessionRegistry, UpdateNeverAdds)
{
    startClean();
    FakeSession stranger;
    SessionRegistry::update(&stranger, snapshot("CCCCCCCC"));
    EXPECT_EQ(SessionRegistry::boxCount(), 0);
    EXPECT_TRUE(SessionRegistry::snapshots().isEmpty());

    // A dead box must not take updates meant for a new session at the same
    // address, and the new session's own box gets them.
    FakeSession holder;
    SessionRegistry::registerSession(&holder, holder.alive, snapshot("OLD00000"));
    holder.alive = std::make_shared<int>(1);
    SessionRegistry::registerSession(&holder, holder.alive, snapshot("NEW00000"));
    SessionRegistry::update(&holder, snapshot("NEW11111"));
    EXPECT_EQ(SessionRegistry::snapshots(), QList{snapshot("NEW11111")});

    // After the box is pruned, updates go nowhere.
    holder.alive.reset();
    EXPECT_TRUE(SessionRegistry::snapshots().isEmpty());
    SessionRegistry::update(&holder, snapshot("NEW22222"));
    EXPECT_EQ(SessionRegistry::boxCount(), 0);
}

TEST(SessionRegistry, ConcurrentUseFromManyThreads)
{
    startClean();
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::atomic<int> badReads = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &badReads] {
            for (int i = 0; i < kRounds; ++i) {
                FakeSession session;
                const QString id = QString::number(t * kRounds + i);
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
    EXPECT_TRUE(SessionRegistry::snapshots().isEmpty());
}
