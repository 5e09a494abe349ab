#include "apiserver/ApiMessages.h"

#include "apiserver/ApiImages.h"
#include "apiserver/ApiTools.h"
#include "engine/LlamaModel.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QUuid>

#include <cmath>

namespace cvn::api {

namespace {

ApiError badField(const QString& param, const QString& message)
{
    return ApiError{400, message, QStringLiteral("invalid_request_error"), param, {}};
}

QJsonValue nullable(const QString& text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QByteArray compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// A message's content: a string, or an array of text and image parts, the
// text joined with each image's marker where the image stood; the error that
// refuses anything else. `imageNumber` counts the request's images so far.
std::optional<ApiError> contentOf(const QJsonValue& value, int messageIndex, ChatMessage& into, int& imageNumber)
{
    const auto refused = [] {
        return badField(QStringLiteral("messages"),
                        QStringLiteral("A message's content must be a string or an array of text and image_url parts."));
    };
    if (value.isString()) {
        into.content = value.toString();
        return std::nullopt;
    }
    if (value.isNull() || value.isUndefined())
        return std::nullopt;
    if (!value.isArray())
        return refused();
    const QJsonArray parts = value.toArray();
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QJsonObject object = parts[i].toObject();
        const QString type = object.value(QLatin1String("type")).toString();
        if (type == QLatin1String("image_url")) {
            ChatImage image;
            const QString where = QStringLiteral("messages[%1].content[%2]").arg(messageIndex).arg(i);
            if (auto e = readImagePart(object, where, ++imageNumber, image))
                return e;
            into.content += LlamaModel::imageMarker(int(into.images.size()));
            into.images.append(image);
            continue;
        }
        if (type != QLatin1String("text") || !object.value(QLatin1String("text")).isString())
            return refused();
        into.content += object.value(QLatin1String("text")).toString();
    }
    return std::nullopt;
}

std::optional<ApiError> readNumber(const QJsonObject& body, const char* name, double low, double high,
                                   std::optional<double>& into)
{
    const QJsonValue value = body.value(QLatin1String(name));
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isDouble() || value.toDouble() < low || value.toDouble() > high)
        return badField(QLatin1String(name),
                        QStringLiteral("'%1' must be a number from %2 to %3.").arg(QLatin1String(name)).arg(low).arg(high));
    into = value.toDouble();
    return std::nullopt;
}

// An assistant message's tool calls: absent, null or an array of function
// calls, each with its id.
std::optional<ApiError> readToolCalls(const QJsonValue& value, QList<ToolCall>& into)
{
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    const auto wrong = [] {
        return badField(QStringLiteral("messages"),
                        QStringLiteral("An assistant message's 'tool_calls' must be function calls, each with an "
                                       "'id', a function 'name' and its 'arguments'."));
    };
    if (!value.isArray())
        return wrong();
    for (const QJsonValue& entry : value.toArray()) {
        const QJsonObject call = entry.toObject();
        const QJsonObject function = call.value(QLatin1String("function")).toObject();
        const QJsonValue type = call.value(QLatin1String("type"));
        const QJsonValue arguments = function.value(QLatin1String("arguments"));
        if (!call.value(QLatin1String("id")).isString() || call.value(QLatin1String("id")).toString().isEmpty()
            || !(type.isUndefined() || type.toString() == QLatin1String("function"))
            || function.value(QLatin1String("name")).toString().isEmpty())
            return wrong();
        QString text;
        if (arguments.isString())
            text = arguments.toString();
        else if (arguments.isObject()) // some clients send the object itself
            text = QString::fromUtf8(compact(arguments.toObject()));
        else if (!arguments.isUndefined() && !arguments.isNull())
            return wrong();
        into.append(ToolCall{call.value(QLatin1String("id")).toString(), function.value(QLatin1String("name")).toString(),
                             text.isEmpty() ? QStringLiteral("{}") : text});
    }
    return std::nullopt;
}

} // namespace

QByteArray ApiError::body() const
{
    QJsonObject error{{QStringLiteral("message"), message},
                      {QStringLiteral("type"), type},
                      {QStringLiteral("param"), nullable(param)},
                      {QStringLiteral("code"), nullable(code)}};
    return compact(QJsonObject{{QStringLiteral("error"), error}});
}

