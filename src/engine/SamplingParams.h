#pragma once

#include <QStringList>

#include <cstdint>
#include <string>
#include <vector>

namespace cvn {

// A grammar the reply must follow: a response format's JSON Schema converted
// to one, or what llama.cpp's chat code gives with a request's tools
// (common_chat_params). Sampling checks only the token it chose against it,
// and samples again from the tokens it allows when it refuses that one.
struct ReplyGrammar {
    std::string gbnf; // GBNF whose start rule is `root`; empty: the reply is free
    // Lazy: it applies only from its first trigger on, a regular expression
    // matched on the reply's text or one of the trigger tokens; before it the
    // reply is free.
    bool lazy = false;
    std::vector<std::string> triggerPatterns;
    std::vector<int32_t> triggerTokens;
    // Special tokens (<tool_call>, say) that reach the reply's text as their
    // text, so that its parser finds them, with or without a grammar; other
    // special tokens show nothing.
    std::vector<std::string> preservedTokens;
    // What the template wrote after the last message, which an eager grammar
    // made by the chat code expects to have read before the reply begins.
    std::string prefill;

    bool isSet() const { return !gbnf.empty(); }
    friend bool operator==(const ReplyGrammar&, const ReplyGrammar&) = default;
};

// How the next token is chosen, and when a reply ends. A plain value: callers
// copy defaults() and change what they need (usually stopSequences and
// maxTokens).
struct SamplingParams {
    // The seed that asks llama.cpp for a new random one at each run.
    static constexpr uint32_t randomSeed = 0xFFFFFFFFu;

    float temperature = 0.8f; // 0: always the most likely token
    int64_t topK = 40; // stays within 32 bits; 0 is off
    float topP = 0.95f; // at least one candidate is always kept
    float minP = 0.0f; // 0 is off
    int64_t maxTokens = 2048;
    float repeatPenalty = 1.1f;
    int64_t repeatLastN = 64; // stays within 32 bits
    QStringList stopSequences; // the reply ends before the first of them in its text
    uint32_t seed = randomSeed; // seed of the final distribution sampler
    ReplyGrammar grammar; // none by default

    static const SamplingParams& defaults()
    {
        static const SamplingParams params;
        return params;
    }

    friend bool operator==(const SamplingParams&, const SamplingParams&) = default;
};

} // namespace cvn
