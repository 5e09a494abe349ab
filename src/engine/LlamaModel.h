#pragma once

// One GGUF model loaded through llama.cpp, with its inference context.
//
// Ownership: a LlamaModel owns its llama_model and llama_context handles and
// releases them exactly once, in free() or in the destructor, on its own
// serial queue. Always held by std::shared_ptr (made by load()); generation
// runs hold it weakly and end empty once it is gone or freed.
//
// Threads: load() blocks its caller (run it off the main thread). Every use of
// the context after the load runs on queue(). free(), requestStop(),
// stopRequested(), lastStreamFailure() and generate() may be called from any
// thread. The process-wide registry functions may be called from any thread.
//
// The file: while the model is loaded it holds a read lease on its file
// where one can be taken (platform/FileLease.h). When another program opens
// the file for writing or cuts it short, the model frees itself on the
// lease's break thread, whatever the main thread is doing (a run stops at
// its next token, the mapping goes), and releases the lease, and only then
// does the writer go on. Such a model never runs again (fileChanged). A
// file that another program has open for writing is not loaded at all
// (fileChanging): it is half-written, and no lease could be had on it.

#include "engine/ChatMessage.h"
#include "engine/Generation.h"
#include "engine/PromptPace.h"
#include "engine/PromptStore.h"
#include "engine/SamplingParams.h"
#include "platform/FileIdentity.h"
#include "platform/FileLease.h"
#include "platform/SerialQueue.h"

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

struct llama_model;
struct llama_context;
struct common_chat_templates;
struct mtmd_context;
struct mtmd_input_chunk;
struct mtmd_input_part;
struct ggml_tensor;
struct llama_batch;

namespace cvn {

// The serial queue that owns every use of one model's llama.cpp context: each
// generation run and the release of the handles. sync() from its own worker
// runs inline, so a release triggered inside a work item cannot wait on itself.
using ModelQueue = SerialQueue;

// Why a model could not be loaded. description() is the sentence shown to the
// user.
class LoadError : public std::exception {
public:
    enum class Kind { fileNotReadable, runtimeUnavailable, modelLoadFailed, contextInitFailed, fileChanging, stopped };

    static LoadError fileNotReadable(const QString& path) { return LoadError(Kind::fileNotReadable, path); }
    static LoadError runtimeUnavailable() { return LoadError(Kind::runtimeUnavailable); }
    static LoadError modelLoadFailed() { return LoadError(Kind::modelLoadFailed); }
    static LoadError contextInitFailed() { return LoadError(Kind::contextInitFailed); }
    // Another program wrote to the file while it was loaded, or has it open
    // for writing still.
    static LoadError fileChanging() { return LoadError(Kind::fileChanging); }
    // The user stopped the load while it waited for another program.
    static LoadError stopped() { return LoadError(Kind::stopped); }

    Kind kind() const { return m_kind; }

    const QString& path() const { return m_path; } // fileNotReadable only
    QString description() const;
    const char* what() const noexcept override { return m_what.c_str(); }

private:
    explicit LoadError(Kind kind, QString path = {});
    Kind m_kind;
    QString m_path;
    std::string m_what;
};

// An image that no model could be shown: not an image, damaged, too large,
// or more than the context holds. what() is the sentence shown to the user.
class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// An image that could not be read for want of memory: another time it may be.
class ImageMemoryError : public ImageError {
public:
    using ImageError::ImageError;
};

// Why a model runs on the CPU alone.
enum class CpuReason {
    none,       // it has layers on the GPU
    offloadOff, // loaded with GPU offload switched off
    noGpu,      // offload was on, but llama.cpp has no GPU to offload to
    noRoom,     // the GPU had no room for a single layer
    fellBack,   // the GPU could not load it
    gpuStopped, // loaded after a GPU fault, which keeps loads off the GPU
};

// One row of the live-model registry (the debug panel lists them).
struct LoadedModelSnapshot {
    quintptr id = 0; // the model object's identity
    QString name; // file name
    int64_t contextSize = 0;
    std::optional<QString> architecture;
    int64_t gpuLayersOffloaded = 0;
    int64_t layerCount = 0;
    CpuReason cpuReason = CpuReason::none;

