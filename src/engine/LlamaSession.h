#pragma once

// The chat engine that the chat screen and the app shell drive: at most one
// loaded model, the bubbles of the open conversation and the one reply (or
// council run) that may be generating.
//
// Threads: a LlamaSession and everything it publishes live on the main
// thread; every public function must be called there. Model loads run on a
// background thread and generation on the model's queue; both report back by
// posting to the main thread, so the workers never wait for it.
//
// Replies are identified by a run and by their bubble's Turn id, never by a
// position: pieces or a finish that arrive after the transcript was replaced
// (another chat opened, reset, unload) only ever touch their own bubble, and
// only when it is still there.
//
// The single reply lives in LlamaSession.cpp; the council, which walks its
// members through that same reply, in LlamaSessionCouncil.cpp.

#include "engine/ChatMessage.h"
#include "engine/ChatTemplate.h"
#include "engine/LlamaModel.h"
#include "engine/ReplyPrompt.h"
#include "engine/ServedRequest.h"
#include "engine/SessionTask.h"
#include "engine/Turn.h"
#include "models/ModelInfo.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUuid>

#include <atomic>
#include <chrono>
#include <deque>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace cvn {

class LlamaSession : public QObject {
    Q_OBJECT

public:
    // One bubble of the transcript (engine/Turn.h).
    using Turn = cvn::Turn;

    // What the debug panel shows of a live session.
    struct Snapshot {
        QString shortId;
        std::optional<QString> modelName;
        int64_t contextSize = 0;
        std::optional<QString> architecture;
        ChatTemplate chatTemplate;
        bool isStreaming = false;
        std::optional<double> tokensPerSecond;

        friend bool operator==(const Snapshot&, const Snapshot&) = default;
    };

    // `store` finds model files (the shared store when null).
    explicit LlamaSession(class ModelStore* store = nullptr, QObject* parent = nullptr);
    ~LlamaSession() override;

    // --- published state (each change emits its signal) ----------------------
    const std::optional<QUuid>& loadedModelId() const { return m_loadedModelId; }
    const std::optional<QString>& loadedModelName() const { return m_loadedModelName; }
    ChatTemplate chatTemplate() const { return m_template; }
    const QList<Turn>& turns() const { return m_turns; }
    bool isStreaming() const { return m_isStreaming; }
    std::optional<double> tokensPerSecond() const { return m_tokensPerSecond; }
    const std::optional<QString>& statusText() const { return m_statusText; }
    // The first message that the last reply's model saw, when older ones
    // were left out to fit its context; none when it saw the whole chat.
    const std::optional<QUuid>& firstSeenTurnId() const { return m_firstSeenTurnId; }

    // --- plain state (what the loaded model says; none or 0 without one) -------
    std::optional<QString> loadedArchitecture() const { return m_model ? m_model->architecture() : std::nullopt; }
    int64_t loadedContextSize() const { return m_model ? m_model->contextSize() : 0; }
    const std::shared_ptr<LlamaModel>& model() const { return m_model; }
    // The chat's own model when it is in the slot and nothing uses or waits
    // for the slot: a job put on its queue now runs at once. None otherwise.
    std::shared_ptr<LlamaModel> idleChatModel() const;
    // The loaded model's file is no longer the one loaded (LlamaModel::
    // fileChanged); false without a model.
    bool loadedFileChanged() const { return m_model && m_model->fileChanged(); }
    bool councilActive() const { return m_council != nullptr; }
    const QString& shortId() const { return m_shortId; }
    Snapshot snapshot() const;

