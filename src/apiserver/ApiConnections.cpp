#include "apiserver/ApiConnections.h"

#include "apiserver/RequestGathering.h"
#include "platform/Logging.h"

#include <QThread>

#include <algorithm>
#include <cstring>
#include <deque>
#include <list>

namespace cvn::api {

namespace {

using SteadyClock = std::chrono::steady_clock;
// How often the deadlines of requests read on serving threads are looked at.
constexpr auto kGuardInterval = std::chrono::milliseconds(100);
// How long a closing connection waits for what its client still sends, so
// that the close is an orderly one and not a reset the client reads as a
// failed answer.
constexpr int kDrainMs = 100;
// Threads serve requests that have come whole, so they are few; the kept
// ones wait for the next, and one past them ends once it has been idle this
// long. The most there may be bounds what a burst of requests can take.
constexpr size_t kBaseThreads = 4;
constexpr size_t kMostThreads = 512;
constexpr auto kThreadIdle = std::chrono::seconds(5);
// A serving thread's stack. The deepest work on it is reading a request's
// JSON and its schema, whose nesting the readers bound; the system's default
// of 8 MiB a thread would make a few hundred threads cost gigabytes of
// address space.
constexpr unsigned kStackBytes = 1024 * 1024;

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

// One connection's bytes, buffered across its requests: the watching thread
// adds what the client sends while no request is being served, and the
// serving thread reads the socket itself for what a request still lacks.
class ConnectionStream final : public httplib::Stream {
public:
    ConnectionStream(int fd, int localPort, int readMs, int writeMs)
        : m_fd(fd), m_localPort(localPort), m_readMs(readMs), m_writeMs(writeMs)
    {
    }

    std::string_view pending() const { return std::string_view(m_buffer).substr(m_at); }
    void append(const char* bytes, size_t size)
    {
        compact();
        m_buffer.append(bytes, size);
    }

    bool is_readable() const override { return m_at < m_buffer.size(); }
    bool wait_readable() const override { return is_readable() || waitFor(m_fd, false, m_readMs); }
    bool wait_writable() const override { return waitFor(m_fd, true, m_writeMs); }
    ssize_t read(char* ptr, size_t size) override
    {
        if (m_at == m_buffer.size()) {
            if (!wait_readable()) {
                error_ = httplib::Error::Timeout;
                return -1;
            }
            compact();
            char chunk[16384];
            const sockets::Transfer got = sockets::receive(m_fd, chunk, sizeof chunk);
            if (got.bytes <= 0) {
                error_ = got.bytes == 0 ? httplib::Error::ConnectionClosed : httplib::Error::Read;
                return got.bytes;
            }
            m_buffer.append(chunk, size_t(got.bytes));
        }
        const size_t n = std::min(size, m_buffer.size() - m_at);
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
        size = m_buffer.size() - m_at;
        return size ? m_buffer.data() + m_at : nullptr;
    }
    void consume_buffered(size_t size) override { m_at += std::min(size, m_buffer.size() - m_at); }

private:
    // Read bytes go; an idle connection keeps no large buffer.
    void compact()
    {
        m_buffer.erase(0, m_at);
        m_at = 0;
        if (m_buffer.empty() && m_buffer.capacity() > 16384)
            std::string().swap(m_buffer);
    }

    int m_fd;
    int m_localPort;
    int m_readMs;
    int m_writeMs;
    std::string m_buffer;
    size_t m_at = 0;
    SteadyClock::time_point m_started = SteadyClock::now();
};

} // namespace

struct HttpServer::Link {
    Link(int fd, int localPort, int readMs, int writeMs)
        : connection(std::make_shared<Connection>()), stream(fd, localPort, readMs, writeMs), localPort(localPort)
    {
        connection->fd = fd;
    }
    std::shared_ptr<Connection> connection;
    ConnectionStream stream;
    int localPort;
    size_t served = 0; // requests answered
    SteadyClock::time_point idleSince = SteadyClock::now();
};

// Threads for the connections whose requests have come whole. A thread
// that cannot be started leaves its connection waiting for one that is
// busy; with none at all, the connection is refused.
class HttpServer::Pool {
public:
    explicit Pool(HttpServer& server) : m_server(server) {}
    ~Pool() { shutdown(); }

