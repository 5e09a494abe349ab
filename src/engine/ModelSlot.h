#pragma once

// The one model slot: the only owner of the loaded model, and the one queue
// of who uses it next. Its clients (the chat's replies and picks, the
// council's members, the local server's requests) hand it jobs; it runs
// them one at a time in order of arrival, loading each job's model first
// when another one is in the slot. No client holds the model, and none
// looks at another's jobs.
//
// A job names the model it needs (or the one in the slot), and, once that
// model is ready, says what to decode (Decode: the prompt, made on the
// model's queue through ReplyPrompt or as a raw prompt, its sampling, and
// the sink its pieces and its end go to). A pick loads afresh and decodes
// nothing.
//
// Its state is one value, published by stateChanged(). Its moves:
//
//   empty ───(a job needs a model)────────────▶ loading ───(file open for writing)───▶ waitingForWriter
//   empty ◀──(load failed, or dropped)───────── loading ◀──(the writer closed it)───── waitingForWriter
//   empty ◀──(stop, cancel, unload, past the wait's limit)──────────────────────────── waitingForWriter
//   loading ──(loaded)──▶ ready ──(the job decodes)──▶ running ──(its run ended)──▶ ready
//   ready ──(a job needs another model, or the file changed; any pick)──▶ loading
//   ready, running ──(unload; a run then ends by itself)──▶ empty
//
// Each state but empty and ready belongs to one job (State::job), which is
// the only one a stop or a cancel of that phase concerns: the user's stop
// ends a wait for a writer and a run, never a load in progress (that load
// still fills the slot); a cancel also drops a load; a queued job that is
// stopped or cancelled never starts. An unload ends whichever job holds the
// slot and frees the model; a lease break frees the model under its run,
// which then ends as stopped, and the next job loads the file again.
//
// The loads. Every load first brings the record up to date with its file
// (ModelStore::upToDate); after it the file is looked at again, and a file
// changed while it loaded is loaded again (at most three loads in all)
// before anything answers. A header our reader refused gets its facts from
// the loaded model. A file another program has open for writing is waited
// for (a pause that grows from a quarter second to two, up to a limit of
// 30 s, then LoadError::fileChanging) and then loaded from the start.
//
// Threads: a slot lives on the main thread, and every function is called
// there; so are all of a job's callbacks, except its sink's (the model's
// queue). Loads run on a background thread and decoding on the model's
// queue; both report back by posting, and nothing waits for the main thread.

#include "engine/ChatTemplate.h"
#include "engine/Generation.h"
#include "engine/LlamaModel.h"
#include "engine/PromptCache.h"
#include "engine/SamplingParams.h"
#include "models/ModelInfo.h"

#include <QObject>
#include <QUuid>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

namespace cvn {

class ModelStore;

class ModelSlot : public QObject {
    Q_OBJECT

public:
    enum class Phase { empty, loading, waitingForWriter, ready, running };
    enum class Client { pick, chat, council, request };
    using JobId = uint64_t;

    struct State {
        Phase phase = Phase::empty;
        // In the slot, or on its way there (loading, waiting for a writer);
        // none while a run goes on under an unload.
        std::optional<ModelInfo> model;
        JobId job = 0; // the job the slot works for; 0 when none
        Client client = Client::pick; // that job's

        friend bool operator==(const State&, const State&) = default;
    };

    // What a job's decoding starts from, once its model is ready.
    struct Ready {
        std::shared_ptr<LlamaModel> model; // none for a job that takes the slot's and found it empty
        ModelInfo record; // the store's record now, for choices changed since the load
        ChatTemplate chatTemplate;
        JobId job = 0; // the job it is for
    };

    struct Decode {
        LlamaModel::PromptMaker prompt;
        SamplingParams sampling;
        // On the model's queue.
        GenerationSink sink;
        // On the main thread once the run has ended (after sink.onFinished),
        // with the slot free again and before the next job starts; not
        // called when the slot went first.
        std::function<void()> ended;
        // Takes the run's handle when the client ends the run itself (from
        // any thread); else the slot keeps it.
        std::function<void(GenerationHandle)> keepHandle;
    };

    struct Job {
        Client client = Client::chat;
        // The model it needs, asked when it reaches the front; none: the one
        // in the slot. A pick always loads afresh and decodes nothing.
        std::function<std::optional<ModelInfo>()> model;
        // When it reaches the front, before anything loads; false ends it
        // there, with nothing more told.
        std::function<bool()> onStart;
        // Its model starts loading; the one in the slot is gone.
        std::function<void(const ModelInfo&)> onLoading;
        // How far its model's load has come (0 to 1), once the load has run
        // for longer than the slot's progress delay, a few times a second.
        std::function<void(float)> onLoadProgress;
        // Its load failed (or its wait for a writer was stopped); it ends.
        std::function<void(const ModelInfo& model, const LoadError& error)> onLoadFailed;
        // Its model is ready: what to decode, or none to end here.
        std::function<std::optional<Decode>(const Ready&)> decode;
        // It ends without its model: cancelled, or its load dropped.
        std::function<void()> onCancelled;
    };