std::optional<ApiError> readAsk(const QByteArray& bytes, bool chat, ReplyAsk& ask)
{
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return badField({}, QStringLiteral("The request body is not a JSON object."));
    const QJsonObject body = document.object();
    ask.chat = chat;

    const QJsonValue model = body.value(QLatin1String("model"));
    if (!model.isUndefined() && !model.isNull() && !model.isString())
        return badField(QStringLiteral("model"), QStringLiteral("'model' must be a string."));
    ask.model = model.toString();

    if (chat) {
        const QJsonValue messages = body.value(QLatin1String("messages"));
        if (!messages.isArray() || messages.toArray().isEmpty())
            return badField(QStringLiteral("messages"), QStringLiteral("'messages' must be a non-empty array."));
        QStringList calledIds; // the calls made so far, which tool messages answer
        int imageNumber = 0;
        const QJsonArray sent = messages.toArray();
        for (qsizetype index = 0; index < sent.size(); ++index) {
            const QJsonObject message = sent[index].toObject();
            const QString role = message.value(QLatin1String("role")).toString();
            std::optional<ChatMessage::Role> kind;
            if (role == QLatin1String("system") || role == QLatin1String("developer"))
                kind = ChatMessage::Role::system;
            else if (role == QLatin1String("user"))
                kind = ChatMessage::Role::user;
            else if (role == QLatin1String("assistant"))
                kind = ChatMessage::Role::assistant;
            else if (role == QLatin1String("tool"))
                kind = ChatMessage::Role::tool;
            if (!kind)
                return badField(QStringLiteral("messages"),
                                QStringLiteral("A message's role must be system, user, assistant or tool."));
            ChatMessage read{*kind, {}};
            if (auto e = contentOf(message.value(QLatin1String("content")), int(index), read, imageNumber))
                return e;
            if (*kind == ChatMessage::Role::assistant) {
                if (auto e = readToolCalls(message.value(QLatin1String("tool_calls")), read.toolCalls))
                    return e;
                for (const ToolCall& call : read.toolCalls)
                    calledIds << call.id;
            } else if (*kind == ChatMessage::Role::tool) {
                read.toolCallId = message.value(QLatin1String("tool_call_id")).toString();
                if (!calledIds.contains(read.toolCallId))
                    return badField(QStringLiteral("messages"),
                                    QStringLiteral("A tool message must answer a tool call of an earlier assistant "
                                                   "message by its 'tool_call_id'."));
            }
            ask.messages.append(read);
        }
    } else {
        QJsonValue prompt = body.value(QLatin1String("prompt"));
        if (prompt.isArray() && prompt.toArray().size() == 1)
            prompt = prompt.toArray().first();
        if (!prompt.isString())
            return badField(QStringLiteral("prompt"), QStringLiteral("'prompt' must be a string."));
        ask.prompt = prompt.toString();
    }

    const QJsonValue n = body.value(QLatin1String("n"));
    if (!n.isUndefined() && !n.isNull() && n.toDouble(-1) != 1)
        return badField(QStringLiteral("n"), QStringLiteral("Only 'n' = 1 is supported."));
    // Asked-for log probabilities are no part of the answers made here;
    // an answer without them would look like one that had them.
    const QJsonValue logprobs = body.value(QLatin1String("logprobs"));
    if (!logprobs.isUndefined() && !logprobs.isNull() && logprobs != QJsonValue(false))
        return badField(QStringLiteral("logprobs"), QStringLiteral("'logprobs' is not supported."));
    const QJsonValue topLogprobs = body.value(QLatin1String("top_logprobs"));
    if (!topLogprobs.isUndefined() && !topLogprobs.isNull() && topLogprobs != QJsonValue(0))
        return badField(QStringLiteral("top_logprobs"), QStringLiteral("'top_logprobs' is not supported."));
    // Fields that would change the reply, which this server does not apply:
    // their neutral values, which clients send by default, pass.
    for (const char* penalty : {"presence_penalty", "frequency_penalty"}) {
        const QJsonValue value = body.value(QLatin1String(penalty));
        if (!value.isUndefined() && !value.isNull() && value != QJsonValue(0))
            return badField(QLatin1String(penalty), QStringLiteral("'%1' is not supported.").arg(QLatin1String(penalty)));
    }
    const QJsonValue bias = body.value(QLatin1String("logit_bias"));
    if (!bias.isUndefined() && !bias.isNull() && !(bias.isObject() && bias.toObject().isEmpty()))
        return badField(QStringLiteral("logit_bias"), QStringLiteral("'logit_bias' is not supported."));
    for (const char* legacy : {"functions", "function_call"})
        if (body.contains(QLatin1String(legacy)))
            return badField(QLatin1String(legacy),
                            QStringLiteral("'%1' is not supported; use 'tools'.").arg(QLatin1String(legacy)));
    const QJsonValue stream = body.value(QLatin1String("stream"));
    if (!stream.isUndefined() && !stream.isNull() && !stream.isBool())
        return badField(QStringLiteral("stream"), QStringLiteral("'stream' must be true or false."));
    ask.stream = stream.toBool();
    ask.includeUsage = body.value(QLatin1String("stream_options")).toObject().value(QLatin1String("include_usage")).toBool();

    std::optional<double> temperature, topP, maxTokens, seed;
    if (auto e = readNumber(body, "temperature", 0, 2, temperature))
        return e;
    if (auto e = readNumber(body, "top_p", 0, 1, topP))
        return e;
    if (auto e = readNumber(body, "max_tokens", 1, 1e9, maxTokens))
        return e;
    if (auto e = readNumber(body, "max_completion_tokens", 1, 1e9, maxTokens))
        return e;
    // Other servers read -1 (and its 32-bit twin 4294967295) as "pick one at
    // random"; a repeatable seed is asked for here, so those are refused
    // rather than quietly taken as random.
    if (readNumber(body, "seed", 0, 4294967294.0, seed) || (seed && *seed != std::floor(*seed)))
        return badField(QStringLiteral("seed"), QStringLiteral("'seed' must be a whole number from 0 to 4294967294."));
    if (temperature)
        ask.overrides.temperature = float(*temperature);
    if (topP)
        ask.overrides.topP = float(*topP);
    if (maxTokens)
        ask.overrides.maxTokens = int64_t(std::floor(*maxTokens));
    if (seed)
        ask.overrides.seed = uint32_t(*seed);

    const QJsonValue stop = body.value(QLatin1String("stop"));
    if (stop.isString()) {
        ask.overrides.stop << stop.toString();
    } else if (stop.isArray()) {
        for (const QJsonValue& entry : stop.toArray()) {
            if (!entry.isString())
                return badField(QStringLiteral("stop"), QStringLiteral("'stop' must be a string or an array of strings."));
            ask.overrides.stop << entry.toString();
        }
    } else if (!stop.isUndefined() && !stop.isNull()) {
        return badField(QStringLiteral("stop"), QStringLiteral("'stop' must be a string or an array of strings."));
    }
    ask.overrides.stop.removeAll(QString());
    // A plain completion may be held to a response format too; tools need a
    // conversation for the template to write them into.
    if (!chat && body.contains(QLatin1String("tools")))
        return badField(QStringLiteral("tools"), QStringLiteral("Tools are supported on /v1/chat/completions only."));
    return readToolsAndFormat(body, bytes, ask);
}

