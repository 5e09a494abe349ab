#include "chat/transcript/TailFollower.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>

using namespace cvn;
using namespace std::chrono_literals;

namespace {

// A fake loop and clock, a scroller that records what it is asked, and the
// trace: the whole world of one follower.
struct World {
    World() = default;
    // With an animator: the reading gap's animation waits for the test to
    // call gapFrame with the time elapsed, as a fraction.
    explicit World(bool animates) : animates(animates) {}

    bool animates = false;
    int gapAnimations = 0;
    int gapDuration = 0;
    std::function<void(double)> gapFrame;
    std::chrono::steady_clock::time_point now{};
    std::deque<std::function<void()>> posted;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers;
    QStringList lines;
    QList<double> scrolls;
    QList<std::pair<QUuid, double>> anchors;
    std::optional<ScrollMetrics> live;
    std::optional<double> liveTail;
    TailFollower f{{[this](double offset, bool, int) -> std::optional<double> {
                        scrolls.append(offset);
                        const ScrollMetrics m = live.value_or(f.metrics());
                        return std::clamp(offset, 0.0, std::max(0.0, m.contentHeight - m.viewportHeight));
                    },
                    [this](const QUuid& id, double unit, bool, int) {
                        anchors.append({id, unit});
                    },
                    [this] { return live; }, [this] { return liveTail; }},
                   {[this](auto fn) { posted.push_back(std::move(fn)); },
                    [this](int ms, auto fn) { timers.emplace(now + std::chrono::milliseconds(ms), std::move(fn)); },
                    animates ? std::function<void(int, std::function<void(double)>)>(
                                   [this](int ms, std::function<void(double)> frame) {
                                       ++gapAnimations;
                                       gapDuration = ms;
                                       gapFrame = std::move(frame);
                                   })
                             : nullptr},
                   [this] { return now; },
                   [this](const QString& line) { lines.append(line); }};

    void run()
    {
        for (; !posted.empty(); posted.pop_front())
            posted.front()();
    }
    void advance(std::chrono::milliseconds by)
    {
        const auto end = now + by;
        while (!timers.empty() && timers.begin()->first <= end) {
            now = timers.begin()->first;
            auto fn = std::move(timers.begin()->second);
            timers.erase(timers.begin());
            fn();
            run();
        }
        now = end;
        run();
    }
    void report(double offset, double content = 1640, double viewport = 720)
    {
        f.handleScrollMetrics({offset, content, viewport});
    }
    QString lastReason() const { return lines.isEmpty() ? QString() : lines.last().section(u' ', 1, 1); }
};

const QUuid kUser = QUuid::createUuid();
const QList<TailFollower::TurnRef> kTurns = {{kUser, true}, {QUuid::createUuid(), false}};

// Streaming since t=0, then at 0.6 s a user turn anchors; the view lands at
// 318 with a 180-high composer: the state of the trace example.
void sendAndLand(World& w)
{
    w.f.setInsets(180, 0);
    w.report(0);
    w.f.onStreamingChange(true);
    w.run();
    w.advance(600ms);
    w.f.onTurnsChange(kTurns);
    w.run();
    w.report(318);
}

} // namespace

TEST(TailFollowerTest, FollowRuleThresholds)
{
    World w;
    w.f.setTailTop(100);
    w.report(0, 300, 720); // shorter than the viewport
    EXPECT_EQ(w.f.tailOffset(w.f.metrics()), 0);
    EXPECT_TRUE(w.f.autoFollow());

    w.f.setTailTop(1260); // bottom = 1260 + 140 - 400 = 1000
    const struct {
        double offset;
        bool byUser, following;
    } steps[] = {{500, true, true},  {499.5, true, true}, {498.9, true, false}, {940, true, false},
                 {951, true, false}, {952, true, true},   {700, true, false},   {999.5, true, true},
                 {1000, true, true}, {999.2, true, true}, {600, false, true}};
    for (const auto& s : steps) {
        w.f.handleScrollMetrics({s.offset, 2000, 400}, s.byUser);
        EXPECT_EQ(w.f.autoFollow(), s.following) << "at offset " << s.offset;
    }
}

TEST(TailFollowerTest, NewUserTurnAnchorsThenLands)
{
    World w;
    sendAndLand(w);
    ASSERT_EQ(w.anchors, (QList<std::pair<QUuid, double>>{{kUser, 100.0 / 720}}));
    // Scrolled up while anchoring: "Scroll to newest" only resumes following.
    w.f.setTailTop(2500);
    w.report(100, 3000);
    ASSERT_FALSE(w.f.autoFollow());
    w.advance(100ms);
    w.f.scrollToNewest();
    EXPECT_TRUE(w.f.autoFollow());
    EXPECT_EQ(w.f.scrollTrigger(), 1);
    EXPECT_EQ(w.lastReason(), QStringLiteral("anchoring"));
    EXPECT_TRUE(w.posted.empty());
    w.report(318);
    w.advance(299ms);
    EXPECT_TRUE(w.f.anchoring());
    w.advance(1ms);
    EXPECT_FALSE(w.f.anchoring());
    EXPECT_EQ(w.f.anchorRest(), 318);
    EXPECT_TRUE(w.lines.last().startsWith(QStringLiteral("scroll: anchor landed ")));
}