    explicit ModelSlot(ModelStore& store, QObject* parent = nullptr);
    // Queued and loading jobs hear onCancelled; a run is freed with its model.
    ~ModelSlot() override;

    const State& state() const { return m_state; }
    const std::shared_ptr<LlamaModel>& model() const { return m_model; }
    // The record the model was loaded from (up to date with its file).
    const std::optional<ModelInfo>& loadedInfo() const { return m_loadedInfo; }
    const std::optional<QUuid>& loadedModelId() const { return m_loadedId; }
    const std::optional<QString>& loadedModelName() const { return m_loadedName; }
    ChatTemplate chatTemplate() const { return m_template; }
    // The decoded states its models keep between runs.
    PromptCache& promptCache() { return m_promptCache; }
    // No job holds the slot and none waits: one submitted now starts at once.
    bool isIdle() const { return !m_current && m_queue.empty(); }
    bool isQueued(JobId job) const;

    // Queues `job`; it starts at once when the slot is idle.
    JobId submit(Job job);
    // The user's stop, and a cancel (see the header comment). Unknown or
    // ended jobs are ignored.
    void stop(JobId job);
    void cancel(JobId job);
    // Frees the model; a job loading ends (onCancelled), a run ends as its
    // model goes. Queued jobs go on waiting.
    void unload();

    // The context size a load asks for: the record's manual size when it has
    // one, else the automatic size for the free memory.
    static int64_t contextSizeFor(const ModelInfo& model, uint64_t freeMb);

    // Test seams: run on the load thread before each load, and after it,
    // before the file is looked at again; how long a load waits for a writer.
    void setLoadHook(std::function<void()> hook) { m_loadHook = std::move(hook); }
    void setLoadedHook(std::function<void()> hook) { m_loadedHook = std::move(hook); }
    void setWriterWaitLimit(std::chrono::milliseconds limit) { m_writerWaitLimit = limit; }
    // How long a load runs before its job hears how far it has come (a
    // second unless set).
    void setLoadProgressDelay(std::chrono::milliseconds delay) { m_loadProgressDelay = delay; }

    // The projector file a load of `model` passes with it: the one it pairs
    // with among the store's records; empty for none.
    static QString projectorPathFor(const ModelInfo& model, const ModelStore& store);

signals:
    void stateChanged();
    // The loaded model came or went (a load always tells, the same model too).
    void modelChanged();
    void templateChanged();

private:
    using SteadyClock = std::chrono::steady_clock;
    struct Entry {
        JobId id = 0;
        Job job;
        std::function<void()> ended; // its run's, once it decodes
    };

    void startNext();
    void begin(Entry& entry);
    void load(const ModelInfo& info);
    void runCurrent();
    void endCurrent();
    void jobEnded(JobId job);
    void setState(Phase phase, std::optional<ModelInfo> model);
    void freeModel();
    Entry takeCurrent();

    // ModelSlotLoad.cpp: one load, its checks and its wait for a writer.
    void startLoad(const ModelInfo& record, int attempt, std::optional<SteadyClock::time_point> waitEnds);
    void loadDone(const ModelInfo& info, std::shared_ptr<LlamaModel> loaded, std::optional<LoadError> error,
                  int attempt, std::optional<SteadyClock::time_point> waitEnds, const QString& path);
    void loaded(ModelInfo info, std::shared_ptr<LlamaModel> model);
    void loadFailed(const ModelInfo& info, const LoadError& error);
    void loadProgressed(uint64_t serial, float fraction);
    // Whatever the load in progress says later finds it dropped.
    void abandonLoad();
    static bool waitForWriter(const QString& path, SteadyClock::time_point ends, const std::atomic<bool>& cancel);

    ModelStore& m_store;
    PromptCache m_promptCache;
    State m_state;
    std::shared_ptr<LlamaModel> m_model;
    std::weak_ptr<LlamaModel> m_released; // the model freeModel() let go of, until it is gone
    std::optional<ModelInfo> m_loadedInfo;
    std::optional<QUuid> m_loadedId;
    std::optional<QString> m_loadedName;
    ChatTemplate m_template;

    std::deque<Entry> m_queue;
    std::optional<Entry> m_current;
    JobId m_lastId = 0;
    bool m_starting = false; // startNext() is on the stack
    GenerationHandle m_run; // the current job's, unless it keeps it

    uint64_t m_loadSerial = 0; // the load whose result may still take the slot
    std::shared_ptr<std::atomic<bool>> m_loadCancel; // the latest load's wait for a writer
    std::function<void()> m_loadHook;
    std::function<void()> m_loadedHook;
    std::chrono::milliseconds m_writerWaitLimit{30000};
    std::chrono::milliseconds m_loadProgressDelay{1000};
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
};

} // namespace cvn
