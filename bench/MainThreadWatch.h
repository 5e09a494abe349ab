#pragma once

// What the main thread of a Qt benchmark spends: its processor time over a
// stretch of wall time, and the longest single stretch it ran without
// looking at its event queue, which is how long a key or a repaint could
// have waited. A thread of the watch's own posts a probe to the main
// thread, waits for it to be handled and posts the next a millisecond
// later; the longest a probe waited is that stretch, to about a
// millisecond. The probes wake the main thread a thousand times a second,
// so a watch that measures the processor share sends none.

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <thread>

namespace cvn::bench {

class MainThreadWatch {
public:
    enum class Measure { stretches, processorShare };

    // Made on the main thread, with the application running.
    explicit MainThreadWatch(Measure measure)
    {
        reset();
        if (measure == Measure::stretches)
            m_probe = std::thread([this] { probe(); });
    }
    ~MainThreadWatch()
    {
        m_stop = true;
        if (m_probe.joinable())
            m_probe.join();
        // A probe still queued finds its state alive: it holds a share.
    }
    MainThreadWatch(const MainThreadWatch&) = delete;
    MainThreadWatch& operator=(const MainThreadWatch&) = delete;

    // Starts counting again from now.
    void reset()
    {
        m_state->worstUs = 0;
        m_wallStart = std::chrono::steady_clock::now();
        m_cpuStart = threadCpuSeconds();
    }
    // The longest a probe waited since reset, in milliseconds.
    double worstStretchMs() const { return double(m_state->worstUs.load()) / 1000.0; }
    // The main thread's processor time since reset, as a share of the wall
    // time, in percent. Called on the main thread.
    double busyPercent() const
    {
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_wallStart).count();
        return wall > 0 ? 100.0 * (threadCpuSeconds() - m_cpuStart) / wall : 0;
    }

    static double threadCpuSeconds()
    {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
    }

private:
    struct State {
        std::atomic<long long> worstUs = 0;
        std::atomic<bool> handled = true;
    };

    void probe()
    {
        const std::shared_ptr<State> state = m_state;
        while (!m_stop) {
            if (state->handled) {
                state->handled = false;
                const auto posted = std::chrono::steady_clock::now();
                QMetaObject::invokeMethod(
                    qApp,
                    [state, posted] {
                        const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(
                                                std::chrono::steady_clock::now() - posted)
                                                .count();
                        long long worst = state->worstUs;
                        while (waited > worst && !state->worstUs.compare_exchange_weak(worst, waited)) {
                        }
                        state->handled = true;
                    },
                    Qt::QueuedConnection);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    std::shared_ptr<State> m_state = std::make_shared<State>();
    std::atomic<bool> m_stop = false;
    std::thread m_probe;
    std::chrono::steady_clock::time_point m_wallStart;
    double m_cpuStart = 0;
};

} // namespace cvn::bench
