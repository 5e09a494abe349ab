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

// `tools`, `tool_choice` and `parallel_tool_calls`; sets ask.tools when the
// request has tools or its messages carry tool calls. `schemaBytes` counts
// the schema text read so far.
std::optional<ApiError> readTools(const QJsonObject& body, ReplyAsk& ask, qsizetype& schemaBytes);

// `response_format`: text, json_object or json_schema, into ask.grammar and
// ask.jsonSchema.
std::optional<ApiError> readResponseFormat(const QJsonObject& body, ReplyAsk& ask, qsizetype& schemaBytes);

} // namespace cvn::api
