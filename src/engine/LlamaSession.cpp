#include "engine/LlamaSession.h"

#include "engine/CouncilRun.h"
#include "engine/ReasoningParser.h"
#include "engine/SessionRegistry.h"
#include "models/HardwareInfo.h"
#include "models/MemoryEstimates.h"
#include "models/ModelStore.h"
#include "platform/AppSettings.h"
#include "platform/Logging.h"
#include "platform/MainThread.h"

#include <QDateTime>
#include <QFileInfo>
#include <QPointer>

#include <chrono>
#include <cmath>
#include <mutex>
#include <utility>
#include <vector>

namespace cvn {

namespace {

const QString kNoModel = QStringLiteral("No model loaded — pick one with SELECT A MODEL.");
const QString kNoTokens = QStringLiteral("Model returned no tokens.");
const QString kRewritten = QStringLiteral("Stopped: another program is rewriting the model file");
const QString kWaitsForRequest = QStringLiteral("Waiting for another program's request to finish…");
const QString kContextFull = QStringLiteral("Reply cut short: the context is full");

QString loadingText(const QString& model)
{
    return QStringLiteral("Loading %1...").arg(model);
}

using SteadyClock = std::chrono::steady_clock;

int64_t msBetween(SteadyClock::time_point from, SteadyClock::time_point to)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// Loads of one file in a row, each after the one before found the file
// changed: a file still being written changes at every load, and the last
// then fails (LoadError::fileChanging).
constexpr int kLoadsOfAChangingFile = 3;

// `info` with the facts a loaded model gives of itself, for a file whose
// header our reader refused.
ModelInfo withFactsOf(const LlamaModel& model, ModelInfo info)
{
    GgufInfo facts;
    facts.architecture = model.architecture().value_or(QString());
    facts.nCtxTrain = model.trainedContext();
    facts.embeddedChatTemplate = model.embeddedChatTemplate();
    facts.fileName = QFileInfo(model.path()).fileName();
    facts.fileSizeMb = info.fileSizeBytes / (1024 * 1024);
    info.trainedContext = facts.nCtxTrain > 0 ? std::optional(facts.nCtxTrain) : std::nullopt;
    info.discoveredMetadata = std::move(facts);
    return info;
}

// One display frame: the main thread gets a reply's pieces no more often.
constexpr std::chrono::milliseconds kPieceInterval{16};

// Reply pieces on their way from the model's queue to the main thread. Every
// wake-up of the main thread takes a core from the compute threads, which all
// wait for the slowest of them at each step of a token; with as many threads
// as cores, one wake-up per token cost most of the speed. So the queue posts
// a delivery only when none is waiting on the main thread and the last one
// left at least a frame ago; pieces that arrive meanwhile wait for the next
// delivery or for the run's finish. Each piece keeps the time it was
// written, so the reasoning clocks read as if it had come alone.
class PieceRelay {
public:
    struct Piece {
        QString text;
        SteadyClock::time_point at;
    };

    // On the model's queue. True when the caller must post a delivery.
    bool push(const QString& text, SteadyClock::time_point at, SteadyClock::duration interval)
    {
        std::lock_guard lock(m_mutex);
        m_pending.push_back(Piece{text, at});
        if (m_posted || (m_lastPost && at - *m_lastPost < interval))
            return false;
        m_posted = true;
        m_lastPost = at;
        return true;
    }

