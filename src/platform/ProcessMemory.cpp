#include "platform/ProcessMemory.h"

#include "platform/ProcText.h"

#include <optional>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace cvn {

namespace {

// "VmRSS:\t  204800 kB" → 204800; nothing when the line is not that field.
std::optional<uint64_t> kilobytes(QByteArrayView line, QByteArrayView field)
{
    if (!line.startsWith(field) || line.size() <= field.size() || line[field.size()] != ':')
        return std::nullopt;
    QByteArrayView rest = line.sliced(field.size() + 1).trimmed();
    if (rest.endsWith("kB"))
        rest = rest.chopped(2).trimmed();
    bool ok = false;
    const qulonglong value = rest.toULongLong(&ok);
    return ok ? std::optional<uint64_t>(value) : std::nullopt;
}

} // namespace

ProcessMemory parseProcessStatus(QByteArrayView statusText)
{
    uint64_t rss = 0, anon = 0, swap = 0;
    proc::forEachLine(statusText, [&](QByteArrayView line) {
        if (const auto kb = kilobytes(line, "VmRSS"))
            rss = *kb;
        if (const auto kb = kilobytes(line, "RssAnon"))
            anon = *kb;
        if (const auto kb = kilobytes(line, "VmSwap"))
            swap = *kb;
        return false;
    });
    return {rss / 1024, (anon + swap) / 1024};
}

ProcessMemory readProcessMemory()
{
    return parseProcessStatus(proc::readFile("/proc/self/status"));
}

void returnFreedMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

} // namespace cvn
