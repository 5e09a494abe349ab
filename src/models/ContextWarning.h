#pragma once

#include <cstdint>

namespace cvn {

// The token figures of a message that would not fit the loaded model's
// context, shown before it is sent.
struct ContextWarning {
    // Tokens kept free for the reply: the reply's prompt keeps as many
    // (ReplyPrompt::replyReserve), and only a prompt longer than the context
    // less these has its user's text cut.
    static constexpr int64_t replyReserve = 256;

    int64_t contextTokens = 0; // the context size the chat works with
    int64_t attachmentTokens = 0; // estimated tokens of the staged files' text
    int64_t promptTokens = 0; // estimated tokens of the typed text

    // By how much the message overruns the usable context (the context less
    // the reply reserve), in percent of the context,
    // rounded half away from zero. Negative when it fits; 0 without a context.
    int64_t overflowPercent() const;

    friend bool operator==(const ContextWarning&, const ContextWarning&) = default;
};

} // namespace cvn
