#pragma once

#include <QByteArrayView>
#include <QString>

#include <optional>

// Facts about the machine and kernel that do not change while the program
// runs, in the raw form the system gives them.
namespace cvn {

struct KernelIdentity {
    QString machine; // uname's machine, e.g. "x86_64", "aarch64"; empty when unknown
    QString release; // uname's release, e.g. "6.1.0-18-amd64"; empty when unknown
};

KernelIdentity kernelIdentity();

// Distinct (physical id, core id) pairs in /proc/cpuinfo text; nothing when
// the text names no core ids (many ARM kernels).
std::optional<int> parsePhysicalCoreCount(QByteArrayView cpuinfo);

// parsePhysicalCoreCount of the live /proc/cpuinfo.
std::optional<int> readPhysicalCoreCount();

// Asks the process to receive SIGINT and SIGTERM only through
// waitForTerminationSignal(). Call before any thread starts, so that every
// later thread inherits the mask.
void holdTerminationSignals();

// Blocks until SIGINT or SIGTERM arrives; returns its number.
int waitForTerminationSignal();

} // namespace cvn
