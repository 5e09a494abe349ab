#pragma once

#include "models/GgufInfo.h"
#include "models/HardwareInfo.h"
#include "models/SystemFacts.h"

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
    int64_t freeMb = 0;     // the device's free memory, which the load's fit reads
    bool sharesRam = false; // its memory is the RAM: an integrated or a software GPU
};

// The machine's GPU when offload is switched on and the GPU is usable; else
// none. A software GPU (isSoftwareGpu) shares RAM.
std::optional<Gpu> offloadGpu(const SystemFacts& facts);

// Where a model and its projector go once loaded, in MB.
struct Need {
    int64_t ramMb = 0;
    int64_t gpuMb = 0; // in the GPU's own memory
    friend bool operator==(const Need&, const Need&) = default;
};

// The one memory need of a model, which the add flow and the model form
// both show: `requiredMb` is the model's at its context, `projectorMb` the
// projector it sees images through. Placed as a load places them: a
// discrete `gpu` takes the layers that fit its free memory less the margin
// and the projector's room (whole layers when `metadata` counts them), and
// the projector beside them; with no room for a layer, everything stays in
// RAM, as it does without a GPU or with one that shares RAM.
Need need(int64_t requiredMb, int64_t projectorMb, const std::optional<GgufInfo>& metadata,
          const std::optional<Gpu>& gpu);

// need(requiredMb, 0, metadata, gpu).ramMb.
int64_t ramShareMb(int64_t requiredMb, const std::optional<GgufInfo>& metadata, const std::optional<Gpu>& gpu);

// Nothing when the model fits with 2001 MB or more to spare; otherwise a tight
// fit, a fit after freeing memory, or bigger than the machine's RAM. With a
// discrete `gpu`, what it takes is not counted against RAM, and the texts
// say that the figure is RAM beside the GPU's share. Without metadata the
// header of `path` is read. `name` is the model's name as shown.
// `projectorMb` is the memory of the projector the model sees images through
// (projectorMemoryMb), placed as need() places it.
std::optional<Warning> warning(const QString& path, const QString& name, uint64_t freeMb, uint64_t totalMb,
                               std::optional<GgufInfo> metadata = std::nullopt,
                               const std::optional<Gpu>& gpu = std::nullopt, int64_t projectorMb = 0);

} // namespace cvn::ModelFitCheck
