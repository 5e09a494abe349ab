#pragma once

#include <QByteArrayView>
#include <QString>

#include <cstdint>
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

// A GPU that llama.cpp's Metal backend could use.
struct GpuDevice {
    QString name;
    uint64_t recommendedMaxWorkingSetBytes = 0;
    bool supportsApple7Family = false;
};

// The system's default Metal device. No Metal device exists on Linux, so
// this is always nothing here.
std::optional<GpuDevice> defaultGpuDevice();

} // namespace cvn
