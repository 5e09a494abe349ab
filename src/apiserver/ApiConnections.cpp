#include "apiserver/ApiConnections.h"

#include "platform/Logging.h"
#include "platform/Sockets.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <list>

namespace cvn::api {

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr auto kGuardInterval = std::chrono::milliseconds(100);
// How long a closing connection waits for what its client still sends, so
// that the close is an orderly one and not a reset the client reads as a
// failed answer.
constexpr int kDrainMs = 100;
// Threads kept for connections, and the most there may be: idle and slow
// connections each hold one, and must never take the last. One past the
// kept ones ends once it has been idle this long.
constexpr size_t kBaseThreads = 8;
constexpr size_t kMostThreads = 512;
constexpr auto kThreadIdle = std::chrono::seconds(5);

thread_local std::shared_ptr<Connection> t_connection;

int toMs(time_t sec, time_t usec)
{
    return int(std::min<time_t>(sec * 1000 + usec / 1000, 24 * 3600 * 1000));
}

bool waitFor(int fd, bool write, int timeoutMs)
{
    std::vector<sockets::PollEntry> entries{{fd, !write, write}};
    for (;;) {
        const int error = sockets::pollEntries(entries, timeoutMs);
        if (error == 0)
            return write ? entries[0].writable : entries[0].readable;
        if (!sockets::isInterrupted(error))
            return false;
    }
}

// One connection's bytes, buffered across its requests.
class ConnectionStream final : public httplib::Stream {
public:
    ConnectionStream(int fd, int localPort, int readMs, int writeMs)
        : m_fd(fd), m_localPort(localPort), m_readMs(readMs), m_writeMs(writeMs), m_buffer(16384)
    {
    }

    bool is_readable() const override { return m_at < m_size; }
    bool wait_readable() const override { return is_readable() || waitFor(m_fd, false, m_readMs); }
    bool wait_writable() const override { return waitFor(m_fd, true, m_writeMs); }
    ssize_t read(char* ptr, size_t size) override
    {
        if (m_at == m_size) {
            if (!wait_readable()) {
                error_ = httplib::Error::Timeout;
                return -1;
            }
            const sockets::Transfer got = sockets::receive(m_fd, m_buffer.data(), m_buffer.size());
            if (got.bytes <= 0) {
                error_ = got.bytes == 0 ? httplib::Error::ConnectionClosed : httplib::Error::Read;
                return got.bytes;
            }
            m_at = 0;
            m_size = size_t(got.bytes);
        }
        const size_t n = std::min(size, m_size - m_at);
        std::memcpy(ptr, m_buffer.data() + m_at, n);
        m_at += n;
        return ssize_t(n);
    }
    ssize_t write(const char* ptr, size_t size) override
    {
        if (!wait_writable())
            return -1;
        return sockets::sendSome(m_fd, ptr, size).bytes;
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override
    {
        ip = "127.0.0.1"; // the server listens on the loopback address only
        port = 0;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override
    {
        ip = "127.0.0.1";
        port = m_localPort;
    }
    socket_t socket() const override { return m_fd; }
    time_t duration() const override
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - m_started).count();
    }
    const char* buffered_data(size_t& size) const override
    {
        size = m_size - m_at;
        return size ? m_buffer.data() + m_at : nullptr;
    }
    void consume_buffered(size_t size) override { m_at += std::min(size, m_size - m_at); }

private:
    int m_fd;
    int m_localPort;
    int m_readMs;
    int m_writeMs;
    std::vector<char> m_buffer;
    size_t m_at = 0;
    size_t m_size = 0;
    SteadyClock::time_point m_started = SteadyClock::now();
};

// A thread for every connection that waits, up to kMostThreads. httplib's
// own pool adds a thread only when none is idle, and counts a thread woken
// for one connection as idle until it runs: two connections that come
// together wait for a free thread, which idle connections may hold for
// seconds.
class ConnectionPool final : public httplib::TaskQueue {
public:
    ConnectionPool()
    {
        std::lock_guard lock(m_mutex);
        while (m_threads.size() < kBaseThreads)
            addThread();
    }
    ~ConnectionPool() override { shutdown(); }

    bool enqueue(std::function<void()> job) override
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_shutdown)
                return false;
            m_jobs.push_back(std::move(job));
            if (m_jobs.size() > m_idle && m_threads.size() < kMostThreads)
                addThread();
        }
        m_changed.notify_one();
        return true;
    }
    void shutdown() override
    {
        std::list<std::thread> threads;
        {
            std::lock_guard lock(m_mutex);
            m_shutdown = true;
            threads = std::move(m_threads);
            threads.splice(threads.end(), m_ended);
        }
        m_changed.notify_all();
        for (std::thread& thread : threads)
            if (thread.joinable())
                thread.join();
    }

