#include "chat/ChatSession.h"

#include "platform/MainThread.h"

namespace cvn {

LlamaChatSession::LlamaChatSession(LlamaSession* session, QObject* parent)
    : ChatSession(parent), m_session(session)
{
    connect(session, &LlamaSession::turnsChanged, this, &ChatSession::turnsChanged);
    connect(session, &LlamaSession::isStreamingChanged, this, &ChatSession::isStreamingChanged);
    connect(session, &LlamaSession::statusTextChanged, this, &ChatSession::statusTextChanged);
    connect(session, &LlamaSession::firstSeenTurnChanged, this, &ChatSession::firstSeenTurnChanged);
}

const QList<ChatSession::Turn>& LlamaChatSession::turns() const
{
    static const QList<Turn> none;
    return m_session ? m_session->turns() : none;
}

bool LlamaChatSession::isStreaming() const
{
    return m_session && m_session->isStreaming();
}

std::optional<QString> LlamaChatSession::statusText() const
{
    return m_session ? m_session->statusText() : std::nullopt;
}

void LlamaChatSession::countPromptTokens(const QString& instructions, const QString& text,
                                         std::function<void(std::optional<int64_t>)> done)
{
    // Only the chat's own model counts, and only when the count would not
    // wait behind another run (another program's request may hold the slot
    // for minutes): the send must not wait for it.
    const std::shared_ptr<LlamaModel> model = m_session ? m_session->idleChatModel() : nullptr;
    if (!model) {
        done(std::nullopt);
        return;
    }
    QList<ChatMessage> messages;
    if (!instructions.isEmpty())
        messages.append(ChatMessage{ChatMessage::Role::system, instructions});
    messages.append(ChatMessage{ChatMessage::Role::user, text});
    const std::string prompt = m_session->chatTemplate().format(messages).toStdString();
    model->queue().async([weak = std::weak_ptr<LlamaModel>(model), prompt, done = std::move(done)] {
        std::optional<int64_t> count;
        // A model freed meanwhile has no tokenizer left: the caller estimates.
        if (const std::shared_ptr<LlamaModel> m = weak.lock(); m && !m->freeRequested()) {
            if (const auto tokens = int64_t(m->tokenize(prompt).size()); tokens >= 1)
                count = tokens;
        }
        runOnMain([done, count] { done(count); });
    });
}

QString LlamaChatSession::replyInstructions(const ModelInfo* member) const
{
    if (!m_session)
        return {};
    if (member)
        return m_session->instructionsFor(*member);
    ModelInfo loaded;
    loaded.instructions = m_session->loadedModelInstructions();
    return m_session->instructionsFor(loaded);
}

int64_t LlamaChatSession::loadedContextSize() const
{
    return m_session ? m_session->loadedContextSize() : 0;
}

std::optional<QUuid> LlamaChatSession::firstSeenTurnId() const
{
    return m_session ? m_session->firstSeenTurnId() : std::nullopt;
}

bool LlamaChatSession::seesImages(const QList<ModelInfo>& members) const
{
    return m_session && m_session->seesImages(members);
}

int64_t LlamaChatSession::imagePositions(const QList<ModelInfo>& members) const
{
    return m_session ? m_session->imagePositions(members) : 0;
}

void LlamaChatSession::send(const QString& prompt, const QList<ChatImage>& images)
{
    if (m_session)
        m_session->send(prompt, images);
}

void LlamaChatSession::sendCouncil(const QString& shown, const QString& question, const QList<ModelInfo>& members,
                                   const QStringList& notes, const QList<ChatImage>& images)
{
    if (m_session)
        m_session->sendCouncil(shown, question, members, notes, images);
}

void LlamaChatSession::appendUserTurn(const QString& text, const QStringList& notes)
{
    if (m_session)
        m_session->appendUserTurn(text, notes);
}

void LlamaChatSession::stop()
{
    if (m_session)
        m_session->stop();
}

void LlamaChatSession::regenerate(const QUuid& turnId)
{
    if (m_session)
        m_session->regenerate(turnId);
}

void LlamaChatSession::resend(const QUuid& turnId, const QString& text)
{
    if (m_session)
        m_session->resend(turnId, text);
}

void LlamaChatSession::deleteTurn(const QUuid& turnId)
{
    if (m_session)
        m_session->deleteTurn(turnId);
}

void LlamaChatSession::toggleReasoning(const QUuid& turnId)
{
    if (m_session)
        m_session->toggleReasoning(turnId);
}

} // namespace cvn
