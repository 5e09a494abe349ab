#include "bridge/RigInspector.h"

#include "bridge/AppInfo.h"
#include "models/HardwareInfo.h"
#include "models/MemoryEstimates.h"
#include "platform/HostFacts.h"
#include "platform/SystemInfo.h"

#include <QDateTime>
#include <QRegularExpression>

#include <algorithm>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace cvn::RigInspector {

namespace {

using namespace std::chrono_literals;

constexpr auto refreshInterval = 4s;

struct Baseline {
    Json os;
    Json cpu;
    Json gpu;
    double ramTotalGb = 0;
};

// Everything shared between the callers and the refresh thread. The lock is
// held only to copy or replace a value, never while facts are gathered.
struct State {
    std::mutex cacheLock;
    std::condition_variable wake;
    std::optional<Baseline> baseline;
    std::optional<QByteArray> cachedSnapshot;
    std::thread refreshThread;
    uint64_t generation = 0; // advanced by every start and stop
    bool running = false;
};

State& state()
{
    // Never destroyed: the refresh thread may still run while statics go.
    static State* const shared = new State;
    return *shared;
}

Baseline buildBaseline()
{
    const KernelIdentity kernel = kernelIdentity();
    const int logical = processorCount();
    Baseline made{
        Json::object({{"name", Json::string(std::string_view("Linux"))},
                      {"version", Json::string(versionFromRelease(kernel.release))},
                      {"arch", Json::string(archFromMachine(kernel.machine))}}),
        cpuObject(cpuBrandString(), readPhysicalCoreCount(),
                  logical >= 1 ? std::optional<int>(logical) : std::nullopt),
        gpuObject(defaultGpuDevice()),
        tenths(static_cast<double>(physicalMemoryMb()) / 1024.0),
    };
    return made;
}

void refreshLoop(uint64_t generation)
{
    State& shared = state();
    auto next = std::chrono::steady_clock::now() + refreshInterval;
    std::unique_lock lock(shared.cacheLock);
    for (;;) {
        if (shared.wake.wait_until(lock, next, [&] { return shared.generation != generation; }))
            return;
        lock.unlock();
        refreshSnapshot();
        lock.lock();
        next += refreshInterval;
        const auto now = std::chrono::steady_clock::now();
        if (next < now)
            next = now + refreshInterval; // slept through (suspend): no burst of catch-up rebuilds
    }
}

} // namespace

QByteArray healthJson()
{
    const Json health = Json::object({
        {"ok", Json::boolean(true)},
        {"app", Json::string(std::string_view("corvanthelis"))},
        {"version", Json::string(AppInfo::version())},
        {"schema", Json::integer(1)},
    });
    return QByteArray::fromStdString(health.render());
}

void startRefresh()
{
    State& shared = state();
    uint64_t generation = 0;
    {
        std::lock_guard lock(shared.cacheLock);
        if (shared.running)
            return;
        shared.running = true;
        generation = ++shared.generation;
    }
    // The cache holds a document before anyone can ask for one.
    refreshSnapshot();
    std::thread previous;
    {
        std::lock_guard lock(shared.cacheLock);
        if (shared.generation != generation)
            return; // stopped meanwhile
        previous = std::move(shared.refreshThread);
        shared.refreshThread = std::thread(refreshLoop, generation);
    }
    if (previous.joinable())
        previous.join();
}

void stopRefresh()
{
    State& shared = state();
    std::thread finished;
    {
        std::lock_guard lock(shared.cacheLock);
        shared.running = false;
        ++shared.generation;
        finished = std::move(shared.refreshThread);
    }
    shared.wake.notify_all();
    // Joined outside the lock: a rebuild in progress needs it to finish.
    if (finished.joinable())
        finished.join();
}

void refreshSnapshot()
{
    State& shared = state();
    std::optional<Baseline> baseline;
    {
        std::lock_guard lock(shared.cacheLock);
        baseline = shared.baseline;
    }
    if (!baseline) {
        baseline = buildBaseline();
        std::lock_guard lock(shared.cacheLock);
        shared.baseline = baseline;
    }
    const double freeGb = tenths(static_cast<double>(freeRamMb()) / 1024.0);
    const Json snapshot = Json::object({
        {"schema", Json::integer(1)},
        {"app_version", Json::string(AppInfo::version())},
        {"os", baseline->os},
        {"cpu", baseline->cpu},
        {"ram", Json::object({{"total_gb", Json::gb(baseline->ramTotalGb)},
                              {"free_gb", Json::gb(freeGb)}})},
        {"gpu", baseline->gpu},
        {"measured_at", Json::string(measuredAtNow())},
    });
    QByteArray bytes = QByteArray::fromStdString(snapshot.render());
    std::lock_guard lock(shared.cacheLock);
    shared.cachedSnapshot = std::move(bytes);
}