    // --- model slot -------------------------------------------------------------
    // Unloads the current model, then loads `model` from the models folder on
    // a background thread. `done` runs on the main thread with the error, or
    // nothing on success; it is not called when a later load or an unload
    // took the slot meanwhile. Like every load of the session (a reload
    // before a reply, a council member), it first brings the record up to
    // date with its file (ModelStore::upToDate): a file that is not the one
    // its facts were read from is read again, so the template, the context
    // size and the architecture are those of the file loaded. After the
    // load the file is looked at again: a file changed while it loaded is
    // loaded again (at most three loads in all) before anything answers. A
    // header our reader refused gets its facts from the loaded model.
    //
    // A file that another program has open for writing is half-written: a
    // load waits until that program closes it (looking again after a pause
    // that grows from a quarter second to two), then starts over on the
    // finished file. Meanwhile the status line says so, and the session
    // counts as streaming, so the stop button shows: stop() ends the wait
    // and the load with LoadError::stopped. Past the wait's limit (30 s) it
    // fails with LoadError::fileChanging.
    //
    // While another program's request holds the slot, the load waits for it
    // to be answered, then takes its turn; a later pick or an unload
    // meanwhile drops it (`done` is not called).
    SessionTask loadModel(const ModelInfo& model,
                          std::function<void(const std::optional<LoadError>&)> done = {});
    void unloadModel();
    // The chat's model when a reply sent now would wait for the slot before
    // it is there: the chat's pick while it waits behind another program's
    // request or loads, or the chat's own model while such a request has put
    // another in the slot. send() then shows the question at once and its
    // reply waits its turn; none otherwise.
    std::optional<QUuid> chatModelAfterWait() const;

    // --- conversation -----------------------------------------------------------
    // A reply, and each council member's answer, first makes sure the loaded
    // model's file is still the one loaded; when it is not, the model is
    // dropped and the file loaded again as it is now, with its own facts,
    // and the reply waits for that load (a council member shows its usual
    // loading line). A file that no longer loads leaves no model: the reply
    // becomes the no-model note and reloadFailed() says why (a council member
    // gets its usual note).
    //
    // A reply's prompt is made on the model's queue (ReplyPrompt): a chat
    // past the model's context leaves out its oldest whole turns, from
    // where this chat's last prompt for that model and context size began,
    // so that it keeps the prefix the model decoded before. Opening another
    // chat (replaceTurns) forgets where they began.
    //
    // Another program that opens the loaded model's file for writing (a copy
    // over it in place) makes the model let go of its file (LlamaModel): a
    // reply in progress ends as the user's stop ends it, keeping its text (a
    // reply with no text yet keeps its bubble as a note that says why), and
    // the next one loads the file again once that program is done.
    //
    // A reply that waits for the slot (another program's request holds it,
    // or the chat's pick waits or loads) shows its question at once; its
    // bubble says what it waits for (Turn::waitingFor), and stop() ends the
    // wait, keeping the question. A pick that fails leaves the bubble as the
    // no-model note.
    SessionTask send(const QString& text);
    void stop();
    void resetConversation();
    void replaceTurns(QList<Turn> turns);
    void appendAssistantNote(const QString& text);
    void appendUserTurn(const QString& text, const QStringList& notes);
    SessionTask regenerate(const QUuid& turnId);
    SessionTask resend(const QUuid& turnId, const QString& text);
    void toggleReasoning(const QUuid& turnId);
    void deleteTurn(const QUuid& turnId);
    QList<ChatMessage> buildHistory() const;

    // One question answered in turn by each member, loaded one at a time
    // into the single model slot.
    SessionTask sendCouncil(const QString& shown, const QString& question, const QList<ModelInfo>& members,
                            const QStringList& notes);

    // --- requests from other programs -------------------------------------------
    // Answers `request` in the model slot, in turn with the chat's replies and
    // the requests before it, one at a time in order of arrival; a chat reply
    // sent meanwhile waits its turn. A request for a model other than the one
    // in the slot loads it, as a council member is loaded; the chat's next
    // reply then loads the chat's own model again. Nothing of the request
    // enters the transcript.
    void serveRequest(ServedRequest request);
    // The model's own sampling and instructions, for a request without them.
    static RequestDefaults requestDefaultsFor(const ModelInfo& model, int64_t contextSize);

