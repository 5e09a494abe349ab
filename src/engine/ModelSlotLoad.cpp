// One load into the slot, on a background thread: the record brought up to
// date with its file, the load itself, the look at the file afterwards,
// and the wait for another program that still writes it.

#include "engine/ModelSlot.h"

#include "models/HardwareInfo.h"
#include "models/MemoryEstimates.h"
#include "models/ModelStore.h"
#include "models/ProjectorPairing.h"
#include "platform/AppSettings.h"
#include "platform/Logging.h"
#include "platform/MainThread.h"

#include <QDateTime>
#include <QFileInfo>
#include <QPointer>

#include <algorithm>
#include <thread>

namespace cvn {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Loads of one file in a row, each after the one before found the file
// changed: a file still being written changes at every load, and the last
// then fails (LoadError::fileChanging).
constexpr int kLoadsOfAChangingFile = 3;

// The pauses between two looks at a file being written: a copy that is
// nearly done is loaded soon, and a long download is not looked at many
// times a second.
constexpr std::chrono::milliseconds kFirstPause{250};
constexpr std::chrono::milliseconds kLongestPause{2000};
// How soon a stop is heard while the load waits.
constexpr std::chrono::milliseconds kStopCheck{20};

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

void recordFailure(const QString& path, const LoadError& error)
{
    LlamaModel::recordLoadAttempt(
        {QFileInfo(path).fileName(), QDateTime::currentDateTime(), LoadAttempt::Failed{error.description()}});
}

// The least time between two reports of a load's progress to the main thread.
constexpr std::chrono::milliseconds kProgressInterval{250};

} // namespace

QString ModelSlot::projectorPathFor(const ModelInfo& model, const ModelStore& store)
{
    const std::optional<ModelInfo> projector = ProjectorPairing::projectorFor(model, store.models());
    if (!projector)
        return {};
    return store.modelFileURL(*projector).value_or(QString());
}

void ModelSlot::startLoad(const ModelInfo& record, int attempt, std::optional<SteadyClock::time_point> waitEnds)
{
    // The record's facts may come from a file since replaced under the
    // name, loaded or not, so they are taken from the file that is there now.
    const ModelInfo info = m_store.upToDate(record); // takes the loaded model's facts below, where it has none
    const uint64_t serial = m_loadSerial;
    const QString name = info.fileName.isEmpty() ? info.displayName : info.fileName;
    const std::optional<QString> found = m_store.modelFileURL(info);
    const QString path = found.value_or(m_store.folder() + QLatin1Char('/') + name);
    const int64_t contextSize = contextSizeFor(info, freeRamMb());
    const bool offload = AppSettings::boolValue(QString::fromLatin1(AppSettings::metalOffload)) && metalGpuUsable()
                         && !LlamaModel::gpuStopped();
    const int64_t gpuLayers = offload ? 999 : 0;
    const int threads = AppSettings::threadCount();
    QPointer<ModelSlot> self(this);
    const auto cancel = std::make_shared<std::atomic<bool>>(false);
    m_loadCancel = cancel;
    const std::chrono::milliseconds waitLimit = m_writerWaitLimit;
    LlamaModel::LoadExtras extras;
    extras.projectorPath = projectorPathFor(info, m_store);
    // The load's progress reaches the main thread only once the load is
    // slow enough to be seen waiting, and then a few times a second.
    extras.onProgress = [self, serial, shownFrom = SteadyClock::now() + m_loadProgressDelay,
                         last = std::optional<SteadyClock::time_point>()](float fraction) mutable {
        const SteadyClock::time_point now = SteadyClock::now();
        if (now < shownFrom || (last && now - *last < kProgressInterval))
            return;
        last = now;
        runOnMain([self, serial, fraction] {
            if (self)
                self->loadProgressed(serial, fraction);
        });
    };

    runInBackground([=, hook = m_loadHook, loadedHook = m_loadedHook, released = m_released]() {
        // The memory the model before held is free again first.
        if (const std::shared_ptr<LlamaModel> before = released.lock())
            before->free();
        if (hook)
            hook();
        // A file another program still writes is waited for, then loaded
        // from the start, so that its facts are those of the finished file.
        if (LlamaModel::fileBeingWritten(path)) {
            const SteadyClock::time_point ends = waitEnds.value_or(SteadyClock::now() + waitLimit);
            runOnMain([=] {
                if (self && self->m_loadSerial == serial)
                    self->setState(Phase::waitingForWriter, info);
            });
            const bool written = waitForWriter(path, ends, *cancel);
            runOnMain([=] {
                if (!self || self->m_loadSerial != serial)
                    return; // stopped, unloaded or replaced meanwhile
                if (written) {
                    self->setState(Phase::loading, info);
                    self->startLoad(info, attempt, ends);
                    return;
                }
                const LoadError error = LoadError::fileChanging();
                recordFailure(path, error);
                self->loadFailed(info, error);
            });
            return;
        }
        std::shared_ptr<LlamaModel> loaded;
        std::optional<LoadError> error;
        try {
            if (!found)
                throw LoadError::fileNotReadable(path);
            loaded = LlamaModel::load(path, contextSize, gpuLayers, threads, info.factsReadFrom, extras);
            LlamaModel::recordLoadAttempt({QFileInfo(path).fileName(), QDateTime::currentDateTime(),
                                           LoadAttempt::Ok{loaded->contextSize(), loaded->architecture()}});
            loaded->registerLive();
        } catch (const LoadError& e) {
            recordFailure(path, e);
            error = e;
        }
        if (loadedHook)
            loadedHook();
        runOnMain([=]() mutable {
            if (!self || self->m_loadSerial != serial) {
                // Another load or an unload took the slot meanwhile.
                if (loaded)
                    loaded->free();
                return;
            }
            self->loadDone(info, std::move(loaded), std::move(error), attempt, waitEnds, path);
        });
    });
}

