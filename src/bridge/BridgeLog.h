#pragma once

#include <QString>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace cvn {

// Appends one line, "[2025-03-01T09:05:07.123Z] message\n", to the
// application's log "<data folder>/Corvanthelis/bridge.log". Any thread;
// the stamp is taken at once and the writing happens on the log's own
// thread, in call order. Never fails towards the caller. The message is
// written as it is: a line feed in it starts a new physical line.
void bridgeLog(const QString& message);

// Waits until every line handed over so far is in the file.
void bridgeLogFlush();

// Writes what is pending and stops the log's thread (at quit; also run at
// exit). Lines logged afterwards are written on the caller's thread.
void bridgeLogShutdown();

// The path of bridge.log; nothing when the data folder cannot be found.
std::optional<QString> bridgeLogPath();

// One log file with its writer thread; bridgeLog() uses one for the whole
// process, tests make their own.
class FileLog {
public:
    static constexpr qint64 rotationBytes = 1048576;     // checked at a run's first write
    static constexpr qint64 safetyRotationBytes = 8388608; // checked at every write
    static constexpr std::size_t maxPendingLines = 10000;

    // `path` empty: every line is dropped.
    explicit FileLog(QString path);
    ~FileLog(); // drains, like shutdown()

    FileLog(const FileLog&) = delete;
    FileLog& operator=(const FileLog&) = delete;

    const QString& path() const { return m_path; }

    void append(const QString& message);
    void flush();
    void shutdown();

    static QString timestampNow();

private:
    void run();
    void writeBatch(std::deque<QByteArray>& lines, uint64_t dropped);
    void rotate() const;

    const QString m_path;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<QByteArray> m_pending;
    uint64_t m_dropped = 0;
    uint64_t m_handedOver = 0; // lines accepted or dropped since start
    uint64_t m_done = 0;       // of those, written or counted in a drop line
    bool m_stopping = false;
    bool m_stopped = false;
    bool m_rotationChecked = false; // writer thread only (or under m_mutex once stopped)
    std::thread m_thread;
};

} // namespace cvn
