#include "chat/SendController.h"

#include "attachments/AttachmentStager.h"
#include "attachments/AttachmentText.h"
#include "attachments/TokenEstimate.h"
#include "chat/ChatSession.h"
#include "engine/CouncilMentions.h"

#include <QPointer>

#include <algorithm>

namespace cvn {

// The warning holds back exactly what the reply's prompt would cut.
static_assert(ContextWarning::replyReserve == ReplyPrompt::replyReserve);

SendController::SendController(ChatSession& session, Stager& stager, Mentions& mentions, Planner& planner,
                               QObject* parent)
    : QObject(parent), m_session(session), m_stager(stager), m_mentions(mentions), m_planner(planner)
{
}

bool SendController::blocksSend() const
{
    return m_session.isStreaming() || m_sendPending;
}

std::optional<ContextWarning> SendController::overflow(bool hasFiles, int64_t fileTokens, const QString& text,
                                                      int64_t contextTokens, std::optional<int64_t> counted)
{
    const int64_t attachmentTokens = hasFiles ? std::max<int64_t>(0, fileTokens) : 0;
    // Without a context size there is nothing to check typed text against;
    // staged files are still held back, as their figures alone say enough.
    if (attachmentTokens < 1 && contextTokens < 1)
        return std::nullopt;
    const int64_t promptTokens = counted ? *counted : estimateTextTokens(text, 3.0);
    if (attachmentTokens + promptTokens <= contextTokens - replyReserve)
        return std::nullopt;
    return ContextWarning{contextTokens, attachmentTokens, promptTokens};
}

void SendController::send(const QString& text)
{
    // The composer keeps its text while this holds (it asks blocksSend()
    // through its busy flags), so ignoring the send loses nothing.
    if (blocksSend())
        return;
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() && !m_stager.hasFiles())
        return;
    if (m_councilOn && sendWithMentions(trimmed))
        return;

    // A second send while this one waits would race it to the session, which
    // refuses whichever comes once a reply streams: keep it out instead.
    setSendPending(true);
    QPointer<SendController> self(this);
    m_planner.prepareModel([self, trimmed](bool ready) {
        if (!self)
            return;
        self->setSendPending(false);
        if (ready)
            self->sendPlain(trimmed);
        else
            emit self->restoreText(trimmed);
    });
}

void SendController::sendPlain(const QString& text)
{
    // The instructions go ahead of every message, so they count with it.
    const QString instructions = m_session.replyInstructions(nullptr);
    const QString counted = instructions.isEmpty() ? text : instructions + QStringLiteral("\n\n") + text;
    // The loaded model's tokenizer counts the prompt: an estimate misses text
    // with more tokens per character than it assumes, which would then be
    // cut without the warning. The send waits for the count, as for its model.
    QPointer<SendController> self(this);
    auto answered = std::make_shared<bool>(false);
    m_session.countPromptTokens(instructions, text, [self, text, counted, answered](std::optional<int64_t> tokens) {
        *answered = true;
        if (!self)
            return;
        self->setSendPending(false);
        self->m_stager.setImagePositions(self->m_session.imagePositions({}));
        if (const auto warning = overflow(self->m_stager.hasFiles(), self->m_stager.totalApproxTokens(), counted,
                                          self->m_contextSize, tokens)) {
            self->holdBack(*warning, [road = self.data(), text] { road->sendAnyway(text); }, text);
            return;
        }
        self->sendAnyway(text);
    });
    if (!*answered)
        setSendPending(true);
}

void SendController::sendAnyway(const QString& text)
{
    if (!m_stager.hasFiles()) {
        m_session.send(text, {});
        return;
    }
    const int64_t loaded = m_session.loadedContextSize();
    const std::optional<Stager::Composed> composed =
        m_stager.compose(text, loaded >= 1 ? loaded : m_contextSize, m_session.seesImages({}));
    if (!composed)
        return; // the stager has said why; the files stay for another try
    m_stager.clear();
    m_session.send(composed->prompt, composed->images);
}

bool SendController::sendWithMentions(const QString& text)
{
    const QList<ModelInfo> members = m_mentions.mentionedModels(text, m_models);
    QStringList notes;
    for (const QString& token : m_mentions.unresolvedTokens(text, m_models))
        notes.append(m_mentions.notFoundMessage(token, m_models));

    if (members.isEmpty()) {
        if (notes.isEmpty())
            return false;
        m_session.appendUserTurn(text, notes);
        return true;
    }
    const QString question = m_mentions.stripMentions(text, m_models);
    if (question.isEmpty()) {
        m_emptyQuestionOpen = true;
        emit emptyQuestionChanged();
        return true;
    }
    const int64_t context = m_planner.councilContext(members.first());
    const QString instructions = m_session.replyInstructions(&members.first());
    const QString counted = instructions.isEmpty() ? question : instructions + QStringLiteral("\n\n") + question;
    m_stager.setImagePositions(m_session.imagePositions(members));
    if (const auto warning = overflow(m_stager.hasFiles(), m_stager.totalApproxTokens(), counted, context)) {
        holdBack(*warning,
                 [this, question, text, context, members, notes] {
                     sendCouncilAnyway(question, text, context, members, notes);
                 },
                 text);
        return true;
    }
    sendCouncilAnyway(question, text, context, members, notes);
    return true;
}

