#pragma once

#include <QHashFunctions>
#include <QString>

#include <cstdint>
#include <optional>

namespace cvn {

// Element type of the key-value cache; the values are the cache-type codes
// callers pass around (0 to 3).
enum class KvCacheType : int { f32 = 0, f16 = 1, q8_0 = 2, q4_0 = 3 };

// What a GGUF header says about a model, as far as memory planning, context
// planning and template detection need it. Every record read from a file has
// nCtxTrain of 1 or more; only ModelInfo::effectiveMetadata() and the facts
// of a loaded model whose header the reader refused may have 0. Integers are kept at 64 bits: a header value must never be cut to
// something plausible.
struct GgufInfo {
    uint32_t version = 0;
    QString architecture;
    int64_t nCtxTrain = 0;
    int64_t nEmbd = 0;
    int64_t nLayers = 0;
    std::optional<int64_t> nHead;
    std::optional<int64_t> nHeadKv;
    std::optional<int64_t> ropeDim;
    std::optional<int64_t> expertCount;
    std::optional<int64_t> expertUsedCount;
    int64_t fileSizeMb = 0;
    QString fileName;
    std::optional<QString> embeddedChatTemplate;
    std::optional<int64_t> fileType;

    // Key-value cache size in MB for `contextTokens`, truncated; -1 when the
    // layer facts are missing or the header's numbers give no sane figure.
    int64_t kvCacheMb(int64_t contextTokens, KvCacheType type) const;

    // Memory the model needs to run at `contextTokens`: file + KV cache (or a
    // fifth of the file when kvCacheMb() is -1) + 1180 MB of runtime overhead.
    int64_t requiredMemoryMb(int64_t contextTokens, KvCacheType type) const;

    friend bool operator==(const GgufInfo&, const GgufInfo&) = default;
};

size_t qHash(const GgufInfo& info, size_t seed = 0) noexcept;

// Hash of an optional value: its presence, and its value when present.
template <typename T>
size_t qHashOptional(const std::optional<T>& value, size_t seed) noexcept
{
    return value ? qHashMulti(seed, true, *value) : qHashMulti(seed, false);
}

} // namespace cvn