QString modelId(const ModelInfo& model)
{
    QString id = model.fileName.isEmpty() ? model.displayName : model.fileName;
    if (id.endsWith(QLatin1String(".gguf"), Qt::CaseInsensitive))
        id.chop(5);
    return id;
}

QJsonObject modelObject(const ModelInfo& model, bool seesImages)
{
    QJsonArray input{QStringLiteral("text")};
    if (seesImages)
        input.append(QStringLiteral("image"));
    const QJsonObject architecture{{QStringLiteral("input_modalities"), input},
                                   {QStringLiteral("output_modalities"), QJsonArray{QStringLiteral("text")}}};
    return QJsonObject{{QStringLiteral("id"), modelId(model)},
                       {QStringLiteral("object"), QStringLiteral("model")},
                       {QStringLiteral("created"), 0},
                       {QStringLiteral("owned_by"), QStringLiteral("local")},
                       {QStringLiteral("architecture"), architecture}};
}

AnswerIds newAnswer(const QString& model, bool chat)
{
    const QString serial = QUuid::createUuid().toString(QUuid::Id128).left(24);
    return AnswerIds{(chat ? QStringLiteral("chatcmpl-") : QStringLiteral("cmpl-")) + serial,
                     QDateTime::currentSecsSinceEpoch(), model, chat};
}

namespace {

QJsonObject answerHead(const AnswerIds& ids, bool chunk)
{
    QString object = ids.chat ? QStringLiteral("chat.completion") : QStringLiteral("text_completion");
    if (chunk && ids.chat)
        object += QStringLiteral(".chunk");
    return QJsonObject{{QStringLiteral("id"), ids.id},
                       {QStringLiteral("object"), object},
                       {QStringLiteral("created"), ids.created},
                       {QStringLiteral("model"), ids.model}};
}

QJsonObject usage(const ServedRequest::Outcome& outcome)
{
    return QJsonObject{{QStringLiteral("prompt_tokens"), qint64(outcome.promptTokens)},
                       {QStringLiteral("completion_tokens"), qint64(outcome.completionTokens)},
                       {QStringLiteral("total_tokens"), qint64(outcome.promptTokens + outcome.completionTokens)}};
}

QByteArray event(const QJsonObject& object)
{
    return "data: " + compact(object) + "\n\n";
}

} // namespace

QString finishReason(const ServedRequest::Outcome& outcome, bool madeCalls)
{
    // A call cut off by the token limit is no call to make: the client must
    // hear that the reply was cut.
    if (outcome.hitTokenLimit)
        return QStringLiteral("length");
    return madeCalls ? QStringLiteral("tool_calls") : QStringLiteral("stop");
}