TEST(TailFollowerTest, ShortReplyHoldsLongReplyFollows)
{
    // Tail offsets 600 + 320 - 720 = 200 (under the rest at 318) and 600.
    for (auto [tailTop, held] : {std::pair(600.0, true), {1000.0, false}}) {
        World w;
        sendAndLand(w);
        w.advance(900ms);
        const qsizetype scrolled = w.scrolls.size();
        w.f.setTailTop(tailTop);
        w.run();
        if (held)
            EXPECT_EQ(w.lines.last(),
                      QStringLiteral("scroll: hold lastReplyLineY=282 composerTopY=540 distance=258 zone=140 "
                                     "autoScrollActive=true anchored=true rest=318 anchoring=false offset=318 "
                                     "tailOffset=200 tailTop=600 contentH=1640 viewport=720 idleInset=180 "
                                     "streaming=true"));
        else
            EXPECT_TRUE(w.lines.last().startsWith(QStringLiteral("scroll: follow applied=600 ")));
        EXPECT_EQ(w.scrolls.size(), scrolled + (held ? 0 : 1));
        w.f.onStreamingChange(false); // a short reply keeps its anchor, a long one drops it
        EXPECT_EQ(w.f.anchorTurnId().has_value() && w.f.anchorRest().has_value(), held);
        EXPECT_EQ(w.f.readingGap(), 0);
        EXPECT_EQ(w.f.fillerHeight(), held ? 720 : 0);
        w.f.setInsets(140, 24);
        w.f.onStreamingChange(true);
        EXPECT_DOUBLE_EQ(w.f.fillerHeight(), held ? 720 : 0.6 * 720 - 164);
    }
}

TEST(TailFollowerTest, DeletedAnchorChatChangeAndAPendingAnchor)
{
    World w;
    sendAndLand(w);
    w.advance(400ms);
    w.f.onTurnsChange(kTurns.mid(1));
    EXPECT_FALSE(w.f.anchorTurnId());

    w.f.setTailTop(2500);
    w.report(300, 3000);
    w.report(200, 3000);
    ASSERT_FALSE(w.f.autoFollow());
    // The new chat's turns come before its id: they look like a new user
    // turn, but the chat change wins and jumps without any anchor.
    w.anchors.clear();
    const QList<TailFollower::TurnRef> other = {{QUuid::createUuid(), true}};
    w.f.onTurnsChange(other);
    w.f.onChatChange(other);
    w.advance(1000ms);
    EXPECT_TRUE(w.anchors.isEmpty());
    EXPECT_TRUE(w.f.autoFollow());
    EXPECT_FALSE(w.f.anchoring() || w.f.anchorTurnId());
}

TEST(TailFollowerTest, StepReadsLiveGeometryAndTheTraceIsThrottled)
{
    World w;
    w.f.setTailTop(500);
    w.report(0, 1000, 400);
    w.live = ScrollMetrics{0, 1600, 400}; // the report is stale by the time the step runs
    w.liveTail = 900;
    w.run();
    EXPECT_EQ(w.scrolls, QList<double>({900 + 140 - 400}));
    w.live.reset();
    w.liveTail.reset();
    const int64_t before = ScrollDiagnostics::read().updates;
    w.report(0);
    w.report(0);
    EXPECT_TRUE(w.lines.isEmpty()); // unforced, not streaming
    EXPECT_EQ(ScrollDiagnostics::read().updates, before + 2);
    w.f.onStreamingChange(true); // forced
    w.run();
    const std::pair<std::chrono::milliseconds, qsizetype> steps[] = {{499ms, 1}, {1ms, 2}, {400ms, 2}, {100ms, 3}};
    for (const auto& [by, count] : steps) {
        w.advance(by);
        w.f.followTail(false);
        w.run();
        EXPECT_EQ(w.lines.size(), count);
    }
    EXPECT_EQ(w.lastReason(), QStringLiteral("follow"));
}

