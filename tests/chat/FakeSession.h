#pragma once

// A scripted session for the chat page's tests: turns and the streaming flag
// are set by the test, and every call the page makes is recorded as one line.

#include "chat/ChatSession.h"

#include <QStringList>

#include <algorithm>

namespace cvn::test {

inline LlamaSession::Turn makeTurn(ChatMessage::Role role, const QString& content,
                                   LlamaSession::Turn::State state = LlamaSession::Turn::State::complete())
{
    LlamaSession::Turn t;
    t.role = role;
    t.content = content;
    t.state = state;
    return t;
}

class FakeSession : public ChatSession {
public:
    QList<Turn> turnList;
    bool streaming = false;
    std::optional<QString> status;
    int64_t loadedContext = 0;
    std::optional<QUuid> firstSeen;
    QStringList calls;

    void setTurns(QList<Turn> turns)
    {
        turnList = std::move(turns);
        emit turnsChanged();
    }
    void setFirstSeen(std::optional<QUuid> id)
    {
        firstSeen = id;
        emit firstSeenTurnChanged();
    }
    void setStreaming(bool on)
    {
        streaming = on;
        emit isStreamingChanged();
    }

    const QList<Turn>& turns() const override { return turnList; }
    bool isStreaming() const override { return streaming; }
    std::optional<QString> statusText() const override { return status; }
    int64_t loadedContextSize() const override { return loadedContext; }
    std::optional<QUuid> firstSeenTurnId() const override { return firstSeen; }
    QString instructions; // of every model, the loaded one included
    QString replyInstructions(const ModelInfo*) const override { return instructions; }
    // With a count set, a model's tokenizer counts every prompt that many
    // tokens, answering when the test runs `counting`; without, no model.
    std::optional<int64_t> countedTokens;
    QList<std::function<void()>> counting;
    void countPromptTokens(const QString&, const QString&, std::function<void(std::optional<int64_t>)> done) override
    {
        if (!countedTokens)
            return done(std::nullopt);
        counting.append([done, tokens = countedTokens] { done(tokens); });
    }

    // Whether the chat's model (with members: which of them) sees images.
    bool chatSeesImages = false;
    QStringList seeingMembers;
    bool seesImages(const QList<ModelInfo>& members) const override
    {
        if (members.isEmpty())
            return chatSeesImages;
        return std::any_of(members.begin(), members.end(),
                           [&](const ModelInfo& m) { return seeingMembers.contains(m.displayName); });
    }
    // The positions one image takes for a model that sees images.
    int64_t positionsPerImage = 0;
    int64_t imagePositions(const QList<ModelInfo>& members) const override
    {
        return seesImages(members) ? positionsPerImage : 0;
    }
    // The images of the last send, and their names in its call's line.
    QList<ChatImage> sentImages;
    static QString imageNames(const QList<ChatImage>& images)
    {
        QStringList names;
        for (const ChatImage& image : images)
            names.append(image.name);
        return names.isEmpty() ? QString() : QStringLiteral(" +images[%1]").arg(names.join(u','));
    }

    void send(const QString& prompt, const QList<ChatImage>& images) override
    {
        sentImages = images;
        calls.append(QStringLiteral("send ") + prompt + imageNames(images));
    }
    void sendCouncil(const QString& shown, const QString& question, const QList<ModelInfo>& members,
                     const QStringList& notes, const QList<ChatImage>& images) override
    {
        sentImages = images;
        QStringList names;
        for (const ModelInfo& m : members)
            names.append(m.displayName);
        calls.append(QStringLiteral("council [%1] [%2] [%3] [%4]")
                         .arg(shown, question, names.join(u','), notes.join(u'|'))
                     + imageNames(images));
    }
    void appendUserTurn(const QString& text, const QStringList& notes) override
    {
        calls.append(QStringLiteral("appendUserTurn [%1] [%2]").arg(text, notes.join(u'|')));
    }
    void stop() override { calls.append(QStringLiteral("stop")); }
    void regenerate(const QUuid& id) override { calls.append(QStringLiteral("regenerate ") + id.toString()); }
    void resend(const QUuid& id, const QString& text) override
    {
        calls.append(QStringLiteral("resend %1 [%2]").arg(id.toString(), text));
    }
    void deleteTurn(const QUuid& id) override { calls.append(QStringLiteral("deleteTurn ") + id.toString()); }
    void toggleReasoning(const QUuid& id) override { calls.append(QStringLiteral("toggleReasoning ") + id.toString()); }
};

} // namespace cvn::test
