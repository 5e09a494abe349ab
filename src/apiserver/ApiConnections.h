#pragma once

// The local server's connections, on cpp-httplib's server. httplib reads
// each request of a connection through a stream of its own, so the bytes of
// a request a client sent ahead (pipelined) went with the one before; here
// one stream serves a connection for its whole life. Each connection is
// known by its socket, so that a request overdue is cut off and a stop ends
// every connection at once, whatever its client is doing.
//
// A connection holds no thread while it waits for its client: one thread
// watches every waiting connection and gathers what each sends, and a
// connection goes to a thread of its own only once a whole request has come
// (head, and body by its length). So no number of idle or slow clients keeps
// a thread from a request that has come whole.

#include "platform/Sockets.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace cvn::api {

// One client connection, shared by the thread that serves it and the guard
// of deadlines; the fields change under HttpServer's lock.
struct Connection {
    int fd = -1;
    bool reading = false; // a request is being read
    std::chrono::steady_clock::time_point deadline;
    // The request is HTTP/1.1, so an interim (1xx) answer may go ahead of
    // its final one.
    bool interimAllowed = false;
};

class HttpServer : public httplib::Server {
public:
    // `deadline`: a connection's time to send each request whole, from its
    // first byte. httplib's own timeout is per read, so a client that sends
    // a byte now and then would hold a connection for ever.
    explicit HttpServer(std::chrono::seconds deadline);
    ~HttpServer() override;

    // Called on the serving thread as each request begins, before it is
    // parsed.
    std::function<void()> onRequestStart;
    // Called on the serving thread once each request is over, its answer
    // written whole or given up.
    std::function<void()> onRequestEnd;
    // Test seam: asked before each serving thread starts; true makes the
    // start fail as the system's does when it has no room for one.
    std::function<bool()> refuseThreadStart;

    // The connection the calling thread serves; null on any other thread.
    static std::shared_ptr<Connection> current();
    // The calling thread's connection starts (false: stops) reading a request.
    void reading(bool now);

    // Ends every connection, now and to come: reads end at once, so idle,
    // slow and half-sent requests go; answers being written have `grace` to
    // finish, then every connection is cut. Waits for no client longer.
    void closeAll(std::chrono::milliseconds grace);

private:
    struct Link;
    class Pool;
    class Queue;

    bool process_and_close_socket(socket_t sock) override;
    void watch();
    void serve(std::unique_ptr<Link> link);
    void park(std::unique_ptr<Link> link);
    void handOver(std::unique_ptr<Link> link);
    void end(std::unique_ptr<Link> link, bool drain);
    void endThreads();

    const std::chrono::seconds m_deadline;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::shared_ptr<Connection>> m_connections;
    // Connections handed to the watching thread, new or between requests.
    std::vector<std::unique_ptr<Link>> m_arriving;
    bool m_closing = false;
    bool m_ended = false;
    std::unique_ptr<Pool> m_pool;
    sockets::Wakeup m_wake;
    std::thread m_watcher;
};

} // namespace cvn::api
