#pragma once

// Follow-the-tail scrolling of the chat transcript, as a state machine that
// knows nothing of widgets. It keeps the newest text in view while a reply
// streams, lets go the moment the user scrolls up and takes over again when
// the user comes back to the bottom. A new user turn is first scrolled up to
// 100 pixels below the top of the viewport ("anchored") and held there until
// the reply has filled the space below it.
//
// Everything it does to the outside goes through three things it is given: a
// Scroller (moves the transcript and reads its live geometry), a Scheduler
// (runs a callback on a later turn of the event loop, or after a delay, and
// drives the reading gap's animation) and a Clock (for the trace's
// throttle). ChatScrollController gives it the real ones; tests give it
// fakes.
//
// Threads: main thread only, like the transcript it drives. The scheduler
// must drop the callbacks it holds when the follower goes away (the Qt one
// ties them to the controller that owns the follower). ScrollDiagnostics is
// the one piece shared with other threads: it has its own lock.

#include <QEasingCurve>
#include <QList>
#include <QString>
#include <QUuid>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace cvn {

// Offset (top of the visible area from the top of the document), document
// height and visible height of the transcript, in pixels.
struct ScrollMetrics {
    double offset = 0;
    double contentHeight = 0;
    double viewportHeight = 0;

    friend bool operator==(const ScrollMetrics&, const ScrollMetrics&) = default;
};

// The latest scroll report, for the runtime debug panel. One record for the
// process; every store and every read copies it whole under one lock.
class ScrollDiagnostics {
public:
    struct Values {
        int64_t updates = 0; // reports handled since launch
        int64_t turns = 0;
        bool autoFollow = false;
        double offset = 0;
        double contentHeight = 0;
        double viewportHeight = 0;
        double maxOffset = 0;
    };

    ScrollDiagnostics() = delete;

    // Stores one report's figures and counts it.
    static void publish(const ScrollMetrics& metrics, double maxOffset, bool autoFollow, int64_t turns);
    static Values read();
};

class TailFollower {
public:
    // Moves the transcript. Every function may be empty.
    struct Scroller {
        // Scrolls so that `offset` is the top of the viewport, clamped to the
        // scrollable range; answers the clamped offset, or nothing when there
        // is no transcript to scroll.
        std::function<std::optional<double>(double offset, bool animated, int durationMs)> scrollTo;
        // Scrolls the top of user turn `id` to `unitY` times the viewport
        // height below the viewport's top (clamped likewise).
        std::function<void(const QUuid& id, double unitY, bool animated, int durationMs)> scrollToAnchor;
        // The transcript's geometry as it stands now, which may be newer than
        // the last report; nothing when it cannot be read.
        std::function<std::optional<ScrollMetrics>()> liveMetrics;
        std::function<std::optional<double>()> liveTailTop;
    };
    struct Scheduler {
        std::function<void(std::function<void()>)> post; // a later turn of the loop
        std::function<void(int ms, std::function<void()>)> postAfter;
        // Runs one animation of `durationMs`, replacing the one it ran before
        // if that still runs: calls `frame` on later turns with the time
        // elapsed as a fraction of the duration (0 <= t <= 1; the last call
        // has 1 exactly). The follower eases it. Empty: the reading gap
        // changes at once.
        std::function<void(int durationMs, std::function<void(double t)> frame)> animate;
    };
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using Trace = std::function<void(const QString& line)>;

    // What the follower needs to know of one turn.
    struct TurnRef {
        QUuid id;
        bool isUser = false;
    };

    static constexpr double anchorTopInset = 100; // the anchored turn's top below the viewport's top
    static constexpr double readingGapWhileStreaming = 140;
    static constexpr int stepDurationMs = 250;
    static constexpr int anchorDurationMs = 350;
    static constexpr int anchorLandingMs = 400;
    static constexpr std::chrono::milliseconds traceInterval{500};

    // The platform's ease-out: a cubic Bézier through (0.58, 1), for the
    // reading gap and for animated scrolls.
    static QEasingCurve easeOut();

    // `trace` empty: lines go to the bridge log. `clock` empty: steady_clock.
    TailFollower(Scroller scroller, Scheduler scheduler, Clock clock = {}, Trace trace = {});

    // Called after every change of what the view lays out from this state:
    // the reading gap (at every frame of its animation), the filler, the
    // follow flag.
    std::function<void()> stateChanged;

