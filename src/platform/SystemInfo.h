#pragma once

#include <QByteArrayView>
#include <QString>

#include <cstdint>
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

// Why the machine has no GPU for offload, in words for the user: a build
// without a GPU backend, no Vulkan driver that starts, or Vulkan with no GPU
// (only a software renderer, or nothing). Empty when machineGpuDevice() has
// one. Read once per run with it.
QString machineGpuAbsence();

// The free memory of the device that machineGpuDevice() names, read now; 0
// without one.
uint64_t machineGpuFreeBytes();

} // namespace cvn
