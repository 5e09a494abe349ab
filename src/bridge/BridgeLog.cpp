#include "bridge/BridgeLog.h"

#include "platform/AppPaths.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdlib>

namespace cvn {

FileLog::FileLog(QString path)
    : m_path(std::move(path))
    , m_thread([this] { run(); })
{
}

FileLog::~FileLog()
{
    shutdown();
}

QString FileLog::timestampNow()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

void FileLog::append(const QString& message)
{
    QByteArray line = (QLatin1Char('[') + timestampNow() + QStringLiteral("] ") + message
                       + QLatin1Char('\n'))
                          .toUtf8();
    std::unique_lock lock(m_mutex);
    if (m_stopped) {
        // After shutdown there is no writer; write in place so nothing is lost.
        std::deque<QByteArray> one{std::move(line)};
        writeBatch(one, 0);
        return;
    }
    ++m_handedOver;
    if (m_pending.size() >= maxPendingLines) {
        ++m_dropped;
        return;
    }
    m_pending.push_back(std::move(line));
    lock.unlock();
    m_wake.notify_one();
}

void FileLog::flush()
{
    std::unique_lock lock(m_mutex);
    const uint64_t target = m_handedOver;
    m_idle.wait(lock, [&] { return m_done >= target || m_stopped; });
}

void FileLog::shutdown()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return;
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard lock(m_mutex);
    m_stopped = true;
    m_idle.notify_all();
}

void FileLog::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [&] { return !m_pending.empty() || m_dropped > 0 || m_stopping; });
        if (m_pending.empty() && m_dropped == 0)
            return; // stopping with nothing left
        std::deque<QByteArray> batch;
        batch.swap(m_pending);
        const uint64_t dropped = std::exchange(m_dropped, 0);
        const uint64_t count = batch.size() + dropped;
        lock.unlock();
        writeBatch(batch, dropped);
        lock.lock();
        m_done += count;
        m_idle.notify_all();
    }
}

void FileLog::writeBatch(std::deque<QByteArray>& lines, uint64_t dropped)
{
    if (m_path.isEmpty())
        return;
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    const qint64 size = QFileInfo(m_path).size();
    if (!m_rotationChecked) {
        m_rotationChecked = true;
        if (size > rotationBytes)
            rotate();
    } else if (size > safetyRotationBytes) {
        // The once-per-run check alone lets a log grow for as long as the
        // application stays open.
        rotate();
    }
    QFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    QByteArray bytes;
    for (const QByteArray& line : lines)
        bytes += line;
    if (dropped > 0) {
        bytes += (QLatin1Char('[') + timestampNow()
                  + QStringLiteral("] log: %1 lines dropped\n").arg(dropped))
                     .toUtf8();
    }
    file.write(bytes);
}

void FileLog::rotate() const
{
    const QString old = m_path + QStringLiteral(".old");
    QFile::remove(old);
    QFile::rename(m_path, old);
}

namespace {

FileLog& sharedLog()
{
    // Never destroyed: bridgeLogShutdown() drains it at quit and at exit, so
    // no thread is left joinable while statics are torn down.
    static FileLog* const log = [] {
        auto* made = new FileLog(bridgeLogPath().value_or(QString()));
        std::atexit(bridgeLogShutdown);
        return made;
    }();
    return *log;
}

} // namespace

std::optional<QString> bridgeLogPath()
{
    static const std::optional<QString> path = []() -> std::optional<QString> {
        const QString folder = appDataFolder();
        if (folder.isEmpty())
            return std::nullopt;
        return folder + QStringLiteral("/bridge.log");
    }();
    return path;
}

void bridgeLog(const QString& message)
{
    sharedLog().append(message);
}

void bridgeLogFlush()
{
    sharedLog().flush();
}

void bridgeLogShutdown()
{
    sharedLog().shutdown();
}

} // namespace cvn