    // --- inputs ---------------------------------------------------------
    // One scroll report. `byUser` false marks a move the program made (an
    // animation, a clamp after the content shrank): it never counts as the
    // user scrolling up.
    void handleScrollMetrics(const ScrollMetrics& metrics, bool byUser = true);
    // The top of the tail marker in the column moved.
    void setTailTop(double tailTop);
    // The composer's height and the staged strip's above it.
    void setInsets(double composerHeight, double stripHeight);
    void onTurnsChange(const QList<TurnRef>& turns);
    void onStreamingChange(bool streaming);
    // Another chat was opened; `turns` are its turns. Cancels an anchor
    // that is pending, so opening a chat never animates one.
    void onChatChange(const QList<TurnRef>& turns);
    // The transcript was first shown with these turns.
    void onFirstShown(const QList<TurnRef>& turns);
    // "Scroll to newest": follow again, with an animated step.
    void scrollToNewest();
    // Content above what shows changed height by `delta` and the transcript
    // is being scrolled by as much to keep its place: offsets taken before
    // move with it, so the scroll is not taken for the user's.
    void contentShifted(double delta);
    // Asks for one step on a later turn (refused while paused or anchoring).
    void followTail(bool animated);

    // --- state ----------------------------------------------------------
    bool autoFollow() const { return m_autoFollow; }
    bool anchoring() const { return m_anchoring; }
    bool isStreaming() const { return m_streaming; }
    const ScrollMetrics& metrics() const { return m_metrics; }
    double tailTop() const { return m_tailTop; }
    // The space kept under the newest text as it stands now: between 0 and
    // 140 while it eases towards readingGapTarget().
    double readingGap() const { return m_readingGap; }
    double readingGapTarget() const { return m_gapTarget; }
    bool readingGapAnimating() const { return m_readingGap != m_gapTarget; }
    std::optional<QUuid> anchorTurnId() const { return m_anchorTurnId; }
    std::optional<double> anchorRest() const { return m_anchorRest; }
    int64_t turnCount() const { return m_turnCount; }
    int64_t scrollTrigger() const { return m_scrollTrigger; }

    // composerHeight + stripHeight: the band at the bottom the composer covers.
    double idleInset() const { return m_composerHeight + m_stripHeight; }
    // The tail marker's height: idleInset + readingGap.
    double tailMarkerHeight() const { return idleInset() + m_readingGap; }
    // The offset at which the tail marker's bottom meets the viewport's.
    double tailOffset(const ScrollMetrics& m) const;
    // The offset that counts as the bottom: tailOffset, or the anchor's
    // rest position while an anchor holds.
    double maxFollowOffset(const ScrollMetrics& m) const;
    // The invisible block below the tail marker: a viewport high while an
    // anchor is set, so the turn can reach the top; otherwise room for the
    // reply while one streams.
    double fillerHeight() const;

    // The diagnostic line for `reason`, as the log receives it.
    QString traceLine(const QString& reason) const;

private:
    void trace(const QString& reason, bool forced);
    void step(bool animated);
    void anchorNewUserTurn(const QUuid& id);
    void anchorScroll(const QUuid& id, uint64_t generation);
    void anchorLanded(const QUuid& id, uint64_t generation);
    void refreshGeometry();
    void setReadingGap(double gap);
    void readingGapFrame(double from, double to, double t, uint64_t generation);
    void notify();
    static std::optional<QUuid> newestUserTurn(const QList<TurnRef>& turns);

    Scroller m_scroller;
    Scheduler m_scheduler;
    Clock m_clock;
    Trace m_trace;

    bool m_autoFollow = true;
    double m_lastOffset = 0;
    ScrollMetrics m_metrics;
    std::optional<QUuid> m_lastUserTurnId;
    double m_composerHeight = 140;
    double m_stripHeight = 0;
    double m_readingGap = 0;
    double m_gapTarget = 0;
    uint64_t m_gapGeneration = 0; // frames of a replaced animation do nothing
    std::optional<QUuid> m_anchorTurnId;
    std::optional<double> m_anchorRest;
    bool m_anchoring = false;
    double m_tailTop = 0;
    int64_t m_scrollTrigger = 0;
    int64_t m_turnCount = 0;
    bool m_streaming = false;
    // Bumped by a chat change: anchor scrolls and landings scheduled before
    // it belong to the old chat and do nothing.
    uint64_t m_anchorGeneration = 0;
    std::optional<std::chrono::steady_clock::time_point> m_lastTraceAt;
};

} // namespace cvn