    friend bool operator==(const LoadedModelSnapshot&, const LoadedModelSnapshot&) = default;
};

// The outcome of the latest model load.
struct LoadAttempt {
    struct Ok {
        int64_t contextSize = 0;
        std::optional<QString> architecture;
        friend bool operator==(const Ok&, const Ok&) = default;
    };
    struct Failed {
        QString message;
        friend bool operator==(const Failed&, const Failed&) = default;
    };
    using Outcome = std::variant<Ok, Failed>;

    QString fileName;
    QDateTime at;
    Outcome outcome;

    friend bool operator==(const LoadAttempt&, const LoadAttempt&) = default;
};

// The note before the first reply of a model that the GPU could not load.
inline const QString kCpuFallbackText = QStringLiteral(
    "The GPU could not load this model, so it runs on the CPU for now. Replies come more slowly.");

// The failure a reply ends with when the GPU stopped under it.
inline const QString kGpuStoppedText = QStringLiteral(
    "The GPU stopped while writing this reply. The next reply runs on the CPU; restart Corvanthelis to use the "
    "GPU again.");

// The failure a reply ends with when the GPU refused it memory; the GPU
// itself goes on working.
inline const QString kGpuOutOfMemoryText = QStringLiteral(
    "The GPU ran out of memory while writing this reply. Try again, or load the model with a smaller context.");

class LlamaModel : public std::enable_shared_from_this<LlamaModel> {
    struct Private {};

public:
    // Loads the model file and creates its context; blocks the caller.
    // contextSize <= 0 lets llama.cpp choose (the trained length); gpuLayers
    // is the number of layers to offload; threads, when given and >= 1, sets
    // both thread counts. Throws LoadError (fileNotReadable for anything but a
    // readable regular file or a link to one). The new model is not yet in the
    // live-model registry (see registerLive). `factsFrom`, when given, is the
    // version of the file whose header the caller's template and context size
    // come from: a file that is another one when the load opens it counts as
    // changed from the start (fileChanged), so the caller loads it again
    // with its own facts. The file's lease is taken before llama.cpp opens
    // it; another program opening it for writing meanwhile ends the load
    // (fileChanging), so that the writer is not held for the whole load, and
    // so does a file that another program has open for writing already.
    // The caller waits for that program (fileBeingWritten) and loads again.
    //
    // `extras` may name the image projector the model sees through; one that
    // does not load leaves the model reading text alone (projectorFailure).
    // Its onProgress, when set, hears how far the load has come (0 to 1), on
    // the loading thread.
    struct LoadExtras {
        QString projectorPath; // empty: none
        std::function<void(float)> onProgress;
    };
    static std::shared_ptr<LlamaModel> load(const QString& path, int64_t contextSize, int64_t gpuLayers,
                                            std::optional<int64_t> threads = std::nullopt,
                                            const std::optional<FileIdentity>& factsFrom = std::nullopt,
                                            const LoadExtras& extras = {});

    LlamaModel(Private, QString path, std::optional<FileIdentity> file, std::unique_ptr<FileLease> lease,
               llama_model* model, llama_context* context, int64_t gpuLayersPlaced, mtmd_context* vision = nullptr);
    ~LlamaModel();
    LlamaModel(const LlamaModel&) = delete;
    LlamaModel& operator=(const LlamaModel&) = delete;

    // Another program has the file at `path` open for writing, which a load
    // now would read half-written: it passes once that program closes it.
    // Any thread; one open and two fcntl.
    static bool fileBeingWritten(const QString& path);