    // Takes `link` unless no thread can serve it.
    bool enqueue(std::unique_ptr<Link>& link)
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_shutdown)
                return false;
            if (m_links.size() >= m_idle && m_threads.size() < kMostThreads && !addThread() && m_threads.empty())
                return false;
            m_links.push_back(std::move(link));
        }
        m_changed.notify_one();
        return true;
    }
    void shutdown()
    {
        std::list<std::unique_ptr<QThread>> threads;
        std::deque<std::unique_ptr<Link>> left;
        {
            std::lock_guard lock(m_mutex);
            m_shutdown = true;
            threads = std::move(m_threads);
            threads.splice(threads.end(), m_ended);
        }
        m_changed.notify_all();
        for (const std::unique_ptr<QThread>& thread : threads)
            if (thread)
                thread->wait();
        {
            std::lock_guard lock(m_mutex);
            left = std::move(m_links);
        }
        for (std::unique_ptr<Link>& link : left)
            m_server.end(std::move(link), false);
    }

private:
    // Under the lock.
    bool addThread()
    {
        for (const std::unique_ptr<QThread>& ended : m_ended)
            ended->wait();
        m_ended.clear();
        bool refused = m_server.refuseThreadStart && m_server.refuseThreadStart();
        if (!refused) {
            m_threads.emplace_back();
            const auto self = std::prev(m_threads.end());
            std::unique_ptr<QThread> thread(QThread::create([this, self] { work(self); }));
            thread->setStackSize(kStackBytes);
            thread->start();
            // A start the system refused leaves the thread neither running
            // nor finished; one that ran already waits for this lock.
            refused = !thread->isRunning() && !thread->isFinished();
            if (refused)
                m_threads.erase(self);
            else
                *self = std::move(thread);
        }
        if (refused && !m_refusalTold)
            qCWarning(lcRuntime, "API: the system refused a thread for a connection; %s",
                      m_threads.empty() ? "the connection is refused" : "the connection waits for a busy one");
        m_refusalTold = refused;
        return !refused;
    }
    void work(std::list<std::unique_ptr<QThread>>::iterator self)
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            ++m_idle;
            const bool woken = m_changed.wait_for(lock, kThreadIdle, [this] { return m_shutdown || !m_links.empty(); });
            --m_idle;
            if (m_links.empty()) {
                if (m_shutdown)
                    return;
                if (!woken && m_threads.size() > kBaseThreads) {
                    // Waited for by the next thread added, or at the shutdown.
                    m_ended.splice(m_ended.end(), m_threads, self);
                    return;
                }
                continue;
            }
            std::unique_ptr<Link> link = std::move(m_links.front());
            m_links.pop_front();
            lock.unlock();
            m_server.serve(std::move(link));
            lock.lock();
        }
    }

    HttpServer& m_server;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::unique_ptr<Link>> m_links;
    std::list<std::unique_ptr<QThread>> m_threads;
    std::list<std::unique_ptr<QThread>> m_ended;
    size_t m_idle = 0;
    bool m_shutdown = false;
    bool m_refusalTold = false;
};

// httplib's accepting loop hands each new connection over here; taking it
// in costs no thread, so the loop never waits.
class HttpServer::Queue final : public httplib::TaskQueue {
public:
    explicit Queue(HttpServer& server) : m_server(server) {}
    bool enqueue(std::function<void()> job) override
    {
        job();
        return true;
    }
    void shutdown() override { m_server.endThreads(); }

private:
    HttpServer& m_server;
};

