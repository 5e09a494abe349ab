#pragma once

#include "bridge/Json.h"

#include "platform/SystemInfo.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The two documents the bridge serves: the health document of /health and
// the hardware snapshot of /rig. The snapshot is rebuilt every 4 seconds on a
// thread of its own and cached as rendered bytes, so an answer never waits
// for a hardware query. Facts that cannot change while the program runs
// (system, CPU, GPU, total memory) are gathered once as the baseline.
//
// Threads: every function may be called from any thread.
namespace cvn::RigInspector {

// {"ok":true,"app":"corvanthelis","version":<AppInfo::version>,"schema":1}
QByteArray healthJson();

// Builds the snapshot once on the calling thread, then starts the 4-second
// rebuilds. Does nothing while they run.
void startRefresh();

// Stops the rebuilds and waits for their thread. The baseline and the cached
// snapshot stay.
void stopRefresh();

// Rebuilds the snapshot (free memory and time are read afresh) and caches it.
void refreshSnapshot();

// The last snapshot; nothing before the first rebuild.
std::optional<QByteArray> cachedSnapshot();

// The "gpu" value when no usable discrete GPU exists:
// {"name":null,"vendor":null,"vram_total_gb":0,"vram_free_gb":0}.
Json staticNoGpu();

// The "gpu" object of `device` (the GPU the hardware page shows): its
// cleaned name, the vendor read from that name, its memory in GB and a null
// free figure; staticNoGpu() without a device, for one whose memory is the
// RAM (integrated or software, isSoftwareGpu) and below 2.0 GB.
Json gpuObject(const std::optional<GpuDevice>& device);

// x rounded to one decimal, halves away from zero.
double tenths(double x);

// "major.minor" when patch < 1, else "major.minor.patch".
QString versionText(int major, int minor, int patch);

// The system version from a kernel release such as "6.1.0-18-amd64": its
// leading numbers under the same rule ("6.1"); "0.0" when it has none.
QString versionFromRelease(const QString& release);

// "aarch64" for "aarch64" or "arm64", "x86_64" for anything else.
QString archFromMachine(const QString& machine);

// The "cpu" object from a raw brand string and the core counts (nothing or
// below 1 render as null).
Json cpuObject(const QString& brand, std::optional<int> physicalCores,
               std::optional<int> logicalCores);

// "YYYY-MM-DDTHH:MM:SSZ" of now, in UTC.
QString measuredAtNow();

} // namespace cvn::RigInspector