    const QString& path() const { return m_path; }
    int64_t contextSize() const { return m_contextSize; } // what llama.cpp granted
    const std::optional<QString>& architecture() const { return m_architecture; }
    // Layers the load placed on the GPU, from llama.cpp's own assignment of
    // each layer (not the number asked for).
    int64_t gpuLayersOffloaded() const { return m_gpuLayersOffloaded; }
    // The weights, cache and compute buffers the load made on a GPU device.
    uint64_t deviceBufferBytes() const { return m_deviceBufferBytes; }
    // Offload was asked for, the load failed on the GPU, and this model is
    // the same file loaded on the CPU.
    bool fellBackToCpu() const { return m_fellBackToCpu; }
    // Why no layer is on the GPU; none when some are.
    CpuReason cpuReason() const { return m_cpuReason; }
    // The projector's encoder runs on the GPU (with the model's layers) rather
    // than on the CPU.
    bool projectorOnGpu() const { return m_projectorOnGpu; }
    // True the first time it is asked of a model that fell back to the CPU,
    // so that the user hears of it once. Any thread.
    bool takeCpuFallbackNotice() { return m_fellBackToCpu && !m_fallbackTold.exchange(true); }
    // A decode raised an exception (a lost device, a driver's fault): the
    // run ended as failed, and the model must not run again. Read it once
    // the run has finished.
    bool gpuFaulted() const { return m_gpuFaulted.load(); }
    // True when the device refused the latest run memory: that run ended
    // as failed, and the model goes on. Read it once the run has finished.
    bool lastRunOutOfMemory() const { return m_runOutOfMemory.load(); }
    // After any model's GPU fault, loads keep to the CPU until the program
    // restarts: ggml keeps its device for the whole process, and a lost one
    // never comes back. clearGpuStop is for tests whose device was not
    // really lost. Any thread.
    static bool gpuStopped();
    static void clearGpuStop();
    int64_t layerCount() const { return m_layerCount; } // llama_model_n_layer + 1
    // What the loaded file says of itself, for a file whose header our own
    // reader refused: llama_model_n_ctx_train (0 when the file says 0) and
    // its chat template, if any.
    int64_t trainedContext() const { return m_trainedContext; }
    const std::optional<QString>& embeddedChatTemplate() const { return m_embeddedChatTemplate; }
    bool isFreed() const { return m_isFreed.load(); }
    // True from the moment free() is called, before the run it stops has
    // ended: a run that ends then was cut short by it.
    bool freeRequested() const { return m_freeRequested.load(); }
    // True when the file at path() is no longer the one loaded: replaced,
    // rewritten, cut short or gone, or opened for writing by another program
    // (the lease broke), or when the model was freed. The weights are mapped
    // from the file, so a run on a model whose file was cut short reads past
    // its end and the process dies of a bus error: check this after each
    // load and before each run, and load the file again when it holds. Any
    // thread; one stat of the file (and one fcntl with a lease).
    bool fileChanged() const;
    // The queue that owns every use of the context: each generation run and
    // the release of the handles.
    ModelQueue& queue() { return m_queue; }

    // Adds this model to the live-model registry.
    void registerLive();

    // Asks a running generation to stop, then releases the handles once (on
    // the queue: inline when called from it, else waiting for the work item
    // in progress), and then the file's lease. Safe to call repeatedly and
    // from any thread.
    void free();
    // free() without the wait, for the main thread: the run in progress is
    // told to stop at once, and the handles go on a background thread once
    // it has heard it (a GPU's decode hears it only at the end of its
    // slice). A free() called meanwhile waits for that release.
    void freeSoon();

    // The stop flag that a running generation checks before every prompt
    // slice and every token, and that aborts a prompt decode in progress.
    void requestStop();
    bool stopRequested() const;

    // Why the last generation produced nothing, if it failed on its prompt.
    std::optional<QString> lastStreamFailure() const;

    // Tokens the latest generation run put into its reply (an end token is
    // not counted). Read it once that run has finished (after its onFinished).
    int64_t lastRunTokenCount() const { return m_lastRunTokens.load(); }
    // True when the latest run's reply ended because the context had no room
    // left for another token. Read it once that run has finished.
    bool lastRunFilledContext() const { return m_lastRunFilledContext.load(); }
    // True when the latest run's reply ended at its token limit (its own or
    // the room left in the context), not at an end token, a stop string or a
    // stop. Read it once that run has finished.
    bool lastRunHitLimit() const { return m_lastRunHitLimit.load(); }
    // True when the latest run's grammar allowed no next token: the grammar
    // it was asked to follow, not the model, ended it.
    bool lastRunGrammarStuck() const { return m_lastRunGrammarStuck.load(); }

