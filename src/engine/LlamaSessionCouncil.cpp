// The council: one message answered by each member in turn, one slot job
// each, so that other programs' requests wait behind the whole run. A
// member not in the slot is loaded first, with a status line counting the
// seconds of its load. Its answer is the chat's own reply (replyDecode).

#include "engine/CouncilMentions.h"
#include "engine/SessionRuns.h"

#include <QPointer>

#include <algorithm>

namespace cvn {

SessionTask LlamaSession::sendCouncil(const QString& shown, const QString& question, const QList<ModelInfo>& members,
                                      const QStringList& notes, const QList<ChatImage>& images)
{
    if (m_isStreaming || councilActive() || members.isEmpty())
        return {};
    auto council = std::make_unique<CouncilRun>();
    council->members = members;
    council->history = sentHistory();
    const QUuid asked = appendQuestion(shown, notes, images);
    council->history.append({asked, ChatMessage{ChatMessage::Role::user, question, {}, {}, images}});

    // A precise timer never fires early, so each tick shows one more second.
    council->statusTimer.setInterval(1000);
    council->statusTimer.setTimerType(Qt::PreciseTimer);
    connect(&council->statusTimer, &QTimer::timeout, this, [this] {
        // A load waiting for another program's writing says so instead.
        if (!m_council || m_council->index >= m_council->members.size()
            || m_slot->state().phase == ModelSlot::Phase::waitingForWriter)
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
        if (self && self->m_council.get() == started)
            self->submitCouncil();
    }, Qt::QueuedConnection);
    return task;
}

void LlamaSession::submitCouncil()
{
    CouncilRun* run = m_council.get();
    for (qsizetype member = 0; member < run->members.size() && m_council.get() == run; ++member)
        run->jobs.append(m_slot->submit(memberJob(member)));
}

ModelSlot::Job LlamaSession::memberJob(qsizetype member)
{
    CouncilRun* run = m_council.get();
    ModelSlot::Job job;
    job.client = ModelSlot::Client::council;
    // A member already in the slot answers at once, unless its file changed
    // since: then it is loaded again like any other member, and like theirs
    // its load takes the facts of the file that is there now.
    job.model = [model = run->members[member]] { return std::optional(model); };
    job.onStart = [this, run, member] {
        if (m_council.get() != run || run->stopRequested)
            return false;
        run->index = member;
        Turn bubble;
        bubble.role = ChatMessage::Role::assistant;
        bubble.state = Turn::State::streaming();
        bubble.modelName = run->members[member].displayName;
        run->bubbleId = bubble.id;
        m_turns.append(bubble);
        emit turnsChanged();
        setStreaming(true);
        publishSnapshot();
        return true;
    };
    job.onLoading = [this, run, member](const ModelInfo&) {
        if (m_council.get() != run)
            return;
        run->loadClock.start();
        run->statusTicks = 0;
        setStatusText(QStringLiteral("Loading %1... (0s)").arg(run->members[member].displayName));
        run->statusTimer.start();
        run->memberLoading = true;
        // The run stays "streaming" while its member loads, so the user
        // keeps a stop button and no second run can start.
        setStreaming(true);
        setTokensPerSecond(std::nullopt);
        publishSnapshot();
    };
    job.onLoadProgress = [this, run](float fraction) {
        if (m_council.get() == run && run->bubbleId)
            setProgress(*run->bubbleId, loadProgressText(fraction));
    };
    job.onLoadFailed = [this, run](const ModelInfo& loaded, const LoadError& error) {
        if (m_council.get() != run)
            return; // the run was ended meanwhile
        memberLoadEnded();
        if (error.kind() == LoadError::Kind::stopped) {
            answerCouncilMember(nullptr); // which ends the run the user stopped
            return;
        }
        if (const qsizetype index = indexOf(*run->bubbleId); index >= 0)
            m_turns.removeAt(index);
        m_turns.append(noteTurn(loaded.displayName + QStringLiteral(" couldn't respond — ")
                                + CouncilMentions::failureReason(error, loaded)));
        emit turnsChanged();
        setStreaming(true);
        publishSnapshot();
        councilMemberDone();
    };
    job.decode = [this, run](const ModelSlot::Ready& ready) -> std::optional<ModelSlot::Decode> {
        if (m_council.get() != run)
            return std::nullopt;
        memberLoadEnded();
        setStreaming(true);
        return answerCouncilMember(&ready);
    };
    // The user's unload drops a member's load: the member ends here as
    // stopped, and the stop ends the run.
    job.onCancelled = [this, run] {
        if (m_council.get() != run || !run->memberLoading)
            return;
        memberLoadEnded();
        answerCouncilMember(nullptr);
    };
    return job;
}

void LlamaSession::memberLoadEnded()
{
    if (!std::exchange(m_council->memberLoading, false))
        return;
    m_council->statusTimer.stop();
    setStatusText(std::nullopt);
}

std::optional<ModelSlot::Decode> LlamaSession::answerCouncilMember(const ModelSlot::Ready* ready)
{
    CouncilRun& council = *m_council;
    const qsizetype index = indexOf(*council.bubbleId);
    if (council.stopRequested || !ready || !ready->model || index < 0) {
        if (index >= 0 && m_turns[index].content.isEmpty()) {
            m_turns.removeAt(index);
            emit turnsChanged();
        }
        publishSnapshot();
        councilMemberDone();
        return std::nullopt;
    }
    auto run = std::make_shared<ReplyRun>();
    run->turnId = *council.bubbleId;
    run->messages = council.history;
    m_reply = run;
    return replyDecode(run, *ready);
}

void LlamaSession::councilMemberDone()
{
    if (!m_council)
        return;
    ++m_council->index;
    if (m_council->stopRequested || m_council->index >= m_council->members.size())
        endCouncil();
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
    // The members still queued never start, and a member's load has nothing
    // left to answer.
    for (const ModelSlot::JobId job : ended->jobs) {
        const ModelSlot::State& state = m_slot->state();
        const bool loading = state.job == job
            && (state.phase == ModelSlot::Phase::loading || state.phase == ModelSlot::Phase::waitingForWriter);
        if (loading || m_slot->isQueued(job))
            m_slot->cancel(job);
    }
    ended->task.finish();
}

} // namespace cvn
