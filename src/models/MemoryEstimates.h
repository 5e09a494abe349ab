#pragma once

#include "models/GgufInfo.h"
#include "platform/SystemInfo.h"

#include <QString>

#include <cstdint>
#include <optional>

// Memory and context estimates made before a model is loaded. All sizes are
// MB of 1,048,576 bytes. Pure functions, except freeRamMb(),
// physicalMemoryMb() and memoryNow(), which read the system afresh on each
// call.
namespace cvn {

// Bits per weight guessed from a quantisation tag in the file name ("Q4",
// "F16", ...); 4.85 when there is none.
double bitsPerWeight(const QString& fileName);

// The runtime's own memory beside weights and cache: compute buffers and the
// process.
int64_t runtimeOverheadMb();

// Bytes per key-value cache element: 4, 2, 1.0625 or 0.5.
double bytesPerElement(KvCacheType type);

// The automatic context plan for a model and a free-memory figure.
struct AutoContext {
    int64_t contextSize = 0;    // tokens: 2048 to 131072
    int64_t trainedContext = 0; // nCtxTrain, 0 without metadata
    uint64_t freeMb = 0;        // the figure passed in
    int64_t bytesPerToken = 0;  // 0 when the layer facts give none

    friend bool operator==(const AutoContext&, const AutoContext&) = default;
};

// The largest power-of-two context from 4096 to 131072 that the memory left
// after the model's weights and runtime holds, capped at the trained context
// (but never below 4096). Without layer facts, a guess from free memory
// alone. Header values large enough to overflow the arithmetic count as no
// usable layer facts.
AutoContext autoContextForRam(const std::optional<GgufInfo>& metadata, uint64_t freeMb);

// Free memory in MB (MemAvailable), never above physicalMemoryMb(); 4096
// when the system cannot say.
uint64_t freeRamMb();

// Physical memory in MB; 8192 when the system cannot say.
uint64_t physicalMemoryMb();

// Both figures from one reading of the system, with the same fallbacks, for
// callers that show them side by side.
MemoryFigures memoryNow();

} // namespace cvn
