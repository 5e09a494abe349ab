#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>

namespace cvn {

// The machine's memory in MB (1,048,576 bytes). `freeMb` never exceeds
// `totalMb`.
struct MemoryFigures {
    uint64_t totalMb = 0;
    uint64_t freeMb = 0;

    friend bool operator==(const MemoryFigures&, const MemoryFigures&) = default;
};

// Parses the text of /proc/meminfo. Total is MemTotal (8192 MB when it reads
// 0 or is missing); free is MemAvailable, or MemFree + Buffers + Cached on
// kernels without it, capped at the total. Nothing when the text gives
// neither free figure.
std::optional<MemoryFigures> parseMeminfo(QByteArrayView text);

// Reads /proc/meminfo afresh; nothing when it cannot be read or parsed.
std::optional<MemoryFigures> readMemoryFigures();

// The first "model name" of /proc/cpuinfo text, trimmed; empty when there is
// none (ARM kernels do not give one).
QString parseCpuModelName(QByteArrayView cpuinfo);

// parseCpuModelName of the live /proc/cpuinfo; empty when unreadable.
QString readCpuModelName();

// Processors online, from sysconf; may be below 1 when the system cannot say.
int processorCount();

// A GPU that Vulkan offers but that computes on the CPU (Mesa's lavapipe,
// softpipe, SwiftShader), told by the name its driver gives: its memory is
// the RAM.
inline bool isSoftwareGpu(const QString& name)
{
    for (const char* renderer : {"llvmpipe", "softpipe", "SwiftShader"}) {
        if (name.contains(QLatin1String(renderer), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

// A GPU as llama.cpp's device list reports it.
struct GpuDevice {
    QString name;                  // the device's description
    bool hasUnifiedMemory = false; // shares the system's memory (an integrated GPU)
    bool isLowPower = false;       // a low-power part, such as an integrated GPU beside a discrete one
    uint64_t recommendedMaxWorkingSetBytes = 0; // the device's total memory
    bool runsOffload = false;      // llama.cpp can offload layers to it

    friend bool operator==(const GpuDevice&, const GpuDevice&) = default;

    // Replaces the reader behind defaultGpuDevice() while it lives, so that
    // tests give the program the GPU they describe (or none); the previous
    // reader comes back after. Overrides nest.
    class Override {
    public:
        explicit Override(std::function<std::optional<GpuDevice>()> reader);
        explicit Override(const std::optional<GpuDevice>& fixed);
        ~Override();
        Override(const Override&) = delete;
        Override& operator=(const Override&) = delete;

    private:
        std::function<std::optional<GpuDevice>()> m_previous;
    };
};

// The GPU that offload would use, through the installed reader: the
// machine's own (machineGpuDevice) unless a GpuDevice::Override lives. Safe
// on any thread; every reading of the GPU goes through here.
std::optional<GpuDevice> defaultGpuDevice();

// The machine's own GPU, whatever reader is installed: the first device of
// llama.cpp's list whose type is GPU or integrated GPU. Read once per run,
// since llama.cpp registers its devices once per process (GpuDevices.cpp).
std::optional<GpuDevice> machineGpuDevice();

// Why the machine has no GPU for offload.
enum class GpuAbsence {
    none,              // it has one
    cpuOnlyBuild,      // built without a GPU backend
    noDriver,          // no Vulkan driver starts
    badVisibleDevices, // GGML_VK_VISIBLE_DEVICES names a device Vulkan does not have
    softwareOnly,      // Vulkan has no GPU, at most a software renderer
    driverFailed,      // the driver crashed or hung while listing its devices this start
};

// The reason behind machineGpuAbsence(); none when machineGpuDevice() has a
// GPU. Read once per run with it.
GpuAbsence machineGpuAbsenceReason();

// Why the machine has no GPU for offload, in words for the user, by
// machineGpuAbsenceReason(). Empty when machineGpuDevice() has one.
QString machineGpuAbsence();

// How long a start waits for its device list before it runs on the CPU.
inline constexpr int gpuCheckLimitMs = 10000;

struct GpuCheck {
    bool driverFailed = false;
    QString outcome; // what went wrong, for the log: "crashed", "did not answer within 10 s", ...
};

// Lists llama.cpp's devices in a child process, so that a driver or layer
// that crashes or hangs in Vulkan takes only the child with it: `program`
// with `arguments` must run printGpuDevices and exit. Waits at most
// gpuCheckLimitMs for it (and kills it then); a child that cannot be
// started at all leaves the list to this process. From its return,
// machineGpuDevice() and machineGpuAbsence() answer from the child's list and
// never ask Vulkan; this process's own device list is then made on the
// thread pool. When the child crashed, hung or printed no list, Vulkan's
// drivers and layers are switched off for this process (the loader's
// VK_LOADER_DRIVERS_DISABLE and VK_LOADER_LAYERS_DISABLE), so llama.cpp runs on
// the CPU, and the reason is driverFailed. Call it once, on the main thread
// before any other thread exists that reads the environment, and before any
// llama.cpp call.
GpuCheck checkGpuDevicesApart(const QString& program, const QStringList& arguments);

// The child's side of checkGpuDevicesApart: asks llama.cpp for its devices
// and writes the answer to `out`. Returns the exit status.
int printGpuDevices(FILE* out);

// The free memory of the device that machineGpuDevice() names, read now; 0
// without one.
uint64_t machineGpuFreeBytes();

} // namespace cvn
