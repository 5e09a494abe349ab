// How many prompt tokens a GPU decodes at once. A stop aborts a decode only
// where the CPU computes: on a GPU it waits for the slice in progress, so
// the prompt goes in slices of about a quarter second of work, by the speed
// the slices before it were measured at. Each decode also has a cost of its
// own whatever its size, so a slice is never so small that this cost slows
// the prompt by more than 5 % against decoding it in one slice.
//
// A slice is a whole number of steps of 32 tokens. A device builds its
// kernels for a shape of batch at the shape's first use, which can take a
// software rasteriser tens of seconds, and a batch of up to 8 tokens has
// kernels of its own for each count: few, repeating sizes build them once,
// and a repeated size also lets llama.cpp reuse the batch's graph.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

namespace cvn {

class PromptPace {
public:
    static constexpr double kSliceSeconds = 0.25;
    // Before anything is measured: small enough to be quick on any device.
    static constexpr int64_t kFirstSlice = 128;
    // The least share of one slice's speed that smaller slices keep.
    static constexpr double kKeptSpeed = 0.95;
    static constexpr int64_t kStep = 32;

    // A decode of `tokens` took `seconds`. A one-token decode (a reply's)
    // tells the cost of a decode of its own: the least one seen, as a first
    // use that builds the device's kernels, or a busy machine, only adds to
    // it. A slice tells the cost of a token beyond that, the newest slices
    // counting most. A slice far slower than the ones before it waited for
    // the device to build kernels, not for its tokens: it raises the
    // estimate by at most half.
    void record(int64_t tokens, double seconds)
    {
        if (tokens < 1 || !(seconds > 0))
            return;
        if (tokens == 1) {
            m_overhead = std::min(m_overhead.value_or(seconds), seconds);
            return;
        }
        double perToken = std::max(seconds - m_overhead.value_or(0), seconds * 0.01) / double(tokens);
        if (m_perToken)
            perToken = std::min(perToken, 2 * *m_perToken);
        m_perToken = m_perToken ? (*m_perToken + perToken) / 2 : perToken;
    }

    // The next slice's tokens, at most `most`.
    int64_t next(int64_t most) const
    {
        if (!m_perToken)
            return std::min(most, kFirstSlice);
        const double overhead = m_overhead.value_or(0), perToken = *m_perToken;
        const double target = (kSliceSeconds - overhead) / perToken;
        // tokens / (overhead + perToken * tokens) >= kKeptSpeed * one slice's speed
        const auto whole = double(most);
        const double least = kKeptSpeed * whole * overhead / (overhead + (1 - kKeptSpeed) * perToken * whole);
        const double wanted = std::max(target, least);
        if (!std::isfinite(wanted) || wanted >= whole)
            return most;
        const int64_t steps = std::max<int64_t>(1, int64_t(std::ceil(wanted / double(kStep))));
        return std::clamp<int64_t>(steps * kStep, 1, most);
    }

private:
    std::optional<double> m_overhead; // seconds a decode costs whatever its size
    std::optional<double> m_perToken; // seconds a token adds to it
};

} // namespace cvn