    // On the main thread: everything written so far, in order.
    std::vector<Piece> take()
    {
        std::lock_guard lock(m_mutex);
        m_posted = false;
        return std::exchange(m_pending, {});
    }

private:
    std::mutex m_mutex;
    std::vector<Piece> m_pending;
    bool m_posted = false; // a delivery is waiting on the main thread
    std::optional<SteadyClock::time_point> m_lastPost;
};

} // namespace

// One reply being generated into one bubble. Its own parser and timers, so a
// reply that outlives its place in the session (the chat was switched, the
// model unloaded) still finishes its own bubble correctly.
struct LlamaSession::ReplyRun {
    QUuid turnId;
    ReasoningParser parser;
    std::optional<SteadyClock::time_point> reasoningStartedAt;
    SteadyClock::time_point startedAt = SteadyClock::now();
    int64_t pieces = 0;
    bool userCancelled = false;
    bool awaitingModel = false; // its model is being loaded again; nothing generates yet
    bool awaitingSlot = false; // a served request holds the slot; nothing generates yet
    QStringList stopSequences;
    std::shared_ptr<LlamaModel> model;
    SessionTask task = SessionTask::started();
    PieceRelay relay; // the only part the model's queue touches
};

// --- lifetime -----------------------------------------------------------------

LlamaSession::LlamaSession(ModelStore* store, QObject* parent)
    : QObject(parent)
    , m_store(store ? store : &ModelStore::shared())
    , m_shortId(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().left(8))
    , m_alive(std::make_shared<int>(0))
    , m_pieceInterval(kPieceInterval)
{
    SessionRegistry::registerSession(this, m_alive, snapshot());
    // The models it loads hold leases on their files only where breaks are
    // heard.
    FileLease::watchBreaks();
}

LlamaSession::~LlamaSession()
{
    dropRequests();
    m_council.reset();
    m_reply.reset();
    m_streamHandle.cancel();
    // Those who listen may be half destroyed themselves: a wait ends unseen.
    m_stopWriterWait = {};
    abandonLoad();
    if (m_model)
        m_model->free();
}

// --- published state ------------------------------------------------------------

LlamaSession::Snapshot LlamaSession::snapshot() const
{
    return Snapshot{m_shortId, m_loadedModelName, loadedContextSize(), loadedArchitecture(),
                    m_template, m_isStreaming, m_tokensPerSecond};
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
            messages.append({turn.id, ChatMessage{turn.role, turn.content}});
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
    const std::optional<ModelInfo> record = m_store->model(m_loadedModelId);
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
    // A size the user set by hand wins; the model form warns when it may not fit.
    if (model.contextMode == QLatin1String("manual") && model.contextSizeManual && *model.contextSizeManual >= 1)
        return *model.contextSizeManual;
    return autoContextForRam(model.effectiveMetadata(), freeMb).contextSize;
}

// --- model slot -------------------------------------------------------------------

void LlamaSession::unloadModel()
{
    m_chatChoice.reset();
    m_pickPending.reset();
    ++m_pickSerial; // a pick still waiting for the slot is dropped
    unloadModel(false);
}

std::optional<QUuid> LlamaSession::chatModelAfterWait() const
{
    if (m_pickPending)
        return m_pickPending->id;
    if (m_request && chatModelDisplaced())
        return m_chatChoice->id;
    return std::nullopt;
}

void LlamaSession::unloadModel(bool keepStreaming)
{
    // A council's own member load must not count as the user's stop.
    if (keepStreaming)
        stopReply();
    else
        stop();
    // A served request whose model was loading hears no more of that load.
    if (m_request && m_requestLoading) {
        ServedRequest::Outcome dropped;
        dropped.cancelled = true;
        std::exchange(m_request, nullptr)->onFinished(dropped);
        m_requestLoading = false;
        QMetaObject::invokeMethod(this, &LlamaSession::startNextInSlot, Qt::QueuedConnection);
    }
    abandonLoad();
    m_streamHandle = GenerationHandle();
    // The reply, if any, goes on finishing its own bubble as a cancelled one.
    m_reply.reset();
    if (m_model) {
        m_model->free();
        m_model.reset();
    }
    const bool hadModel = m_loadedModelId.has_value();
    m_loadedModelId.reset();
    m_loadedModelName.reset();
    m_loadedInfo.reset();
    // A council run stays "streaming" while its next member loads, so the
    // user keeps a stop button and no second run can start.
    setStreaming(keepStreaming && councilActive());
    setTokensPerSecond(std::nullopt);
    if (hadModel)
        emit loadedModelChanged();
    publishSnapshot();
    // The user's unload drops a member's load, which then never reports back:
    // the member ends here as stopped, and the stop ends the run.
    if (!keepStreaming && m_council && m_council->memberLoading) {
        m_council->memberLoading = false;
        m_council->statusTimer.stop();
        setStatusText(std::nullopt);
        answerCouncilMember();
    }
}

SessionTask LlamaSession::loadModel(const ModelInfo& model, std::function<void(const std::optional<LoadError>&)> done)
{
    // The model picked before is no longer the chat's: a pick that fails or
    // is stopped leaves the chat with none, as at start.
    m_chatChoice.reset();
    const uint64_t pick = ++m_pickSerial;
    // Another program's request keeps its model until it is answered; the
    // pick takes its turn in the slot after it, and a reply sent meanwhile
    // waits behind it for the model picked.
    if (m_request) {
        // A reply waiting for the slot was asked of the model picked before:
        // a pick ends it here as it does with the slot free.
        if (m_reply)
            stopReply();
        m_pickPending = model;
        SessionTask task = SessionTask::started();
        m_slotQueue.push_back(SlotWaiter{nullptr, [this, model, done = std::move(done), task, pick] {
            if (pick != m_pickSerial) {
                task.finish(); // a later pick or an unload took over
                return;
            }
            loadPick(model, done).onFinished([task] { task.finish(); });
        }});
        return task;
    }
    unloadModel(false);
    return loadPick(model, std::move(done));
}

SessionTask LlamaSession::loadPick(const ModelInfo& model, std::function<void(const std::optional<LoadError>&)> done)
{
    // Freed without a stop: nothing runs in the slot now, and a reply
    // waiting behind the pick must go on waiting for it.
    abandonLoad();
    if (m_model) {
        m_model->free();
        m_model.reset();
    }
    const bool hadModel = m_loadedModelId.has_value();
    m_loadedModelId.reset();
    m_loadedModelName.reset();
    m_loadedInfo.reset();
    if (hadModel)
        emit loadedModelChanged();
    publishSnapshot();
    // The pick holds the slot while it loads: a request that comes meanwhile
    // waits for it instead of dropping it.
    m_pickPending = model;
    m_pickLoading = true;
    return startLoad(model, [this, done = std::move(done)](const ModelInfo& loaded, const std::optional<LoadError>& error) {
        m_pickLoading = false;
        m_pickPending.reset();
        if (!error)
            m_chatChoice = loaded;
        if (done)
            done(error);
        QMetaObject::invokeMethod(this, &LlamaSession::startNextInSlot, Qt::QueuedConnection);
    });
}

SessionTask LlamaSession::startLoad(const ModelInfo& record, LoadDone done)
{
    SessionTask task = SessionTask::started();
    startLoad(record, std::move(done), task, 1);
    return task;
}

void LlamaSession::startLoad(const ModelInfo& record, LoadDone done, SessionTask task, int attempt,
                             std::optional<SteadyClock::time_point> waitEnds)
{
    // Every load passes here: a pick, a send's preparation, a reload before a
    // reply and each council member. The record's facts may come from a file
    // since replaced under the name, loaded or not, so they are taken from
    // the file that is there now.
    ModelInfo info = m_store->upToDate(record); // takes the loaded model's facts below, where it has none
    const uint64_t serial = m_loadSerial;
    const QString name = info.fileName.isEmpty() ? info.displayName : info.fileName;
    const std::optional<QString> found = m_store->modelFileURL(info);
    const QString path = found.value_or(m_store->folder() + QLatin1Char('/') + name);
    const int64_t contextSize = contextSizeFor(info, freeRamMb());
    const bool offload = AppSettings::boolValue(QString::fromLatin1(AppSettings::metalOffload)) && metalGpuUsable();
    const int64_t gpuLayers = offload ? 999 : 0;
    const int threads = AppSettings::threadCount();
    QPointer<LlamaSession> self(this);
    auto hook = m_loadHook;
    auto loadedHook = m_loadedHook;
    const auto cancel = std::make_shared<std::atomic<bool>>(false);
    m_loadCancel = cancel;
    const std::chrono::milliseconds waitLimit = m_writerWaitLimit;

    runInBackground([=]() {
        if (hook)
            hook();
        // A file another program still writes is waited for, then loaded
        // from the start, so that its facts are those of the finished file.
        if (LlamaModel::fileBeingWritten(path)) {
            const SteadyClock::time_point ends = waitEnds.value_or(SteadyClock::now() + waitLimit);
            runOnMain([=] {
                if (self && self->m_loadSerial == serial)
                    self->showWriterWait(info, done, task);
            });
            const bool written = waitForWriter(path, ends, *cancel);
            runOnMain([=] {
                if (!self || self->m_loadSerial != serial) {
                    task.finish(); // stopped, unloaded or replaced meanwhile
                    return;
                }
                self->endWriterWait();
                if (written) {
                    self->startLoad(info, done, task, attempt, ends);
                    return;
                }
                const LoadError error = LoadError::fileChanging();
                LlamaModel::recordLoadAttempt({QFileInfo(path).fileName(), QDateTime::currentDateTime(),
                                               LoadAttempt::Failed{error.description()}});
                if (done)
                    done(info, error);
                task.finish();
            });
            return;
        }
        std::shared_ptr<LlamaModel> loaded;
        std::optional<LoadError> error;
        try {
            if (!found)
                throw LoadError::fileNotReadable(path);
            loaded = LlamaModel::load(path, contextSize, gpuLayers, threads, info.factsReadFrom);
            LlamaModel::recordLoadAttempt({QFileInfo(path).fileName(), QDateTime::currentDateTime(),
                                           LoadAttempt::Ok{loaded->contextSize(), loaded->architecture()}});
            loaded->registerLive();
        } catch (const LoadError& e) {
            LlamaModel::recordLoadAttempt(
                {QFileInfo(path).fileName(), QDateTime::currentDateTime(), LoadAttempt::Failed{e.description()}});
            error = e;
        }
        if (loadedHook)
            loadedHook();
        runOnMain([=]() mutable {
            if (!self || self->m_loadSerial != serial) {
                // Another load or an unload took the slot meanwhile.
                if (loaded)
                    loaded->free();
                task.finish();
                return;
            }
            LlamaSession& s = *self;
            // llama.cpp opens the file twice, for its metadata and for the
            // weights it maps: a file replaced in between gives one file's
            // vocabulary with the other's weights. So the file is looked at
            // again now, and a load whose file is not the one its facts came
            // from never answers: it is loaded again, with the facts of the
            // file there now.
            if ((loaded && loaded->fileChanged()) || (error && error->kind() == LoadError::Kind::fileChanging)) {
                if (loaded)
                    loaded->free();
                loaded.reset();
                if (attempt < kLoadsOfAChangingFile) {
                    qCInfo(lcRuntime, "Model file changed while it loaded, loading it again: %s",
                           qUtf8Printable(path));
                    s.startLoad(info, std::move(done), task, attempt + 1, waitEnds);
                    return;
                }
                error = LoadError::fileChanging();
                LlamaModel::recordLoadAttempt({QFileInfo(path).fileName(), QDateTime::currentDateTime(),
                                               LoadAttempt::Failed{error->description()}});
            }
            if (!error) {
                // A header our reader refused told nothing; the model that
                // llama.cpp loaded from the same file tells its own facts,
                // kept with that file's identity so that it is not read
                // again until it changes.
                if (!info.discoveredMetadata) {
                    info = withFactsOf(*loaded, info);
                    s.m_store->updateFacts(info);
                }
                s.m_model = loaded;
                s.m_loadedModelId = info.id;
                s.m_loadedModelName = info.displayName;
                s.m_loadedInfo = info;
                const ChatTemplate detected = ChatTemplate::detect(info);
                const bool templateChanged = !(detected == s.m_template);
                s.m_template = detected;
                qCInfo(lcRuntime, "Session loaded %s ctx=%d arch=%s chat=%s", qUtf8Printable(info.displayName),
                       int(loaded->contextSize()),
                       qUtf8Printable(loaded->architecture().value_or(QStringLiteral("unknown"))),
                       qUtf8Printable(detected.rawValue()));
                emit s.loadedModelChanged();
                if (templateChanged)
                    emit s.templateChanged();
                s.publishSnapshot();
            }
            if (done)
                done(info, error);
            task.finish();
        });
    });
}

// --- sending ------------------------------------------------------------------------

SessionTask LlamaSession::send(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || m_isStreaming || councilActive())
        return {};
    Turn user;
    user.role = ChatMessage::Role::user;
    user.content = trimmed;
    user.state = Turn::State::complete();
    m_turns.append(user);

