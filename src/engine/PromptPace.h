// How many prompt tokens a GPU decodes at once. A stop aborts a decode only
// where the CPU computes: on a GPU it waits for the slice in progress, so
// the prompt goes in slices of about a quarter second of work, by the speed
// the slices before it were measured at. Each decode also has a cost of its
// own whatever its size, so a slice is never so small that this cost slows
// the prompt by more than 5 % against decoding it in one slice.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace cvn {

class PromptPace {
public:
    static constexpr double kSliceSeconds = 0.25;
    // Before anything is measured: small enough to be quick on any device.
    static constexpr int64_t kFirstSlice = 128;
    // The least share of one slice's speed that smaller slices keep.
    static constexpr double kKeptSpeed = 0.95;

    // A slice of `tokens` took `seconds`. The newest slices count most: the
    // first one of a process also builds the device's kernels.
    void record(int64_t tokens, double seconds)
    {
        if (tokens < 1 || !(seconds > 0))
            return;
        for (double* sum : {&m_n, &m_t, &m_nn, &m_nt, &m_w})
            *sum *= kForget;
        const auto n = double(tokens);
        m_n += n;
        m_t += seconds;
        m_nn += n * n;
        m_nt += n * seconds;
        m_w += 1;
    }

    // The next slice's tokens, at most `most`.
    int64_t next(int64_t most) const
    {
        if (m_w == 0)
            return std::min(most, kFirstSlice);
        // Time = overhead + perToken * tokens, fitted over the slices seen;
        // a fit that makes no sense (slices of one size alone) puts all the
        // time on the tokens.
        double perToken = m_t / m_n;
        double overhead = 0;
        const double spread = m_w * m_nn - m_n * m_n;
        if (spread > 1e-9 * m_nn * m_w) {
            const double slope = (m_w * m_nt - m_n * m_t) / spread;
            const double start = (m_t - slope * m_n) / m_w;
            if (slope > 0 && start >= 0)
                perToken = slope, overhead = start;
        }
        const double target = (kSliceSeconds - overhead) / perToken;
        // tokens / (overhead + perToken * tokens) >= kKeptSpeed * one slice's speed
        const auto whole = double(most);
        const double least = kKeptSpeed * whole * overhead / (overhead + (1 - kKeptSpeed) * perToken * whole);
        const double tokens = std::min(whole, std::ceil(std::max(target, least)));
        return std::clamp<int64_t>(std::isfinite(tokens) ? int64_t(tokens) : most, 1, most);
    }

private:
    static constexpr double kForget = 0.5;
    double m_n = 0, m_t = 0, m_nn = 0, m_nt = 0, m_w = 0; // weighted sums
};

} // namespace cvn