    // Starts one generation run on the model's queue and returns at once.
    // The sink's callbacks run on the queue. `prompt` is the rendered chat
    // text (UTF-8); special tokens in it are parsed. The context keeps what
    // each run decoded, and the next run decodes only the part of its prompt
    // that differs from it (always at least the last token).
    GenerationHandle generate(const std::string& prompt, const SamplingParams& params, GenerationSink sink);
    // The same with a prompt made on the queue when the run starts, by a
    // function that may call tokenize() (engine/ReplyPrompt.h makes one).
    // A prompt longer than the context less the reply reserve keeps its
    // first token and its last ones. The function may also change the run's
    // sampling: a chat template that renders tools gives the reply's grammar
    // and stop strings with its prompt.
    using PromptMaker = std::function<std::vector<int32_t>(const LlamaModel&, SamplingParams&)>;
    GenerationHandle generate(PromptMaker makePrompt, const SamplingParams& params, GenerationSink sink);

    // Where runs keep their decoded states and look for one to start from
    // (engine/PromptStore.h): before a run, the longest exact prefix of its
    // prompt among the context itself and the store's entries for this
    // model, file, context size and KV types is restored when it saves more
    // than the context already shares; after a run, what the context holds
    // is saved. Set it before the first run; none keeps only the context.
    void setPromptStore(std::shared_ptr<PromptStore> store) { m_promptStore = std::move(store); }
    // What a state must match to be restored here; none when the file's
    // identity is unknown.
    std::optional<PromptIdentity> promptIdentity() const;

    // llama.cpp's chat code for the model's own template (its GGUF
    // metadata), made at the first call and kept while the model is loaded
    // (engine/ToolPrompt.cpp). Queue only. Throws what
    // common_chat_templates_init throws.
    const common_chat_templates* chatTemplates() const;

    // Text value of a GGUF metadata key, or none when absent or empty.
    std::optional<QString> metaValue(const char* key) const;

    // The prompt's tokens as a run would decode them (special tokens added
    // and parsed, a doubled begin-of-sequence token dropped). Runs on the
    // caller's thread: call it on queue() while a run may be active.
    std::vector<int32_t> tokenize(const std::string& text) const;

    // --- images (LlamaModelVision.cpp) -------------------------------------
    // The projector loaded with the model: it sees images.
    bool seesImages() const;
    // Why the projector asked for did not load; none when it did or none
    // was asked for.
    const std::optional<QString>& projectorFailure() const { return m_projectorFailure; }
    // The most positions one image takes, as the loaded projector makes
    // them; 0 without one. Set by the load, any thread after it.
    int64_t imagePositions() const { return m_imagePositions; }
    // The text that stands for image `index` of a prompt's image list in
    // its rendered text; random per process, so no typed text makes one.
    static QString imageMarker(int index);
    // tokenize() of a prompt whose text holds imageMarker(i) for images[i]:
    // each image becomes its run of positions, stood for in the tokens by
    // values no text token takes. Throws ImageError for an image that
    // cannot be shown. Queue only.
    // Images are decoded one at a time, each at most once per prompt, and
    // none whose bytes the model has seen before: what the prompt needs of
    // one (its pixel hash, size and positions) is kept by its bytes' hash.
    // Nor is one whose stored facts carry this model's imageFactsKey: they
    // are taken as they are, and the run decodes the image only if it
    // encodes it.
    // A prompt refused for its count of images or their positions is
    // refused before any is decoded.
    std::vector<int32_t> tokenize(const std::string& text, const QList<ChatImage>& images) const;
    // The most images one prompt may show the model.
    static constexpr int maxImagesPerPrompt = 100;
    // Why `image` cannot be shown to this model (the sentence tokenize
    // would throw); none when it can. What is learnt is kept as tokenize
    // keeps it, so a prompt made next does not decode it again. Queue only.
    std::optional<QString> imageFailure(const ChatImage& image) const;
    // Who learnt what a prompt needs of an image (ChatImage::Facts): the
    // loaded projector's file as the load found it, and how pixels are made
    // from bytes (VisionImage::pixelsVersion, maxSide). Empty without a
    // projector or when its file could not be looked at: no stored facts
    // match that. Any thread.
    QString imageFactsKey() const;
    // What this model knows of `image` without decoding it: its stored
    // facts when they carry imageFactsKey(), else what a prompt or
    // imageFailure learnt of its bytes, with that key; none for an image
    // not learnt yet or one that cannot be shown. Queue only.
    std::optional<ChatImage::Facts> knownFacts(const ChatImage& image) const;

