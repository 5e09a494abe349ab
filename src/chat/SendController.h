#pragma once

// The road from the composer's send to the engine, without any widget: it
// decides whether to send at all, takes a council message to its mentioned
// models or a plain one to the loaded model, holds back a message whose
// typed text and attachments would overflow the context until the user
// confirms, has the stager wrap the files into the prompt, and stops a
// streaming reply.
//
// What it works on sits behind small interfaces (the session, the staged
// files, the mention rules, the context planner), so the road is tested with
// fakes; the chat page hands in adapters over the real objects. The
// controller owns none of them and must not outlive them. What the page must
// show (the warning, the empty-question notice, a toast, a text given back to
// the composer) leaves through signals. Main thread only.

#include "models/ContextWarning.h"
#include "attachments/ToastKind.h"
#include "engine/ChatMessage.h"
#include "models/ModelInfo.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>

namespace cvn {

class AttachmentStager;
class ChatSession;

class SendController : public QObject {
    Q_OBJECT
public:
    // The staged files, as the road needs them.
    struct Stager {
        // The message's text, with the files' blocks ahead of the typed
        // text, and the staged images that go with it.
        struct Composed {
            QString prompt;
            QList<ChatImage> images;
        };

        virtual ~Stager() = default;
        virtual bool hasFiles() const = 0;
        // Files still being read count 0; an image counts its text and the
        // positions last set for the model it goes to.
        virtual int64_t totalApproxTokens() const = 0;
        virtual void setImagePositions(int64_t positions) { Q_UNUSED(positions); }
        // Nothing when there is nothing to send (the stager has told the
        // user). With `seesImages` the model is shown each image that can be
        // read, one without text too; else an image goes with the message
        // only beside its text.
        virtual std::optional<Composed> compose(const QString& text, int64_t contextTokens,
                                                bool seesImages) const = 0;
        virtual void clear() = 0;
    };

    // The `@` mention rules over the page's model list.
    struct Mentions {
        virtual ~Mentions() = default;
        virtual QList<ModelInfo> mentionedModels(const QString& text, const QList<ModelInfo>& models) const = 0;
        virtual QStringList unresolvedTokens(const QString& text, const QList<ModelInfo>& models) const = 0;
        virtual QString notFoundMessage(const QString& token, const QList<ModelInfo>& models) const = 0;
        virtual QString stripMentions(const QString& text, const QList<ModelInfo>& models) const = 0;
    };

    // What happens around a send: the model made ready, the context a council
    // member will get, the chat marked as a council chat.
    struct Planner {
        virtual ~Planner() = default;
        // Calls `done` once, on the main thread, with true when a plain
        // message may go to the loaded model now. May answer at once.
        virtual void prepareModel(std::function<void(bool)> done) = 0;
        virtual int64_t councilContext(const ModelInfo& firstMember) const = 0;
        virtual void markCouncil() = 0;
    };

    // A message held back by the context check, waiting for the user.
    struct Oversize {
        ContextWarning warning;
        std::function<void()> send;
        QString text; // what the composer gets back on cancel
    };

    static inline const QString stoppingToast = QStringLiteral("Cancelling — waiting for model to yield...");
    // Tokens kept free for the reply when checking a message against the context.
    static constexpr int64_t replyReserve = ContextWarning::replyReserve;

    SendController(ChatSession& session, Stager& stager, Mentions& mentions, Planner& planner,
                   QObject* parent = nullptr);

    void setCouncilOn(bool on) { m_councilOn = on; }
    bool councilOn() const { return m_councilOn; }
    void setContextSize(int64_t tokens) { m_contextSize = tokens; }
    int64_t contextSize() const { return m_contextSize; }
    void setModels(const QList<ModelInfo>& models) { m_models = models; }

    // The composer's send. A no-op while a reply streams or an earlier send
    // waits for its model, so the composer keeps the text.
    void send(const QString& text);
    // The composer's stop: the cancelling toast, then the session's stop,
    // whether or not a reply streams.
    void stop();

    // Whether a send would be ignored now; the composer keeps its text then.
    bool blocksSend() const;
    bool sendPending() const { return m_sendPending; }
    const std::optional<Oversize>& oversize() const { return m_oversize; }
    bool emptyQuestionOpen() const { return m_emptyQuestionOpen; }

    // The warning's buttons: "SEND ANYWAY" clears the warning, then sends;
    // cancel clears it and gives the text back. The files stay staged.
    void sendAfterWarning();
    void dismissWarning();
    void dismissEmptyQuestion();

    // The oversize rule: held back when T + P exceeds the context less the
    // reserve, T being the staged files' tokens (0 without files; files still
    // being read count 0) and P the text's tokens: `counted` when the loaded
    // model's tokenizer counted them, else the estimate (estimateTextTokens,
    // characters / 3 for light text). Typed text alone is checked only
    // against a known context (at least 1).
    static std::optional<ContextWarning> overflow(bool hasFiles, int64_t fileTokens, const QString& text,
                                                  int64_t contextTokens,
                                                  std::optional<int64_t> counted = std::nullopt);

signals:
    void oversizeChanged();
    void emptyQuestionChanged();
    void sendPendingChanged(bool pending);
    void toast(const QString& message, cvn::ToastKind kind);
    // A message that was not sent after all; the page puts it back into an
    // empty composer.
    void restoreText(const QString& text);

private:
    bool sendWithMentions(const QString& text);
    void sendPlain(const QString& text);
    void sendAnyway(const QString& text);
    void sendCouncilAnyway(const QString& question, const QString& text, int64_t context,
                           const QList<ModelInfo>& members, const QStringList& notes);
    void holdBack(const ContextWarning& warning, std::function<void()> send, const QString& text);
    void setSendPending(bool pending);

    ChatSession& m_session;
    Stager& m_stager;
    Mentions& m_mentions;
    Planner& m_planner;
    bool m_councilOn = false;
    int64_t m_contextSize = 0;
    QList<ModelInfo> m_models;
    bool m_sendPending = false;
    bool m_emptyQuestionOpen = false;
    std::optional<Oversize> m_oversize;
};

// The adapters over the real objects. The stager may be null or go away
// first: nothing is staged then.
class StagerAdapter : public SendController::Stager {
public:
    explicit StagerAdapter(AttachmentStager* stager);
    bool hasFiles() const override;
    int64_t totalApproxTokens() const override;
    void setImagePositions(int64_t positions) override;
    std::optional<Composed> compose(const QString& text, int64_t contextTokens, bool seesImages) const override;
    void clear() override;

private:
    QPointer<AttachmentStager> m_stager;
};

class CouncilMentionRules : public SendController::Mentions {
public:
    QList<ModelInfo> mentionedModels(const QString& text, const QList<ModelInfo>& models) const override;
    QStringList unresolvedTokens(const QString& text, const QList<ModelInfo>& models) const override;
    QString notFoundMessage(const QString& token, const QList<ModelInfo>& models) const override;
    QString stripMentions(const QString& text, const QList<ModelInfo>& models) const override;
};

} // namespace cvn
