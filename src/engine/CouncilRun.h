#pragma once

// The state of a council message while it passes through its members, shared
// by the session's single-reply code (which ends or advances it) and the
// council's own steps in LlamaSessionCouncil.cpp. Private to the session:
// nothing outside src/engine includes it. Main thread only.

#include "engine/LlamaSession.h"

#include <QElapsedTimer>
#include <QTimer>

namespace cvn {

// A council message on its way through its members.
struct LlamaSession::CouncilRun {
    QList<ModelInfo> members;
    qsizetype index = 0;
    QList<ReplyPrompt::Message> history; // the question last

    std::optional<QUuid> bubbleId; // the current member's bubble
    QTimer statusTimer;
    QElapsedTimer loadClock;
    qint64 statusTicks = 0; // timer ticks since the member's load began
    bool stopRequested = false; // the user stopped the run: no further member starts
    bool memberLoading = false; // the current member's load has not reported back
    bool awaitingSlot = false; // a served request holds the slot; no member has started
    SessionTask task = SessionTask::started();
};

} // namespace cvn