std::optional<QByteArray> cachedSnapshot()
{
    State& shared = state();
    std::lock_guard lock(shared.cacheLock);
    return shared.cachedSnapshot;
}

Json staticNoGpu()
{
    return Json::object({
        {"name", Json::null()},
        {"vendor", Json::null()},
        {"vram_total_gb", Json::integer(0)},
        {"vram_free_gb", Json::integer(0)},
    });
}

Json gpuObject(const std::optional<GpuDevice>& device)
{
    if (!device || device->hasUnifiedMemory || isSoftwareGpu(device->name))
        return staticNoGpu();
    const double vramGb = tenths(double(device->recommendedMaxWorkingSetBytes >> 20) / 1024.0);
    if (vramGb < 2.0)
        return staticNoGpu();
    const QString name = cleanGpuName(device->name);
    const QString upper = name.toUpper();
    const auto holds = [&upper](std::initializer_list<const char*> words) {
        return std::any_of(words.begin(), words.end(),
                           [&upper](const char* word) { return upper.contains(QLatin1String(word)); });
    };
    Json vendor = Json::null();
    if (holds({"NVIDIA", "GEFORCE", "RTX", "GTX", "QUADRO", "TESLA"}))
        vendor = Json::string(std::string_view("NVIDIA"));
    else if (holds({"AMD", "RADEON"}))
        vendor = Json::string(std::string_view("AMD"));
    else if (holds({"INTEL", "ARC"}))
        vendor = Json::string(std::string_view("Intel"));
    return Json::object({
        {"name", Json::string(name)},
        {"vendor", vendor},
        {"vram_total_gb", Json::gb(vramGb)},
        {"vram_free_gb", Json::null()},
    });
}

double tenths(double x)
{
    return std::round(x * 10.0) / 10.0;
}

QString versionText(int major, int minor, int patch)
{
    if (patch < 1)
        return QStringLiteral("%1.%2").arg(major).arg(minor);
    return QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(patch);
}

QString versionFromRelease(const QString& release)
{
    // "6.1.0-18-amd64": up to three dot-separated numbers at the start.
    static const QRegularExpression leading(QStringLiteral("^(\\d{1,9})(?:\\.(\\d{1,9}))?(?:\\.(\\d{1,9}))?"));
    const QRegularExpressionMatch match = leading.match(release);
    if (!match.hasMatch())
        return versionText(0, 0, 0);
    return versionText(match.captured(1).toInt(), match.captured(2).toInt(),
                       match.captured(3).toInt());
}

QString archFromMachine(const QString& machine)
{
    if (machine == QLatin1String("aarch64") || machine == QLatin1String("arm64"))
        return QStringLiteral("aarch64");
    return QStringLiteral("x86_64");
}

Json cpuObject(const QString& brand, std::optional<int> physicalCores,
               std::optional<int> logicalCores)
{
    const QString cleaned = cleanCpuName(brand);
    const bool unknown = cleaned.isEmpty() || cleaned == QLatin1String("Unknown CPU");
    const QString upper = brand.toUpper();
    Json vendor = Json::null();
    if (upper.contains(QLatin1String("INTEL")))
        vendor = Json::string(std::string_view("GenuineIntel"));
    else if (upper.contains(QLatin1String("AMD")) || upper.contains(QLatin1String("RYZEN")))
        vendor = Json::string(std::string_view("AuthenticAMD"));
    const auto count = [](std::optional<int> cores) {
        return cores && *cores >= 1 ? Json::integer(*cores) : Json::null();
    };
    return Json::object({
        {"model", unknown ? Json::null() : Json::string(cleaned)},
        {"vendor", vendor},
        {"cores_physical", count(physicalCores)},
        {"cores_logical", count(logicalCores)},
    });
}

QString measuredAtNow()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

} // namespace cvn::RigInspector