TEST(TailFollowerTest, ReadingGapEasesOutWhileTheNewestLineStaysInView)
{
    World w(true);
    w.f.setInsets(180, 0);
    w.f.setTailTop(2000); // the newest line ends at 2000 in the column
    w.report(2000 + 180 - 720, 4000);
    ASSERT_TRUE(w.f.autoFollow());
    int notified = 0;
    w.f.stateChanged = [&] { ++notified; };

    // Where the newest line's bottom stands in the viewport, after the
    // follow step of the frame: in view, `gap` above the composer's band.
    auto lineY = [&] { return 2000 - w.scrolls.last(); };

    w.f.onStreamingChange(true);
    EXPECT_EQ(w.gapAnimations, 1);
    EXPECT_EQ(w.gapDuration, 250);
    EXPECT_EQ(w.f.readingGap(), 0); // nothing moves before the first frame
    EXPECT_EQ(w.f.readingGapTarget(), 140);
    w.f.onStreamingChange(true); // the same target: the animation goes on
    EXPECT_EQ(w.gapAnimations, 1);
    w.gapFrame(1);
    w.run();
    EXPECT_EQ(w.f.readingGap(), 140);
    EXPECT_FALSE(w.f.readingGapAnimating());
    EXPECT_EQ(lineY(), 720 - 180 - 140);

    // The reply ends: the gap eases out from 140 to 0 through intermediate
    // values, faster at first, and each frame keeps the line in view.
    w.report(w.scrolls.last(), 4000);
    w.f.onStreamingChange(false);
    ASSERT_EQ(w.gapAnimations, 2);
    EXPECT_TRUE(w.f.readingGapAnimating());
    double previous = 140;
    for (double t : {0.0, 0.1, 0.25, 0.5, 0.75, 0.9}) {
        const int before = notified;
        w.gapFrame(t);
        w.run();
        const double gap = w.f.readingGap();
        if (t == 0) {
            EXPECT_EQ(gap, 140);
            continue;
        }
        EXPECT_LT(gap, previous) << t;
        EXPECT_GT(gap, 0) << t;
        EXPECT_LT(gap, 140 * (1 - t)) << "ease-out runs ahead of linear at " << t;
        EXPECT_GT(notified, before) << "the view lays out every frame";
        EXPECT_DOUBLE_EQ(w.scrolls.last(), 2000 + 180 + gap - 720) << t;
        EXPECT_DOUBLE_EQ(lineY(), 720 - 180 - gap) << t;
        EXPECT_GE(lineY(), 0);
        EXPECT_LE(lineY(), 720 - 180);
        w.report(w.scrolls.last(), 4000 - (140 - gap), 720);
        EXPECT_TRUE(w.f.autoFollow());
        previous = gap;
    }
    w.gapFrame(1);
    w.run();
    EXPECT_EQ(w.f.readingGap(), 0);
    EXPECT_FALSE(w.f.readingGapAnimating());
    EXPECT_EQ(lineY(), 720 - 180);

    // A stream that starts again mid-way starts from where the gap stands;
    // the replaced animation's late frames change nothing.
    w.f.onStreamingChange(true);
    w.gapFrame(0.5);
    const double halfway = w.f.readingGap();
    EXPECT_GT(halfway, 70);
    auto stale = w.gapFrame;
    w.f.onStreamingChange(false);
    EXPECT_EQ(w.gapAnimations, 4);
    stale(1);
    EXPECT_EQ(w.f.readingGap(), halfway);
    w.gapFrame(0.5);
    EXPECT_GT(w.f.readingGap(), 0);
    EXPECT_LT(w.f.readingGap(), halfway / 2);
    w.gapFrame(1);
    EXPECT_EQ(w.f.readingGap(), 0);
}

TEST(TailFollowerTest, WithoutAnAnimatorTheGapChangesAtOnce)
{
    World w;
    w.f.onStreamingChange(true);
    EXPECT_EQ(w.f.readingGap(), 140);
    EXPECT_FALSE(w.f.readingGapAnimating());
    w.f.onStreamingChange(false);
    EXPECT_EQ(w.f.readingGap(), 0);
}

TEST(TailFollowerTest, ContentShiftedAboveTheViewIsNotTheUserScrollingDown)
{
    // At the tail of a 3000-high transcript; the user scrolls up 300 while
    // rows above, laid out for the first time, grow by 500 and the view is
    // moved down by as much to keep its place.
    World w;
    w.f.setTailTop(2860); // tail offset = 2860 + 140 - 720 = 2280
    w.report(2280, 3000);
    w.run();
    ASSERT_TRUE(w.f.autoFollow());
    w.f.contentShifted(500);
    w.f.setTailTop(3360);
    w.report(2280 - 300 + 500, 3500);
    EXPECT_FALSE(w.f.autoFollow());
    // The step the new tail asked for finds the user gone: no scroll.
    const qsizetype scrolls = w.scrolls.size();
    w.run();
    EXPECT_EQ(w.scrolls.size(), scrolls);

    // An anchored turn's rest moves with the content above it.
    World a;
    sendAndLand(a);
    a.advance(900ms);
    ASSERT_TRUE(a.f.anchorRest().has_value());
    const double rest = *a.f.anchorRest();
    a.f.contentShifted(-40);
    EXPECT_EQ(a.f.anchorRest(), rest - 40);
}