QByteArray answerBody(const AnswerIds& ids, const QString& content, const QString& reasoning,
                      const ServedRequest::Outcome& outcome, const QList<ToolCall>& calls)
{
    QJsonObject choice{{QStringLiteral("index"), 0},
                       {QStringLiteral("finish_reason"), finishReason(outcome, !calls.isEmpty())}};
    if (ids.chat) {
        QJsonObject message{{QStringLiteral("role"), QStringLiteral("assistant")},
                            {QStringLiteral("content"), calls.isEmpty() ? QJsonValue(content) : nullable(content)}};
        if (!reasoning.isEmpty())
            message.insert(QStringLiteral("reasoning_content"), reasoning);
        if (!calls.isEmpty()) {
            QJsonArray called;
            for (const ToolCall& call : calls)
                called.append(QJsonObject{
                    {QStringLiteral("id"), call.id},
                    {QStringLiteral("type"), QStringLiteral("function")},
                    {QStringLiteral("function"), QJsonObject{{QStringLiteral("name"), call.name},
                                                             {QStringLiteral("arguments"), call.arguments}}}});
            message.insert(QStringLiteral("tool_calls"), called);
        }
        choice.insert(QStringLiteral("message"), message);
    } else {
        choice.insert(QStringLiteral("text"), content);
    }
    QJsonObject body = answerHead(ids, false);
    body.insert(QStringLiteral("choices"), QJsonArray{choice});
    body.insert(QStringLiteral("usage"), usage(outcome));
    return compact(body);
}

QByteArray chunkEvent(const AnswerIds& ids, const QJsonObject& delta, const QString& finish)
{
    QJsonObject choice{{QStringLiteral("index"), 0}, {QStringLiteral("finish_reason"), nullable(finish)}};
    if (ids.chat)
        choice.insert(QStringLiteral("delta"), delta);
    else
        choice.insert(QStringLiteral("text"), delta.value(QLatin1String("content")).toString());
    QJsonObject chunk = answerHead(ids, true);
    chunk.insert(QStringLiteral("choices"), QJsonArray{choice});
    return event(chunk);
}

QByteArray usageEvent(const AnswerIds& ids, const ServedRequest::Outcome& outcome)
{
    QJsonObject chunk = answerHead(ids, true);
    chunk.insert(QStringLiteral("choices"), QJsonArray{});
    chunk.insert(QStringLiteral("usage"), usage(outcome));
    return event(chunk);
}

std::optional<ApiError> outcomeError(const ServedRequest::Outcome& outcome)
{
    using Failure = ServedRequest::Outcome::Failure;
    switch (outcome.failure) {
    case Failure::none:
        if (!outcome.cancelled)
            return std::nullopt;
        // Cut short by what a request sent again would not meet (the
        // model's file written over, the app closing): asking again is right.
        if (outcome.mayRetry)
            return ApiError{503, QStringLiteral("The reply was stopped before it was finished; ask again."),
                            QStringLiteral("server_error")};
        // Stopped by the user in the app while the client still waited:
        // asking again would only run the reply the user stopped. Each
        // client library asks again after its own statuses (the openai
        // package unless told not to; the AI SDK after 408, 409, 429 and
        // every 5xx; LangChain after all but 400 to 407, 409 and 413), so
        // the one status none of them repeats is in 400 to 407.
        return ApiError{400, QStringLiteral("The reply was stopped in the app before it was finished."),
                        QStringLiteral("invalid_request_error"), {}, QStringLiteral("reply_stopped"), false};
    case Failure::noModel:
        return badField(QStringLiteral("model"), outcome.message);
    case Failure::promptTooLong:
        return ApiError{400, outcome.message, QStringLiteral("invalid_request_error"), QStringLiteral("messages"),
                        QStringLiteral("context_length_exceeded")};
    case Failure::refused:
        return badField(QStringLiteral("messages"), outcome.message);
    case Failure::loadFailed:
        return ApiError{503, outcome.message, QStringLiteral("server_error"), QStringLiteral("model"),
                        QStringLiteral("model_not_loaded")};
    case Failure::grammarStuck:
        // The request's schema led to it: asking again would only run into
        // the same wall.
        return ApiError{400, outcome.message, QStringLiteral("invalid_request_error"), {}, {}, false};
    case Failure::imagesRefused:
        // The model takes no images, or one of them is damaged or too large:
        // the same request would meet the same answer.
        return ApiError{400, outcome.message, QStringLiteral("invalid_request_error"), QStringLiteral("messages"), {},
                        false};
    case Failure::generationFailed:
        return ApiError{500, outcome.message, QStringLiteral("server_error"), {}, {}};
    }
    return std::nullopt;
}

} // namespace cvn::api
