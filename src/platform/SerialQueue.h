#pragma once

#include <QString>

#include <chrono>
#include <functional>
#include <memory>

namespace cvn {

// A named worker thread that runs submitted work items one at a time, in the
// order they were submitted.
//
// Threads: async/sync/isCurrent may be called from any thread. Work items run
// only on the queue's own worker.
//
// Lifetime: destroying the queue lets the items already submitted run to the
// end, then stops the worker. When the last owner lets go of the queue from
// inside one of its own work items, the destructor cannot wait for itself: the
// worker is detached and finishes the remaining items on its own.
class SerialQueue {
public:
    using Work = std::function<void()>;

    // `label` names the queue in logs; `threadName` is the OS thread name
    // (Linux keeps 15 characters of it).
    explicit SerialQueue(QString label, QString threadName = {});
    ~SerialQueue();

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const QString& label() const { return m_label; }

    // Submits `work` and returns at once.
    void async(Work work);

    // Runs `work` on the queue and waits for it. Called from the queue's own
    // worker, it runs `work` inline (waiting would deadlock).
    void sync(const Work& work);

    // True when the calling code runs on this queue's worker.
    bool isCurrent() const;

    // Work items submitted and not yet finished (for tests and diagnostics).
    int pendingCount() const;

    // From inside one of its own work items: waits until another item is
    // submitted, the queue closes or `limit` passes. True when an item waits.
    bool waitForMore(std::chrono::milliseconds limit);

    struct State; // shared with the worker thread

private:
    QString m_label;
    std::shared_ptr<State> m_state;
};

} // namespace cvn
