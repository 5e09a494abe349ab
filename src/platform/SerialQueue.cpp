#include "platform/SerialQueue.h"

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include <pthread.h>

namespace cvn {

struct SerialQueue::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Work> items;
    bool closing = false;
    int running = 0; // 1 while an item runs
    std::thread worker;
    std::thread::id workerId;
};

namespace {

void runWorker(const std::shared_ptr<SerialQueue::State>& state)
{
    for (;;) {
        SerialQueue::Work work;
        {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock, [&] { return state->closing || !state->items.empty(); });
            if (state->items.empty())
                return; // closing and drained
            work = std::move(state->items.front());
            state->items.pop_front();
            state->running = 1;
        }
        work();
        work = nullptr; // release captures on the worker, before the next item
        std::lock_guard lock(state->mutex);
        state->running = 0;
    }
}

} // namespace

SerialQueue::SerialQueue(QString label, QString threadName)
    : m_label(std::move(label))
    , m_state(std::make_shared<State>())
{
    const QByteArray name = (threadName.isEmpty() ? m_label : threadName).toUtf8().left(15);
    std::promise<void> started;
    auto ready = started.get_future();
    // The worker holds the state too, so a detached worker never outlives it.
    m_state->worker = std::thread([state = m_state, name, &started] {
        pthread_setname_np(pthread_self(), name.constData());
        started.set_value();
        runWorker(state);
    });
    m_state->workerId = m_state->worker.get_id();
    ready.wait();
}

SerialQueue::~SerialQueue()
{
    {
        std::lock_guard lock(m_state->mutex);
        m_state->closing = true;
    }
    m_state->wake.notify_all();
    if (std::this_thread::get_id() == m_state->workerId)
        m_state->worker.detach();
    else
        m_state->worker.join();
}

void SerialQueue::async(Work work)
{
    {
        std::lock_guard lock(m_state->mutex);
        m_state->items.push_back(std::move(work));
    }
    m_state->wake.notify_one();
}

void SerialQueue::sync(const Work& work)
{
    if (isCurrent()) {
        work();
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    async([&work, &done] {
        try {
            work();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    finished.get();
}

bool SerialQueue::isCurrent() const
{
    return std::this_thread::get_id() == m_state->workerId;
}

bool SerialQueue::waitForMore(std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_state->mutex);
    m_state->wake.wait_for(lock, limit, [this] { return !m_state->items.empty() || m_state->closing; });
    return !m_state->items.empty();
}

int SerialQueue::pendingCount() const
{
    std::lock_guard lock(m_state->mutex);
    return static_cast<int>(m_state->items.size()) + m_state->running;
}

} // namespace cvn
