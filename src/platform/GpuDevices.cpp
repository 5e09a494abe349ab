// The machine's GPU, from llama.cpp's device list. No Vulkan calls of our
// own: ggml's registry asks the driver, and it is what decides where a load
// can put layers. The program has the list made in a child process of its
// own at each start (checkGpuDevicesApart), since a driver may crash or hang
// the process that first asks it; tests and tools ask in-process.

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
#include <QProcess>
#include <QThreadPool>

#if CVN_LLAMA_DEVICES
#include <ggml-backend.h>
#if CVN_GPU_VULKAN
#include <ggml-vulkan.h>
#endif
#endif

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
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
    GpuAbsence reason = GpuAbsence::none;
};

bool hasVulkanBackend()
{
#if CVN_LLAMA_DEVICES
    return ggml_backend_reg_by_name("Vulkan") != nullptr;
#else
    return false;
#endif
}

// Vulkan refused to start: either it has no driver, or GGML_VK_VISIBLE_DEVICES
// names a device it does not have. ggml-vulkan marks its instance made
// before it reads that list, so asking it again answers at once after a bad
// index, and tries (and fails) to make the instance again after no driver.
GpuAbsence whyVulkanRefused()
{
#if CVN_LLAMA_DEVICES && CVN_GPU_VULKAN
    if (!qEnvironmentVariableIsEmpty("GGML_VK_VISIBLE_DEVICES")) {
        try {
            ggml_backend_vk_get_device_count();
            return GpuAbsence::badVisibleDevices;
        } catch (...) {
        }
    }
#endif
    return GpuAbsence::noDriver;
}

// Mesa's lavapipe (Debian 12's, LLVM 15) corrupts the process's heap or
// crashes in its worker threads when it runs ggml-vulkan's fused kernels
// beside flash attention: a plain llama.cpp program that decodes a few
// single tokens and then batches of 64 on it ends with a segmentation
// fault. Without fusion it is
// sound, and a software device is no faster than the CPU either way. ggml
// reads the setting when it makes the device, at the first load: this is
// said before it, as the device is listed. A user's own setting stands.
void avoidSoftwareDriverFaults(const QString& deviceName)
{
    if (isSoftwareGpu(deviceName) && !qEnvironmentVariableIsSet("GGML_VK_DISABLE_FUSION"))
        qputenv("GGML_VK_DISABLE_FUSION", "1");
}

MachineGpu listInProcess()
{
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
        avoidSoftwareDriverFaults(device.name);
        found.device = device;
        return found;
    }
#endif
    if (!CVN_GPU_VULKAN || !CVN_LLAMA_DEVICES)
        found.reason = GpuAbsence::cpuOnlyBuild;
    else if (!hasVulkanBackend())
        found.reason = whyVulkanRefused();
    else
        found.reason = GpuAbsence::softwareOnly;
    return found;
}

// This process's own list, for the device's handle: listed apart, the
// machine's list has none.
const MachineGpu& inProcessGpu()
{
    static const MachineGpu here = listInProcess();
    return here;
}

// Set once by checkGpuDevicesApart, before any reader runs; from then on the
// child's list is the machine's, and this process asks Vulkan nothing for it.
std::atomic<const MachineGpu*> listedApart = nullptr;

const MachineGpu& machineGpu()
{
    if (const MachineGpu* apart = listedApart.load())
        return *apart;
    // ggml registers its backends once per process, and a driver that
    // refused to start is not asked again: so the answer holds for the run.
    static const MachineGpu gpu = listInProcess();
    return gpu;
}

// The child's answer, one line each: "absence <reason>", or "device
// <discrete 0|1> <total bytes> <name>".
std::optional<MachineGpu> parseListing(const QByteArray& text)
{
    for (const QByteArray& line : text.split('\n')) {
        if (line.startsWith("absence ")) {
            const int reason = line.mid(8).trimmed().toInt();
            if (reason <= int(GpuAbsence::none) || reason > int(GpuAbsence::driverFailed))
                return std::nullopt;
            MachineGpu listed;
            listed.reason = GpuAbsence(reason);
            return listed;
        }
        const QList<QByteArray> fields = line.split(' ');
        if (line.startsWith("device ") && fields.size() >= 4) {
            bool totalOk = false;
            GpuDevice device;
            device.hasUnifiedMemory = fields[1] != "1";
            device.isLowPower = device.hasUnifiedMemory;
            device.recommendedMaxWorkingSetBytes = fields[2].toULongLong(&totalOk);
            device.name = QString::fromUtf8(line.mid(fields[0].size() + fields[1].size() + fields[2].size() + 3));
            device.runsOffload = true;
            if (!totalOk)
                return std::nullopt;
            MachineGpu listed;
            listed.device = device;
            return listed;
        }
    }
    return std::nullopt;
}

} // namespace

