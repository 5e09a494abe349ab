#pragma once

#include "models/GgufInfo.h"
#include "models/HardwareInfo.h"

#include <QString>

#include <cstdint>
#include <optional>

// Whether a model file fits in memory, asked before it is added to the models
// folder. Synchronous; reads the file's header and size on the caller's
// thread. Never fails: an unreadable header falls back to an estimate from the
// file size, an unreadable size to 1180 MB.
namespace cvn::ModelFitCheck {

struct Warning {
    QString title;
    QString body;
    QString confirmText = QStringLiteral("ADD ANYWAY");

    // Warnings are the same when they say the same; the button text is fixed.
    friend bool operator==(const Warning& a, const Warning& b)
    {
        return a.title == b.title && a.body == b.body;
    }
};

// Memory the model needs in MB: with metadata, its requirement at an 8192
// context with an f16 cache; without, the file size plus a fifth plus 1180.
int64_t requiredMb(const QString& path, const std::optional<GgufInfo>& metadata);

// The GPU a load would offload to.
struct Gpu {
    int64_t memoryMb = 0;   // the device's total memory
    bool sharesRam = false; // an integrated GPU, whose memory is the RAM
};

// The rig's GPU when offload is switched on and the GPU is usable; else none.
std::optional<Gpu> offloadGpu(const RigInfo& rig);

// The part of `requiredMb` that stays in RAM when a discrete `gpu` takes the
// layers that fit its memory (less the margin the load leaves), whole layers
// when `metadata` counts them. All of it without a GPU or with one that
// shares RAM.
int64_t ramShareMb(int64_t requiredMb, const std::optional<GgufInfo>& metadata, const std::optional<Gpu>& gpu);

// Nothing when the model fits with 2001 MB or more to spare; otherwise a tight
// fit, a fit after freeing memory, or bigger than the machine's RAM. With a
// discrete `gpu`, what it takes is not counted against RAM. Without metadata
// the header of `path` is read. `name` is the model's name as shown.
// `projectorMb` is the memory of the projector the model sees images through
// (projectorMemoryMb), counted against RAM: its encoder runs there.
std::optional<Warning> warning(const QString& path, const QString& name, uint64_t freeMb, uint64_t totalMb,
                               std::optional<GgufInfo> metadata = std::nullopt,
                               const std::optional<Gpu>& gpu = std::nullopt, int64_t projectorMb = 0);

} // namespace cvn::ModelFitCheck