    // mtmd's graph callback, whose data is the std::atomic<LlamaModel*>
    // that the load made for the model: where an encode ends early on a
    // stop, and where it tells how long it has run. Queue only.
    static bool encodeGate(ggml_tensor* node, bool ask, void* data);

    // Test seams for what only happens inside a run. Set them before
    // generate(), never while a run is active: the run reads them on the queue.
    struct TestHooks {
        // Called on the queue after each prompt slice decodes, with the
        // prompt tokens the context holds so far.
        std::function<void(int64_t held)> afterPromptSlice;
        // Called on the queue as the prompt's first slice begins to decode.
        std::function<void()> beforePrompt;
        // The memory refuses to drop its tail, as a recurrent one does.
        bool refuseMemoryTrim = false;
        // Called on the queue once the prompt is decoded, with the logits
        // that choose the reply's first token.
        std::function<void(const float* logits, int32_t count)> afterPrompt;
        // Called on the queue inside each decode, where llama_decode runs:
        // what it throws stands for what a failing device throws there.
        std::function<void()> beforeDecode;
        // Called on the queue once an image's encode has begun, inside it.
        std::function<void()> duringEncode;
    };
    void setTestHooks(TestHooks hooks) { m_testHooks = std::move(hooks); }

    // The raw handles, for benchmarks that drive llama.cpp directly. Valid
    // until free(). A benchmark that empties the memory itself needs no
    // more: the next run finds the memory short of what it kept and decodes
    // its whole prompt.
    llama_model* modelHandle() const { return m_model; }
    llama_context* contextHandle() const { return m_context; }

    // --- process-wide runtime state -------------------------------------
    static std::vector<LoadedModelSnapshot> liveModels();
    static std::optional<LoadAttempt> lastLoadAttempt();
    static void recordLoadAttempt(const LoadAttempt& attempt);