int printGpuDevices(FILE* out)
{
    const MachineGpu& gpu = machineGpu();
    if (gpu.device) {
        std::fprintf(out, "device %d %llu %s\n", gpu.device->hasUnifiedMemory ? 0 : 1,
                     (unsigned long long)gpu.device->recommendedMaxWorkingSetBytes,
                     gpu.device->name.simplified().toUtf8().constData());
    } else {
        std::fprintf(out, "absence %d\n", int(gpu.reason));
    }
    return std::fflush(out) == 0 ? 0 : 1;
}

GpuCheck checkGpuDevicesApart(const QString& program, const QStringList& arguments)
{
    // On the heap: a child stuck in the kernel outlives even SIGKILL for a
    // while, and QProcess's destructor would wait 30 s more for it.
    std::unique_ptr<QProcess> child = std::make_unique<QProcess>();
    child->setProcessChannelMode(QProcess::SeparateChannels);
    child->start(program, arguments);
    GpuCheck check;
    if (!child->waitForStarted(gpuCheckLimitMs)) {
        // Nothing to say of the driver (the program file went, say): the
        // list is made in this process, as tools and tests make it.
        check.outcome = QStringLiteral("could not be started: ") + child->errorString();
        return check;
    }
    if (!child->waitForFinished(gpuCheckLimitMs)) {
        // Hung in the driver: it is ours to end, and it ends.
        child->kill();
        if (!child->waitForFinished(1000))
            (void)child.release();
        check.outcome = QStringLiteral("did not answer within %1 s").arg(gpuCheckLimitMs / 1000);
    } else if (child->exitStatus() != QProcess::NormalExit) {
        check.outcome = QStringLiteral("crashed");
    } else if (child->exitCode() != 0) {
        check.outcome = QStringLiteral("ended with status %1").arg(child->exitCode());
    }
    std::optional<MachineGpu> listed = check.outcome.isEmpty() ? parseListing(child->readAllStandardOutput())
                                                               : std::nullopt;
    if (!listed) {
        if (check.outcome.isEmpty())
            check.outcome = QStringLiteral("gave no device list");
        // Before any llama.cpp call of ours: ggml reads the loader's drivers
        // and layers once, at its first device question.
        qputenv("VK_LOADER_DRIVERS_DISABLE", "*");
        qputenv("VK_LOADER_LAYERS_DISABLE", "~all~");
        listed = MachineGpu{};
        listed->reason = GpuAbsence::driverFailed;
    }
    check.driverFailed = listed->reason == GpuAbsence::driverFailed;
    if (listed->device)
        avoidSoftwareDriverFaults(listed->device->name);
    // Lives for the process: readers on any thread hold on to it.
    listedApart = new MachineGpu(*listed);
    // This process's own first device question starts Vulkan here too; it is
    // asked now, off the main thread, so that no later reader there (a
    // projector's measure, say) is the one that pays for it.
    QThreadPool::globalInstance()->start([] { inProcessGpu(); });
    return check;
}

std::optional<GpuDevice> machineGpuDevice()
{
    return machineGpu().device;
}

GpuAbsence machineGpuAbsenceReason()
{
    return machineGpu().reason;
}

QString machineGpuAbsence()
{
    switch (machineGpu().reason) {
    case GpuAbsence::none:
        return {};
    case GpuAbsence::cpuOnlyBuild:
        return QStringLiteral("This build of llama.cpp runs on the CPU only.");
    case GpuAbsence::noDriver:
        return QStringLiteral("No Vulkan driver could be started, so llama.cpp cannot reach a GPU.");
    case GpuAbsence::badVisibleDevices:
        return QStringLiteral("GGML_VK_VISIBLE_DEVICES is set to \u201C%1\u201D, which names no device Vulkan has, so "
                              "llama.cpp cannot reach a GPU. Unset it, or give the index of a listed device.")
            .arg(qEnvironmentVariable("GGML_VK_VISIBLE_DEVICES"));
    case GpuAbsence::softwareOnly:
        return QStringLiteral(
            "Vulkan reports no GPU here, at most a software renderer, which is no faster than the CPU.");
    case GpuAbsence::driverFailed:
        return QStringLiteral("The GPU driver failed when Corvanthelis started, so GPU offload is off until it "
                              "works again. Corvanthelis tries it again at every start.");
    }
    return {};
}

uint64_t machineGpuFreeBytes()
{
    if (!machineGpu().device)
        return 0;
    const MachineGpu& here = inProcessGpu();
    if (!here.handle)
        return 0;
    size_t free = 0, total = 0;
    ggml_backend_dev_memory(here.handle, &free, &total);
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
