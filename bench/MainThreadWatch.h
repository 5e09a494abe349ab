#pragma once

// What the main thread of a Qt benchmark spends: its processor time over a
// stretch of wall time, and the longest single stretch it ran without
// going back to wait for events (from the event dispatcher's awake to its
// aboutToBlock), which is how long a key or a repaint could have waited.

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QObject>

#include <algorithm>
#include <chrono>
#include <ctime>

namespace cvn::bench {

class MainThreadWatch {
public:
    MainThreadWatch()
    {
        QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(qApp->thread());
        m_awake = QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [this] {
            m_since = std::chrono::steady_clock::now();
            m_running = true;
        });
        m_blocking = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [this] { close(); });
        reset();
    }
    ~MainThreadWatch()
    {
        QObject::disconnect(m_awake);
        QObject::disconnect(m_blocking);
    }
    MainThreadWatch(const MainThreadWatch&) = delete;
    MainThreadWatch& operator=(const MainThreadWatch&) = delete;

    // Starts counting again from now.
    void reset()
    {
        m_worstMs = 0;
        m_since = std::chrono::steady_clock::now();
        m_running = true;
        m_wallStart = m_since;
        m_cpuStart = threadCpuSeconds();
    }
    // The longest stretch since reset, the one running now included.
    double worstStretchMs()
    {
        if (m_running) {
            close();
            m_since = std::chrono::steady_clock::now();
            m_running = true;
        }
        return m_worstMs;
    }
    // The main thread's processor time since reset, as a share of the wall
    // time, in percent.
    double busyPercent() const
    {
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - m_wallStart).count();
        return wall > 0 ? 100.0 * (threadCpuSeconds() - m_cpuStart) / wall : 0;
    }

    // Called on the main thread only.
    static double threadCpuSeconds()
    {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
    }

private:
    void close()
    {
        if (!m_running)
            return;
        m_running = false;
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - m_since).count();
        m_worstMs = std::max(m_worstMs, ms);
    }

    QMetaObject::Connection m_awake;
    QMetaObject::Connection m_blocking;
    std::chrono::steady_clock::time_point m_since;
    std::chrono::steady_clock::time_point m_wallStart;
    double m_cpuStart = 0;
    double m_worstMs = 0;
    bool m_running = false;
};

} // namespace cvn::bench
