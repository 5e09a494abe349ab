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

// A GPU that llama.cpp's Metal backend could use, as the GPU layer reports
// it.
struct GpuDevice {
    QString name;
    bool hasUnifiedMemory = false; // shares the system's memory (Apple silicon)
    bool isLowPower = false;       // a low-power part, such as an integrated GPU beside a discrete one
    uint64_t recommendedMaxWorkingSetBytes = 0;
    bool supportsApple7Family = false;

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

// The system's default Metal device, through the installed reader: the
// machine's own (machineGpuDevice) unless a GpuDevice::Override lives. Safe
// on any thread; every reading of the GPU goes through here.
std::optional<GpuDevice> defaultGpuDevice();

// The machine's own default Metal device, whatever reader is installed. No
// Metal device exists on Linux, so this is always nothing here.
std::optional<GpuDevice> machineGpuDevice();

} // namespace cvn
