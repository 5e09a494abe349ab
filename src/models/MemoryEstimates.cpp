#include "models/MemoryEstimates.h"

#include <cmath>
#include <limits>

namespace cvn {

namespace {

// Runtime overhead beside weights and cache: compute buffers and the process.
constexpr int64_t kRuntimeOverheadMb = 400 + 780;
constexpr int64_t kBytesPerMb = 1024 * 1024;
constexpr double kMaxExactDouble = 9007199254740992.0; // 2^53

struct Shape {
    int64_t kvHeads = 0;
    int64_t headDim = 0; // 0 when neither ropeDim nor nEmbd / nHead gives one
};

Shape attentionShape(const GgufInfo& m)
{
    Shape s;
    s.kvHeads = m.nHeadKv ? *m.nHeadKv : m.nHead.value_or(0);
    if (m.ropeDim)
        s.headDim = *m.ropeDim;
    else if (m.nHead && *m.nHead >= 1 && m.nEmbd >= 1)
        s.headDim = m.nEmbd / *m.nHead;
    return s;
}

// a × b × ... in int64, or nothing on overflow.
std::optional<int64_t> checkedProduct(std::initializer_list<int64_t> factors)
{
    int64_t product = 1;
    for (int64_t f : factors) {
        if (__builtin_mul_overflow(product, f, &product))
            return std::nullopt;
    }
    return product;
}

} // namespace

double bitsPerWeight(const QString& fileName)
{
    struct Tag {
        const char* tag;
        double bits;
    };
    static constexpr Tag tags[] = {
        {"Q8_0", 8.5}, {"Q8", 8.5}, {"Q6", 6.6}, {"Q5", 5.5}, {"Q4", 4.85}, {"Q3", 3.9},
        {"Q2", 3.0}, {"F16", 16.0}, {"FP16", 16.0}, {"F32", 32.0}, {"FP32", 32.0},
    };
    const QString upper = fileName.toUpper();
    for (const Tag& t : tags) {
        if (upper.contains(QLatin1String(t.tag)))
            return t.bits;
    }
    return 4.85;
}

int64_t runtimeOverheadMb()
{
    return kRuntimeOverheadMb;
}

double bytesPerElement(KvCacheType type)
{
    switch (type) {
    case KvCacheType::f32: return 4.0;
    case KvCacheType::f16: return 2.0;
    case KvCacheType::q8_0: return 1.0625;
    case KvCacheType::q4_0: return 0.5;
    }
    return 2.0;
}

int64_t GgufInfo::kvCacheMb(int64_t contextTokens, KvCacheType type) const
{
    const Shape s = attentionShape(*this);
    if (nLayers < 1 || s.kvHeads < 1 || s.headDim < 1)
        return -1;
    const double mb = 2.0 * double(nLayers) * double(s.kvHeads) * double(s.headDim)
        * bytesPerElement(type) * double(contextTokens) / double(kBytesPerMb);
    // A crafted header can make this astronomically large (or a negative
    // context negative); neither is a size anyone can use.
    if (!std::isfinite(mb) || mb < 0 || mb > kMaxExactDouble)
        return -1;
    return int64_t(mb);
}

int64_t GgufInfo::requiredMemoryMb(int64_t contextTokens, KvCacheType type) const
{
    int64_t cache = kvCacheMb(contextTokens, type);
    if (cache == -1)
        cache = int64_t(0.2 * double(fileSizeMb));
    int64_t total = 0;
    if (__builtin_add_overflow(fileSizeMb, cache, &total)
        || __builtin_add_overflow(total, kRuntimeOverheadMb, &total))
        return std::numeric_limits<int64_t>::max();
    return total;
}

AutoContext autoContextForRam(const std::optional<GgufInfo>& metadata, uint64_t freeMb)
{
    AutoContext plan;
    plan.freeMb = freeMb;
    plan.trainedContext = metadata ? metadata->nCtxTrain : 0;

    if (!metadata || metadata->nLayers < 1) {
        plan.contextSize = freeMb >= 6144 ? 8192 : freeMb >= 3072 ? 4096 : 2048;
        return plan;
    }
    const GgufInfo& m = *metadata;
    plan.contextSize = 4096;

    const Shape s = attentionShape(m);
    std::optional<int64_t> perToken;
    if (s.kvHeads >= 1 && s.headDim >= 1)
        perToken = checkedProduct({2, m.nLayers, s.kvHeads, s.headDim, 2});
    else if (m.nEmbd >= 1)
        perToken = checkedProduct({2, m.nLayers, m.nEmbd, 4});
    if (!perToken || *perToken < 1)
        return plan;

    // Free memory arrives unsigned: subtracting the model's needs from it
    // unsigned would wrap into a huge budget on a machine short of memory.
    const int64_t free = freeMb > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(freeMb);
    int64_t needs = 0, leftMb = 0, budget = 0;
    if (__builtin_add_overflow(m.fileSizeMb, kRuntimeOverheadMb, &needs)
        || __builtin_sub_overflow(free, needs, &leftMb)
        || __builtin_mul_overflow(leftMb, kBytesPerMb, &budget))
        return plan; // treated as no usable layer facts
    plan.bytesPerToken = *perToken;
    if (budget < 1)
        return plan;

    int64_t tokens = budget / *perToken;
    if (m.nCtxTrain > 0)
        tokens = std::min(tokens, m.nCtxTrain);
    tokens = std::min<int64_t>(tokens, 131072);
    for (int64_t size = 131072; size >= 8192; size /= 2) {
        if (tokens >= size) {
            plan.contextSize = size;
            break;
        }
    }
    return plan;
}

uint64_t freeRamMb()
{
    return memoryNow().freeMb;
}

uint64_t physicalMemoryMb()
{
    return memoryNow().totalMb;
}

MemoryFigures memoryNow()
{
    return readMemoryFigures().value_or(MemoryFigures{8192, 4096});
}

} // namespace cvn
