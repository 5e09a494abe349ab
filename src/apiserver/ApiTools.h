#pragma once

// The parts of a chat request that shape the reply beyond its text: the
// tools it offers the model and the format its reply must take. Their JSON
// Schemas are checked here by llama.cpp's own converter, so that one the
// sampler could not follow is refused before the request waits for the slot.

#include "apiserver/ApiMessages.h"

#include <QJsonObject>

#include <optional>

namespace cvn::api {

// The most JSON Schema text one request may carry, its tools' parameters and
// its response format together: the grammar made from it is built on the
// server's thread and held while the reply is sampled.
inline constexpr qsizetype maxSchemaBytes = 256 * 1024;

// `tools`, `tool_choice`, `parallel_tool_calls` and `response_format` of
// a chat request's `body`, whose text is `sent`: sets ask.tools when the
// request has tools or its messages carry tool calls, and ask.grammar and
// ask.jsonSchema when its reply must be JSON.
std::optional<ApiError> readToolsAndFormat(const QJsonObject& body, const QByteArray& sent, ReplyAsk& ask);

} // namespace cvn::api