    // The open chat's own instructions; blank: each model's apply. A reply
    // started later takes them, with no reload.
    void setChatInstructions(const QString& text) { m_chatInstructions = text; }
    const QString& chatInstructions() const { return m_chatInstructions; }
    // The system message a reply of `model` starts with: the chat's
    // instructions, else the model's; empty for none.
    QString instructionsFor(const ModelInfo& model) const;
    // The loaded model's own instructions, as the store has them now; empty
    // without a model.
    QString loadedModelInstructions() const;
    // How a reply of a model with `sampling` and this context size is sampled.
    static SamplingParams samplingFor(const ModelSampling& sampling, int64_t contextSize);

    // Tokens a reply may use with a model of this context size.
    static int64_t replyTokenLimit(int64_t contextSize);
    // The context size a load asks for: the record's manual size when it has
    // one, else the automatic size for the free memory.
    static int64_t contextSizeFor(const ModelInfo& model, uint64_t freeMb);

    // Test seams: sees every rendered prompt (on the main thread, before the
    // reply's first piece); runs on the load thread before
    // each load; runs there after each load, before the file is looked at
    // again.
    void setPromptObserver(std::function<void(const QString&)> observer) { m_promptObserver = std::move(observer); }
    void setLoadHook(std::function<void()> hook) { m_loadHook = std::move(hook); }
    void setLoadedHook(std::function<void()> hook) { m_loadedHook = std::move(hook); }
    // Test seam: the least time between two deliveries of a reply's pieces to
    // the main thread (one display frame unless set); a reply started later
    // uses it.
    void setPieceInterval(std::chrono::milliseconds interval) { m_pieceInterval = interval; }
    // Test seam: how long a load waits for another program to finish
    // writing its file (30 s unless set); a load started later uses it.
    void setWriterWaitLimit(std::chrono::milliseconds limit) { m_writerWaitLimit = limit; }

signals:
    void loadedModelChanged();
    void templateChanged();
    void turnsChanged();
    void isStreamingChanged();
    void tokensPerSecondChanged();
    void statusTextChanged();
    void firstSeenTurnChanged();
    // The loaded model's file changed, and loading it again before a reply
    // failed: the model's display name and the error's description.
    void reloadFailed(const QString& model, const QString& reason);

private:
    struct ReplyRun;
    struct CouncilRun;

