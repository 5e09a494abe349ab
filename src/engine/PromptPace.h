// How many prompt tokens a GPU decodes at once. A stop aborts a decode only
// where the CPU computes: on a GPU it waits for the slice in progress, so
// the prompt goes in slices of about a quarter second of work, by the speed
// the slices before it were measured at. Each decode also has a cost of its
// own whatever its size, so a slice is never so small that this cost slows
// the prompt by more than 5 % against decoding it in one slice.
//
// "One slice" is a batch of the size llama.cpp computes at once (the
// context's micro-batch): a larger batch is computed in such pieces anyway.
// A one-token decode tells little of what a batch costs of its own: on a
// software device a batch pays for each of its kernels' dispatches several
// times what a reply's token does. That cost is read from the slices
// themselves, by a line through the least time each size took, once a slice
// of the whole micro-batch was measured a few times (its first uses may have
// waited for kernels) beside a smaller one.
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
#include <map>
#include <optional>
#include <utility>

namespace cvn {

class PromptPace {
public:
    static constexpr double kSliceSeconds = 0.25;
    // Before anything is measured: small enough to be quick on any device.
    static constexpr int64_t kFirstSlice = 128;
    // The least share of one slice's speed that smaller slices keep.
    static constexpr double kKeptSpeed = 0.95;
    // What the slices aim at, above it: each slice waits for the device
    // before the next is made, which one decode of a whole prompt does not,
    // and the line through the measured slices does not see that wait.
    static constexpr double kAimedSpeed = 0.97;
    static constexpr int64_t kStep = 32;
    // Slices of the whole micro-batch measured before it is the measure: a
    // new shape's first uses can wait for kernels.
    static constexpr int kWholeTimes = 3;

    // A decode of `tokens` took `seconds`. A one-token decode (a reply's)
    // tells the cost of a decode of its own: the least one seen, as a first
    // use that builds the device's kernels, or a busy machine, only adds to
    // it. A slice tells the cost of a token beyond that, the newest slices
    // counting most. A slice far slower than the ones before it waited for
    // the device to build kernels, not for its tokens: it raises the
    // estimate by at most about half.
    void record(int64_t tokens, double seconds)
    {
        if (tokens < 1 || !(seconds > 0))
            return;
        if (tokens == 1) {
            m_overhead = std::min(m_overhead.value_or(seconds), seconds);
            return;
        }
        const bool first = !m_perToken;
        if (!first)
            seconds = std::min(seconds, 2 * (m_overhead.value_or(0) + *m_perToken * double(tokens)));
        double perToken = std::max(seconds - m_overhead.value_or(0), seconds * 0.01) / double(tokens);
        m_perToken = first ? perToken : (*m_perToken + perToken) / 2;
        // The first slice ever also made the batch's graph and kernels. The
        // line is drawn through the sizes the pace asks for, which repeat:
        // a prompt's tail or a slice cut short by an image has a size of its
        // own, whose first and only use may have waited for kernels.
        if (first || tokens % kStep != 0)
            return;
        auto [at, fresh] = m_bySize.try_emplace(tokens, Seen{seconds, 0});
        at->second.least = std::min(at->second.least, seconds);
        ++at->second.times;
    }

    // The next slice's tokens, at most `most`, where the context computes
    // `unit` tokens at once.
    int64_t next(int64_t most, int64_t unit) const
    {
        if (!m_perToken)
            return std::min(most, kFirstSlice);
        const int64_t whole = std::clamp<int64_t>(unit / kStep * kStep, std::min(kStep, most), most);
        if (const auto seen = m_bySize.find(whole); seen == m_bySize.end() || seen->second.times < kWholeTimes)
            return whole;
        const double overhead = m_overhead.value_or(0), perToken = *m_perToken;
        const double target = (kSliceSeconds - overhead) / perToken;
        // tokens / (own + each * tokens) >= kAimedSpeed * one slice's speed
        const auto [own, each] = batchCost().value_or(std::pair{overhead, perToken});
        const double least = kAimedSpeed * double(whole) * own / (own + (1 - kAimedSpeed) * each * double(whole));
        const double wanted = std::max(target, least);
        if (!std::isfinite(wanted) || wanted >= double(whole))
            return whole;
        const int64_t steps = std::max<int64_t>(1, int64_t(std::ceil(wanted / double(kStep))));
        return std::clamp<int64_t>(steps * kStep, 1, whole);
    }
    int64_t next(int64_t most) const { return next(most, most); }

private:
    // A batch's own cost and each token's, by least squares through the
    // least time of each size; none before two sizes, or when the line
    // does not rise.
    std::optional<std::pair<double, double>> batchCost() const
    {
        if (m_bySize.size() < 2)
            return std::nullopt;
        double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
        for (const auto& [tokens, seen] : m_bySize) {
            const auto x = double(tokens);
            n += 1;
            sx += x;
            sy += seen.least;
            sxx += x * x;
            sxy += x * seen.least;
        }
        const double each = (n * sxy - sx * sy) / (n * sxx - sx * sx);
        if (!(each > 0))
            return std::nullopt;
        const double own = std::max((sy - each * sx) / n, m_overhead.value_or(0));
        return std::pair{own, each};
    }

    struct Seen {
        double least = 0; // seconds
        int times = 0;
    };
    std::optional<double> m_overhead; // seconds a decode costs whatever its size
    std::optional<double> m_perToken; // seconds a token adds to it
    std::map<int64_t, Seen> m_bySize; // by a slice's tokens
};

} // namespace cvn