void ModelSlot::loadDone(const ModelInfo& info, std::shared_ptr<LlamaModel> loaded, std::optional<LoadError> error,
                         int attempt, std::optional<SteadyClock::time_point> waitEnds, const QString& path)
{
    // llama.cpp opens the file twice, for its metadata and for the weights
    // it maps: a file replaced in between gives one file's vocabulary with
    // the other's weights. So the file is looked at again now, and a load
    // whose file is not the one its facts came from never answers: it is
    // loaded again, with the facts of the file there now.
    if ((loaded && loaded->fileChanged()) || (error && error->kind() == LoadError::Kind::fileChanging)) {
        if (loaded)
            loaded->free();
        loaded.reset();
        if (attempt < kLoadsOfAChangingFile) {
            qCInfo(lcRuntime, "Model file changed while it loaded, loading it again: %s", qUtf8Printable(path));
            startLoad(info, attempt + 1, waitEnds);
            return;
        }
        error = LoadError::fileChanging();
        recordFailure(path, *error);
    }
    if (error)
        loadFailed(info, *error);
    else
        this->loaded(info, std::move(loaded));
}

void ModelSlot::loaded(ModelInfo info, std::shared_ptr<LlamaModel> model)
{
    // A header our reader refused told nothing; the model that llama.cpp
    // loaded from the same file tells its own facts, kept with that file's
    // identity so that it is not read again until it changes.
    if (!info.discoveredMetadata) {
        info = withFactsOf(*model, info);
        m_store.updateFacts(info);
    }
    m_model = std::move(model);
    m_model->setPromptStore(m_promptCache.store());
    m_loadedId = info.id;
    m_loadedName = info.displayName;
    m_loadedInfo = info;
    const ChatTemplate detected = ChatTemplate::detect(info);
    const bool templateChanged = !(detected == m_template);
    m_template = detected;
    qCInfo(lcRuntime, "Session loaded %s ctx=%d arch=%s chat=%s", qUtf8Printable(info.displayName),
           int(m_model->contextSize()), qUtf8Printable(m_model->architecture().value_or(QStringLiteral("unknown"))),
           qUtf8Printable(detected.rawValue()));
    setState(Phase::ready, info);
    emit modelChanged();
    if (templateChanged)
        emit this->templateChanged();
    if (m_current)
        runCurrent();
}

void ModelSlot::loadFailed(const ModelInfo& info, const LoadError& error)
{
    if (!m_current)
        return;
    Entry ended = takeCurrent();
    if (ended.job.onLoadFailed)
        ended.job.onLoadFailed(info, error);
    startNext();
}

void ModelSlot::loadProgressed(uint64_t serial, float fraction)
{
    if (serial != m_loadSerial || !m_current || m_state.phase != Phase::loading || !m_current->job.onLoadProgress)
        return;
    m_current->job.onLoadProgress(fraction);
}

void ModelSlot::abandonLoad()
{
    ++m_loadSerial; // a load still running frees its model when it returns
    if (m_loadCancel)
        *m_loadCancel = true;
}

bool ModelSlot::waitForWriter(const QString& path, SteadyClock::time_point ends, const std::atomic<bool>& cancel)
{
    std::chrono::milliseconds pause = kFirstPause;
    for (;;) {
        const SteadyClock::time_point next = std::min(SteadyClock::now() + pause, ends);
        while (SteadyClock::now() < next) {
            if (cancel.load())
                return false;
            std::this_thread::sleep_for(kStopCheck);
        }
        if (!LlamaModel::fileBeingWritten(path))
            return true;
        if (cancel.load() || SteadyClock::now() >= ends)
            return false;
        pause = std::min(pause * 2, kLongestPause);
    }
}

} // namespace cvn
