#include "chat/transcript/TailFollower.h"

#include "bridge/BridgeLog.h"

#include <QPointF>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <mutex>

namespace cvn {

namespace {

std::mutex& diagnosticsLock()
{
    static std::mutex lock;
    return lock;
}

ScrollDiagnostics::Values& diagnostics() // guarded by diagnosticsLock()
{
    static ScrollDiagnostics::Values values;
    return values;
}

// Whole numbers, halves away from zero, as plain signed integers.
QString whole(double value)
{
    return QString::number(static_cast<long long>(std::llround(value)));
}

QString flag(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace

void ScrollDiagnostics::publish(const ScrollMetrics& metrics, double maxOffset, bool autoFollow, int64_t turns)
{
    std::lock_guard lock(diagnosticsLock());
    Values& v = diagnostics();
    v.offset = metrics.offset;
    v.contentHeight = metrics.contentHeight;
    v.viewportHeight = metrics.viewportHeight;
    v.maxOffset = maxOffset;
    v.autoFollow = autoFollow;
    v.turns = turns;
    ++v.updates;
}

ScrollDiagnostics::Values ScrollDiagnostics::read()
{
    std::lock_guard lock(diagnosticsLock());
    return diagnostics();
}

TailFollower::TailFollower(Scroller scroller, Scheduler scheduler, Clock clock, Trace trace)
    : m_scroller(std::move(scroller)), m_scheduler(std::move(scheduler)), m_clock(std::move(clock)),
      m_trace(std::move(trace))
{
    if (!m_clock)
        m_clock = [] { return std::chrono::steady_clock::now(); };
    if (!m_trace)
        m_trace = [](const QString& line) { bridgeLog(line); };
}

double TailFollower::tailOffset(const ScrollMetrics& m) const
{
    return std::max(0.0, m_tailTop + idleInset() + m_readingGap - m.viewportHeight);
}

double TailFollower::maxFollowOffset(const ScrollMetrics& m) const
{
    const double tail = tailOffset(m);
    if (m_anchorTurnId && m_anchorRest)
        return std::max(tail, *m_anchorRest);
    return tail;
}

double TailFollower::fillerHeight() const
{
    if (m_anchorTurnId)
        return m_metrics.viewportHeight;
    if (!m_streaming)
        return 0;
    const double inset = idleInset();
    return std::max(0.6 * m_metrics.viewportHeight, inset) - inset;
}

void TailFollower::handleScrollMetrics(const ScrollMetrics& metrics, bool byUser)
{
    const bool wasFollowing = m_autoFollow;
    const double filler = fillerHeight();
    m_metrics = metrics;
    const double o = metrics.offset;
    const double bottom = maxFollowOffset(m_metrics);
    if (o >= bottom - 1)
        m_autoFollow = true;
    else if (byUser && o < m_lastOffset - 0.5)
        m_autoFollow = false;
    else if (o >= bottom - 48 && o > m_lastOffset + 0.5)
        m_autoFollow = true;
    m_lastOffset = o;
    ScrollDiagnostics::publish(m_metrics, maxFollowOffset(m_metrics), m_autoFollow, m_turnCount);
    if (wasFollowing != m_autoFollow || filler != fillerHeight())
        notify();
}

void TailFollower::setTailTop(double tailTop)
{
    m_tailTop = tailTop;
    followTail(false);
}

void TailFollower::setInsets(double composerHeight, double stripHeight)
{
    if (composerHeight == m_composerHeight && stripHeight == m_stripHeight)
        return;
    m_composerHeight = composerHeight;
    m_stripHeight = stripHeight;
    notify();
    followTail(false);
}

std::optional<QUuid> TailFollower::newestUserTurn(const QList<TurnRef>& turns)
{
    for (auto it = turns.crbegin(); it != turns.crend(); ++it) {
        if (it->isUser)
            return it->id;
    }
    return std::nullopt;
}

void TailFollower::onTurnsChange(const QList<TurnRef>& turns)
{
    m_turnCount = turns.size();
    const std::optional<QUuid> newest = newestUserTurn(turns);
    if (newest && newest != m_lastUserTurnId) {
        m_lastUserTurnId = newest;
        m_autoFollow = true;
        anchorNewUserTurn(*newest);
        return;
    }
    m_lastUserTurnId = newest;
    if (m_anchorTurnId) {
        const bool present =
            std::any_of(turns.cbegin(), turns.cend(), [&](const TurnRef& t) { return t.id == *m_anchorTurnId; });
        if (!present) {
            m_anchorTurnId.reset();
            m_anchorRest.reset();
            notify();
        }
    }
    followTail(false);
}

void TailFollower::onStreamingChange(bool streaming)
{
    m_streaming = streaming;
    trace(streaming ? QStringLiteral("stream start") : QStringLiteral("stream end"), true);
    if (!streaming && m_anchorRest && *m_anchorRest - 1 <= tailOffset(m_metrics)) {
        m_anchorTurnId.reset();
        m_anchorRest.reset();
    }
    notify(); // the filler follows the flag and the anchor
    // Inside a 0.25-s ease-out; every frame asks for a follow step, so the
    // newest text glides with the gap instead of jumping 140 pixels.
    setReadingGap(streaming ? readingGapWhileStreaming : 0);
    followTail(false);
}

void TailFollower::onChatChange(const QList<TurnRef>& turns)
{
    ++m_anchorGeneration;
    m_anchoring = false;
    m_autoFollow = true;
    m_anchorTurnId.reset();
    m_anchorRest.reset();
    m_turnCount = turns.size();
    m_lastUserTurnId = newestUserTurn(turns);
    notify();
    followTail(false);
}

void TailFollower::onFirstShown(const QList<TurnRef>& turns)
{
    m_turnCount = turns.size();
    m_lastUserTurnId = newestUserTurn(turns);
}

void TailFollower::scrollToNewest()
{
    m_autoFollow = true;
    ++m_scrollTrigger;
    notify();
    followTail(true);
}

void TailFollower::contentShifted(double delta)
{
    m_lastOffset += delta;
    m_metrics.offset += delta;
    if (m_anchorRest)
        *m_anchorRest += delta;
}

void TailFollower::followTail(bool animated)
{
    if (!m_autoFollow) {
        trace(QStringLiteral("paused"), false);
        return;
    }
    if (m_anchoring) {
        trace(QStringLiteral("anchoring"), false);
        return;
    }
    if (m_scheduler.post)
        m_scheduler.post([this, animated] { step(animated); });
}

void TailFollower::refreshGeometry()
{
    // A report queued before this turn may describe a transcript that has
    // since grown or scrolled: what is on screen now decides.
    if (m_scroller.liveMetrics) {
        if (const auto live = m_scroller.liveMetrics())
            m_metrics = *live;
    }
    if (m_scroller.liveTailTop) {
        if (const auto live = m_scroller.liveTailTop())
            m_tailTop = *live;
    }
}

void TailFollower::step(bool animated)
{
    // The user may have scrolled away since the step was asked for.
    if (!m_autoFollow)
        return;
    refreshGeometry();
    const ScrollMetrics m = m_metrics;
    if (m_anchorTurnId && m_anchorRest && tailOffset(m) < *m_anchorRest - 1) {
        if (m.offset < *m_anchorRest - 1) {
            trace(QStringLiteral("to anchor"), false);
            if (m_scroller.scrollToAnchor) {
                const double unit = m.viewportHeight <= 1 ? 1.0 : std::min(1.0, anchorTopInset / m.viewportHeight);
                m_scroller.scrollToAnchor(*m_anchorTurnId, unit, animated, stepDurationMs);
            }
        } else {
            trace(QStringLiteral("hold"), false);
        }
        return;
    }
    const std::optional<double> applied =
        m_scroller.scrollTo ? m_scroller.scrollTo(tailOffset(m), animated, stepDurationMs) : std::nullopt;
    // Without a transcript there is nothing to follow; the next report asks
    // again.
    if (applied)
        trace(QStringLiteral("follow applied=") + whole(*applied), false);
}

void TailFollower::anchorNewUserTurn(const QUuid& id)
{
    m_anchorTurnId = id;
    m_anchorRest.reset();
    m_anchoring = true;
    notify();
    const uint64_t generation = m_anchorGeneration;
    if (m_scheduler.post)
        m_scheduler.post([this, id, generation] { anchorScroll(id, generation); });
}

void TailFollower::anchorScroll(const QUuid& id, uint64_t generation)
{
    if (generation != m_anchorGeneration)
        return;
    refreshGeometry();
    if (m_scroller.scrollToAnchor) {
        const double v = m_metrics.viewportHeight;
        const double unit = v <= 1 ? 1.0 : std::min(1.0, anchorTopInset / v);
        m_scroller.scrollToAnchor(id, unit, true, anchorDurationMs);
    }
    if (m_scheduler.postAfter)
        m_scheduler.postAfter(anchorLandingMs, [this, id, generation] { anchorLanded(id, generation); });
}

void TailFollower::anchorLanded(const QUuid& id, uint64_t generation)
{
    if (generation != m_anchorGeneration)
        return;
    m_anchoring = false;
    refreshGeometry();
    // A newer turn may have taken the anchor meanwhile: its rest is its own.
    if (m_anchorTurnId == id)
        m_anchorRest = m_metrics.offset;
    trace(QStringLiteral("anchor landed"), true);
    notify();
    followTail(false);
}

QEasingCurve TailFollower::easeOut()
{
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0, 0), QPointF(0.58, 1), QPointF(1, 1));
    return curve;
}

void TailFollower::setReadingGap(double gap)
{
    if (gap == m_gapTarget)
        return; // there already, or on the way
    m_gapTarget = gap;
    const uint64_t generation = ++m_gapGeneration;
    if (!m_scheduler.animate) {
        m_readingGap = gap;
        notify();
        return;
    }
    // From wherever a replaced animation had got to.
    const double from = m_readingGap;
    m_scheduler.animate(stepDurationMs, [this, from, gap, generation](double t) {
        readingGapFrame(from, gap, t, generation);
    });
}

void TailFollower::readingGapFrame(double from, double to, double t, uint64_t generation)
{
    if (generation != m_gapGeneration)
        return;
    static const QEasingCurve curve = easeOut();
    const double gap = t >= 1 ? to : from + (to - from) * curve.valueForProgress(std::clamp(t, 0.0, 1.0));
    if (gap == m_readingGap)
        return;
    m_readingGap = gap;
    notify();
    // The tail marker changed height: its bottom goes back to the viewport's.
    followTail(false);
}

void TailFollower::notify()
{
    if (stateChanged)
        stateChanged();
}

void TailFollower::trace(const QString& reason, bool forced)
{
    const auto now = m_clock();
    if (!forced && (!m_streaming || (m_lastTraceAt && now - *m_lastTraceAt < traceInterval)))
        return;
    m_lastTraceAt = now;
    m_trace(traceLine(reason));
}

QString TailFollower::traceLine(const QString& reason) const
{
    const ScrollMetrics& m = m_metrics;
    const double replyLineY = m_tailTop - m.offset;
    const double composerTopY = m.viewportHeight - idleInset();
    const QStringList parts = {
        QStringLiteral("scroll: ") + reason,
        QStringLiteral("lastReplyLineY=") + whole(replyLineY),
        QStringLiteral("composerTopY=") + whole(composerTopY),
        QStringLiteral("distance=") + whole(composerTopY - replyLineY),
        QStringLiteral("zone=") + whole(m_readingGap),
        QStringLiteral("autoScrollActive=") + flag(m_autoFollow),
        QStringLiteral("anchored=") + flag(m_anchorTurnId.has_value()),
        QStringLiteral("rest=") + (m_anchorRest ? whole(*m_anchorRest) : QStringLiteral("-")),
        QStringLiteral("anchoring=") + flag(m_anchoring),
        QStringLiteral("offset=") + whole(m.offset),
        QStringLiteral("tailOffset=") + whole(tailOffset(m)),
        QStringLiteral("tailTop=") + whole(m_tailTop),
        QStringLiteral("contentH=") + whole(m.contentHeight),
        QStringLiteral("viewport=") + whole(m.viewportHeight),
        QStringLiteral("idleInset=") + whole(idleInset()),
        QStringLiteral("streaming=") + flag(m_streaming),
    };
    return parts.join(u' ');
}

} // namespace cvn
