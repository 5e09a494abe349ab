// The machine's GPU, from llama.cpp's device list. No Vulkan calls of our
// own: ggml's registry has already asked the driver, and it is what decides
// where a load can put layers.

#include "platform/SystemInfo.h"

// Both set by the build; a program built from this file alone (the fuzzers)
// has neither.
#ifndef CVN_LLAMA_DEVICES
#define CVN_LLAMA_DEVICES 0
#endif
#ifndef CVN_GPU_VULKAN
#define CVN_GPU_VULKAN 0
#endif

#include <QMutex>

#if CVN_LLAMA_DEVICES
#include <ggml-backend.h>
#endif

#include <functional>
#include <utility>

namespace cvn {

namespace {

#if !CVN_LLAMA_DEVICES
// Built apart from llama.cpp (the fuzzers take this file alone): no device
// list to read.
using ggml_backend_dev_t = void*;
inline void ggml_backend_dev_memory(ggml_backend_dev_t, size_t* free, size_t* total) { *free = *total = 0; }
#endif

struct MachineGpu {
    std::optional<GpuDevice> device;
    ggml_backend_dev_t handle = nullptr;
    QString absence;
};

bool hasVulkanBackend()
{
#if CVN_LLAMA_DEVICES
    return ggml_backend_reg_by_name("Vulkan") != nullptr;
#else
    return false;
#endif
}

const MachineGpu& machineGpu()
{
    // ggml registers its backends once per process, and a driver that
    // refused to start is not asked again: so the answer holds for the run.
    static const MachineGpu gpu = [] {
        MachineGpu found;
#if CVN_LLAMA_DEVICES
        ggml_backend_dev_t discrete = nullptr;
        ggml_backend_dev_t integrated = nullptr;
        for (size_t i = 0; i < ggml_backend_dev_count(); ++i) {
            ggml_backend_dev_t dev = ggml_backend_dev_get(i);
            const enum ggml_backend_dev_type type = ggml_backend_dev_type(dev);
            if (type == GGML_BACKEND_DEVICE_TYPE_GPU && !discrete)
                discrete = dev;
            else if (type == GGML_BACKEND_DEVICE_TYPE_IGPU && !integrated)
                integrated = dev;
        }
        // llama.cpp puts layers on its GPUs before its integrated ones.
        found.handle = discrete ? discrete : integrated;
        if (found.handle) {
            size_t free = 0, total = 0;
            ggml_backend_dev_memory(found.handle, &free, &total);
            GpuDevice device;
            const char* description = ggml_backend_dev_description(found.handle);
            device.name = QString::fromUtf8(description && *description ? description
                                                                         : ggml_backend_dev_name(found.handle));
            device.hasUnifiedMemory = !discrete;
            device.isLowPower = !discrete;
            device.recommendedMaxWorkingSetBytes = total;
            device.runsOffload = true;
            found.device = device;
        }
#endif
        if (found.device)
            return found;
        if (!CVN_GPU_VULKAN || !hasVulkanBackend())
            found.absence = !CVN_GPU_VULKAN || !CVN_LLAMA_DEVICES
                                ? QStringLiteral("This build of llama.cpp runs on the CPU only.")
                                : QStringLiteral("No Vulkan driver could be started, so llama.cpp cannot reach a GPU.");
        else
            found.absence = QStringLiteral(
                "Vulkan reports no GPU here, at most a software renderer, which is no faster than the CPU.");
        return found;
    }();
    return gpu;
}

} // namespace

std::optional<GpuDevice> machineGpuDevice()
{
    return machineGpu().device;
}

QString machineGpuAbsence()
{
    return machineGpu().absence;
}

uint64_t machineGpuFreeBytes()
{
    const MachineGpu& gpu = machineGpu();
    if (!gpu.handle)
        return 0;
    size_t free = 0, total = 0;
    ggml_backend_dev_memory(gpu.handle, &free, &total);
    return free;
}

namespace {

QMutex gpuReaderLock;

std::function<std::optional<GpuDevice>()>& installedGpuReader() // guarded by gpuReaderLock
{
    static std::function<std::optional<GpuDevice>()> reader;
    return reader;
}

} // namespace

std::optional<GpuDevice> defaultGpuDevice()
{
    std::function<std::optional<GpuDevice>()> reader;
    {
        QMutexLocker lock(&gpuReaderLock);
        reader = installedGpuReader();
    }
    return reader ? reader() : machineGpuDevice();
}

GpuDevice::Override::Override(std::function<std::optional<GpuDevice>()> reader)
{
    QMutexLocker lock(&gpuReaderLock);
    m_previous = std::exchange(installedGpuReader(), std::move(reader));
}

GpuDevice::Override::Override(const std::optional<GpuDevice>& fixed)
    : Override(std::function<std::optional<GpuDevice>()>([fixed] { return fixed; }))
{
}

GpuDevice::Override::~Override()
{
    QMutexLocker lock(&gpuReaderLock);
    installedGpuReader() = std::move(m_previous);
}

} // namespace cvn
