#include "chat/TailFollower.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>

using namespace cvn;
using namespace std::chrono_literals;

namespace {

// A fake event loop and clock, a scroller that records what it was asked,
// and the trace lines: the whole world of one follower.
struct World {
    std::chrono::steady_clock::time_point now{};
    std::deque<std::function<void()>> posted;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers;
    QStringList lines;
    QList<double> scrolls; // offsets asked of scrollTo
    QList<std::pair<QUuid, double>> anchors; // turn and unit point
    std::optional<ScrollMetrics> live;
    std::optional<double> liveTail;
    TailFollower follower{
        {[this](double offset, bool, int) -> std::optional<double> {
             scrolls.append(offset);
             const ScrollMetrics m = live.value_or(follower.metrics());
             return std::clamp(offset, 0.0, std::max(0.0, m.contentHeight - m.viewportHeight));
         },
         [this](const QUuid& id, double unit, bool, int) { anchors.append({id, unit}); },
         [this] { return live; }, [this] { return liveTail; }},
        {[this](std::function<void()> fn) { posted.push_back(std::move(fn)); },
         [this](int ms, std::function<void()> fn) { timers.emplace(now + std::chrono::milliseconds(ms), std::move(fn)); }},
        [this] { return now; },
        [this](const QString& line) { lines.append(line); }};

    void run()
    {
        while (!posted.empty()) {
            auto fn = std::move(posted.front());
            posted.pop_front();
            fn();
        }
    }
    void advance(std::chrono::milliseconds by)
    {
        now += by;
        while (!timers.empty() && timers.begin()->first <= now) {
            auto fn = std::move(timers.begin()->second);
            timers.erase(timers.begin());
            fn();
        }
        run();
    }
    void report(double offset, double content = 1640, double viewport = 720)
    {
        follower.handleScrollMetrics({offset, content, viewport});
    }
    QString lastReason() const { return lines.isEmpty() ? QString() : lines.last().section(u' ', 1, 1); }
};

const QUuid kUser = QUuid::createUuid();
const QUuid kReply = QUuid::createUuid();
const QList<TailFollower::TurnRef> kTurns = {{kUser, true}, {kReply, false}};

// Streaming started long ago, then a user turn anchored and landed at 318
// with the composer 180 high: the state of the trace example.
void sendAndLand(World& w)
{
    w.follower.setInsets(180, 0);
    w.report(0);
    w.follower.onStreamingChange(true);
    w.run();
    w.advance(600ms);
    w.follower.onTurnsChange(kTurns);
    w.run();
    w.report(318);
    w.advance(400ms);
}

} // namespace

TEST(TailFollowerTest, ShortContentKeepsFollowingAtOffsetZero)
{
    World w;
    w.follower.setTailTop(100);
    w.report(0, 300, 720);
    EXPECT_EQ(w.follower.tailOffset(w.follower.metrics()), 0);
    EXPECT_TRUE(w.follower.autoFollow());
    w.run();
    EXPECT_EQ(w.scrolls, QList<double>({0}));
}

TEST(TailFollowerTest, FollowRuleThresholds)
{
    World w;
    w.follower.setTailTop(1260); // bottom = 1260 + 140 - 400 = 1000
    const struct {
        double offset;
        bool byUser;
        bool following;
    } steps[] = {{500, true, true},   {499.5, true, true}, {498.9, true, false}, {940, true, false},
                 {951, true, false},  {952, true, true},   {700, true, false},   {999.5, true, true},
                 {1000, true, true},  {999.2, true, true}, {600, false, true}};
    for (const auto& s : steps) {
        w.follower.handleScrollMetrics({s.offset, 2000, 400}, s.byUser);
        EXPECT_EQ(w.follower.autoFollow(), s.following) << "at offset " << s.offset;
    }
}

TEST(TailFollowerTest, NewUserTurnAnchorsThenLands)
{
    World w;
    w.follower.setInsets(180, 0);
    w.report(0);
    w.follower.onStreamingChange(true);
    w.run();
    w.advance(600ms);
    w.follower.onTurnsChange(kTurns);
    EXPECT_TRUE(w.follower.anchoring());
    w.run();
    ASSERT_EQ(w.anchors.size(), 1);
    EXPECT_EQ(w.anchors[0].first, kUser);
    EXPECT_DOUBLE_EQ(w.anchors[0].second, 100.0 / 720);
    w.report(318);
    w.advance(100ms);
    w.follower.followTail(false);
    EXPECT_EQ(w.lastReason(), QStringLiteral("anchoring"));
    EXPECT_TRUE(w.posted.empty());
    w.advance(299ms);
    EXPECT_TRUE(w.follower.anchoring());
    w.advance(1ms);
    EXPECT_FALSE(w.follower.anchoring());
    EXPECT_EQ(w.follower.anchorRest(), 318);
    EXPECT_TRUE(w.lines.last().startsWith(QStringLiteral("scroll: anchor landed ")));
}

