#pragma once

// The process-wide list of live chat sessions with the latest Snapshot each
// published of itself, for the debug panel. Sessions are held weakly: each
// session owns an alive token (any shared_ptr) and the registry keeps only a
// weak_ptr to it plus the session's address as its identity, so the registry
// never keeps a session alive and never touches one. Boxes of sessions that
// went away are dropped at the next snapshots().
//
// Every function may be called from any thread; one mutex serialises them and
// is held only to copy.

#include "engine/LlamaSession.h"

#include <QList>

#include <memory>

namespace cvn {

class SessionRegistry {
public:
    SessionRegistry() = delete;

    // Appends a box for `session`. Called once by each session.
    static void registerSession(const void* session, const std::shared_ptr<void>& aliveToken,
                                const LlamaSession::Snapshot& first);
    // Replaces the Snapshot of that session's live box; never adds a box.
    static void update(const void* session, const LlamaSession::Snapshot& snapshot);
    // Snapshots of the live sessions in registration order; prunes the rest.
    static QList<LlamaSession::Snapshot> snapshots();

    // Boxes held, live or not yet pruned (for tests).
    static qsizetype boxCount();
};

} // namespace cvn
