#pragma once

// The JSON of the OpenAI chat API as this server reads and writes it: what a
// request asks for, and the bodies and stream chunks of the answer. Plain
// functions of Qt's JSON classes; no I/O.

#include "engine/ChatMessage.h"
#include "engine/ServedRequest.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

namespace cvn::api {

// An error in the API's shape, with the HTTP status that carries it.
struct ApiError {
    int status = 400;
    QString message;
    QString type = QStringLiteral("invalid_request_error");
    QString param; // empty: null
    QString code; // empty: null
    bool retry = true; // false: the answer says the official clients must not ask again
    QByteArray body() const;
};

// One request for a reply, as read from a body.
struct ReplyAsk {
    bool chat = true; // false: a plain completion of `prompt`
    QString model; // empty: the model in the slot
    QList<ChatMessage> messages;
    QString prompt;
    bool stream = false;
    bool includeUsage = false;
    SamplingOverrides overrides;
    // Set when the request offers tools or its conversation carries tool
    // calls: the reply is rendered and read by the model's own template.
    std::optional<ToolAsk> tools;
    std::string grammar; // the response_format as GBNF; empty: free text
    std::string jsonSchema; // the response_format's schema as JSON text
};

// The ask, or the 400 that says what is wrong with the body.
std::optional<ApiError> readAsk(const QByteArray& body, bool chat, ReplyAsk& ask);

// A model's id: its file name without ".gguf".
QString modelId(const ModelInfo& model);
// `seesImages`: the model has a projector to see images through, which the
// object's input modalities tell as OpenRouter's and llama.cpp's lists do.
QJsonObject modelObject(const ModelInfo& model, bool seesImages);

// The pieces of one answer, for its body or its chunks.
struct AnswerIds {
    QString id;
    qint64 created = 0;
    QString model;
    bool chat = true;
};
AnswerIds newAnswer(const QString& model, bool chat);

// With tool calls, an empty content is null, as the API has it.
QByteArray answerBody(const AnswerIds& ids, const QString& content, const QString& reasoning,
                      const ServedRequest::Outcome& outcome, const QList<ToolCall>& calls = {});
// One "data: …\n\n" event. `delta` for a chat chunk, `text` for a completion
// chunk; `finish` is empty until the last one.
QByteArray chunkEvent(const AnswerIds& ids, const QJsonObject& delta, const QString& finish);
QByteArray usageEvent(const AnswerIds& ids, const ServedRequest::Outcome& outcome);
QString finishReason(const ServedRequest::Outcome& outcome, bool madeCalls = false);
// The error that ends a request whose run failed; none when it did not.
std::optional<ApiError> outcomeError(const ServedRequest::Outcome& outcome);

} // namespace cvn::api