    // Only the chat's own pick answers it: a council's last member or a
    // served request's model may be in the slot without being picked. A
    // pick still waiting for the slot or loading answers once it is there.
    if (!m_chatChoice && !m_pickPending) {
        m_turns.append(noteTurn(kNoModel));
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
    if (slotBusy() || !m_slotQueue.empty())
        return waitForSlot(placeholder.id, history);
    if (loadedFileChanged() || chatModelDisplaced())
        return reloadThenReply(placeholder.id, history);
    return startReply(placeholder.id, history);
}

SessionTask LlamaSession::startReply(const QUuid& bubbleId, const QList<ReplyPrompt::Message>& messages)
{
    auto run = std::make_shared<ReplyRun>();
    run->turnId = bubbleId;
    m_reply = run;
    generateReply(run, messages);
    return run->task;
}

bool LlamaSession::slotBusy() const
{
    return m_request || m_pickLoading || (m_reply && !m_reply->awaitingSlot) || (m_council && !m_council->awaitingSlot);
}

std::shared_ptr<LlamaModel> LlamaSession::idleChatModel() const
{
    if (!m_model || m_isStreaming || slotBusy() || m_pickPending || !m_chatChoice || chatModelDisplaced())
        return nullptr;
    return m_model;
}

bool LlamaSession::chatModelDisplaced() const
{
    return m_chatChoice && (!m_model || m_loadedModelId != m_chatChoice->id);
}

SessionTask LlamaSession::waitForSlot(const QUuid& bubbleId, const QList<ReplyPrompt::Message>& messages)
{
    auto run = std::make_shared<ReplyRun>();
    run->turnId = bubbleId;
    run->awaitingModel = true; // a stop ends it where it waits
    run->awaitingSlot = true;
    m_reply = run;
    setStreaming(true);
    publishSnapshot();
    m_slotQueue.push_back(SlotWaiter{nullptr, [this, run, messages] {
        if (run != m_reply) {
            run->task.finish(); // stopped, or the transcript was replaced meanwhile
            return;
        }
        m_reply.reset();
        const qsizetype index = indexOf(run->turnId);
        // The pick it waited for failed (its dialog says why): the bubble
        // becomes what a send without a model gets, the question stays.
        if (!m_chatChoice) {
            if (index >= 0) {
                m_turns[index].waitingFor.clear();
                m_turns[index].state = Turn::State::failed(kNoModel);
                emit turnsChanged();
            }
            setStreaming(false);
            publishSnapshot();
            run->task.finish();
            return;
        }
        const bool reload = loadedFileChanged() || chatModelDisplaced();
        if (index >= 0) {
            m_turns[index].waitingFor = reload ? loadingText(m_chatChoice->displayName) : QString();
            emit turnsChanged();
        }
        const SessionTask reply = reload ? reloadThenReply(run->turnId, messages) : startReply(run->turnId, messages);
        reply.onFinished([task = run->task] { task.finish(); });
    }});
    showWhatTheReplyWaitsFor();
    return run->task;
}

void LlamaSession::showWhatTheReplyWaitsFor()
{
    if (!m_reply || !m_reply->awaitingSlot)
        return;
    const qsizetype index = indexOf(m_reply->turnId);
    QString text;
    if (m_request)
        text = kWaitsForRequest;
    else if (m_pickLoading && m_pickPending)
        text = loadingText(m_pickPending->displayName);
    if (index < 0 || text.isEmpty() || m_turns[index].waitingFor == text)
        return;
    m_turns[index].waitingFor = text;
    emit turnsChanged();
}

SessionTask LlamaSession::reloadThenReply(const QUuid& bubbleId, const QList<ReplyPrompt::Message>& messages)
{
    // The store's record, for the name and choices the user may have changed
    // since the load; the unload forgets the loaded one.
    // A served request may have put another model in the slot: the chat's
    // own one comes back.
    const ModelInfo& chosen = chatModelDisplaced() ? *m_chatChoice : *m_loadedInfo;
    const ModelInfo info = m_store->model(chosen.id).value_or(chosen);
    if (!chatModelDisplaced())
        qCInfo(lcRuntime, "Model file changed since it was loaded, loading it again: %s",
               qUtf8Printable(m_model->path()));
    unloadModel(false);

    auto run = std::make_shared<ReplyRun>();
    run->turnId = bubbleId;
    run->awaitingModel = true;
    m_reply = run;
    // Streaming from now on: the user keeps a stop button, and no second
    // reply starts while this one waits.
    setStreaming(true);
    publishSnapshot();
    startLoad(info, [this, run, messages](const ModelInfo& loaded, const std::optional<LoadError>& error) {
        run->awaitingModel = false;
        if (run != m_reply) {
            run->task.finish(); // stopped, or the transcript was replaced meanwhile
            return;
        }
        if (error) {
            m_chatChoice.reset(); // the chat has no model now, as after an unload
            // The bubble becomes what a send without a model gets.
            if (const qsizetype index = indexOf(run->turnId); index >= 0) {
                m_turns[index].state = Turn::State::failed(kNoModel);
                emit turnsChanged();
            }
            m_reply.reset();
            setStreaming(false);
            publishSnapshot();
            emit reloadFailed(loaded.displayName, error->description());
            run->task.finish();
            return;
        }
        generateReply(run, messages);
    });
    return run->task;
}

void LlamaSession::generateReply(const std::shared_ptr<ReplyRun>& run, const QList<ReplyPrompt::Message>& messages)
{
    // Whatever it waited for is there now.
    if (const qsizetype index = indexOf(run->turnId); index >= 0 && !m_turns[index].waitingFor.isEmpty()) {
        m_turns[index].waitingFor.clear();
        emit turnsChanged();
    }
    run->model = m_model;
    run->stopSequences = m_template.stopSequences();
    setStreaming(true);
    setTokensPerSecond(std::nullopt);
    publishSnapshot();

    // The store's record, so that instructions and sampling changed since
    // the load apply now.
    const ModelInfo record = m_store->model(m_loadedModelId).value_or(m_loadedInfo.value_or(ModelInfo{}));
    QList<ReplyPrompt::Message> withInstructions = messages;
    if (const QString system = instructionsFor(record); !system.isEmpty())
        withInstructions.prepend({QUuid(), ChatMessage{ChatMessage::Role::system, system}});

    // The prompt is made on the model's queue, which owns its tokenizer,
    // from where this chat's last prompt for this model and context began.
    QPointer<LlamaSession> self(this);
    const QUuid modelId = m_loadedModelId.value_or(QUuid());
    const int64_t contextSize = m_model->contextSize();
    LlamaModel::PromptMaker makePrompt = [self, run, withInstructions, modelId, contextSize,
                                          chatTemplate = m_template,
                                          cut = m_cuts.of(modelId, contextSize)](const LlamaModel& model) {
        ReplyPrompt::Made made = ReplyPrompt::make(
            withInstructions, chatTemplate, contextSize, cut,
            [&](const QString& text) { return model.tokenize(text.toStdString()); },
            [&] { return model.stopRequested() || model.freeRequested(); });
        if (made.stopped)
            return std::vector<int32_t>(); // the cut stays where it was
        std::vector<int32_t> tokens = std::exchange(made.tokens, {});
        runOnMain([self, run, modelId, contextSize, made = std::move(made)] {
            if (self)
                self->promptMade(run, modelId, contextSize, made);
        });
        return tokens;
    };
    SamplingParams params = samplingFor(record.sampling, m_model->contextSize());
    params.stopSequences = run->stopSequences;

    // Pieces travel to the main thread by posting, at most once a frame (see
    // PieceRelay); the worker never waits for the main thread.
    std::weak_ptr<int> alive = m_alive;
    GenerationSink sink;
    sink.onPiece = [self, run, alive, interval = m_pieceInterval](const QString& piece) {
        if (alive.expired())
            return false;
        if (run->relay.push(piece, SteadyClock::now(), interval)) {
            runOnMain([self, run] {
                if (self)
                    self->applyPieces(run);
            });
        }
        return true;
    };
    sink.onFinished = [self, run] {
        runOnMain([self, run] {
            if (self) {
                self->applyPieces(run); // what the last delivery left behind
                self->finishReply(run);
            } else {
                run->task.finish();
            }
        });
    };
    run->startedAt = SteadyClock::now();
    m_streamHandle = m_model->generate(std::move(makePrompt), params, std::move(sink));
}

void LlamaSession::promptMade(const std::shared_ptr<ReplyRun>& run, const QUuid& model, int64_t contextSize,
                              const ReplyPrompt::Made& made)
{
    // A reply whose chat was replaced meanwhile tells nothing of this one.
    if (run != m_reply)
        return;
    m_cuts.set(model, contextSize, made.cut);
    setFirstSeenTurnId(made.cut);
    if (m_promptObserver)
        m_promptObserver(made.text);
}

void LlamaSession::setFirstSeenTurnId(std::optional<QUuid> id)
{
    if (m_firstSeenTurnId == id)
        return;
    m_firstSeenTurnId = id;
    emit firstSeenTurnChanged();
}

void LlamaSession::applyPieces(const std::shared_ptr<ReplyRun>& run)
{
    const std::vector<PieceRelay::Piece> pieces = run->relay.take();
    if (pieces.empty())
        return;
    run->pieces += int64_t(pieces.size());
    const qsizetype index = indexOf(run->turnId);
    if (index < 0)
        return;
    Turn& turn = m_turns[index];
    for (const PieceRelay::Piece& piece : pieces) {
        const ReasoningParser::Split split = run->parser.feed(piece.text);
        if (!split.reasoning.isEmpty()) {
            if (!run->reasoningStartedAt)
                run->reasoningStartedAt = piece.at;
            turn.reasoning += split.reasoning;
            turn.reasoningElapsedMs = msBetween(*run->reasoningStartedAt, piece.at);
        }
        if (!split.answer.isEmpty()) {
            if (run->reasoningStartedAt && !turn.reasoningDurationMs)
                turn.reasoningDurationMs = msBetween(*run->reasoningStartedAt, piece.at);
            turn.content += split.answer;
        }
    }
    emit turnsChanged();
    if (run == m_reply) {
        const double elapsed =
            std::max(0.001, std::chrono::duration<double>(SteadyClock::now() - run->startedAt).count());
        setTokensPerSecond(double(run->pieces) / elapsed);
        publishSnapshot();
    }
}

void LlamaSession::finishReply(const std::shared_ptr<ReplyRun>& run)
{
    const bool current = run == m_reply;
    // A model freed under its reply let go of its file for another program
    // that writes it: that reply ends as the user's stop ends one.
    const bool cancelled = run->userCancelled || (run->model && run->model->freeRequested());
    const qsizetype index = indexOf(run->turnId);
    if (index >= 0) {
        const ReasoningParser::Split rest = run->parser.flush();
        Turn& turn = m_turns[index];
        turn.reasoning += rest.reasoning;
        turn.content += rest.answer;
        if (!turn.reasoningDurationMs && run->reasoningStartedAt)
            turn.reasoningDurationMs = msBetween(*run->reasoningStartedAt, SteadyClock::now());
        const bool empty = turn.content.trimmed().isEmpty();
        if (cancelled && empty && !run->userCancelled) {
            turn.state = Turn::State::failed(kRewritten); // the bubble says why it stays empty
        } else if (cancelled && empty) {
            m_turns.removeAt(index);
        } else if (!empty) {
            turn.state = Turn::State::complete();
            turn.cancelledByUser = cancelled;
            // A reply that ran into the end of the context is no whole answer.
            if (!cancelled && run->model && run->model->lastRunFilledContext())
                m_turns.insert(index + 1, noteTurn(kContextFull));
        } else {
            const std::optional<QString> failure = run->model ? run->model->lastStreamFailure() : std::nullopt;
            turn.state = Turn::State::failed(failure.value_or(kNoTokens));
        }
        emit turnsChanged();
    }
    run->model.reset();
    if (current) {
        m_reply.reset();
        m_streamHandle = GenerationHandle();
        setStreaming(false);
        setTokensPerSecond(std::nullopt);
        publishSnapshot();
    }
    run->task.finish();
    if (current && !m_council)
        startNextInSlot();
    // A member's reply moves the council on even when an unload took it out of
    // the slot first: the stop that came with the unload then ends the run.
    if (m_council && (current || m_council->bubbleId == run->turnId)) {
        setStreaming(true);
        councilMemberDone();
    }
}

void LlamaSession::stop()
{
    // While a council member loads there is no reply, but the run must end.
    if (m_council)
        m_council->stopRequested = true;
    stopReply();
    if (m_stopWriterWait) {
        const std::function<void()> endWait = m_stopWriterWait;
        endWait();
    }
}

void LlamaSession::stopReply()
{
    if (m_isStreaming && m_reply)
        m_reply->userCancelled = true;
    // A reply still waiting for its model to load again has no run that
    // could end it: it ends here, and the load goes on into the slot.
    if (m_reply && m_reply->awaitingModel) {
        const std::shared_ptr<ReplyRun> waiting = m_reply;
        finishReply(waiting);
    }
    // The model's flag would also end a served request's run.
    if (m_model && !m_request)
        m_model->requestStop();
    m_streamHandle.cancel();
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

QUuid LlamaSession::appendQuestion(const QString& text, const QStringList& notes)
{
    Turn user;
    user.role = ChatMessage::Role::user;
    user.content = text;
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
    // Every answer to this question goes, a council's several included.
    qsizetype end = index + 1;
    while (end < m_turns.size() && m_turns[end].role == ChatMessage::Role::assistant)
        ++end;
    m_turns.remove(index, end - index);
    emit turnsChanged();
    publishSnapshot();
    return send(text);
}

SessionTask LlamaSession::resend(const QUuid& turnId, const QString& text)
{
    const qsizetype index = indexOf(turnId);
    if (m_isStreaming || councilActive() || index < 0 || m_turns[index].role != ChatMessage::Role::user)
        return {};
    m_turns.remove(index, m_turns.size() - index);
    emit turnsChanged();
    publishSnapshot();
    return send(text);
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