TEST(TailFollowerTest, ShortReplyHoldsWithTheExactTraceLineAndKeepsTheAnchor)
{
    World w;
    sendAndLand(w);
    w.advance(500ms);
    const qsizetype scrolled = w.scrolls.size();
    w.follower.setTailTop(600);
    w.run();
    EXPECT_EQ(w.lines.last(),
              QStringLiteral("scroll: hold lastReplyLineY=282 composerTopY=540 distance=258 zone=140 "
                             "autoScrollActive=true anchored=true rest=318 anchoring=false offset=318 "
                             "tailOffset=200 tailTop=600 contentH=1640 viewport=720 idleInset=180 streaming=true"));
    EXPECT_EQ(w.scrolls.size(), scrolled);
    w.follower.onStreamingChange(false);
    EXPECT_EQ(w.follower.anchorTurnId(), kUser);
    EXPECT_EQ(w.follower.fillerHeight(), 720);
}

TEST(TailFollowerTest, LongReplyFollowsThenClearsTheAnchorAtStreamEnd)
{
    World w;
    sendAndLand(w);
    w.advance(500ms);
    w.follower.setTailTop(1000); // tail offset 1000 + 320 - 720 = 600
    w.run();
    EXPECT_EQ(w.lastReason(), QStringLiteral("follow"));
    EXPECT_TRUE(w.lines.last().startsWith(QStringLiteral("scroll: follow applied=600 ")));
    w.follower.onStreamingChange(false);
    EXPECT_FALSE(w.follower.anchorTurnId());
    EXPECT_FALSE(w.follower.anchorRest());
    EXPECT_EQ(w.follower.readingGap(), 0);
    EXPECT_EQ(w.follower.fillerHeight(), 0);
}

TEST(TailFollowerTest, FillerWhileStreamingWithoutAnchor)
{
    World w;
    w.follower.setInsets(140, 24);
    w.report(0, 2000, 720);
    w.follower.onStreamingChange(true);
    EXPECT_DOUBLE_EQ(w.follower.fillerHeight(), 0.6 * 720 - 164);
    w.follower.setInsets(500, 0);
    EXPECT_EQ(w.follower.fillerHeight(), 0);
}

TEST(TailFollowerTest, DeletedAnchorTurnAndChatChangeWhilePaused)
{
    World w;
    sendAndLand(w);
    w.follower.onTurnsChange({{kReply, false}});
    EXPECT_FALSE(w.follower.anchorTurnId());

    w.follower.setTailTop(2500);
    w.report(300, 3000);
    w.report(200, 3000);
    ASSERT_FALSE(w.follower.autoFollow());
    w.follower.onChatChange({{QUuid::createUuid(), true}});
    EXPECT_TRUE(w.follower.autoFollow());
    EXPECT_FALSE(w.follower.anchorTurnId());
    EXPECT_FALSE(w.follower.anchoring());
}

TEST(TailFollowerTest, OpeningAChatCancelsAPendingAnchor)
{
    // The new chat's turns arrive before its id: they look like a new user
    // turn, but the chat change must win and jump without an anchor.
    World w;
    w.report(0);
    w.follower.onTurnsChange(kTurns);
    w.follower.onChatChange(kTurns);
    w.advance(1000ms);
    EXPECT_TRUE(w.anchors.isEmpty());
    EXPECT_FALSE(w.follower.anchoring());
    EXPECT_FALSE(w.follower.anchorTurnId());
    EXPECT_EQ(w.scrolls.size(), 1);
}

TEST(TailFollowerTest, StepReadsLiveGeometryNotTheLastReport)
{
    World w;
    w.follower.setTailTop(500);
    w.report(0, 1000, 400);
    w.live = ScrollMetrics{0, 1600, 400};
    w.liveTail = 900;
    w.run();
    ASSERT_FALSE(w.scrolls.isEmpty());
    EXPECT_EQ(w.scrolls.last(), 900 + 140 - 400);
}

TEST(TailFollowerTest, ScrollToNewestWhileAnchoringOnlyResumesFollowing)
{
    World w;
    w.follower.onStreamingChange(true);
    w.run();
    w.advance(600ms);
    w.follower.onTurnsChange(kTurns);
    w.run();
    w.follower.setTailTop(2500);
    w.report(300, 3000);
    w.report(100, 3000);
    ASSERT_FALSE(w.follower.autoFollow());
    w.follower.scrollToNewest();
    EXPECT_TRUE(w.follower.autoFollow());
    EXPECT_EQ(w.follower.scrollTrigger(), 1);
    EXPECT_EQ(w.lastReason(), QStringLiteral("anchoring"));
    EXPECT_TRUE(w.posted.empty());
}

TEST(TailFollowerTest, TraceThrottleAndReportCount)
{
    World w;
    const int64_t before = ScrollDiagnostics::read().updates;
    w.follower.followTail(false);
    w.run();
    w.report(0);
    w.report(0);
    EXPECT_TRUE(w.lines.isEmpty()); // unforced, not streaming
    EXPECT_EQ(ScrollDiagnostics::read().updates, before + 2);
    w.follower.onStreamingChange(true); // forced
    w.run();
    EXPECT_EQ(w.lines.size(), 1);
    w.advance(499ms);
    w.follower.followTail(false);
    w.run();
    EXPECT_EQ(w.lines.size(), 1);
    w.advance(1ms);
    w.follower.followTail(false);
    w.run();
    EXPECT_EQ(w.lines.size(), 2);
    EXPECT_EQ(w.lastReason(), QStringLiteral("follow"));
}
