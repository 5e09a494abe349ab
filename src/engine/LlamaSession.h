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
// The session reaches the model only through its ModelSlot, as one of the
// slot's clients: the chat's pick and replies (LlamaSession.cpp and
// LlamaSessionReply.cpp), the council's members (LlamaSessionCouncil.cpp)
// and other programs' requests (LlamaSessionRequest.cpp), each a job.

#include "engine/ChatMessage.h"
#include "engine/ChatTemplate.h"
#include "engine/LlamaModel.h"
#include "engine/ModelSlot.h"
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
    const std::optional<QUuid>& loadedModelId() const { return m_slot->loadedModelId(); }
    const std::optional<QString>& loadedModelName() const { return m_slot->loadedModelName(); }
    ChatTemplate chatTemplate() const { return m_slot->chatTemplate(); }
    const QList<Turn>& turns() const { return m_turns; }
    bool isStreaming() const { return m_isStreaming; }
    std::optional<double> tokensPerSecond() const { return m_tokensPerSecond; }
    const std::optional<QString>& statusText() const { return m_statusText; }
    // The first message that the last reply's model saw, when older ones
    // were left out to fit its context; none when it saw the whole chat.
    const std::optional<QUuid>& firstSeenTurnId() const { return m_firstSeenTurnId; }

    // --- plain state (what the loaded model says; none or 0 without one) -------
    std::optional<QString> loadedArchitecture() const { return model() ? model()->architecture() : std::nullopt; }
    int64_t loadedContextSize() const { return model() ? model()->contextSize() : 0; }
    const std::shared_ptr<LlamaModel>& model() const { return m_slot->model(); }
    // The chat's own model when it is in the slot and nothing uses or waits
    // for the slot: a job put on its queue now runs at once. None otherwise.
    std::shared_ptr<LlamaModel> idleChatModel() const;
    // The loaded model's file is no longer the one loaded (LlamaModel::
    // fileChanged); false without a model.
    bool loadedFileChanged() const { return model() && model()->fileChanged(); }
    bool councilActive() const { return m_council != nullptr; }
    const QString& shortId() const { return m_shortId; }
    Snapshot snapshot() const;
    // The model slot, for its published state (ModelSlot::State).
    const ModelSlot& slot() const { return *m_slot; }
    // The slot's reply cache: the decoded states kept between runs.
    PromptCache& promptCache() { return m_slot->promptCache(); }

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
    // fails with LoadError::fileChanging. Another program's request that
    // waits so is shown on the status line too, but is that program's to
    // end: the chat's stop leaves it.
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
    // Whether a reply sent now shows images to its model: the chat's model
    // (its pick), or with `members` any of them, pairs with a projector, and
    // the one loaded from it did not fail to load it.
    bool seesImages(const QList<ModelInfo>& members = {}) const;
    // The positions one image takes for the model (or the members) that
    // answers a message sent now, by its projector's header, or as the
    // loaded projector made them where the header cannot tell; 0 when none
    // sees images. Main thread.
    int64_t imagePositions(const QList<ModelInfo>& members = {}) const;

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
    //
    // `images` go with the question and stay with its turn: a model that
    // sees images gets them in place of their attachment blocks in `text`,
    // one that does not reads the blocks (LlamaSessionImages.h). Until its
    // first word the reply's bubble tells how far the work before it has
    // come (Turn::progress): its model's load, the prompt, an image.
    SessionTask send(const QString& text, const QList<ChatImage>& images = {});
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
                            const QStringList& notes, const QList<ChatImage>& images = {});

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
    void setLoadHook(std::function<void()> hook) { m_slot->setLoadHook(std::move(hook)); }
    void setLoadedHook(std::function<void()> hook) { m_slot->setLoadedHook(std::move(hook)); }
    // Test seam: the least time between two deliveries of a reply's pieces to
    // the main thread (one display frame unless set); a reply started later
    // uses it.
    void setPieceInterval(std::chrono::milliseconds interval) { m_pieceInterval = interval; }
    // Test seam: how long a load waits for another program to finish
    // writing its file (30 s unless set); a load started later uses it.
    void setWriterWaitLimit(std::chrono::milliseconds limit) { m_slot->setWriterWaitLimit(limit); }
    // Test seam: how long a load or a prompt runs before its bubble shows
    // how far it has come (a second unless set); a reply started later uses it.
    void setProgressDelay(std::chrono::milliseconds delay)
    {
        m_progressDelay = delay;
        m_slot->setLoadProgressDelay(delay);
    }

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
    // A reply's model learnt what a prompt needs of images of the user turn
    // `turnId` that their stored facts lacked: `images` is the turn's image
    // list with them, as the turn now holds it, for the chat history to
    // store, so that no later run decodes them again to lay out a prompt.
    void imageFactsLearnt(const QUuid& turnId, const QList<ChatImage>& images);

