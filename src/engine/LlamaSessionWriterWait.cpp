// A load whose file another program still has open for writing: it waits
// for that program on the load's thread, and the main thread shows the wait
// and lets the user end it.

#include "engine/LlamaSession.h"

#include <algorithm>
#include <thread>

namespace cvn {

namespace {

using SteadyClock = std::chrono::steady_clock;

// The pauses between two looks at the file: a copy that is nearly done is
// loaded soon, and a long download is not looked at many times a second.
constexpr std::chrono::milliseconds kFirstPause{250};
constexpr std::chrono::milliseconds kLongestPause{2000};
// How soon a stop is heard while the load waits.
constexpr std::chrono::milliseconds kStopCheck{20};

} // namespace

bool LlamaSession::waitForWriter(const QString& path, SteadyClock::time_point ends, const std::atomic<bool>& cancel)
{
    std::chrono::milliseconds pause = kFirstPause;
    for (;;) {
        const SteadyClock::time_point next = std::min(SteadyClock::now() + pause, ends);
        while (SteadyClock::now() < next) {
            if (cancel.load())
                return false;
            std::this_thread::sleep_for(kStopCheck);
        }
        if (!LlamaModel::fileBeingWritten(path))
            return true;
        if (cancel.load() || SteadyClock::now() >= ends)
            return false;
        pause = std::min(pause * 2, kLongestPause);
    }
}

void LlamaSession::showWriterWait(const ModelInfo& info, const LoadDone& done, const SessionTask& task)
{
    // A pick waits with no reply on the way: the stop button shows for the
    // wait alone.
    m_writerWaitRaisedStreaming = !m_isStreaming;
    m_stopWriterWait = [this, info, done, task, serial = m_loadSerial] {
        if (m_loadSerial != serial)
            return; // a later load has the slot; this one was dropped already
        abandonLoad();
        if (done)
            done(info, LoadError::stopped());
        task.finish();
    };
    setStatusText(QStringLiteral("Waiting for another program to finish writing %1…").arg(info.displayName));
    setStreaming(true);
    publishSnapshot();
}

void LlamaSession::abandonLoad()
{
    ++m_loadSerial; // a load still running frees its model when it returns
    if (m_loadCancel)
        *m_loadCancel = true;
    endWriterWait();
    // A pick dropped never reports back: what waited behind it goes on.
    if (std::exchange(m_pickLoading, false)) {
        m_pickPending.reset();
        QMetaObject::invokeMethod(this, &LlamaSession::startNextInSlot, Qt::QueuedConnection);
    }
}

void LlamaSession::endWriterWait()
{
    if (!m_stopWriterWait)
        return;
    m_stopWriterWait = {};
    setStatusText(std::nullopt);
    if (std::exchange(m_writerWaitRaisedStreaming, false)) {
        setStreaming(false);
        publishSnapshot();
    }
}

} // namespace cvn
