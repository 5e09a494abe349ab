#pragma once

#include <QByteArrayView>

#include <cstdint>

namespace cvn {

// This process's memory in MB (1,048,576 bytes, rounded down): resident is
// what sits in RAM, footprint what the process itself made dirty (its
// anonymous pages, in RAM or swapped out).
struct ProcessMemory {
    uint64_t residentMb = 0;
    uint64_t footprintMb = 0;

    friend bool operator==(const ProcessMemory&, const ProcessMemory&) = default;
};

// Parses the text of /proc/self/status: resident is VmRSS, footprint
// RssAnon + VmSwap; a field that is missing or unreadable counts as 0.
ProcessMemory parseProcessStatus(QByteArrayView statusText);

// Reads /proc/self/status afresh; all 0 when it cannot be read.
ProcessMemory readProcessMemory();

// Hands memory that the process has freed back to the system. The C
// library's allocator keeps freed heap for reuse, so a view that let go of
// many megabytes would still hold them; call it after such a release.
void returnFreedMemory();

} // namespace cvn
