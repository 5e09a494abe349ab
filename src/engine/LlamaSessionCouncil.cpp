// The council: one message answered by each member in turn, each loaded
// before it answers, with a status line counting the seconds of its load.
// The single reply underneath is the session's own (startReply); this file
// only walks the members.

#include "engine/CouncilMentions.h"
#include "engine/CouncilRun.h"

#include <QPointer>

#include <algorithm>

namespace cvn {

SessionTask LlamaSession::sendCouncil(const QString& shown, const QString& question, const QList<ModelInfo>& members,
                                      const QStringList& notes)
{
    if (m_isStreaming || councilActive() || members.isEmpty())
        return {};
    auto council = std::make_unique<CouncilRun>();
    council->members = members;
    council->history = sentHistory();
    const QUuid asked = appendQuestion(shown, notes);
    council->history.append({asked, ChatMessage{ChatMessage::Role::user, question}});

    // A precise timer never fires early, so each tick shows one more second.
    council->statusTimer.setInterval(1000);
    council->statusTimer.setTimerType(Qt::PreciseTimer);
    connect(&council->statusTimer, &QTimer::timeout, this, [this] {
        // A load waiting for another program's writing says so instead.
        if (!m_council || m_council->index >= m_council->members.size() || m_stopWriterWait)
            return;
        ++m_council->statusTicks;
        const qint64 seconds = std::max<qint64>(m_council->loadClock.elapsed() / 1000, m_council->statusTicks);
        setStatusText(QStringLiteral("Loading %1... (%2s)")
                          .arg(m_council->members[m_council->index].displayName)
                          .arg(seconds));
    });
    SessionTask task = council->task;
    m_council = std::move(council);
    setStreaming(true);
    setTokensPerSecond(std::nullopt);
    publishSnapshot();

    // The run proceeds from the event loop, like a task started here.
    QPointer<LlamaSession> self(this);
    CouncilRun* started = m_council.get();
    QMetaObject::invokeMethod(this, [self, started] {
        if (!self || self->m_council.get() != started)
            return;
        if (!self->m_request && self->m_slotQueue.empty()) {
            self->advanceCouncil();
            return;
        }
        started->awaitingSlot = true;
        self->m_slotQueue.push_back(SlotWaiter{nullptr, [self, started] {
            if (self && self->m_council.get() == started) {
                started->awaitingSlot = false;
                self->advanceCouncil();
            }
        }});
    }, Qt::QueuedConnection);
    return task;
}

void LlamaSession::advanceCouncil()
{
    if (!m_council)
        return;
    if (m_council->stopRequested || m_council->index >= m_council->members.size()) {
        endCouncil();
        return;
    }
    runCouncilMember();
}

void LlamaSession::runCouncilMember()
{
    CouncilRun& council = *m_council;
    const ModelInfo member = council.members[council.index];
    Turn bubble;
    bubble.role = ChatMessage::Role::assistant;
    bubble.state = Turn::State::streaming();
    bubble.modelName = member.displayName;
    council.bubbleId = bubble.id;
    m_turns.append(bubble);
    emit turnsChanged();
    setStreaming(true);
    publishSnapshot();

    // A member already in the slot answers at once, unless its file changed
    // since: then it is loaded again like any other member, and like theirs
    // its load takes the facts of the file that is there now.
    if (m_loadedModelId == member.id && !loadedFileChanged()) {
        answerCouncilMember();
        return;
    }

    council.loadClock.start();
    council.statusTicks = 0;
    setStatusText(QStringLiteral("Loading %1... (0s)").arg(member.displayName));
    council.statusTimer.start();
    unloadModel(true);
    CouncilRun* run = m_council.get();
    run->memberLoading = true;
    startLoad(member, [this, run](const ModelInfo& loaded, const std::optional<LoadError>& error) {
        if (m_council.get() != run)
            return; // the run was ended meanwhile
        m_council->memberLoading = false;
        m_council->statusTimer.stop();
        setStatusText(std::nullopt);
        if (error && error->kind() == LoadError::Kind::stopped) {
            answerCouncilMember(); // which ends the run the user stopped
            return;
        }
        if (error) {
            if (const qsizetype index = indexOf(*m_council->bubbleId); index >= 0)
                m_turns.removeAt(index);
            m_turns.append(noteTurn(loaded.displayName + QStringLiteral(" couldn't respond — ")
                                    + CouncilMentions::failureReason(*error, loaded)));
            emit turnsChanged();
            setStreaming(true);
            publishSnapshot();
            councilMemberDone();
            return;
        }
        setStreaming(true);
        answerCouncilMember();
    });
}

void LlamaSession::answerCouncilMember()
{
    CouncilRun& council = *m_council;
    const qsizetype index = indexOf(*council.bubbleId);
    if (council.stopRequested || !m_model || index < 0) {
        if (index >= 0 && m_turns[index].content.isEmpty()) {
            m_turns.removeAt(index);
            emit turnsChanged();
        }
        publishSnapshot();
        councilMemberDone();
        return;
    }
    startReply(*council.bubbleId, council.history);
}

void LlamaSession::councilMemberDone()
{
    if (!m_council)
        return;
    ++m_council->index;
    advanceCouncil();
}

void LlamaSession::endCouncil()
{
    if (!m_council)
        return;
    std::unique_ptr<CouncilRun> ended = std::move(m_council);
    ended->statusTimer.stop();
    setStatusText(std::nullopt);
    setStreaming(false);
    setTokensPerSecond(std::nullopt);
    publishSnapshot();
    ended->task.finish();
    startNextInSlot();
}

} // namespace cvn