HttpServer::HttpServer(std::chrono::seconds deadline)
    : m_deadline(deadline)
    , m_pool(std::make_unique<Pool>(*this))
{
    new_task_queue = [this] { return new Queue(*this); };
    // httplib's default sets SO_REUSEPORT, with which a second program binds
    // the same port and the kernel splits the clients between the two.
    set_socket_options([](socket_t fd) { sockets::setReuseAddress(fd); });
    // Each connection holds a descriptor, and clients may keep thousands.
    long before = 0;
    const long now = sockets::raiseDescriptorLimit(&before);
    if (now > before)
        qCInfo(lcRuntime, "API: open descriptors allowed raised from %ld to %ld", before, now);
    m_watcher = std::thread([this] { watch(); });
}

HttpServer::~HttpServer()
{
    endThreads();
}

void HttpServer::endThreads()
{
    {
        std::lock_guard lock(m_mutex);
        m_closing = true;
        m_ended = true;
    }
    m_wake.signal();
    if (m_watcher.joinable() && m_watcher.get_id() != std::this_thread::get_id())
        m_watcher.join();
    m_pool->shutdown();
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
    auto link = std::make_unique<Link>(sock, int(sockets::boundPort(sock)), toMs(read_timeout_sec_, read_timeout_usec_),
                                       toMs(write_timeout_sec_, write_timeout_usec_));
    {
        std::lock_guard lock(m_mutex);
        m_connections.push_back(link->connection);
    }
    park(std::move(link));
    return true;
}

void HttpServer::park(std::unique_ptr<Link> link)
{
    link->idleSince = SteadyClock::now();
    {
        std::lock_guard lock(m_mutex);
        if (!m_closing) {
            // A request sent ahead in part has its time from now.
            link->connection->deadline = link->idleSince + m_deadline;
            m_arriving.push_back(std::move(link));
        }
    }
    if (link)
        return end(std::move(link), false);
    m_wake.signal();
}

void HttpServer::handOver(std::unique_ptr<Link> link)
{
    if (!m_pool->enqueue(link))
        end(std::move(link), false);
}

void HttpServer::end(std::unique_ptr<Link> link, bool drain)
{
    const int fd = link->connection->fd;
    {
        std::lock_guard lock(m_mutex);
        m_connections.erase(std::remove(m_connections.begin(), m_connections.end(), link->connection),
                            m_connections.end());
    }
    m_changed.notify_all();
    sockets::shutdownWrite(fd);
    char drained[4096];
    const auto drainEnd = SteadyClock::now() + std::chrono::milliseconds(drain ? kDrainMs : 0);
    for (int total = 0; total < (1 << 20);) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(drainEnd - SteadyClock::now());
        if (left.count() <= 0 || !waitFor(fd, false, int(left.count())))
            break;
        const sockets::Transfer got = sockets::receive(fd, drained, sizeof drained);
        if (got.bytes <= 0)
            break;
        total += int(got.bytes);
    }
    sockets::closeDescriptor(fd);
}

void HttpServer::serve(std::unique_ptr<Link> link)
{
    t_connection = link->connection;
    bool keep = true;
    for (;;) {
        if (onRequestStart)
            onRequestStart();
        {
            // The request's time runs from its first byte, already counted.
            std::lock_guard lock(m_mutex);
            link->connection->reading = true;
        }
        bool closed = false;
        const bool last = link->served + 1 >= keep_alive_max_count_;
        const bool served = serve_guarded([&] {
            return process_request(link->stream, "127.0.0.1", 0, "127.0.0.1", link->localPort, last, closed,
                                   [&link](httplib::Request& req) {
                                       link->connection->interimAllowed = req.version == "HTTP/1.1";
                                   });
        });
        reading(false);
        if (onRequestEnd)
            onRequestEnd();
        ++link->served;
        bool closing = false;
        {
            std::lock_guard lock(m_mutex);
            closing = m_closing;
        }
        if (!served || closed || last || closing) {
            keep = false;
            break;
        }
        // A request sent ahead whole is served at once, on this thread.
        if (gathered(link->stream.pending(), payload_max_length_) == Gathered::more)
            break;
        reading(true);
    }
    t_connection.reset();
    if (keep)
        park(std::move(link));
    else
        end(std::move(link), true);
}

