#pragma once

// The local server's connections, on cpp-httplib's server. httplib reads
// each request of a connection through a stream of its own, so the bytes of
// a request a client sent ahead (pipelined) went with the one before; here
// one stream serves a connection for its whole life. Each connection is
// known by its socket, so that a request overdue is cut off and a stop ends
// every connection at once, whatever its client is doing.

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
    // `deadline`: a connection's time to send each request whole. httplib's
    // own timeout is per read, so a client that sends a byte now and then
    // would hold a thread for ever.
    explicit HttpServer(std::chrono::seconds deadline);
    ~HttpServer() override;

    // Called on the serving thread as each request begins, before a byte of
    // it is read.
    std::function<void()> onRequestStart;
    // Called on the serving thread once each request is over, its answer
    // written whole or given up.
    std::function<void()> onRequestEnd;

    // The connection the calling thread serves; null on any other thread.
    static std::shared_ptr<Connection> current();
    // The calling thread's connection starts (false: stops) reading a request.
    void reading(bool now);

    // Ends every connection, now and to come: reads end at once, so idle,
    // slow and half-sent requests go; answers being written have `grace` to
    // finish, then every connection is cut. Waits for no client longer.
    void closeAll(std::chrono::milliseconds grace);

private:
    bool process_and_close_socket(socket_t sock) override;
    void guardDeadlines();

    const std::chrono::seconds m_deadline;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::shared_ptr<Connection>> m_connections;
    bool m_closing = false;
    std::thread m_guard;
};

} // namespace cvn::api
