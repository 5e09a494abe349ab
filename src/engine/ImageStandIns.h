#pragma once

// How a prompt's tokens stand for an image's run of positions: one negative
// value per position, which no text token takes. Each value carries its
// place in the run (the low 16 bits of -value - 1) and bits of the image's
// hash, so equal images give equal runs, a cache key holding an image is
// that image's, and where a run starts is known from any of its tokens.

#include <cstdint>
#include <vector>

namespace cvn::standins {

constexpr int64_t maxRun = 0xFFFF;

inline bool isImage(int32_t token)
{
    return token < 0;
}

// The place of an image token in its run; 0 for its first.
inline int64_t place(int32_t token)
{
    return isImage(token) ? int64_t((-int64_t(token) - 1) & 0xFFFF) : 0;
}

// The run of `count` stand-ins for the image of that hash.
inline std::vector<int32_t> run(uint64_t hash, int64_t count)
{
    std::vector<int32_t> out(static_cast<size_t>(count));
    for (int64_t k = 0; k < count; ++k) {
        // splitmix64 of the hash and the place: 15 bits of it per position.
        uint64_t z = hash + 0x9E3779B97F4A7C15ULL * uint64_t(k + 1);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        const int64_t bits = int64_t(z & 0x7FFF);
        out[size_t(k)] = int32_t(-(1 + (bits << 16) + k));
    }
    return out;
}

// `at` moved back to the start of the image run it falls inside; `at`
// itself when it starts one or holds text. A prefix of `at` tokens then
// never ends inside an image.
inline int64_t backOff(const std::vector<int32_t>& tokens, int64_t at)
{
    if (at <= 0 || at >= int64_t(tokens.size()))
        return at;
    return at - place(tokens[size_t(at)]);
}

} // namespace cvn::standins