void HttpServer::closeAll(std::chrono::milliseconds grace)
{
    std::unique_lock lock(m_mutex);
    m_closing = true;
    for (const std::shared_ptr<Connection>& connection : m_connections)
        sockets::shutdownRead(connection->fd);
    m_wake.signal();
    m_changed.wait_for(lock, grace, [this] { return m_connections.empty(); });
    for (const std::shared_ptr<Connection>& connection : m_connections)
        sockets::shutdownBoth(connection->fd);
}

// The one thread that waits for every connection no request of which is
// being served: it gathers what each client sends, hands a connection over
// once a request has come whole, and ends those idle past the keep-alive
// time or slower than the deadline. It also cuts off requests read on
// serving threads past their deadline.
void HttpServer::watch()
{
    std::vector<std::unique_ptr<Link>> parked;
    std::vector<sockets::PollEntry> entries;
    const auto keepAlive = std::chrono::seconds(keep_alive_timeout_sec_);
    char chunk[16384];
    for (;;) {
        bool closing = false;
        bool ended = false;
        SteadyClock::time_point now = SteadyClock::now();
        {
            std::lock_guard lock(m_mutex);
            for (std::unique_ptr<Link>& link : m_arriving)
                parked.push_back(std::move(link));
            m_arriving.clear();
            closing = m_closing;
            ended = m_ended;
            for (const std::shared_ptr<Connection>& connection : m_connections)
                if (connection->reading && now >= connection->deadline) {
                    connection->reading = false;
                    sockets::shutdownBoth(connection->fd);
                    qCInfo(lcRuntime, "API: a client that did not send its request within %lld s was cut off",
                           static_cast<long long>(m_deadline.count()));
                }
        }
        if (closing) {
            for (std::unique_ptr<Link>& link : parked)
                end(std::move(link), false);
            parked.clear();
            if (ended)
                return;
        }

        auto wakeAt = now + kGuardInterval;
        entries.assign(1, {m_wake.fd(), true, false});
        for (const std::unique_ptr<Link>& link : parked) {
            entries.push_back({link->connection->fd, true, false});
            wakeAt = std::min(wakeAt, link->stream.pending().empty() ? link->idleSince + keepAlive
                                                                     : link->connection->deadline);
        }
        const auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - now).count();
        const int error = sockets::pollEntries(entries, int(std::max<long long>(timeout, 0)) + 1);
        if (error != 0 && !sockets::isInterrupted(error)) {
            qCWarning(lcRuntime, "API: waiting for clients failed: %s", qUtf8Printable(sockets::errnoText(error)));
            std::this_thread::sleep_for(kGuardInterval);
            continue;
        }
        if (entries[0].readable)
            m_wake.drain();

        now = SteadyClock::now();
        std::vector<std::unique_ptr<Link>> waiting;
        waiting.reserve(parked.size());
        for (size_t i = 0; i < parked.size(); ++i) {
            std::unique_ptr<Link>& link = parked[i];
            bool hungUp = false;
            if (entries[i + 1].readable) {
                const bool began = link->stream.pending().empty();
                const sockets::Transfer got = sockets::receive(link->connection->fd, chunk, sizeof chunk);
                if (got.bytes > 0) {
                    link->stream.append(chunk, size_t(got.bytes));
                    if (began)
                        link->connection->deadline = now + m_deadline;
                } else if (!sockets::isInterrupted(got.error)) {
                    hungUp = true;
                }
            }
            const bool begun = !link->stream.pending().empty();
            // A client may send its end after a whole request, and wait for
            // the answer.
            if (begun && gathered(link->stream.pending(), payload_max_length_) != Gathered::more) {
                handOver(std::move(link));
            } else if (hungUp || (!begun && now >= link->idleSince + keepAlive)) {
                end(std::move(link), false);
            } else if (begun && now >= link->connection->deadline) {
                qCInfo(lcRuntime, "API: a client that did not send its request within %lld s was cut off",
                       static_cast<long long>(m_deadline.count()));
                sockets::shutdownBoth(link->connection->fd);
                end(std::move(link), false);
            } else {
                waiting.push_back(std::move(link));
            }
        }
        parked = std::move(waiting);
    }
}

} // namespace cvn::api
