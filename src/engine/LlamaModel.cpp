#include "platform/Utf8Decoder.h"
#include "engine/LlamaModel.h"

#include "engine/LlamaModelGpu.h"
#include "engine/LlamaModelVisionLoad.h"
#include "models/ProjectorMemory.h"
#include "platform/Logging.h"
#include "platform/MainThread.h"
#include "platform/SystemInfo.h"

#include <QFileInfo>

#include <llama.h>
#include <mtmd.h>

#include <cstring>
#include <map>
#include <unistd.h>

namespace cvn {

namespace {

std::mutex backendLock;
bool backendInitialized = false; // guarded by backendLock

std::mutex registryLock;
std::map<quintptr, LoadedModelSnapshot>& liveRegistry() // guarded by registryLock
{
    static std::map<quintptr, LoadedModelSnapshot> registry;
    return registry;
}
std::optional<LoadAttempt>& lastAttempt() // guarded by registryLock
{
    static std::optional<LoadAttempt> attempt;
    return attempt;
}

// Set around each decode on the thread that runs it: whether a stop has
// aborted it, asked of the model that decodes.
thread_local bool (*decodeStopped)(void*) = nullptr;
thread_local void* decodingModel = nullptr;

// llama.cpp writes its own chatter to stderr; send it to our runtime log.
// A decode that a stop aborted reports errors; the run logs the stop itself.
void routeRuntimeLog(ggml_log_level level, const char* text, void*)
{
    gpuload::LoadReport::take(text);
    const bool stopped = decodeStopped && decodeStopped(decodingModel);
    if (level == GGML_LOG_LEVEL_ERROR && !stopped)
        qCWarning(lcRuntime).noquote() << QString::fromUtf8(text).trimmed();
    else
        qCDebug(lcRuntime).noquote() << QString::fromUtf8(text).trimmed();
}

void initBackendOnce()
{
    std::lock_guard lock(backendLock);
    if (backendInitialized)
        return;
    llama_log_set(routeRuntimeLog, nullptr);
    mtmd_log_set(routeRuntimeLog, nullptr);
    llama_backend_init();
    // The machine's GPU is listed before any device is made: a software
    // renderer needs a setting of ggml's said first (GpuDevices.cpp).
    (void)machineGpuDevice();
    backendInitialized = true;
}

// The projector at `path` beside `model`, or null with `failure` set. The
// context is made once the projector is known: its batches hold the largest
// image whole, which a model that reads an image's positions all at once
// needs. `onGpu` as vision::open has it.
mtmd_context* openProjector(const QString& path, const llama_model* model, bool& onGpu, void* gate,
                            llama_context_params& context, std::optional<QString>& failure, int64_t& imageTokens,
                            int64_t& imageChunkBytes)
{
    failure.reset();
    mtmd_context* vision =
        vision::open(path, model, onGpu, context.n_threads, gate, failure, imageTokens, imageChunkBytes);
    if (!vision) {
        qCWarning(lcRuntime, "%s", qUtf8Printable(*failure));
        return nullptr;
    }
    context.n_batch = std::max(context.n_batch, uint32_t(imageTokens));
    context.n_ubatch = std::max(context.n_ubatch, uint32_t(imageTokens));
    return vision;
}

} // namespace

// --- LoadError ---------------------------------------------------------------

LoadError::LoadError(Kind kind, QString path)
    : m_kind(kind)
    , m_path(std::move(path))
{
    m_what = description().toStdString();
}

QString LoadError::description() const
{
    switch (m_kind) {
    case Kind::fileNotReadable:
        return QStringLiteral("the file could not be read: ") + m_path;
    case Kind::runtimeUnavailable:
        return QStringLiteral("llama runtime not linked in this build");
    case Kind::modelLoadFailed:
        return QStringLiteral(
            "llama.cpp could not load this file as a model (llama_model_load_from_file returned null)");
    case Kind::contextInitFailed:
        return QStringLiteral("the model loaded, but its context could not be created - usually not enough "
                              "memory for the context size (llama_init_from_model returned null)");
    case Kind::fileChanging:
        return QStringLiteral("another program was writing the file each time it was read; try again once it "
                              "is written");
    case Kind::stopped:
        return QStringLiteral("the load was stopped");
    }
    return {};
}

// --- load and release ----------------------------------------------------------

std::shared_ptr<LlamaModel> LlamaModel::load(const QString& path, int64_t contextSize, int64_t gpuLayers,
                                             std::optional<int64_t> threads,
                                             const std::optional<FileIdentity>& factsFrom, const LoadExtras& extras)
{
    const QByteArray nativePath = QFile::encodeName(path);
    // Only a regular file, or a link to one: reading a pipe or a device would
    // wait for a writer that never comes.
    if (::access(nativePath.constData(), R_OK) != 0 || !QFileInfo(path).isFile())
        throw LoadError::fileNotReadable(path);

    initBackendOnce();

    // Taken before the load: a file written while it loads counts as changed
    // at the next check, never as the one loaded.
    std::optional<FileIdentity> identity = FileIdentity::of(path);
    if (factsFrom && identity != factsFrom)
        identity.reset();
    // From before llama.cpp opens the file until its mapping goes. A writer
    // that comes during the load waits for it, so the load stops at its next
    // tensor rather than make the writer wait for all of them. A writer
    // that has the file open already would leave it half-written under us,
    // with no lease to tell us when it goes on.
    FileLease::Refusal refusal = FileLease::Refusal::impossible;
    std::unique_ptr<FileLease> lease = FileLease::take(path, &refusal);
    if (!lease && refusal == FileLease::Refusal::beingWritten)
        throw LoadError::fileChanging();
    llama_context_params contextParams = llama_context_default_params();
    contextParams.n_ctx = contextSize > 0 ? uint32_t(contextSize) : 0;
    // Every batch is decoded for the logits of its last position alone (the
    // reply samples there; a restored state carries none), so the compute
    // buffer holds one row of logits rather than one per batch position.
    contextParams.n_outputs_max = 1;
    if (threads && *threads >= 1) {
        contextParams.n_threads = int32_t(*threads);
        contextParams.n_threads_batch = int32_t(*threads);
    }
    // One try on the GPU when offload is asked for; a load that fails there
    // (out of device memory, a device that refuses a buffer or a kernel) is
    // tried again on the CPU alone.
    const bool wantsGpu = gpuLayers >= 1;
    bool fellBack = false;
    CpuReason cpuReason = wantsGpu ? CpuReason::none : gpuStopped() ? CpuReason::gpuStopped : CpuReason::offloadOff;
    bool projectorOnGpu = false;
    // The projector shares the device with the model: the fit leaves it room.
    const uint64_t projectorBytes =
        wantsGpu && !extras.projectorPath.isEmpty() ? uint64_t(projectorMemory(extras.projectorPath).bytes) : 0;
    llama_model* model = nullptr;
    llama_context* context = nullptr;
    int64_t placedLayers = 0;
    uint64_t deviceBytes = 0;
    bool contextFailed = false; // the model loaded, its context did not
    mtmd_context* vision = nullptr;
    std::optional<QString> projectorFailure;
    std::optional<FileIdentity> projectorIdentity;
    int64_t imageTokens = 0, imageChunkBytes = 0; // the most one image takes
    auto gate = std::make_unique<std::atomic<LlamaModel*>>(nullptr);
    // The lease's check and the caller's progress, from llama.cpp's load.
    struct LoadWatch {
        FileLease* lease = nullptr;
        const std::function<void(float)>* onProgress = nullptr;
    } watch{lease.get(), extras.onProgress ? &extras.onProgress : nullptr};
    for (bool onGpu : {wantsGpu, false}) {
        llama_model_params modelParams = llama_model_default_params();
        llama_context_params tryParams = contextParams;
        gpuload::OffloadPlan plan;
        if (!onGpu) {
            gpuload::keepOnCpu(modelParams, tryParams);
        } else if (const gpuload::Placement placed =
                       gpuload::offload(nativePath.constData(), projectorBytes, modelParams, tryParams, plan);
                   placed != gpuload::Placement::onGpu) {
            onGpu = false; // nothing to offload to, or no room: the CPU load is this one
            cpuReason = placed == gpuload::Placement::noRoom ? CpuReason::noRoom : CpuReason::noGpu;
        }
        if (watch.lease || watch.onProgress) {
            modelParams.progress_callback = [](float done, void* held) {
                const auto* seen = static_cast<LoadWatch*>(held);
                if (seen->onProgress)
                    (*seen->onProgress)(done);
                return !(seen->lease && seen->lease->isBroken());
            };
            modelParams.progress_callback_user_data = &watch;
        }
        gpuload::LoadReport report;
        if (!(onGpu && gpuload::testHooks().failOnGpu))
            model = llama_model_load_from_file(nativePath.constData(), modelParams);
        if (!model && lease && lease->isBroken())
            throw LoadError::fileChanging();
        contextFailed = false;
        if (model && !extras.projectorPath.isEmpty()) {
            projectorIdentity = FileIdentity::of(extras.projectorPath);
            // A projector the device cannot hold opens on the CPU, and so
            // does one whose buffer the driver refuses although the fit
            // left it room (vision::open tries again there).
            projectorOnGpu = onGpu && gpuload::hasRoomFor(plan, projectorBytes, report.deviceBytes());
            vision = openProjector(extras.projectorPath, model, projectorOnGpu, gate.get(), tryParams, projectorFailure,
                                   imageTokens, imageChunkBytes);
            projectorOnGpu = projectorOnGpu && vision;
        }
        if (model) {
            context = llama_init_from_model(model, tryParams);
            if (!context) {
                contextFailed = true;
                if (vision)
                    mtmd_free(vision);
                vision = nullptr;
                llama_model_free(model);
                model = nullptr;
            }
        }
        if (model) {
            placedLayers = report.layersOnGpu();
            deviceBytes = report.deviceBytes();
            contextParams = tryParams;
            break;
        }
        if (!onGpu)
            break;
        fellBack = true;
        cpuReason = CpuReason::fellBack;
        qCWarning(lcRuntime, "The model could not be loaded on the GPU; loading it on the CPU: %s",
                  qUtf8Printable(path));
    }
    if (!model)
        throw contextFailed ? LoadError::contextInitFailed() : LoadError::modelLoadFailed();
    auto loaded = std::make_shared<LlamaModel>(Private{}, path, std::move(identity), std::move(lease), model, context,
                                               placedLayers, vision);
    if (!extras.projectorPath.isEmpty())
        rememberProjectorLoad(extras.projectorPath, vision != nullptr);
    loaded->m_projectorFailure = std::move(projectorFailure);
    if (vision) {
        loaded->m_projectorIdentity = std::move(projectorIdentity);
        loaded->m_imagePositions = imageTokens;
        loaded->m_imageChunkBytes = imageChunkBytes;
        gate->store(loaded.get());
        loaded->m_visionGate = std::move(gate);
    }
    loaded->m_deviceBufferBytes = deviceBytes;
    loaded->m_fellBackToCpu = fellBack;
    loaded->m_cpuReason = loaded->m_gpuLayersOffloaded >= 1 ? CpuReason::none : cpuReason;
    loaded->m_projectorOnGpu = projectorOnGpu;
    loaded->m_flashAttention = int32_t(contextParams.flash_attn_type);
    loaded->m_typeK = int32_t(contextParams.type_k);
    loaded->m_typeV = int32_t(contextParams.type_v);
    if (loaded->m_lease) {
        loaded->m_lease->onBreak([weak = std::weak_ptr<LlamaModel>(loaded)] {
            const std::shared_ptr<LlamaModel> self = weak.lock();
            if (!self)
                return;
            qCInfo(lcRuntime, "Another program opens the model file for writing; the model lets go of it: %s",
                   qUtf8Printable(self->m_path));
            self->free();
        });
    }
    return loaded;
}

LlamaModel::LlamaModel(Private, QString path, std::optional<FileIdentity> file, std::unique_ptr<FileLease> lease,
                       llama_model* model, llama_context* context, int64_t gpuLayersPlaced, mtmd_context* vision)
    : m_path(std::move(path))
    , m_fileIdentity(std::move(file))
    , m_lease(std::move(lease))
    , m_model(model)
    , m_context(context)
    , m_vision(vision)
{
    m_contextSize = int64_t(llama_n_ctx(context));
    m_architecture = metaValue("general.architecture");
    m_trainedContext = int64_t(llama_model_n_ctx_train(model));
    if (const char* text = llama_model_chat_template(model, nullptr); text && *text)
        m_embeddedChatTemplate = QString::fromUtf8(text);
    m_layerCount = int64_t(llama_model_n_layer(model)) + 1;
    m_gpuLayersOffloaded =
        offloadedLayers(gpuLayersPlaced, m_layerCount, [] { return llama_supports_gpu_offload(); });
    // Lets a stop (or free) cut a long prompt decode short instead of waiting
    // for the whole slice.
    llama_set_abort_callback(context, &LlamaModel::abortCallback, this);
}

LlamaModel::~LlamaModel()
{
    free();
}

int64_t LlamaModel::offloadedLayers(int64_t gpuLayers, int64_t layerCount,
                                    const std::function<bool()>& supportsOffload)
{
    if (gpuLayers < 1)
        return 0;
    return supportsOffload() ? std::min(gpuLayers, layerCount) : 0;
}

bool LlamaModel::fileBeingWritten(const QString& path)
{
    FileLease::Refusal refusal = FileLease::Refusal::impossible;
    return !FileLease::take(path, &refusal) && refusal == FileLease::Refusal::beingWritten;
}

bool LlamaModel::fileChanged() const
{
    // A model that let go of its file, or whose lease the kernel broke by
    // force, must not read its mapping again.
    if (m_isFreed.load() || (m_lease && m_lease->isBroken()))
        return true;
    const std::optional<FileIdentity> now = FileIdentity::of(m_path);
    return !now || !m_fileIdentity || *now != *m_fileIdentity;
}

void LlamaModel::registerLive()
{
    LoadedModelSnapshot snapshot;
    snapshot.id = quintptr(this);
    snapshot.name = QFileInfo(m_path).fileName();
    snapshot.contextSize = m_contextSize;
    snapshot.architecture = m_architecture;
    snapshot.gpuLayersOffloaded = m_gpuLayersOffloaded;
    snapshot.layerCount = m_layerCount;
    snapshot.cpuReason = m_cpuReason;
    std::lock_guard lock(registryLock);
    liveRegistry()[snapshot.id] = snapshot;
}

void LlamaModel::free()
{
    m_freeRequested = true;
    requestStop();
    // From the queue's own worker this runs inline.
    m_queue.sync([this] { releaseResources(); });
}

void LlamaModel::freeSoon()
{
    m_freeRequested = true;
    requestStop();
    // Its reference keeps the model until the release is done, so that no
    // other thread's last reference waits for it.
    runInBackground([self = shared_from_this()] { self->free(); });
}

void LlamaModel::releaseResources()
{
    // A run's state left for a run that never came is saved before the
    // context goes (not one whose file changed: the save looks).
    if (!m_isFreed.load() && m_context && !m_gpuFaulted.load())
        saveOwed();
    if (m_isFreed.exchange(true))
        return;
    {
        std::lock_guard lock(registryLock);
        liveRegistry().erase(quintptr(this));
    }
    // A lost device stays lost, and freeing a context waits for its device
    // first: that wait would throw out of llama.cpp's destructors and end
    // the program. The handles of a model whose device was lost are kept
    // instead, unused, until the process ends.
    if (m_gpuFaulted.load()) {
        qCInfo(lcRuntime, "The model's GPU was lost: its buffers stay allocated until the app quits");
        m_imageChunks.clear();
        m_vision = nullptr;
    } else {
        // mtmd reads the model's weights: it goes first.
        releaseVision();
        llama_free(m_context);
        llama_model_free(m_model);
    }
    m_context = nullptr;
    m_model = nullptr;
    m_keptTokens.clear();
    // The mapping is gone: a writer held back by the lease may go on.
    if (m_lease)
        m_lease->release();
}

// --- stop flag and failure text ---------------------------------------------

void LlamaModel::requestStop()
{
    std::lock_guard lock(m_stopLock);
    m_stopRequested = true;
}

bool LlamaModel::stopRequested() const
{
    return m_stopRequested.load();
}

std::optional<QString> LlamaModel::lastStreamFailure() const
{
    std::lock_guard lock(m_stopLock);
    return m_lastStreamFailure;
}

void LlamaModel::setLastStreamFailure(std::optional<QString> text)
{
    std::lock_guard lock(m_stopLock);
    m_lastStreamFailure = std::move(text);
}

bool LlamaModel::shouldStop(const GenerationRun* run) const
{
    return (run && run->cancelled.load()) || m_freeRequested.load() || stopRequested();
}

int32_t LlamaModel::decode(const int32_t* tokens, int32_t count)
{
    return decodeBatch(llama_batch_get_one(const_cast<int32_t*>(tokens), count));
}

int32_t LlamaModel::decodeBatch(const llama_batch& batch)
{
    if (deviceFailed())
        return -1;
    decodeStopped = &LlamaModel::abortCallback;
    decodingModel = this;
    int32_t result = -1;
    // A device that is lost, or a driver that fails a submission, throws;
    // left alone, that ends the program. A GPU's decode only queues the
    // work, and its failure shows where the work is waited for: the wait is
    // made here, under the same guard, and not at the sampling after it.
    onDevice([&] {
        if (m_testHooks.beforeDecode)
            m_testHooks.beforeDecode();
        result = llama_decode(m_context, batch);
        if (result == 0 && m_gpuLayersOffloaded > 0)
            llama_synchronize(m_context);
    });
    if (result == -2 && m_gpuLayersOffloaded > 0 && !deviceFailed()) {
        // The device had no room for the decode's buffers.
        m_runOutOfMemory = true;
        setLastStreamFailure(kGpuOutOfMemoryText);
    }
    decodeStopped = nullptr;
    decodingModel = nullptr;
    return result;
}

namespace {
std::atomic<bool> gpuStopFlag{false};
} // namespace

void LlamaModel::deviceFault(const char* what) noexcept
{
    // What the device held is not to be trusted: nothing of it is kept.
    m_keptTokens.clear();
    // vulkan-hpp names the failing result in its message. A device that
    // refused memory still works: the reply ends, and the model stays.
    if (std::strstr(what, "OutOfDeviceMemory")) {
        qCWarning(lcRuntime, "The GPU refused memory during the reply: %s", what);
        m_runOutOfMemory = true;
        setLastStreamFailure(kGpuOutOfMemoryText);
        return;
    }
    qCCritical(lcRuntime, "The GPU failed: %s; the reply ends and the model is dropped", what);
    m_gpuFaulted = true;
    gpuStopFlag = true;
    setLastStreamFailure(kGpuStoppedText);
}

bool LlamaModel::gpuStopped()
{
    return gpuStopFlag.load();
}

void LlamaModel::clearGpuStop()
{
    gpuStopFlag = false;
}

bool LlamaModel::abortCallback(void* data)
{
    auto* self = static_cast<LlamaModel*>(data);
    return self->shouldStop(self->m_activeRun.load());
}

// --- metadata -----------------------------------------------------------------

std::optional<QString> LlamaModel::metaValue(const char* key) const
{
    if (!m_model)
        return std::nullopt;
    char buffer[256] = {};
    if (llama_model_meta_val_str(m_model, key, buffer, sizeof buffer) < 0)
        return std::nullopt;
    // The decoder keeps a leading U+FEFF that QString::fromUtf8 would drop.
    const QString text = Utf8Decoder::decode(buffer);
    if (text.isEmpty())
        return std::nullopt;
    return text;
}

// --- registry -------------------------------------------------------------------

std::vector<LoadedModelSnapshot> LlamaModel::liveModels()
{
    std::lock_guard lock(registryLock);
    std::vector<LoadedModelSnapshot> rows;
    rows.reserve(liveRegistry().size());
    for (const auto& [id, row] : liveRegistry())
        rows.push_back(row);
    return rows;
}

std::optional<LoadAttempt> LlamaModel::lastLoadAttempt()
{
    std::lock_guard lock(registryLock);
    return lastAttempt();
}

void LlamaModel::recordLoadAttempt(const LoadAttempt& attempt)
{
    std::lock_guard lock(registryLock);
    lastAttempt() = attempt;
}

} // namespace cvn