private:
    // Under the lock.
    void addThread()
    {
        for (std::thread& ended : m_ended)
            ended.join();
        m_ended.clear();
        m_threads.emplace_back();
        const auto self = std::prev(m_threads.end());
        *self = std::thread([this, self] { work(self); });
    }
    void work(std::list<std::thread>::iterator self)
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            ++m_idle;
            const bool woken = m_changed.wait_for(lock, kThreadIdle, [this] { return m_shutdown || !m_jobs.empty(); });
            --m_idle;
            if (m_jobs.empty()) {
                if (m_shutdown)
                    return;
                if (!woken && m_threads.size() > kBaseThreads) {
                    // Joined by the next thread added, or at the shutdown.
                    m_ended.splice(m_ended.end(), m_threads, self);
                    return;
                }
                continue;
            }
            std::function<void()> job = std::move(m_jobs.front());
            m_jobs.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_jobs;
    std::list<std::thread> m_threads;
    std::list<std::thread> m_ended;
    size_t m_idle = 0;
    bool m_shutdown = false;
};

} // namespace

HttpServer::HttpServer(std::chrono::seconds deadline)
    : m_deadline(deadline)
{
    new_task_queue = [] { return new ConnectionPool; };
    // httplib's default sets SO_REUSEPORT, with which a second program binds
    // the same port and the kernel splits the clients between the two.
    set_socket_options([](socket_t fd) { sockets::setReuseAddress(fd); });
    m_guard = std::thread([this] { guardDeadlines(); });
}

HttpServer::~HttpServer()
{
    {
        std::lock_guard lock(m_mutex);
        m_closing = true;
    }
    m_changed.notify_all();
    if (m_guard.joinable())
        m_guard.join();
}

std::shared_ptr<Connection> HttpServer::current()
{
    return t_connection;
}

void HttpServer::reading(bool now)
{
    if (!t_connection)
        return;
    std::lock_guard lock(m_mutex);
    t_connection->reading = now;
    t_connection->deadline = SteadyClock::now() + m_deadline;
}

bool HttpServer::process_and_close_socket(socket_t sock)
{
    auto connection = std::make_shared<Connection>();
    connection->fd = sock;
    {
        std::lock_guard lock(m_mutex);
        if (m_closing)
            sockets::shutdownBoth(sock);
        m_connections.push_back(connection);
    }
    t_connection = connection;
    const int localPort = int(sockets::boundPort(sock));
    ConnectionStream stream(sock, localPort, toMs(read_timeout_sec_, read_timeout_usec_),
                            toMs(write_timeout_sec_, write_timeout_usec_));
    const int keepAliveMs = toMs(keep_alive_timeout_sec_, 0);
    bool served = false;
    for (size_t left = keep_alive_max_count_; left > 0; --left) {
        // Between requests the connection waits without a deadline, up to
        // the keep-alive time; a stop ends the wait at once.
        if (!stream.is_readable() && !waitFor(sock, false, keepAliveMs))
            break;
        if (onRequestStart)
            onRequestStart();
        reading(true);
        bool closed = false;
        served = serve_guarded([&] {
            return process_request(stream, "127.0.0.1", 0, "127.0.0.1", localPort, left == 1, closed,
                                   [&connection](httplib::Request& req) {
                                       connection->interimAllowed = req.version == "HTTP/1.1";
                                   });
        });
        reading(false);
        if (onRequestEnd)
            onRequestEnd();
        if (!served || closed)
            break;
    }
    {
        std::lock_guard lock(m_mutex);
        m_connections.erase(std::remove(m_connections.begin(), m_connections.end(), connection), m_connections.end());
    }
    m_changed.notify_all();
    t_connection.reset();

    sockets::shutdownWrite(sock);
    char drained[4096];
    const auto drainEnd = SteadyClock::now() + std::chrono::milliseconds(kDrainMs);
    for (int total = 0; total < (1 << 20);) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(drainEnd - SteadyClock::now());
        if (left.count() <= 0 || !waitFor(sock, false, int(left.count())))
            break;
        const sockets::Transfer got = sockets::receive(sock, drained, sizeof drained);
        if (got.bytes <= 0)
            break;
        total += int(got.bytes);
    }
    sockets::closeDescriptor(sock);
    return served;
}

void HttpServer::closeAll(std::chrono::milliseconds grace)
{
    std::unique_lock lock(m_mutex);
    m_closing = true;
    for (const std::shared_ptr<Connection>& connection : m_connections)
        sockets::shutdownRead(connection->fd);
    m_changed.wait_for(lock, grace, [this] { return m_connections.empty(); });
    for (const std::shared_ptr<Connection>& connection : m_connections)
        sockets::shutdownBoth(connection->fd);
}

void HttpServer::guardDeadlines()
{
    std::unique_lock lock(m_mutex);
    while (!m_closing) {
        const SteadyClock::time_point now = SteadyClock::now();
        for (const std::shared_ptr<Connection>& connection : m_connections)
            if (connection->reading && now >= connection->deadline) {
                connection->reading = false;
                sockets::shutdownBoth(connection->fd);
                qCInfo(lcRuntime, "API: a client that did not send its request within %lld s was cut off",
                       static_cast<long long>(m_deadline.count()));
            }
        m_changed.wait_for(lock, kGuardInterval);
    }
}

} // namespace cvn::api
