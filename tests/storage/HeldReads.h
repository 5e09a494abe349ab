#pragma once

// A test's hook for a reading thread: counts the reads, and those made on
// the main thread, and holds each read (at most ten seconds) while `hold`
// is set, so that the test can write in between.

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace cvn::test {

struct HeldReads {
    std::atomic<int> reads = 0;
    std::atomic<int> onMain = 0;
    std::atomic<bool> hold = true;

    std::function<void()> hook()
    {
        return [this] {
            ++reads;
            onMain += QThread::currentThread() == qApp->thread();
            for (int i = 0; hold && i < 10000; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        };
    }
};

} // namespace cvn::test
