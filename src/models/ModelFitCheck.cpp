#include "models/ModelFitCheck.h"

#include "models/GgufMetadata.h"
#include "models/MemoryEstimates.h"
#include "platform/NumberFormat.h"
#include "platform/RegularFile.h"

#include <algorithm>

namespace cvn::ModelFitCheck {

namespace {

QString gb(int64_t mb)
{
    return formatFixed(double(mb) / 1024.0, 1);
}

int64_t clampedMb(uint64_t mb)
{
    return mb > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(mb);
}

// What a GPU load leaves free on the device, as the engine's fit does.
constexpr int64_t kDeviceMarginMb = 1024;

} // namespace

std::optional<Gpu> offloadGpu(const SystemFacts& facts)
{
    const RigInfo& rig = facts.rig;
    if (!rig.isUsableForInference || !rig.gpuName)
        return std::nullopt;
    return Gpu{facts.gpuFreeMb, rig.gpuSharesRam || isSoftwareGpu(*rig.gpuName)};
}

Need need(int64_t required, int64_t projectorMb, const std::optional<GgufInfo>& metadata, const std::optional<Gpu>& gpu)
{
    const int64_t projector = std::max<int64_t>(0, projectorMb);
    if (!gpu || gpu->sharesRam)
        return {required + projector, 0};
    // Weights and cache go to the device layer by layer; the process and its
    // compute buffers stay with the host. The fit keeps room for the
    // projector, which opens on the device after the layers.
    const int64_t layered = std::max<int64_t>(0, required - runtimeOverheadMb());
    const int64_t budget = std::max<int64_t>(0, gpu->freeMb - kDeviceMarginMb - projector);
    int64_t onDevice = std::min(layered, budget);
    // The device never holds more than fits: a model too big for it leaves
    // whole layers on the CPU rather than failing, so RAM is where a
    // shortage shows.
    if (metadata && metadata->nLayers >= 1 && onDevice < layered) {
        const int64_t perLayer = (layered + metadata->nLayers - 1) / metadata->nLayers;
        onDevice = perLayer > 0 ? (budget / perLayer) * perLayer : 0;
    }
    // Not a layer: the load keeps everything on the CPU.
    if (onDevice <= 0)
        return {required + projector, 0};
    return {required - onDevice, onDevice + projector};
}

int64_t ramShareMb(int64_t required, const std::optional<GgufInfo>& metadata, const std::optional<Gpu>& gpu)
{
    return need(required, 0, metadata, gpu).ramMb;
}

int64_t requiredMb(const QString& path, const std::optional<GgufInfo>& metadata)
{
    if (metadata)
        return metadata->requiredMemoryMb(8192, KvCacheType::f16);
    // A record with the file's size and no layer facts: the requirement then
    // falls back to the file plus a fifth plus the runtime overhead.
    GgufInfo sizeOnly;
    const std::optional<int64_t> bytes = RegularFile::sizeOf(path);
    sizeOnly.fileSizeMb = bytes && *bytes > 0 ? *bytes / (1024 * 1024) : 0;
    return sizeOnly.requiredMemoryMb(8192, KvCacheType::f16);
}

std::optional<Warning> warning(const QString& path, const QString& name, uint64_t freeMb, uint64_t totalMb,
                               std::optional<GgufInfo> metadata, const std::optional<Gpu>& gpu,
                               int64_t projectorMb)
{
    if (!metadata)
        metadata = GgufMetadata::read(path);
    // Signed: free memory below the requirement must not wrap.
    const Need placed = need(requiredMb(path, metadata), projectorMb, metadata, gpu);
    const int64_t required = placed.ramMb;
    const int64_t free = clampedMb(freeMb);
    const int64_t total = clampedMb(totalMb);
    // "needs about 1.2 GB" of RAM alone, or beside what the GPU takes.
    const QString needs = placed.gpuMb > 0
                              ? QStringLiteral(" needs about ") + gb(required) + QStringLiteral(" GB of RAM beside the ")
                                    + gb(placed.gpuMb) + QStringLiteral(" GB its GPU takes")
                              : QStringLiteral(" needs about ") + gb(required) + QStringLiteral(" GB");

    Warning w;
    if (free >= required) {
        if (free - required >= 2001)
            return std::nullopt;
        w.title = QStringLiteral("Tight fit");
        w.body = name + needs + QStringLiteral(". You have ")
            + gb(free) + QStringLiteral(" GB free. Should work, but leaves little room for other apps.");
    } else if (double(total) * 1.1 < double(required)) {
        w.title = QStringLiteral("This model is bigger than your RAM");
        w.body = name + needs + QStringLiteral(", but your computer only has ")
            + gb(total)
            + QStringLiteral(" GB total. The system will constantly swap the model between RAM and SSD, making it "
                             "10-100x slower than normal. Each response may take minutes. Not recommended.");
    } else {
        w.title = QStringLiteral("This model fits your computer, but you need to free up RAM");
        w.body = name + needs + QStringLiteral(". You have ") + gb(free)
            + QStringLiteral(" GB free right now, but your computer has ") + gb(total)
            + QStringLiteral(" GB total. The system will swap other apps to disk to make room \u2014 first load will "
                             "take longer and other apps will slow down. Close some apps for best performance.");
    }
    return w;
}

} // namespace cvn::ModelFitCheck