    static Turn noteTurn(const QString& text);
    // Returns the question's bubble.
    QUuid appendQuestion(const QString& text, const QStringList& notes);
    // The messages a reply is made from, each with its bubble.
    QList<ReplyPrompt::Message> sentHistory() const;
    qsizetype indexOf(const QUuid& turnId) const;
    void setStreaming(bool streaming);
    void setTokensPerSecond(std::optional<double> rate);
    void setStatusText(std::optional<QString> text);
    void publishSnapshot();
    void stopReply();
    void unloadModel(bool keepStreaming);
    // Called on the main thread with the record the load used (up to date
    // with its file), and the error or nothing.
    using LoadDone = std::function<void(const ModelInfo&, const std::optional<LoadError>&)>;
    SessionTask startLoad(const ModelInfo& record, LoadDone done);
    // `waitEnds`: when waiting for a writer gives up, once one was waited for.
    void startLoad(const ModelInfo& record, LoadDone done, SessionTask task, int attempt,
                   std::optional<std::chrono::steady_clock::time_point> waitEnds = std::nullopt);
    // The load waiting for another program to finish writing its file
    // (LlamaSessionWriterWait.cpp): shows it, and ends showing it.
    void showWriterWait(const ModelInfo& info, const LoadDone& done, const SessionTask& task);
    void endWriterWait();
    // Whatever the latest load says later finds it ended, and a wait for a
    // writer stops; its `done` is not called.
    void abandonLoad();
    // On the load's thread: true once no program has the file open for
    // writing; false past `ends` or once `cancel` is set.
    static bool waitForWriter(const QString& path, std::chrono::steady_clock::time_point ends,
                              const std::atomic<bool>& cancel);
    SessionTask startReply(const QUuid& bubbleId, const QList<ReplyPrompt::Message>& messages);
    SessionTask reloadThenReply(const QUuid& bubbleId, const QList<ReplyPrompt::Message>& messages);
    void generateReply(const std::shared_ptr<ReplyRun>& run, const QList<ReplyPrompt::Message>& messages);
    // On the main thread, once the run has made its prompt.
    void promptMade(const std::shared_ptr<ReplyRun>& run, const QUuid& model, int64_t contextSize,
                    const ReplyPrompt::Made& made);
    void setFirstSeenTurnId(std::optional<QUuid> id);
    void applyPieces(const std::shared_ptr<ReplyRun>& run);
    void finishReply(const std::shared_ptr<ReplyRun>& run);
    void endCouncil();
    // The served requests' side of the slot (LlamaSessionRequest.cpp).
    struct SlotWaiter {
        std::shared_ptr<ServedRequest> request; // or else
        std::function<void()> chatTurn; // a chat reply or council waiting its turn
    };
    bool slotBusy() const;
    bool chatModelDisplaced() const;
    SessionTask waitForSlot(const QUuid& bubbleId, const QList<ReplyPrompt::Message>& messages);
    void startNextInSlot();
    // The waiting reply's bubble says what holds the slot now.
    void showWhatTheReplyWaitsFor();
    // The chat's pick takes the slot, which nothing else runs in: the model
    // there goes, and what waits behind the pick goes on waiting.
    SessionTask loadPick(const ModelInfo& model, std::function<void(const std::optional<LoadError>&)> done);
    void startRequest(const std::shared_ptr<ServedRequest>& request);
    void generateRequest(const std::shared_ptr<ServedRequest>& request);
    void finishRequest(const std::shared_ptr<ServedRequest>& request);
    void dropRequests();
    void advanceCouncil();
    void runCouncilMember();
    void answerCouncilMember();
    void councilMemberDone();

    ModelStore* m_store;
    std::optional<QUuid> m_loadedModelId;
    std::optional<QString> m_loadedModelName;
    std::optional<ModelInfo> m_loadedInfo; // the record it was loaded from, to load it again
    ChatTemplate m_template;
    QList<Turn> m_turns;
    bool m_isStreaming = false;
    std::optional<double> m_tokensPerSecond;
    std::optional<QString> m_statusText;
    std::optional<QUuid> m_firstSeenTurnId;
    ContextCuts m_cuts; // of the open chat
    std::shared_ptr<LlamaModel> m_model;
    GenerationHandle m_streamHandle;
    std::shared_ptr<ReplyRun> m_reply; // the current reply, if any
    std::unique_ptr<CouncilRun> m_council;
    std::shared_ptr<ServedRequest> m_request; // the served request in the slot, if any
    bool m_requestLoading = false; // and its model is loading
    bool m_pickLoading = false;    // the chat's pick is loading: the slot is taken
    std::optional<ModelInfo> m_pickPending; // the chat's pick, waiting for the slot or loading
    uint64_t m_pickSerial = 0; // the latest pick; an earlier one still queued is dropped
    std::deque<SlotWaiter> m_slotQueue;
    std::optional<ModelInfo> m_chatChoice; // the model the chat itself loaded
    uint64_t m_loadSerial = 0; // the load whose result may still take the slot
    QString m_shortId;
    std::shared_ptr<int> m_alive; // the session registry's weak handle on us
    std::function<void(const QString&)> m_promptObserver;
    std::function<void()> m_loadHook;
    std::function<void()> m_loadedHook;
    std::chrono::milliseconds m_pieceInterval;
    QString m_chatInstructions;
    std::chrono::milliseconds m_writerWaitLimit{30000};
    // The latest load's: once set, that load stops waiting for a writer.
    std::shared_ptr<std::atomic<bool>> m_loadCancel;
    // While a load shows that it waits for a writer: ends it as stopped.
    std::function<void()> m_stopWriterWait;
    bool m_writerWaitRaisedStreaming = false; // the wait alone shows the stop button
};

} // namespace cvn