    // Layers reported as running on the GPU: 0 when gpuLayers < 1 (without
    // asking), else min(gpuLayers, layerCount) when offload is supported.
    static int64_t offloadedLayers(int64_t gpuLayers, int64_t layerCount,
                                   const std::function<bool()>& supportsOffload);

private:
    void releaseResources();
    void setLastStreamFailure(std::optional<QString> text);
    bool shouldStop(const GenerationRun* run) const;
    void runGeneration(const PromptMaker& makePrompt, const SamplingParams& params, GenerationRun& run,
                       const GenerationSink& sink);
    // llama_decode, with the error lines llama.cpp writes when a stop aborts
    // it kept out of the runtime log's errors: a stop is not a failure.
    int32_t decode(const int32_t* tokens, int32_t count);
    int32_t decodeBatch(const llama_batch& batch);
    // Runs `call`, which may wait for the device. What it throws is the
    // device failing (deviceFault) and ends the run, never the program.
    // False when it threw. Queue only.
    template <class Call>
    bool onDevice(Call&& call) noexcept
    {
        try {
            call();
            return true;
        } catch (const std::exception& error) {
            deviceFault(error.what());
        } catch (...) {
            deviceFault("an exception of unknown type");
        }
        return false;
    }
    // Ends the run after an exception from the device: a device that
    // refused memory goes on, any other failure ends the model and the
    // GPU's use until a restart. Queue only.
    void deviceFault(const char* what) noexcept;
    // True once the run's end was told by a device failure. Queue only.
    bool deviceFailed() const { return m_gpuFaulted.load() || m_runOutOfMemory; }
    // The token's text; a special token's shows only with `special`.
    std::string tokenPiece(int32_t token, bool special = false) const;
    // Keeps the longest prefix of `prompt` that the memory holds (never its
    // last token) and drops the rest; empties the memory when it cannot keep
    // one. Returns the tokens kept. Queue only.
    int64_t keepDecodedPrefix(const std::vector<int32_t>& prompt);
    // Where the prompt's kept prefix comes from.
    enum class KeptFrom { lastRun, memory, disk };
    // Puts the store's entry sharing the most with `prompt` into the
    // context when it shares more than the context does; a state that does
    // not restore is dropped and the context emptied. Queue only
    // (LlamaModelCache.cpp).
    KeptFrom restoreBest(const std::vector<int32_t>& prompt);
    // Saves what the context holds to the store, once per change. Queue only.
    void saveDecoded();
    // The state a run left that is not yet saved (m_saveOwed), saved now.
    void saveOwed();
    // Empties the memory and what it kept: a failed decode leaves it in an
    // unknown state. Queue only.
    void forgetDecoded();
    static bool abortCallback(void* data);
    enum class ImageStep { done, stopped, failed };
    // Encodes the image whose stand-ins start at tokens[at] and decodes its
    // embeddings at its positions. Queue only (LlamaModelVision.cpp).
    ImageStep decodeImage(const std::vector<int32_t>& tokens, int64_t at, GenerationRun& run,
                          const std::function<void(const RunProgress&)>& onProgress);
    // The image encoder on one image's chunk, its output left in mtmd's
    // buffer; 0 when it ran whole. Queue only (LlamaModelVision.cpp).
    // The encoder's status, or encoderDeviceFault when the device failed
    // under it (the fault has told the run's end).
    int32_t runImageEncoder(const mtmd_input_chunk* chunk, const std::function<void(const RunProgress&)>& onProgress);
    static constexpr int32_t encoderDeviceFault = INT32_MIN;
    void releaseVision();
    // What tokenize() knows of images, and how it learns it
    // (LlamaModelVision.cpp). Queue only.
    struct ImageFacts;
    static constexpr size_t kKnownImages = 1024;
    static constexpr size_t kRecentKeys = 64;
    QByteArray imageKey(const QByteArray& data) const;
    ImageFacts learnImage(const ChatImage& image) const;
    // The image's stored facts, when they carry this model's key and could
    // be a layout of this projector's.
    std::optional<ImageFacts> storedFacts(const ChatImage& image) const;
    std::shared_ptr<mtmd_input_chunk> preparedImage(const ChatImage& image, ImageFacts& facts) const;
    void keepImage(std::vector<int32_t> run, const ChatImage& source, std::shared_ptr<mtmd_input_chunk> chunk) const;
    std::vector<int32_t> laidOut(const std::vector<mtmd_input_part>& parts, const std::vector<int>& order,
                                 const std::map<int, ImageFacts>& facts, const QList<ChatImage>& images) const;

    const QString m_path;
    const std::optional<FileIdentity> m_fileIdentity; // the file as the load found it
    // Held until the handles are released; none where it could not be taken.
    const std::unique_ptr<FileLease> m_lease;
    int64_t m_trainedContext = 0;
    std::optional<QString> m_embeddedChatTemplate;
    llama_model* m_model = nullptr;
    llama_context* m_context = nullptr;
    int64_t m_contextSize = 0;
    std::optional<QString> m_architecture;
    int64_t m_gpuLayersOffloaded = 0;
    uint64_t m_deviceBufferBytes = 0;
    bool m_fellBackToCpu = false;
    CpuReason m_cpuReason = CpuReason::none;
    bool m_projectorOnGpu = false;
    std::atomic<bool> m_fallbackTold{false};
    int32_t m_flashAttention = 0; // the llama_flash_attn_type asked for
    // Written on the queue: the device was lost under a run. The handles are
    // then never released (see releaseResources).
    std::atomic<bool> m_gpuFaulted{false};
    std::atomic<bool> m_runOutOfMemory{false}; // the device refused the run memory; written on the queue
    // The GPU prompt slices' measured cost, for promptSlice; queue only.
    PromptPace m_promptPace;
    int64_t m_layerCount = 0;
    std::atomic<bool> m_isFreed{false};
    // Set by free() and never cleared: runs already queued end before they
    // start, whatever happens to the stop flag meanwhile.
    std::atomic<bool> m_freeRequested{false};

