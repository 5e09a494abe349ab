#include "platform/SystemInfo.h"
#include "platform/ProcText.h"


#include <algorithm>
#include <utility>
#include <unistd.h>

namespace cvn {

namespace {

// The kB figure of a "Key:   value kB" line, when the line is that key.
std::optional<uint64_t> meminfoValue(QByteArrayView line, QByteArrayView key)
{
    if (!line.startsWith(key) || line.size() <= key.size() || line[key.size()] != ':')
        return std::nullopt;
    QByteArrayView rest = line.sliced(key.size() + 1).trimmed();
    const qsizetype blank = rest.indexOf(' ');
    if (blank >= 0)
        rest = rest.first(blank);
    bool ok = false;
    const qulonglong kb = rest.toULongLong(&ok);
    return ok ? std::optional<uint64_t>(kb) : std::nullopt;
}

} // namespace

std::optional<MemoryFigures> parseMeminfo(QByteArrayView text)
{
    std::optional<uint64_t> total, available, memFree, buffers, cached;
    proc::forEachLine(text, [&](QByteArrayView line) {
        for (auto [key, slot] : {std::pair{"MemTotal", &total}, {"MemAvailable", &available},
                                 {"MemFree", &memFree}, {"Buffers", &buffers}, {"Cached", &cached}}) {
            if (const auto kb = meminfoValue(line, key)) {
                *slot = kb;
                break;
            }
        }
        return false;
    });
    uint64_t freeKb = 0;
    if (available)
        freeKb = *available;
    else if (memFree)
        freeKb = *memFree + buffers.value_or(0) + cached.value_or(0);
    else
        return std::nullopt;

    MemoryFigures figures;
    figures.totalMb = total.value_or(0) / 1024;
    if (figures.totalMb == 0)
        figures.totalMb = 8192;
    figures.freeMb = std::min(figures.totalMb, freeKb / 1024);
    return figures;
}

std::optional<MemoryFigures> readMemoryFigures()
{
    return parseMeminfo(proc::readFile("/proc/meminfo"));
}

QString parseCpuModelName(QByteArrayView cpuinfo)
{
    QString name;
    proc::forEachLine(cpuinfo, [&](QByteArrayView line) {
        const qsizetype colon = line.indexOf(':');
        if (colon < 0 || line.first(colon).trimmed() != "model name")
            return false;
        name = QString::fromUtf8(line.sliced(colon + 1)).trimmed();
        return true;
    });
    return name;
}

QString readCpuModelName()
{
    return parseCpuModelName(proc::readFile("/proc/cpuinfo"));
}

int processorCount()
{
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(std::min<long>(n, 1 << 20)) : 0;
}

} // namespace cvn
