#pragma once

// `@` mentions in a council message: finding them, resolving each to a model
// by a forgiving name comparison, stripping them from the question, and the
// composer's completion helpers. Pure functions over a text and the caller's
// model list, in the caller's order. Ranges and positions are UTF-16 offsets,
// as QString indexes them. Safe on any thread.

#include "models/ModelInfo.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

namespace cvn {

class LoadError;

namespace CouncilMentions {

struct Range {
    qsizetype location = 0;
    qsizetype length = 0;
    friend bool operator==(const Range&, const Range&) = default;
};

struct Mention {
    Range range; // from the "@" to the end of the token
    QString token; // as written, without the "@"
    std::optional<ModelInfo> model; // absent when the token names no model
};

struct ActiveToken {
    qsizetype location = 0; // of the "@"
    QString token; // from after the "@" up to the caret; may be empty
    friend bool operator==(const ActiveToken&, const ActiveToken&) = default;
};

// The comparison key of a name or token: dashes and no-break spaces folded,
// quantisation tags ("Q4_K_M", "BF16") removed, separator runs made one blank,
// trimmed and lower-cased. "Qwen2.5-7B-Instruct-Q4_K_M" → "qwen2 5 7b instruct".
QString normalize(const QString& name);

// Every mention in text order, resolved or not. A token matches a model whose
// display name, or whose file name without its extension, has the same key;
// the first such model in the list wins. A token with an empty key resolves
// to nothing.
QList<Mention> mentions(const QString& text, const QList<ModelInfo>& models);

// Models named by resolved mentions, each once (by id), in first-mention order.
QList<ModelInfo> mentionedModels(const QString& text, const QList<ModelInfo>& models);

// Tokens that name no model and whose key is not empty, in text order.
QStringList unresolvedTokens(const QString& text, const QList<ModelInfo>& models);

// "Model @zz not found. Available: @A, @B" (the first six models), or
// "… Available: (none)".
QString notFoundMessage(const QString& token, const QList<ModelInfo>& models);

// The question without its resolved mentions, whitespace runs collapsed to one
// blank and trimmed. Unresolved mentions stay as written.
QString stripMentions(const QString& text, const QList<ModelInfo>& models);

// The ranges of the resolved mentions, in text order (shown in bold).
QList<Range> resolvedMentions(const QString& text, const QList<ModelInfo>& models);

// The mention being typed before `caret` (clamped to the text): the last "@"
// before it, unless a blank or line break follows that "@".
std::optional<ActiveToken> activeToken(const QString& text, qsizetype caret);

// The popup rows for a partial token ("_" reads as a blank): display names
// starting with it, then those containing it, case-insensitively, in list
// order; the whole list for an empty token.
QList<ModelInfo> completionCandidates(const QString& partialToken, const QList<ModelInfo>& models);

// What the composer writes after "@" for a picked model:
// "Qwen2.5 7B · Q4" → "Qwen2.5_7B_Q4".
QString mentionHandle(const QString& displayName);

// The short reason shown next to a council member that failed to load or run.
// The description overloads classify an error by its text; a RAM shortage
// reports what the member needs at an 8192-token context against `freeMb`
// (sampled now when not given).
QString failureReason(const LoadError& error, const ModelInfo& member);
QString failureReason(const LoadError& error, const ModelInfo& member, uint64_t freeMb);
QString failureReason(const QString& errorDescription, const ModelInfo& member);
QString failureReason(const QString& errorDescription, const ModelInfo& member, uint64_t freeMb);

} // namespace CouncilMentions

} // namespace cvn