    mutable std::mutex m_stopLock; // guards the two fields below
    // Written under m_stopLock; atomic so that the abort callback, which
    // llama.cpp calls between graph nodes, reads it without the lock.
    std::atomic<bool> m_stopRequested{false};
    std::optional<QString> m_lastStreamFailure;

    // The run in progress, for the abort callback (set and cleared on the queue).
    std::atomic<GenerationRun*> m_activeRun{nullptr};
    std::atomic<int64_t> m_lastRunTokens{0}; // written on the queue
    std::atomic<bool> m_lastRunFilledContext{false}; // written on the queue
    std::atomic<bool> m_lastRunHitLimit{false};      // written on the queue
    std::atomic<bool> m_lastRunGrammarStuck{false};  // written on the queue
    // What the context's memory holds, in position order: the prompt slices
    // and reply tokens that runs decoded without an error. Queue only.
    std::vector<int32_t> m_keptTokens;
    std::vector<int32_t> m_savedTokens; // what the store last got; queue only
    bool m_stateShapeUnknown = false;   // told once that its states are not kept; queue only
    size_t m_runPromptLength = 0; // the last run's prompt tokens; queue only
    bool m_saveOwed = false; // the last run's state is to be saved; queue only
    std::atomic<int> m_runsQueued{0}; // generate() calls whose run has not begun
    std::shared_ptr<PromptStore> m_promptStore;
    int32_t m_typeK = 0, m_typeV = 0; // the context's KV cache types (ggml_type)
    TestHooks m_testHooks;
    std::optional<QString> m_projectorFailure;
    // The projector's context, released before the model it reads; queue
    // only after the load.
    mtmd_context* m_vision = nullptr;
    // What encodeGate is handed: this model, once it exists.
    std::unique_ptr<std::atomic<LlamaModel*>> m_visionGate;
    std::optional<FileIdentity> m_projectorIdentity; // the projector file as the load found it
    // The images tokenize() made, by their runs of stand-ins, for the runs
    // that decode them; the newest last, a bounded number. Queue only.
    // `chunk` holds its preprocessed pixels while a few are kept; without
    // it the run decodes `source` again to encode it.
    struct ImageChunk {
        std::vector<int32_t> standIns;
        std::shared_ptr<mtmd_input_chunk> chunk;
        ChatImage source;
    };
    mutable std::vector<ImageChunk> m_imageChunks;
    // What a prompt needs of an image, by the SHA-256 of its bytes; a
    // bounded number, oldest out first. Queue only.
    struct ImageFacts {
        uint64_t pixelHash = 0;
        int width = 0;
        int height = 0;
        int64_t positions = 0;
        std::optional<QString> failure; // why it cannot be shown
    };
    mutable std::map<QByteArray, ImageFacts> m_imageFacts;
    mutable std::deque<QByteArray> m_imageFactsOrder;
    // The bytes seen lately with their SHA-256, so the same bytes again are
    // not hashed again. Queue only.
    mutable std::deque<std::pair<QByteArray, QByteArray>> m_recentImageKeys;
    int64_t m_imagePositions = 0; // the most positions one image takes
    int64_t m_imageChunkBytes = 0; // an image's preprocessed pixels, at most
    // The last image encoded, by its stand-ins, and its embeddings: the
    // same image again in a prompt is not encoded again. A prompt made
    // anew forgets it. Queue only.
    mutable std::vector<int32_t> m_lastEncodedRun;
    std::vector<float> m_lastEncodedEmbd;
    bool m_lastEncodedNonCausal = false;
    // The encode in progress, for encodeCallback; queue only.
    struct EncodeWatch {
        int64_t startedMs = 0;
        int64_t toldMs = 0;
        bool hookCalled = false;
        const std::function<void(const RunProgress&)>* onProgress = nullptr;
    } m_encode;
    mutable std::shared_ptr<common_chat_templates> m_chatTemplates; // queue only

    // Last: destroyed first, after the handles are gone. Linux keeps 15
    // characters of a thread name, so the thread gets a short one.
    ModelQueue m_queue{QStringLiteral("org.corvanthelis.llama.context"), QStringLiteral("cvn.llama.ctx")};
};

} // namespace cvn
