#pragma once

// What the chat page reads of the conversation engine and asks of it: the
// turns, the streaming flag and the status line, and the calls a send, a stop
// or a message action makes. One seam in front of LlamaSession, so that the
// page and its send road run against a scripted session in tests.
//
// Lives on the main thread. The page only observes a ChatSession; whoever
// creates one keeps it alive for longer than the page.

#include "engine/LlamaSession.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUuid>

#include <cstdint>
#include <functional>
#include <optional>

namespace cvn {

class ChatSession : public QObject {
    Q_OBJECT
public:
    using Turn = LlamaSession::Turn;

    using QObject::QObject;

    virtual const QList<Turn>& turns() const = 0;
    virtual bool isStreaming() const = 0;
    virtual std::optional<QString> statusText() const = 0;
    // The loaded model's context, below 1 without a model.
    virtual int64_t loadedContextSize() const = 0;
    // The first message that the last reply's model saw, when older ones
    // were left out; none when it saw them all.
    virtual std::optional<QUuid> firstSeenTurnId() const { return std::nullopt; }
    // The instructions a reply starts with: of `member` for a council
    // member, else of the loaded model (the chat's own win over either).
    virtual QString replyInstructions(const ModelInfo* member) const
    {
        Q_UNUSED(member);
        return {};
    }

    // The tokens of a reply's prompt of `instructions` (none when empty) and
    // the one message `text`, as the loaded model's template renders it and
    // its tokenizer reads it. `done` gets them on the main thread, or nothing
    // without the chat's model or while the slot is in use, and the caller
    // estimates then. Never blocks nor waits behind a run.
    virtual void countPromptTokens(const QString& instructions, const QString& text,
                                   std::function<void(std::optional<int64_t>)> done)
    {
        Q_UNUSED(instructions);
        Q_UNUSED(text);
        done(std::nullopt);
    }

    // Whether the model that answers a message sent now sees images: the
    // chat's own, or with `members` any of them (each member gets what it
    // can take).
    virtual bool seesImages(const QList<ModelInfo>& members) const
    {
        Q_UNUSED(members);
        return false;
    }
    // The positions one image takes in the context of that model (the
    // most any member's projector makes of one); 0 when none sees images.
    virtual int64_t imagePositions(const QList<ModelInfo>& members) const
    {
        Q_UNUSED(members);
        return 0;
    }

    // `images` go with the message and stay with its turn.
    virtual void send(const QString& prompt, const QList<ChatImage>& images) = 0;
    virtual void sendCouncil(const QString& shown, const QString& question, const QList<ModelInfo>& members,
                             const QStringList& notes, const QList<ChatImage>& images) = 0;
    virtual void appendUserTurn(const QString& text, const QStringList& notes) = 0;
    virtual void stop() = 0;
    virtual void regenerate(const QUuid& turnId) = 0;
    virtual void resend(const QUuid& turnId, const QString& text) = 0;
    virtual void deleteTurn(const QUuid& turnId) = 0;
    virtual void toggleReasoning(const QUuid& turnId) = 0;

signals:
    void turnsChanged();
    void isStreamingChanged();
    void statusTextChanged();
    void firstSeenTurnChanged();
};

// The engine's own session behind the seam. The session must outlive this
// adapter's use; a session destroyed first reads as empty and idle.
class LlamaChatSession : public ChatSession {
    Q_OBJECT
public:
    explicit LlamaChatSession(LlamaSession* session, QObject* parent = nullptr);

    LlamaSession* session() const { return m_session; }

    const QList<Turn>& turns() const override;
    bool isStreaming() const override;
    std::optional<QString> statusText() const override;
    int64_t loadedContextSize() const override;
    std::optional<QUuid> firstSeenTurnId() const override;
    QString replyInstructions(const ModelInfo* member) const override;
    void countPromptTokens(const QString& instructions, const QString& text,
                           std::function<void(std::optional<int64_t>)> done) override;

    bool seesImages(const QList<ModelInfo>& members) const override;
    int64_t imagePositions(const QList<ModelInfo>& members) const override;
    void send(const QString& prompt, const QList<ChatImage>& images) override;
    void sendCouncil(const QString& shown, const QString& question, const QList<ModelInfo>& members,
                     const QStringList& notes, const QList<ChatImage>& images) override;
    void appendUserTurn(const QString& text, const QStringList& notes) override;
    void stop() override;
    void regenerate(const QUuid& turnId) override;
    void resend(const QUuid& turnId, const QString& text) override;
    void deleteTurn(const QUuid& turnId) override;
    void toggleReasoning(const QUuid& turnId) override;

private:
    QPointer<LlamaSession> m_session;
};

} // namespace cvn
