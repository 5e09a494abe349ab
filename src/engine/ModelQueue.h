#pragma once

#include "platform/SerialQueue.h"

#include <functional>

namespace cvn {

// The serial queue that owns every use of one model's llama.cpp context: each
// generation run and the release of the handles. One per loaded model.
//
// Threads: async/sync/isCurrent from any thread. sync() from the queue's own
// worker runs inline, so a release triggered inside a work item cannot wait
// on itself.
class ModelQueue {
public:
    explicit ModelQueue(const QString& label = QStringLiteral("org.corvanthelis.llama.context"));

    void async(std::function<void()> work) { m_queue.async(std::move(work)); }
    void sync(const std::function<void()>& work) { m_queue.sync(work); }
    bool isCurrent() const { return m_queue.isCurrent(); }
    const QString& label() const { return m_queue.label(); }

private:
    SerialQueue m_queue;
};

} // namespace cvn