private:
    struct ReplyRun;
    struct CouncilRun;

    static Turn noteTurn(const QString& text);
    // Returns the question's bubble.
    QUuid appendQuestion(const QString& text, const QStringList& notes, const QList<ChatImage>& images = {});
    // The messages a reply is made from, each with its bubble.
    QList<ReplyPrompt::Message> sentHistory() const;
    qsizetype indexOf(const QUuid& turnId) const;
    void setStreaming(bool streaming);
    void setTokensPerSecond(std::optional<double> rate);
    void setStatusText(std::optional<QString> text);
    void publishSnapshot();
    // The slot's state changed: the wait for a writer shows, and so does
    // what a waiting reply waits for.
    void slotStateChanged();
    bool chatModelDisplaced() const;
    // The chat's pick still queued or loading goes, unheard.
    void dropPick();
    void stopReply();

    // The chat's reply as a slot job (LlamaSessionReply.cpp).
    SessionTask submitReply(const QUuid& bubbleId, const QList<ReplyPrompt::Message>& messages);
    ModelSlot::Job replyJob(const std::shared_ptr<ReplyRun>& run);
    // What `run` decodes with the model ready (a chat reply, a member's).
    ModelSlot::Decode replyDecode(const std::shared_ptr<ReplyRun>& run, const ModelSlot::Ready& ready);
    void showWhatTheReplyWaitsFor();
    void setWaitingFor(const QUuid& turnId, const QString& text);
    // On the main thread, once the run has made its prompt.
    void promptMade(const std::shared_ptr<ReplyRun>& run, const QUuid& model, int64_t contextSize,
                    const ReplyPrompt::Made& made);
    void setFirstSeenTurnId(std::optional<QUuid> id);
    // The turns' images with the facts a prompt's model learnt of them
    // (SessionImages::learntFacts), kept and told (imageFactsLearnt).
    void keepImageFacts(const QHash<QUuid, QList<ChatImage>>& learnt);
    // A reply's bubble, until its first word: how far its work has come.
    void setProgress(const QUuid& turnId, const QString& text);
    // The notes a model gets once, before its first reply: it fell back to
    // the CPU, its projector did not load.
    void noteModelTroubles(const std::shared_ptr<ReplyRun>& run, LlamaModel& model);
    void applyPieces(const std::shared_ptr<ReplyRun>& run);
    void finishReply(const std::shared_ptr<ReplyRun>& run);

    // The council's members as slot jobs (LlamaSessionCouncil.cpp).
    void submitCouncil();
    ModelSlot::Job memberJob(qsizetype member);
    void memberLoadEnded();
    std::optional<ModelSlot::Decode> answerCouncilMember(const ModelSlot::Ready* ready);
    void councilMemberDone();
    void endCouncil();

    // Another program's request as a slot job (LlamaSessionRequest.cpp).
    std::optional<ModelSlot::Decode> requestDecode(const std::shared_ptr<ServedRequest>& request,
                                                   const ModelSlot::Ready& ready);

    ModelStore* m_store;
    std::unique_ptr<ModelSlot> m_slot;
    QList<Turn> m_turns;
    bool m_isStreaming = false;
    std::optional<double> m_tokensPerSecond;
    std::optional<QString> m_statusText;
    std::optional<QUuid> m_firstSeenTurnId;
    ContextCuts m_cuts; // of the open chat
    std::shared_ptr<ReplyRun> m_reply; // the current reply, if any
    std::unique_ptr<CouncilRun> m_council;
    std::optional<ModelInfo> m_chatChoice; // the model the chat itself loaded
    std::optional<ModelInfo> m_pickPending; // the chat's pick, waiting for the slot or loading
    ModelSlot::JobId m_pickJob = 0;
    QString m_shortId;
    std::shared_ptr<int> m_alive; // the session registry's weak handle on us
    std::function<void(const QString&)> m_promptObserver;
    std::chrono::milliseconds m_pieceInterval;
    QString m_chatInstructions;
    std::chrono::milliseconds m_progressDelay{1000};
    std::weak_ptr<LlamaModel> m_projectorFailureTold; // the model whose projector failure the chat heard of
    bool m_writerWaitShown = false;
    bool m_writerWaitRaisedStreaming = false; // the wait alone shows the stop button
};

} // namespace cvn
