#pragma once

// A reply's prompt, made the same way whoever asks for the reply (the chat,
// each council member, another program): the conversation, led by a system
// message when there is one, cut to fit the model's context, rendered by the
// chat template and tokenized.
//
// The cut. A conversation that outgrows the context loses its oldest whole
// turns (a turn is a user message and everything up to the next one); the
// system message and the newest user message are always sent. The cut moves
// in steps: once the conversation from it no longer fits the budget (the
// context less the reply reserve), it moves forward until the prompt fills at
// most two thirds of the budget, and then stays put for as long as the
// conversation from it fits. So each later prompt starts with the same tokens
// as the one before, and the model decodes only what is new. Only one message
// longer than the budget by itself is cut inside: it keeps its last tokens.
//
// Threads: make() tokenizes, so it runs where its tokenizer may run (the
// model's queue); the rest are plain values. ContextCuts is main-thread state.

#include "engine/ChatMessage.h"
#include "engine/ChatTemplate.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QUuid>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace cvn {

class ReplyPrompt {
public:
    // Tokens kept free for the reply when a prompt is fitted to the context.
    static constexpr int64_t replyReserve = 256;

    // One message and the identity of the bubble it came from, by which the
    // cut is remembered.
    struct Message {
        QUuid id;
        ChatMessage message;
    };

    struct Made {
        std::vector<int32_t> tokens; // what the model decodes
        QString text; // the rendered prompt, before a too long message is cut
        // The first message sent when older ones were left out; none when the
        // whole conversation is sent.
        std::optional<QUuid> cut;
        qsizetype leftOut = 0; // messages left out
        int64_t budget = 0;
        int64_t whole = 0; // the tokens of `text`, before a too long message is cut
        bool stopped = false; // the caller stopped it: nothing was made
    };

    // The tokens of a rendered prompt, as a run decodes them.
    using Tokenizer = std::function<std::vector<int32_t>(const QString&)>;
    // True once the prompt is no longer wanted (the reply was stopped).
    using StopCheck = std::function<bool()>;

    // The prompt for `messages` (a system message may lead them) with a model
    // of `contextSize` tokens. `cut` is where the last prompt of this chat for
    // this model and context size began; one that no longer starts a turn
    // counts as none, and the cut is then made afresh. Logs a moved cut and a
    // message cut inside. Its time grows with the conversation's length, not
    // with its square: each turn is tokenized once by itself, and the
    // prompt itself only where it is near the context's size. `stopped` is
    // asked between tokenizer calls; once it says so, make() returns at once
    // with nothing made.
    static Made make(const QList<Message>& messages, ChatTemplate chatTemplate, int64_t contextSize,
                     const std::optional<QUuid>& cut, const Tokenizer& tokenize, const StopCheck& stopped = {});

    // The text of a prompt for the messages sent (maybe none at all), with
    // the opening of the reply. May throw: what it throws leaves make().
    using Renderer = std::function<QString(const QList<ChatMessage>&)>;
    // The same, rendered by `render` rather than one of the template
    // families (a request's tools are rendered by the model's own template).
    // `measure`, when given, renders what only estimates the size of each
    // turn (each turn alone, the template's frame) and may be cheaper and
    // rougher; none: `render` does.
    static Made make(const QList<Message>& messages, const Renderer& render, const Renderer& measure,
                     int64_t contextSize, const std::optional<QUuid>& cut, const Tokenizer& tokenize,
                     const StopCheck& stopped = {});

    // `tokens` cut to `budget` tokens: the first `head` of them (at most half
    // the budget) and the last ones. Logs what it dropped.
    static std::vector<int32_t> keepEnds(std::vector<int32_t> tokens, int64_t budget, int64_t head);
};

// The cuts of the open chat, one for each model and context size. Main thread.
class ContextCuts {
public:
    std::optional<QUuid> of(const QUuid& model, int64_t contextSize) const;
    void set(const QUuid& model, int64_t contextSize, const std::optional<QUuid>& cut);
    void clear() { m_cuts.clear(); }

private:
    QHash<QPair<QUuid, int64_t>, QUuid> m_cuts;
};

} // namespace cvn
