// The slot's queue and state: which job holds the slot, and when the next
// one starts. The loads themselves are in ModelSlotLoad.cpp.

#include "engine/ModelSlot.h"

#include "models/MemoryEstimates.h"
#include "models/ModelStore.h"
#include "platform/Logging.h"
#include "platform/MainThread.h"

#include <QPointer>

#include <utility>

namespace cvn {

ModelSlot::ModelSlot(ModelStore& store, QObject* parent)
    : QObject(parent)
    , m_store(store)
{
    // The models it loads hold leases on their files only where breaks are
    // heard.
    FileLease::watchBreaks();
    // After the GPU stopped under a reply, models load on the CPU until the
    // app restarts (LlamaModel::gpuStopped), offload switched on again or not.
}

ModelSlot::~ModelSlot()
{
    m_alive.reset(); // late reports of a load or a run find no slot
    std::deque<Entry> waiting = std::exchange(m_queue, {});
    std::optional<Entry> current = std::exchange(m_current, std::nullopt);
    const bool loading = m_state.phase == Phase::loading || m_state.phase == Phase::waitingForWriter;
    ++m_loadSerial;
    if (m_loadCancel)
        *m_loadCancel = true;
    m_run.cancel();
    if (m_model)
        m_model->free();
    if (current && loading && current->job.onCancelled)
        current->job.onCancelled();
    for (Entry& entry : waiting)
        if (entry.job.onCancelled)
            entry.job.onCancelled();
}

int64_t ModelSlot::contextSizeFor(const ModelInfo& model, uint64_t freeMb)
{
    // A size the user set by hand wins; the model form warns when it may not fit.
    if (model.contextMode == QLatin1String("manual") && model.contextSizeManual && *model.contextSizeManual >= 1)
        return *model.contextSizeManual;
    return autoContextForRam(model.effectiveMetadata(), freeMb).contextSize;
}

bool ModelSlot::isQueued(JobId job) const
{
    return std::any_of(m_queue.begin(), m_queue.end(), [job](const Entry& e) { return e.id == job; });
}

ModelSlot::JobId ModelSlot::submit(Job job)
{
    const JobId id = ++m_lastId;
    m_queue.push_back(Entry{id, std::move(job)});
    startNext();
    return id;
}

void ModelSlot::setState(Phase phase, std::optional<ModelInfo> model)
{
    State next{phase, std::move(model), m_current ? m_current->id : 0,
               m_current ? m_current->job.client : Client::pick};
    if (phase == Phase::empty || phase == Phase::ready)
        next.job = 0, next.client = Client::pick;
    if (next == m_state)
        return;
    m_state = std::move(next);
    emit stateChanged();
}

void ModelSlot::startNext()
{
    // A job that ends while it starts (nothing to do, a load refused at
    // once) comes back here; the loop below then takes the next one.
    if (m_starting)
        return;
    m_starting = true;
    while (!m_current && !m_queue.empty()) {
        m_current = std::move(m_queue.front());
        m_queue.pop_front();
        begin(*m_current);
    }
    m_starting = false;
}

void ModelSlot::begin(Entry& entry)
{
    const JobId id = entry.id;
    if (entry.job.onStart && !entry.job.onStart()) {
        if (m_current && m_current->id == id)
            endCurrent();
        return;
    }
    if (!m_current || m_current->id != id)
        return; // its client dropped it as it started
    const std::optional<ModelInfo> needed = entry.job.model ? entry.job.model() : std::nullopt;
    if (entry.job.client == Client::pick && !needed) {
        // A pick of nothing loads nothing; its client still hears its end.
        Entry ended = takeCurrent();
        if (ended.job.onCancelled)
            ended.job.onCancelled();
        startNext();
        return;
    }
    if (entry.job.client == Client::pick || (needed && (m_loadedId != needed->id || !m_model))) {
        load(*needed);
        return;
    }
    // The model in the slot answers only while its file is the one loaded.
    if (m_model && m_model->fileChanged()) {
        qCInfo(lcRuntime, "Model file changed since it was loaded, loading it again: %s",
               qUtf8Printable(m_model->path()));
        // The store's record, for the name and choices the user may have
        // changed since the load.
        load(needed.value_or(m_store.model(m_loadedId).value_or(*m_loadedInfo)));
        return;
    }
    runCurrent();
}

void ModelSlot::load(const ModelInfo& info)
{
    freeModel();
    setState(Phase::loading, info);
    const JobId id = m_current->id;
    if (m_current->job.onLoading)
        m_current->job.onLoading(info);
    if (m_current && m_current->id == id)
        startLoad(info, 1, std::nullopt);
}

void ModelSlot::runCurrent()
{
    const JobId id = m_current->id;
    std::optional<Decode> decode;
    if (m_current->job.decode) {
        // The store's record, so that choices changed since the load apply now.
        Ready ready{m_model, m_store.model(m_loadedId).value_or(m_loadedInfo.value_or(ModelInfo{})), m_template, id};
        decode = m_current->job.decode(ready);
    }
    if (!m_current || m_current->id != id)
        return;
    if (!decode || !m_model) {
        endCurrent();
        return;
    }
    m_current->ended = std::move(decode->ended);
    setState(Phase::running, m_loadedInfo);
    // The slot moves on once the run has told its client it ended.
    QPointer<ModelSlot> self(this);
    GenerationSink sink;
    sink.onPiece = std::move(decode->sink.onPiece);
    sink.onProgress = std::move(decode->sink.onProgress);
    sink.onFinished = [self, id, finished = std::move(decode->sink.onFinished)] {
        if (finished)
            finished();
        runOnMain([self, id] {
            if (self)
                self->jobEnded(id);
        });
    };
    GenerationHandle run = m_model->generate(std::move(decode->prompt), decode->sampling, std::move(sink));
    if (decode->keepHandle)
        decode->keepHandle(std::move(run));
    else
        m_run = std::move(run);
}

void ModelSlot::jobEnded(JobId job)
{
    if (!m_current || m_current->id != job)
        return;
    // A model whose GPU stopped under the run never runs again; the next
    // job loads its model afresh, on the CPU.
    if (m_model && m_model->gpuFaulted())
        freeModel();
    Entry ended = takeCurrent();
    if (ended.ended)
        ended.ended();
    startNext();
}

ModelSlot::Entry ModelSlot::takeCurrent()
{
    Entry entry = std::move(*m_current);
    m_current.reset();
    m_run = GenerationHandle(); // its run has ended, or goes on ending by itself
    setState(m_model ? Phase::ready : Phase::empty, m_model ? m_loadedInfo : std::nullopt);
    return entry;
}

void ModelSlot::endCurrent()
{
    takeCurrent();
    startNext();
}

void ModelSlot::stop(JobId job)
{
    if (!m_current || m_current->id != job) {
        cancel(job); // a queued job never starts
        return;
    }
    switch (m_state.phase) {
    case Phase::waitingForWriter: {
        const ModelInfo info = *m_state.model;
        abandonLoad();
        Entry ended = takeCurrent();
        if (ended.job.onLoadFailed)
            ended.job.onLoadFailed(info, LoadError::stopped());
        startNext();
        break;
    }
    case Phase::running:
        if (m_model)
            m_model->requestStop();
        m_run.cancel();
        break;
    default:
        break; // a load goes on into the slot; the job finds it has nothing to decode
    }
}

void ModelSlot::cancel(JobId job)
{
    if (m_current && m_current->id == job) {
        if (m_state.phase == Phase::loading || m_state.phase == Phase::waitingForWriter) {
            abandonLoad();
            Entry ended = takeCurrent();
            if (ended.job.onCancelled)
                ended.job.onCancelled();
            startNext();
        } else {
            stop(job);
        }
        return;
    }
    for (auto it = m_queue.begin(); it != m_queue.end(); ++it) {
        if (it->id == job) {
            Entry dropped = std::move(*it);
            m_queue.erase(it);
            if (dropped.job.onCancelled)
                dropped.job.onCancelled();
            return;
        }
    }
}

void ModelSlot::unload()
{
    const bool loading = m_state.phase == Phase::loading || m_state.phase == Phase::waitingForWriter;
    abandonLoad();
    freeModel();
    if (m_current && loading) {
        Entry ended = takeCurrent();
        if (ended.job.onCancelled)
            ended.job.onCancelled();
        // What waits goes on from the event loop, once the unload is done.
        QPointer<ModelSlot> self(this);
        QMetaObject::invokeMethod(this, [self] { if (self) self->startNext(); }, Qt::QueuedConnection);
    } else if (m_current) {
        setState(Phase::running, std::nullopt); // the run ends as its model went
    }
}

void ModelSlot::freeModel()
{
    // The main thread never waits for a run to end its prompt slice: the
    // model goes in the background, and the next load waits for it there.
    if (m_model) {
        m_model->freeSoon();
        m_released = std::exchange(m_model, nullptr);
    }
    const bool hadModel = m_loadedId.has_value();
    m_loadedId.reset();
    m_loadedName.reset();
    m_loadedInfo.reset();
    if (!m_current)
        setState(Phase::empty, std::nullopt);
    if (hadModel)
        emit modelChanged();
}

} // namespace cvn
