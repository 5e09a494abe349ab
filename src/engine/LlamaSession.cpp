#include "engine/LlamaSession.h"

#include "engine/SessionRegistry.h"
#include "engine/SessionRuns.h"
#include "models/ModelStore.h"
#include "engine/VisionProjector.h"
#include "models/ProjectorPairing.h"

#include <algorithm>
#include <utility>

namespace cvn {

namespace {

// One display frame: the main thread gets a reply's pieces no more often.
constexpr std::chrono::milliseconds kPieceInterval{16};

} // namespace

// --- lifetime -----------------------------------------------------------------

LlamaSession::LlamaSession(ModelStore* store, QObject* parent)
    : QObject(parent)
    , m_store(store ? store : &ModelStore::shared())
    , m_slot(std::make_unique<ModelSlot>(*m_store))
    , m_shortId(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().left(8))
    , m_alive(std::make_shared<int>(0))
    , m_pieceInterval(kPieceInterval)
{
    connect(m_slot.get(), &ModelSlot::modelChanged, this, [this] {
        emit loadedModelChanged();
        publishSnapshot();
    });
    connect(m_slot.get(), &ModelSlot::templateChanged, this, &LlamaSession::templateChanged);
    connect(m_slot.get(), &ModelSlot::stateChanged, this, &LlamaSession::slotStateChanged);
    SessionRegistry::registerSession(this, m_alive, snapshot());
}

LlamaSession::~LlamaSession()
{
    // Those who listen may be half destroyed themselves: the chat's jobs end
    // unseen, and only other programs hear that their requests will not come.
    m_slot->disconnect(this);
    m_council.reset();
    m_reply.reset();
    m_slot.reset();
}

// --- published state ------------------------------------------------------------

LlamaSession::Snapshot LlamaSession::snapshot() const
{
    return Snapshot{m_shortId, loadedModelName(), loadedContextSize(), loadedArchitecture(),
                    chatTemplate(), m_isStreaming, m_tokensPerSecond};
}

void LlamaSession::publishSnapshot()
{
    SessionRegistry::update(this, snapshot());
}

void LlamaSession::setStreaming(bool streaming)
{
    if (m_isStreaming == streaming)
        return;
    m_isStreaming = streaming;
    emit isStreamingChanged();
}

void LlamaSession::setTokensPerSecond(std::optional<double> rate)
{
    if (m_tokensPerSecond == rate)
        return;
    m_tokensPerSecond = rate;
    emit tokensPerSecondChanged();
}

void LlamaSession::setStatusText(std::optional<QString> text)
{
    if (m_statusText == text)
        return;
    m_statusText = std::move(text);
    emit statusTextChanged();
}

qsizetype LlamaSession::indexOf(const QUuid& turnId) const
{
    for (qsizetype i = 0; i < m_turns.size(); ++i)
        if (m_turns[i].id == turnId)
            return i;
    return -1;
}

QList<ChatMessage> LlamaSession::buildHistory() const
{
    QList<ChatMessage> messages;
    for (const ReplyPrompt::Message& sent : sentHistory())
        messages.append(sent.message);
    return messages;
}

QList<ReplyPrompt::Message> LlamaSession::sentHistory() const
{
    QList<ReplyPrompt::Message> messages;
    for (const Turn& turn : m_turns)
        if (!turn.state.isFailed())
            messages.append({turn.id, ChatMessage{turn.role, turn.content, {}, {}, turn.images}});
    return messages;
}

int64_t LlamaSession::replyTokenLimit(int64_t contextSize)
{
    const int64_t fromContext = contextSize >= 512 ? contextSize / 2 : 256;
    return std::min<int64_t>(SamplingParams::defaults().maxTokens, fromContext);
}

QString LlamaSession::instructionsFor(const ModelInfo& model) const
{
    if (!m_chatInstructions.trimmed().isEmpty())
        return m_chatInstructions;
    return model.instructions.trimmed().isEmpty() ? QString() : model.instructions;
}

QString LlamaSession::loadedModelInstructions() const
{
    const std::optional<ModelInfo> record = m_store->model(loadedModelId());
    return record ? record->instructions : QString();
}

SamplingParams LlamaSession::samplingFor(const ModelSampling& sampling, int64_t contextSize)
{
    SamplingParams params = SamplingParams::defaults();
    params.temperature = sampling.temperature;
    params.topK = sampling.topK;
    params.topP = sampling.topP;
    params.minP = sampling.minP;
    params.repeatPenalty = sampling.repeatPenalty;
    params.maxTokens = sampling.replyLimit.value_or(replyTokenLimit(contextSize));
    params.seed = sampling.seed.value_or(SamplingParams::randomSeed);
    return params;
}

int64_t LlamaSession::contextSizeFor(const ModelInfo& model, uint64_t freeMb)
{
    return ModelSlot::contextSizeFor(model, freeMb);
}

void LlamaSession::slotStateChanged()
{
    const ModelSlot::State& state = m_slot->state();
    if (state.phase == ModelSlot::Phase::waitingForWriter) {
        setStatusText(QStringLiteral("Waiting for another program to finish writing %1…").arg(state.model->displayName));
        // The chat's own wait shows the stop button, a pick's for the wait
        // alone; another program's request is that program's to end.
        if (!m_writerWaitShown && state.client != ModelSlot::Client::request) {
            m_writerWaitRaisedStreaming = !m_isStreaming;
            setStreaming(true);
            publishSnapshot();
        }
        m_writerWaitShown = true;
    } else if (std::exchange(m_writerWaitShown, false)) {
        setStatusText(std::nullopt);
        if (std::exchange(m_writerWaitRaisedStreaming, false)) {
            setStreaming(false);
            publishSnapshot();
        }
    }
    showWhatTheReplyWaitsFor();
}

// --- the chat's model ---------------------------------------------------------------

void LlamaSession::unloadModel()
{
    stop();
    m_chatChoice.reset();
    dropPick();
    // The reply, if any, goes on finishing its own bubble as a cancelled one.
    m_reply.reset();
    // Whatever holds the slot ends: a load is dropped, a run ends as its
    // model goes (a council member's answer then ends the stopped run).
    m_slot->unload();
    setStreaming(false);
    setTokensPerSecond(std::nullopt);
    publishSnapshot();
}

std::optional<QUuid> LlamaSession::chatModelAfterWait() const
{
    if (m_pickPending)
        return m_pickPending->id;
    if (m_slot->state().client == ModelSlot::Client::request && m_slot->state().job != 0 && chatModelDisplaced())
        return m_chatChoice->id;
    return std::nullopt;
}

bool LlamaSession::seesImages(const QList<ModelInfo>& members) const
{
    const auto sees = [this](const ModelInfo& chosen) {
        // The store's record, for the projector the user chose since.
        const ModelInfo record = m_store->model(chosen.id).value_or(chosen);
        if (model() && loadedModelId() == record.id && model()->projectorFailure())
            return false;
        return ProjectorPairing::projectorFor(record, m_store->models()).has_value();
    };
    if (!members.isEmpty())
        return std::any_of(members.begin(), members.end(), sees);
    const std::optional<ModelInfo>& chat = m_pickPending ? m_pickPending : m_chatChoice;
    return chat && sees(*chat);
}

int64_t LlamaSession::imagePositions(const QList<ModelInfo>& members) const
{
    const auto positions = [this](const ModelInfo& chosen) -> int64_t {
        if (!seesImages({chosen}))
            return 0;
        const ModelInfo record = m_store->model(chosen.id).value_or(chosen);
        const QString path = ModelSlot::projectorPathFor(record, *m_store);
        if (path.isEmpty())
            return 0;
        // Header facts: an encoder of one size makes the same count of
        // every image. One that reads images at their own size is known
        // once its projector has loaded beside the model.
        if (const int64_t fixed = checkProjectorFile(path).imagePositions; fixed > 0)
            return fixed;
        return model() && loadedModelId() == record.id ? model()->imagePositions() : 0;
    };
    const std::optional<ModelInfo>& chat = m_pickPending ? m_pickPending : m_chatChoice;
    const QList<ModelInfo> asked = !members.isEmpty() ? members : chat ? QList<ModelInfo>{*chat} : QList<ModelInfo>();
    int64_t most = 0;
    for (const ModelInfo& member : asked)
        most = std::max(most, positions(member));
    return most;
}

bool LlamaSession::chatModelDisplaced() const
{
    return m_chatChoice && (!model() || loadedModelId() != m_chatChoice->id);
}

std::shared_ptr<LlamaModel> LlamaSession::idleChatModel() const
{
    if (!model() || m_isStreaming || !m_slot->isIdle() || m_pickPending || !m_chatChoice || chatModelDisplaced())
        return nullptr;
    return model();
}

void LlamaSession::dropPick()
{
    m_pickPending.reset();
    if (m_pickJob)
        m_slot->cancel(std::exchange(m_pickJob, 0));
}

SessionTask LlamaSession::loadModel(const ModelInfo& model, std::function<void(const std::optional<LoadError>&)> done)
{
    // The chat's reply or council ends: a reply waiting for the slot was
    // asked of the model picked before. So does a pick waiting for a writer.
    stop();
    // The model picked before is no longer the chat's: a pick that fails or
    // is stopped leaves the chat with none, as at start.
    m_chatChoice.reset();
    dropPick();
    // A council member's load has nothing left to answer.
    if (const ModelSlot::State& state = m_slot->state();
        state.client == ModelSlot::Client::council && state.phase == ModelSlot::Phase::loading)
        m_slot->cancel(state.job);
    m_reply.reset();
    setStreaming(m_isStreaming && m_council);
    setTokensPerSecond(std::nullopt);
    publishSnapshot();

    // The pick takes its turn in the slot: another program's request keeps
    // its model until it is answered, and a request that comes meanwhile
    // waits for the pick; a reply sent meanwhile waits for the model picked.
    m_pickPending = model;
    SessionTask task = SessionTask::started();
    auto id = std::make_shared<ModelSlot::JobId>(0);
    ModelSlot::Job pick;
    pick.client = ModelSlot::Client::pick;
    pick.model = [model] { return std::optional(model); };
    const auto ended = [this, id] {
        if (m_pickJob != *id)
            return false; // a later pick or an unload took over
        m_pickJob = 0;
        m_pickPending.reset();
        return true;
    };
    pick.decode = [this, ended, done, task](const ModelSlot::Ready&) {
        if (ended())
            m_chatChoice = m_slot->loadedInfo();
        if (done)
            done(std::nullopt);
        task.finish();
        return std::optional<ModelSlot::Decode>();
    };
    pick.onLoadFailed = [ended, done, task](const ModelInfo&, const LoadError& error) {
        ended();
        if (done)
            done(error);
        task.finish();
    };
    pick.onCancelled = [ended, task] {
        ended();
        task.finish();
    };
    *id = m_pickJob = m_slot->submit(std::move(pick));
    return task;
}

// --- sending ------------------------------------------------------------------------

SessionTask LlamaSession::send(const QString& text, const QList<ChatImage>& images)
{
    const QString trimmed = text.trimmed();
    if ((trimmed.isEmpty() && images.isEmpty()) || m_isStreaming || councilActive())
        return {};
    Turn user;
    user.role = ChatMessage::Role::user;
    user.content = trimmed;
    user.images = images;
    user.state = Turn::State::complete();
    m_turns.append(user);

    // Only the chat's own pick answers it: a council's last member or a
    // served request's model may be in the slot without being picked. A
    // pick still waiting for the slot or loading answers once it is there.
    if (!m_chatChoice && !m_pickPending) {
        m_turns.append(noteTurn(kNoModelText));
        emit turnsChanged();
        publishSnapshot();
        return {};
    }

    Turn placeholder;
    placeholder.role = ChatMessage::Role::assistant;
    placeholder.state = Turn::State::streaming();
    m_turns.append(placeholder);
    emit turnsChanged();

    QList<ReplyPrompt::Message> history = sentHistory();
    history.removeLast(); // the empty placeholder
    return submitReply(placeholder.id, history);
}

void LlamaSession::stop()
{
    // While a council member loads there is no reply, but the run must end.
    if (m_council)
        m_council->stopRequested = true;
    stopReply();
    // A wait for a writer of the chat's own (a pick's, a member's) ends.
    if (const ModelSlot::State& state = m_slot->state();
        state.phase == ModelSlot::Phase::waitingForWriter && state.client != ModelSlot::Client::request)
        m_slot->stop(state.job);
}

void LlamaSession::stopReply()
{
    if (!m_reply)
        return;
    const std::shared_ptr<ReplyRun> run = m_reply;
    if (m_isStreaming)
        run->userCancelled = true;
    // A reply still waiting for the slot or for its model has no run that
    // could end it: it ends here, and a load goes on into the slot.
    if (!run->decoding)
        finishReply(run);
    m_slot->stop(run->job);
}

// --- editing the transcript -------------------------------------------------------

void LlamaSession::resetConversation()
{
    replaceTurns({});
}

void LlamaSession::replaceTurns(QList<Turn> turns)
{
    stop();
    endCouncil();
    m_reply.reset(); // its late pieces and finish find no bubble here
    m_turns = std::move(turns);
    // Another chat: its cuts are made afresh.
    m_cuts.clear();
    setFirstSeenTurnId(std::nullopt);
    emit turnsChanged();
    setStreaming(false);
    setTokensPerSecond(std::nullopt);
    publishSnapshot();
}

LlamaSession::Turn LlamaSession::noteTurn(const QString& text)
{
    Turn note;
    note.role = ChatMessage::Role::assistant;
    note.state = Turn::State::failed(text);
    return note;
}

QUuid LlamaSession::appendQuestion(const QString& text, const QStringList& notes, const QList<ChatImage>& images)
{
    Turn user;
    user.role = ChatMessage::Role::user;
    user.content = text;
    user.images = images;
    m_turns.append(user);
    for (const QString& noteText : notes)
        m_turns.append(noteTurn(noteText));
    emit turnsChanged();
    return user.id;
}

void LlamaSession::appendAssistantNote(const QString& text)
{
    m_turns.append(noteTurn(text));
    emit turnsChanged();
    publishSnapshot();
}

void LlamaSession::appendUserTurn(const QString& text, const QStringList& notes)
{
    if (m_isStreaming || councilActive())
        return;
    appendQuestion(text, notes);
    publishSnapshot();
}

SessionTask LlamaSession::regenerate(const QUuid& turnId)
{
    const qsizetype index = indexOf(turnId);
    if (m_isStreaming || councilActive() || index < 0 || m_turns[index].role != ChatMessage::Role::user)
        return {};
    const QString text = m_turns[index].content;
    const QList<ChatImage> images = m_turns[index].images;
    // Every answer to this question goes, a council's several included.
    qsizetype end = index + 1;
    while (end < m_turns.size() && m_turns[end].role == ChatMessage::Role::assistant)
        ++end;
    m_turns.remove(index, end - index);
    emit turnsChanged();
    publishSnapshot();
    return send(text, images);
}

SessionTask LlamaSession::resend(const QUuid& turnId, const QString& text)
{
    const qsizetype index = indexOf(turnId);
    if (m_isStreaming || councilActive() || index < 0 || m_turns[index].role != ChatMessage::Role::user)
        return {};
    // The edit changes the text; the images stay with the message.
    const QList<ChatImage> images = m_turns[index].images;
    m_turns.remove(index, m_turns.size() - index);
    emit turnsChanged();
    publishSnapshot();
    return send(text, images);
}

void LlamaSession::toggleReasoning(const QUuid& turnId)
{
    const qsizetype index = indexOf(turnId);
    if (index < 0)
        return;
    m_turns[index].reasoningExpanded = !m_turns[index].reasoningExpanded;
    emit turnsChanged();
}

void LlamaSession::deleteTurn(const QUuid& turnId)
{
    const qsizetype index = indexOf(turnId);
    if (m_isStreaming || councilActive() || index < 0)
        return;
    m_turns.removeAt(index);
    emit turnsChanged();
}

} // namespace cvn
