#include "platform/HostFacts.h"
#include "platform/ProcText.h"

#include <csignal>
#include <set>
#include <sys/utsname.h>
#include <utility>

namespace cvn {

KernelIdentity kernelIdentity()
{
    utsname names{};
    if (::uname(&names) != 0)
        return {};
    return {QString::fromUtf8(names.machine), QString::fromUtf8(names.release)};
}

std::optional<int> parsePhysicalCoreCount(QByteArrayView cpuinfo)
{
    // Each processor block names its package ("physical id") and its core
    // ("core id"); hyper-threads repeat the pair.
    std::set<std::pair<QByteArray, QByteArray>> cores;
    QByteArray physicalId;
    QByteArray coreId;
    bool sawCoreId = false;
    const auto finishBlock = [&] {
        if (sawCoreId)
            cores.emplace(physicalId, coreId);
        physicalId.clear();
        coreId.clear();
        sawCoreId = false;
    };
    proc::forEachLine(cpuinfo, [&](QByteArrayView line) {
        const qsizetype colon = line.indexOf(':');
        if (line.trimmed().isEmpty()) {
            finishBlock();
        } else if (colon > 0) {
            const QByteArrayView key = line.first(colon).trimmed();
            const QByteArray value = line.sliced(colon + 1).trimmed().toByteArray();
            if (key == "processor") {
                finishBlock();
            } else if (key == "physical id") {
                physicalId = value;
            } else if (key == "core id") {
                coreId = value;
                sawCoreId = true;
            }
        }
        return false;
    });
    finishBlock();
    if (cores.empty())
        return std::nullopt;
    return static_cast<int>(cores.size());
}

std::optional<int> readPhysicalCoreCount()
{
    return parsePhysicalCoreCount(proc::readFile("/proc/cpuinfo"));
}

namespace {

sigset_t terminationSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

void holdTerminationSignals()
{
    const sigset_t set = terminationSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int waitForTerminationSignal()
{
    const sigset_t set = terminationSignals();
    int received = 0;
    while (sigwait(&set, &received) != 0) {
    }
    return received;
}

} // namespace cvn
