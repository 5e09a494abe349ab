// Replies for other programs (the local server): one slot job each, in turn
// with the chat's jobs, and their text goes straight from the model's queue
// to the caller, never into the transcript.

#include "engine/LlamaSession.h"
#include "engine/LlamaSessionImages.h"
#include "engine/ToolPrompt.h"
#include "platform/MainThread.h"

#include <QPointer>

#include <algorithm>

namespace cvn {

namespace {

// The rest of a request's run, however its prompt is made: its pieces go to
// the caller, and its end with what the run says of itself.
ModelSlot::Decode finishDecode(ModelSlot::Decode decode, const std::shared_ptr<ServedRequest>& request,
                               const std::shared_ptr<LlamaModel>& model,
                               const std::shared_ptr<ServedRequest::Outcome>& outcome)
{
    decode.sink.onPiece = [request](const QString& piece) {
        return !request->control->isCancelled() && (!request->onPiece || request->onPiece(piece));
    };
    decode.sink.onFinished = [model, request, outcome] {
        if (outcome->failure == ServedRequest::Outcome::Failure::none) {
            outcome->completionTokens = model->lastRunTokenCount();
            // Its limit, the room the prompt left or less, ended it: a stop
            // string written as its last allowed token did not.
            outcome->hitTokenLimit = model->lastRunHitLimit();
            // A model freed under the run (its file is being written) let
            // it stop early: that reply was stopped, not finished. free()
            // waits for this run, so the model is not yet freed here.
            outcome->cancelled = request->control->isCancelled() || model->freeRequested();
            // A free after the file changed under the model (its lease broke)
            // was no one's stop: the model loads again for the next request.
            outcome->mayRetry = model->freeRequested() && model->fileChanged();
            if (const std::optional<QString> failure = model->lastStreamFailure()) {
                outcome->failure = model->lastRunGrammarStuck() ? ServedRequest::Outcome::Failure::grammarStuck
                                                                : ServedRequest::Outcome::Failure::generationFailed;
                outcome->message = *failure;
            }
        }
        request->onFinished(*outcome);
    };
    // The caller ends its own run, from any thread.
    decode.keepHandle = [control = request->control](GenerationHandle run) { control->attach(std::move(run)); };
    return decode;
}

// A template's refusal as the client is told it; the renderer has already
// cut it down to the template's own words.
QString templateRefusal(const char* what)
{
    return QStringLiteral("The model's chat template could not render this request: %1")
        .arg(QString::fromUtf8(what).simplified());
}

} // namespace

RequestDefaults LlamaSession::requestDefaultsFor(const ModelInfo& model, int64_t contextSize)
{
    // The chat's own instructions belong to the chat, not to other programs.
    RequestDefaults defaults{samplingFor(model.sampling, contextSize), std::nullopt};
    if (!model.instructions.trimmed().isEmpty())
        defaults.instructions = model.instructions;
    return defaults;
}

void LlamaSession::serveRequest(ServedRequest request)
{
    auto served = std::make_shared<ServedRequest>(std::move(request));
    const auto cancelled = [served] {
        ServedRequest::Outcome outcome;
        outcome.cancelled = true;
        served->onFinished(outcome);
    };
    ModelSlot::Job job;
    job.client = ModelSlot::Client::request;
    // A request for a model other than the one in the slot loads it; the
    // chat's own choice stays, and its next reply loads it again.
    job.model = [served] { return served->model; };
    job.onStart = [served, cancelled] {
        if (!served->control->isCancelled())
            return true;
        cancelled(); // its caller left while it waited
        return false;
    };
    job.onLoadFailed = [served](const ModelInfo&, const LoadError& error) {
        ServedRequest::Outcome failed;
        failed.failure = ServedRequest::Outcome::Failure::loadFailed;
        failed.message = error.description();
        served->onFinished(failed);
    };
    job.decode = [this, served](const ModelSlot::Ready& ready) { return requestDecode(served, ready); };
    // Its turn will not come, or its model's load was dropped.
    job.onCancelled = cancelled;
    const ModelSlot::JobId id = m_slot->submit(std::move(job));
    // A caller that leaves while its request waits takes it out of the
    // queue at once, so that gone callers' requests pile up nowhere.
    served->control->whenCancelled([self = QPointer<LlamaSession>(this), id] {
        runOnMain([self, id] {
            if (self && self->m_slot->isQueued(id))
                self->m_slot->cancel(id);
        });
    });
}

std::optional<ModelSlot::Decode> LlamaSession::requestDecode(const std::shared_ptr<ServedRequest>& request,
                                                             const ModelSlot::Ready& ready)
{
    if (!ready.model) {
        ServedRequest::Outcome outcome;
        outcome.failure = ServedRequest::Outcome::Failure::noModel;
        outcome.message = QStringLiteral("No model is loaded; name one in the request's model field.");
        request->onFinished(outcome);
        return std::nullopt;
    }
    // A model without a projector cannot be shown the client's images; the
    // client hears so rather than a reply that never saw them.
    if (!ready.model->seesImages() && SessionImages::anyImages(request->messages)) {
        ServedRequest::Outcome outcome;
        outcome.failure = ServedRequest::Outcome::Failure::imagesRefused;
        outcome.message = QStringLiteral("this model does not take images");
        request->onFinished(outcome);
        return std::nullopt;
    }
    const ModelInfo& record = ready.record;
    if (request->onAnswering)
        request->onAnswering(record);
    const RequestDefaults defaults = requestDefaultsFor(record, ready.model->contextSize());
    const SamplingOverrides& asked = request->overrides;
    ModelSlot::Decode decode;
    SamplingParams& params = decode.sampling;
    params = defaults.sampling;
    params.temperature = asked.temperature.value_or(params.temperature);
    params.topP = asked.topP.value_or(params.topP);
    params.seed = asked.seed.value_or(params.seed);
    params.maxTokens = asked.maxTokens.value_or(params.maxTokens);

    auto outcome = std::make_shared<ServedRequest::Outcome>();
    std::shared_ptr<LlamaModel> model = ready.model;
    const int64_t contextSize = model->contextSize();
    // A prompt that leaves no room for a reply is refused, and the run decodes
    // nothing: the client hears why instead of a reply to half its prompt.
    const auto refuse = [request, outcome, contextSize](int64_t promptTokens) {
        outcome->promptTokens = promptTokens; // the whole prompt's, not the part that would fit
        outcome->failure = ServedRequest::Outcome::Failure::promptTooLong;
        outcome->message = QStringLiteral("The prompt (%1 tokens) does not fit the model's context of %2 tokens "
                                          "with room for a reply.")
                               .arg(promptTokens)
                               .arg(contextSize);
        request->control->cancel();
    };
    if (request->rawPrompt) {
        params.stopSequences = asked.stop;
        params.grammar.gbnf = request->grammar;
        if (m_promptObserver)
            m_promptObserver(*request->rawPrompt);
        decode.prompt = [text = request->rawPrompt->toStdString(), outcome, refuse](const LlamaModel& m,
                                                                                    SamplingParams&) {
            std::vector<int32_t> tokens = m.tokenize(text);
            outcome->promptTokens = int64_t(tokens.size());
            if (outcome->promptTokens > m.contextSize() - ReplyPrompt::replyReserve) {
                refuse(outcome->promptTokens);
                return std::vector<int32_t>();
            }
            return tokens;
        };
        return finishDecode(std::move(decode), request, model, outcome);
    }

    // The chat's own prompt rules: the model's instructions lead when the
    // client sent no system message, and a conversation longer than the
    // context loses its oldest whole turns. Requests are no chat, so the cut
    // is made afresh each time, and no message needs an identity to remember
    // it by. The list is built on the model's queue: a request may bring a
    // hundred thousand messages.
    QPointer<LlamaSession> observer(this);
    const auto fitted = [instructions = defaults.instructions, contextSize, outcome, refuse,
                         observer](const QList<ChatMessage>& sent, const ReplyPrompt::Renderer& render,
                                   const ReplyPrompt::Renderer& measure, const LlamaModel& m,
                                   QString* prompt) -> std::vector<int32_t> {
        QList<ReplyPrompt::Message> messages;
        messages.reserve(sent.size() + 1);
        const bool hasSystem = std::any_of(sent.begin(), sent.end(), [](const ChatMessage& message) {
            return message.role == ChatMessage::Role::system;
        });
        if (instructions && !hasSystem)
            messages.append({QUuid(), ChatMessage{ChatMessage::Role::system, *instructions}});
        for (const ChatMessage& message : sent)
            messages.append({QUuid(), message});
        const bool seesImages = m.seesImages();
        SessionImages::fitForModel(messages, seesImages);
        const QList<ChatImage> images = seesImages ? SessionImages::gather(messages) : QList<ChatImage>();
        // A client that leaves while a long prompt is made frees the slot then.
        const auto stopped = [&m] { return m.stopRequested() || m.freeRequested(); };
        ReplyPrompt::Made made;
        try {
            made = ReplyPrompt::make(messages, render, measure, contextSize, std::nullopt,
                                     SessionImages::tokenizer(m, images), stopped);
        } catch (const ImageError& error) {
            outcome->failure = ServedRequest::Outcome::Failure::imagesRefused;
            outcome->message = QString::fromUtf8(error.what());
            return {};
        }
        if (made.stopped)
            return {};
        runOnMain([observer, text = made.text] {
            if (observer && observer->m_promptObserver)
                observer->m_promptObserver(text);
        });
        outcome->promptTokens = int64_t(made.tokens.size());
        // Longer than the budget after the cut: one message is longer than
        // the whole context by itself, which a client must shorten.
        if (made.whole > made.budget) {
            refuse(made.whole);
            return {};
        }
        if (prompt)
            *prompt = made.text;
        return std::move(made.tokens);
    };

    if (!request->tools) {
        params.stopSequences = ready.chatTemplate.stopSequences() + asked.stop;
        params.grammar.gbnf = request->grammar; // from the reply's first token
        decode.prompt = [sent = request->messages, chatTemplate = ready.chatTemplate,
                         fitted](const LlamaModel& m, SamplingParams&) {
            return fitted(
                sent, [chatTemplate](const QList<ChatMessage>& messages) { return chatTemplate.format(messages); }, {},
                m, nullptr);
        };
        return finishDecode(std::move(decode), request, model, outcome);
    }

    // With tools, the model's own template renders the prompt through
    // llama.cpp's chat code, which also settles the reply's grammar, its
    // stop strings and how it is read back. A template or schema that the
    // chat code refuses ends the request with its reason.
    params.stopSequences = asked.stop;
    decode.prompt = [request, fitted, outcome](const LlamaModel& m, SamplingParams& run) -> std::vector<int32_t> {
        try {
            const ToolPrompt tools(m, *request->tools, request->jsonSchema);
            QString prompt;
            std::vector<int32_t> tokens = fitted(
                request->messages, [&tools](const QList<ChatMessage>& messages) { return tools.render(messages); },
                [&tools](const QList<ChatMessage>& messages) { return tools.measure(messages); }, m, &prompt);
            if (tokens.empty())
                return tokens;
            ToolPrompt::Settled settled = tools.settle(prompt);
            run.grammar = std::move(settled.grammar);
            run.stopSequences = settled.stops + run.stopSequences;
            if (request->onSyntax)
                request->onSyntax(settled.syntax);
            return tokens;
        } catch (const std::exception& error) {
            outcome->failure = ServedRequest::Outcome::Failure::refused;
            outcome->message = templateRefusal(error.what());
            return {};
        }
    };
    return finishDecode(std::move(decode), request, model, outcome);
}

} // namespace cvn