void SendController::sendCouncilAnyway(const QString& question, const QString& text, int64_t context,
                                       const QList<ModelInfo>& members, const QStringList& notes)
{
    QString shown = text;
    QString prompt = question;
    QList<ChatImage> images;
    if (m_stager.hasFiles()) {
        const std::optional<Stager::Composed> composed =
            m_stager.compose(question, context, m_session.seesImages(members));
        if (!composed)
            return;
        prompt = composed->prompt;
        images = composed->images;
        // The user turn shows the file blocks ahead of the text as typed, so
        // the bubble lists the files and keeps the mentions.
        if (prompt.endsWith(question))
            shown = prompt.left(prompt.size() - question.size()) + text;
        m_stager.clear();
    }
    m_planner.markCouncil();
    m_session.sendCouncil(shown, prompt, members, notes, images);
}

void SendController::holdBack(const ContextWarning& warning, std::function<void()> send, const QString& text)
{
    m_oversize = Oversize{warning, std::move(send), text};
    emit oversizeChanged();
}

void SendController::sendAfterWarning()
{
    if (!m_oversize)
        return;
    const std::function<void()> send = std::move(m_oversize->send);
    m_oversize.reset();
    emit oversizeChanged();
    send();
}

void SendController::dismissWarning()
{
    if (!m_oversize)
        return;
    const QString text = m_oversize->text;
    m_oversize.reset();
    emit oversizeChanged();
    emit restoreText(text);
}

void SendController::dismissEmptyQuestion()
{
    if (!m_emptyQuestionOpen)
        return;
    m_emptyQuestionOpen = false;
    emit emptyQuestionChanged();
}

void SendController::stop()
{
    emit toast(stoppingToast, ToastKind::info);
    m_session.stop();
}

void SendController::setSendPending(bool pending)
{
    if (m_sendPending == pending)
        return;
    m_sendPending = pending;
    emit sendPendingChanged(pending);
}

// --- adapters ---------------------------------------------------------------

StagerAdapter::StagerAdapter(AttachmentStager* stager) : m_stager(stager)
{
}

// Without a stager nothing is ever staged.
bool StagerAdapter::hasFiles() const
{
    return m_stager && !m_stager->staged().isEmpty();
}

int64_t StagerAdapter::totalApproxTokens() const
{
    return m_stager ? m_stager->totalApproxTokens() : 0;
}

void StagerAdapter::setImagePositions(int64_t positions)
{
    if (m_stager)
        m_stager->setImagePositions(positions);
}

std::optional<SendController::Stager::Composed> StagerAdapter::compose(const QString& text, int64_t contextTokens,
                                                                       bool seesImages) const
{
    if (!m_stager)
        return Composed{text, {}};
    // An image whose file can no longer be read goes as its text alone, as
    // to a model that does not see images.
    QList<QUuid> shown;
    QList<ChatImage> images;
    for (const StagedAttachment& file : m_stager->staged()) {
        if (!file.isImage || (!seesImages && file.extractedText.isEmpty()))
            continue;
        if (const std::optional<QByteArray> data = m_stager->imageBytes(file)) {
            shown.append(file.id);
            images.append(ChatImage{file.originalFilename, *data});
        }
    }
    const std::optional<QString> prompt =
        m_stager->composePrompt(text, contextTokens, seesImages ? shown : QList<QUuid>());
    if (!prompt)
        return std::nullopt;
    return Composed{*prompt, images};
}

void StagerAdapter::clear()
{
    if (m_stager)
        m_stager->clear();
}

QList<ModelInfo> CouncilMentionRules::mentionedModels(const QString& text, const QList<ModelInfo>& models) const
{
    return CouncilMentions::mentionedModels(text, models);
}

QStringList CouncilMentionRules::unresolvedTokens(const QString& text, const QList<ModelInfo>& models) const
{
    return CouncilMentions::unresolvedTokens(text, models);
}

QString CouncilMentionRules::notFoundMessage(const QString& token, const QList<ModelInfo>& models) const
{
    return CouncilMentions::notFoundMessage(token, models);
}

QString CouncilMentionRules::stripMentions(const QString& text, const QList<ModelInfo>& models) const
{
    return CouncilMentions::stripMentions(text, models);
}

} // namespace cvn
