#pragma once

#include "models/HardwareInfo.h"

#include <functional>

namespace cvn {

// What the screens read of the machine: memory, the CPU and GPU as RigInfo
// gives them, the processor count and whether a GPU can run models. One seam,
// so that tests fix the figures instead of depending on the machine.
struct SystemFacts {
    RigInfo rig;             // ramFreeMb and ramTotalMb are the memory figures
    int processorCount = 1;
    bool gpuUsable = false;
    int64_t gpuFreeMb = 0;   // the GPU's free memory, as a load's fit reads it; 0 with offload off

    // A fresh reading through the installed reader (the machine by default).
    // Safe on any thread; may read /proc, so keep it off the main thread
    // where it is repeated.
    static SystemFacts read();

    // The machine's own facts, whatever reader is installed.
    static SystemFacts readMachine();

    // Replaces the reader while it lives; the previous one comes back after.
    class Override {
    public:
        explicit Override(std::function<SystemFacts()> reader);
        explicit Override(const SystemFacts& fixed);
        ~Override();
        Override(const Override&) = delete;
        Override& operator=(const Override&) = delete;

    private:
        std::function<SystemFacts()> m_previous;
    };
};

} // namespace cvn
