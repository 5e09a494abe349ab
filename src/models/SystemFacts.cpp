#include "models/SystemFacts.h"

#include "platform/SystemInfo.h"

#include <QMutex>

#include <algorithm>

namespace cvn {

namespace {

QMutex readerLock;

std::function<SystemFacts()>& installedReader()
{
    static std::function<SystemFacts()> reader;
    return reader;
}

} // namespace

SystemFacts SystemFacts::readMachine()
{
    const RigInfo rig = RigInfo::current();
    // The device is asked for its free memory only while offload is on, the
    // one case in which a fit reads it.
    return {rig, std::max(1, cvn::processorCount()), metalGpuUsable(),
            rig.isUsableForInference ? int64_t(machineGpuFreeBytes() >> 20) : 0};
}

SystemFacts SystemFacts::read()
{
    std::function<SystemFacts()> reader;
    {
        QMutexLocker lock(&readerLock);
        reader = installedReader();
    }
    return reader ? reader() : readMachine();
}

SystemFacts::Override::Override(std::function<SystemFacts()> reader)
{
    QMutexLocker lock(&readerLock);
    m_previous = std::exchange(installedReader(), std::move(reader));
}

SystemFacts::Override::Override(const SystemFacts& fixed)
    : Override(std::function<SystemFacts()>([fixed] { return fixed; }))
{
}

SystemFacts::Override::~Override()
{
    QMutexLocker lock(&readerLock);
    installedReader() = std::move(m_previous);
}

} // namespace cvn
