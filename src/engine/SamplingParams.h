#pragma once

#include <QStringList>

#include <cstdint>

namespace cvn {

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

    static const SamplingParams& defaults()
    {
        static const SamplingParams params;
        return params;
    }

    friend bool operator==(const SamplingParams&, const SamplingParams&) = default;
};

} // namespace cvn
