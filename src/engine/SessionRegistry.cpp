#include "engine/SessionRegistry.h"

#include <mutex>
#include <vector>

namespace cvn {

namespace {

struct WeakBox {
    const void* session;
    std::weak_ptr<void> alive;
    LlamaSession::Snapshot snapshot;
};

// Never destroyed: sessions may still report while the process exits.
struct Registry {
    std::mutex lock;
    std::vector<WeakBox> boxes;
};

Registry& registry()
{
    static Registry* r = new Registry;
    return *r;
}

} // namespace

void SessionRegistry::registerSession(const void* session, const std::shared_ptr<void>& aliveToken,
                                      const LlamaSession::Snapshot& first)
{
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.boxes.push_back({session, aliveToken, first});
}

void SessionRegistry::update(const void* session, const LlamaSession::Snapshot& snapshot)
{
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    // A dead box may share the address of a newer session: only live boxes count.
    for (WeakBox& box : r.boxes) {
        if (box.session == session && !box.alive.expired())
            box.snapshot = snapshot;
    }
}

QList<LlamaSession::Snapshot> SessionRegistry::snapshots()
{
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    std::erase_if(r.boxes, [](const WeakBox& box) { return box.alive.expired(); });
    QList<LlamaSession::Snapshot> out;
    out.reserve(qsizetype(r.boxes.size()));
    for (const WeakBox& box : r.boxes)
        out.append(box.snapshot);
    return out;
}

qsizetype SessionRegistry::boxCount()
{
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    return qsizetype(r.boxes.size());
}

} // namespace cvn
