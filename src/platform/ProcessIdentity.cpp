#include "platform/ProcessIdentity.h"

#include <QByteArray>
#include <QFile>

#include <unistd.h>

#ifdef __APPLE__
#include <sys/proc.h>
#include <sys/sysctl.h>
#endif

namespace cvn {

ProcessIdentity ProcessIdentity::current()
{
    // Read once: it never changes while the process lives.
    static const ProcessIdentity self = of(int64_t(::getpid())).value_or(ProcessIdentity{int64_t(::getpid()), 0});
    return self;
}

#ifdef __APPLE__

std::optional<ProcessIdentity> ProcessIdentity::of(int64_t pid)
{
    if (pid <= 0)
        return std::nullopt;
    int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, int(pid)};
    struct kinfo_proc info {};
    size_t size = sizeof info;
    if (::sysctl(name, 4, &info, &size, nullptr, 0) != 0 || size == 0 || info.kp_proc.p_stat == SZOMB)
        return std::nullopt;
    const struct timeval started = info.kp_proc.p_starttime;
    return ProcessIdentity{pid, uint64_t(started.tv_sec) * 1000000 + uint64_t(started.tv_usec)};
}

#else

std::optional<ProcessIdentity> ProcessIdentity::of(int64_t pid)
{
    if (pid <= 0)
        return std::nullopt;
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // "pid (name) state ppid ...": the name may hold spaces and parentheses,
    // so the fields are counted from its last ')'. The state is field 3,
    // the start time field 22.
    const QByteArray stat = file.readAll();
    const qsizetype nameEnd = stat.lastIndexOf(')');
    if (nameEnd < 0)
        return std::nullopt;
    const QList<QByteArray> fields = stat.mid(nameEnd + 2).split(' ');
    if (fields.size() < 20 || fields[0] == "Z" || fields[0] == "X")
        return std::nullopt;
    bool ok = false;
    const uint64_t start = fields[19].toULongLong(&ok);
    return ok ? std::optional(ProcessIdentity{pid, start}) : std::nullopt;
}

#endif

QString ProcessIdentity::toString() const
{
    return QStringLiteral("%1-%2").arg(pid).arg(start);
}

std::optional<ProcessIdentity> ProcessIdentity::fromString(QStringView text)
{
    const qsizetype dash = text.indexOf(QLatin1Char('-'));
    if (dash <= 0)
        return std::nullopt;
    bool pidOk = false;
    bool startOk = false;
    const ProcessIdentity identity{text.left(dash).toLongLong(&pidOk), text.mid(dash + 1).toULongLong(&startOk)};
    if (!pidOk || !startOk || identity.pid <= 0 || identity.toString() != text)
        return std::nullopt;
    return identity;
}

} // namespace cvn
