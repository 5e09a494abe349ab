#pragma once

#include "platform/SystemInfo.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

namespace cvn {

// The machine as the program sees it at one moment.
struct RigInfo {
    int64_t ramTotalMb = 0;
    int64_t ramFreeMb = 0;
    QString cpuShortName;
    std::optional<QString> gpuName;
    int64_t gpuVramMb = 0;
    bool isUsableForInference = false;    // usable GPU, offload switched on
    bool accelerationSwitchedOff = false; // usable GPU, offload switched off
    bool gpuSharesRam = false;            // an integrated GPU, whose memory is the RAM

    friend bool operator==(const RigInfo&, const RigInfo&) = default;

    // A fresh snapshot: memory from the system, the cleaned CPU brand, and the
    // GPU that llama.cpp's device list offers, if any. Reads the
    // "hardware.metalOffload" setting only when a usable GPU exists. Safe on
    // any thread.
    static RigInfo current();
};

// Whether llama.cpp has a GPU to offload to (a device of type GPU or
// integrated GPU), from the GPU layer's device; any thread.
bool metalGpuUsable();

// A GPU's name as shown: every "(R)", "(TM)", "(tm)" and "(r)" removed,
// whitespace collapsed.
QString cleanGpuName(const QString& name);

// The processor's brand text, or "Unknown CPU" when the system gives none.
QString cpuBrandString();

// A short CPU name: trademarks, the generation prefix, the clock, "CPU",
// "Processor" and anything from "w/" on removed, whitespace collapsed.
QString cleanCpuName(const QString& brand);

// Every whitespace run (Unicode whitespace included) as one blank, both ends
// trimmed.
QString collapseWhitespace(const QString& text);

// Styled lines of the hardware summary.
namespace HardwareInfo {

struct Run {
    enum class Tone { label, good, warning, critical };

    QString text;
    std::optional<Tone> tone; // none: plain text

    friend bool operator==(const Run&, const Run&) = default;
};

using Line = QList<Run>;

// A model size the runnable-sizes line reports on.
struct Bucket {
    QString label;
    int64_t needsMb = 0;
};

// "3B" 3500, "7B" 7000, "13B" 12000, "30B" 22000, "70B" 50000 MB.
const QList<Bucket>& buckets();

// The labels with `tone`, separated by plain ", " runs.
Line labelRuns(const QList<Bucket>& buckets, Run::Tone tone);

// Which model sizes fit now, after closing apps (total ≥ needs + 3000 MB),
// or not at all.
Line runnableSizesRuns(const RigInfo& rig);

// "Your computer: ...", "Free right now: ...", the runnable sizes and, when GPU
// acceleration is not in use, a fourth line saying why.
QList<Line> summaryRuns(const RigInfo& rig);

// Why GPU offload cannot be switched on, naming the device when there is
// one and the reason on this platform; nothing when the GPU is usable.
std::optional<QString> metalUnavailableText();

} // namespace HardwareInfo

} // namespace cvn
