#pragma once

// The session's runs in progress: one reply into one bubble, and a council
// message on its way through its members. Shared by the session's files;
// private to the session: nothing outside src/engine includes it. Main
// thread only, but for the reply's PieceRelay.

#include "engine/LlamaSession.h"
#include "engine/ReasoningParser.h"

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

namespace cvn {

// The note a reply becomes when no model can answer it.
inline const QString kNoModelText = QStringLiteral("No model loaded — pick one with SELECT A MODEL.");

// What a reply's bubble says of the work before its first word.
inline QString loadProgressText(float fraction)
{
    return QStringLiteral("Loading the model… %1%").arg(std::clamp(int(fraction * 100.0f), 0, 100));
}

inline QString runProgressText(const RunProgress& progress)
{
    if (progress.stage == RunProgress::Stage::image)
        return QStringLiteral("Reading the image… %1s").arg(std::max<int64_t>(0, progress.elapsedMs / 1000));
    return QStringLiteral("Reading the conversation… %1%").arg(std::clamp(int(progress.fraction * 100.0), 0, 100));
}

// A run's progress on its way from the model's queue to the main thread:
// none while the work has run for less than the delay (an image's encode
// counts from its own start, the prompt from the start of the run's prompt),
// then at most a few texts a second, each one only when it says something
// new. The model's queue alone uses it.
class ProgressRelay {
public:
    using SteadyClock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds interval{250};

    void begin(SteadyClock::time_point at) { m_began = at; }

    std::optional<QString> text(const RunProgress& progress, SteadyClock::time_point now,
                                std::chrono::milliseconds delay)
    {
        const bool image = progress.stage == RunProgress::Stage::image;
        if (image ? std::chrono::milliseconds(progress.elapsedMs) < delay : (!m_began || now - *m_began < delay))
            return std::nullopt;
        if (m_lastAt && now - *m_lastAt < interval)
            return std::nullopt;
        QString text = runProgressText(progress);
        if (text == m_last)
            return std::nullopt;
        m_lastAt = now;
        m_last = text;
        return text;
    }

private:
    std::optional<SteadyClock::time_point> m_began;
    std::optional<SteadyClock::time_point> m_lastAt;
    QString m_last;
};

// Reply pieces on their way from the model's queue to the main thread. Every
// wake-up of the main thread takes a core from the compute threads, which all
// wait for the slowest of them at each step of a token; with as many threads
// as cores, one wake-up per token cost most of the speed. So the queue posts
// a delivery only when none is waiting on the main thread and the last one
// left at least a frame ago; pieces that arrive meanwhile wait for the next
// delivery or for the run's finish. Each piece keeps the time it was
// written, so the reasoning clocks read as if it had come alone.
class PieceRelay {
public:
    using SteadyClock = std::chrono::steady_clock;
    struct Piece {
        QString text;
        SteadyClock::time_point at;
    };

    // On the model's queue. True when the caller must post a delivery.
    bool push(const QString& text, SteadyClock::time_point at, SteadyClock::duration interval)
    {
        std::lock_guard lock(m_mutex);
        m_pending.push_back(Piece{text, at});
        if (m_posted || (m_lastPost && at - *m_lastPost < interval))
            return false;
        m_posted = true;
        m_lastPost = at;
        return true;
    }

    // Whether any piece waits for its delivery.
    bool isEmpty()
    {
        std::lock_guard lock(m_mutex);
        return m_pending.empty();
    }

    // On the main thread: everything written so far, in order.
    std::vector<Piece> take()
    {
        std::lock_guard lock(m_mutex);
        m_posted = false;
        return std::exchange(m_pending, {});
    }

private:
    std::mutex m_mutex;
    std::vector<Piece> m_pending;
    bool m_posted = false; // a delivery is waiting on the main thread
    std::optional<SteadyClock::time_point> m_lastPost;
};

// One reply being generated into one bubble: the slot's job for it. Its own
// parser and timers, so a reply that outlives its place in the session (the
// chat was switched, the model unloaded) still finishes its own bubble
// correctly.
struct LlamaSession::ReplyRun {
    QUuid turnId;
    ModelSlot::JobId job = 0;
    QList<ReplyPrompt::Message> messages;
    ReasoningParser parser;
    std::optional<std::chrono::steady_clock::time_point> reasoningStartedAt;
    std::chrono::steady_clock::time_point startedAt = std::chrono::steady_clock::now();
    int64_t pieces = 0;
    bool userCancelled = false;
    bool decoding = false; // its run is on the model's queue; before, a stop ends it where it waits
    bool waited = false; // it waited behind another job: its bubble says for what
    std::shared_ptr<LlamaModel> model;
    // Why its images could not be shown: the reply ends as this failure.
    std::optional<QString> imageFailure;
    SessionTask task = SessionTask::started();
    PieceRelay relay; // with `progress`, the only parts the model's queue touches
    ProgressRelay progress;
};

// A council message on its way through its members, one slot job each.
struct LlamaSession::CouncilRun {
    QList<ModelInfo> members;
    QList<ModelSlot::JobId> jobs; // the members', in order
    qsizetype index = 0; // the member answering or next
    QList<ReplyPrompt::Message> history; // the question last

    std::optional<QUuid> bubbleId; // the current member's bubble
    QTimer statusTimer;
    QElapsedTimer loadClock;
    qint64 statusTicks = 0; // timer ticks since the member's load began
    bool stopRequested = false; // the user stopped the run: no further member starts
    bool memberLoading = false; // the current member's load has not reported back
    SessionTask task = SessionTask::started();
};

} // namespace cvn
