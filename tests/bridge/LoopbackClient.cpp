#include "LoopbackClient.h"

#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace cvn::test {

HeldPort::HeldPort()
{
    m_fd = cvn::sockets::openTcpSocket().fd;
    if (m_fd >= 0 && cvn::sockets::bindLoopback(m_fd, 0) == 0 && cvn::sockets::listenOn(m_fd, 4) == 0)
        m_port = cvn::sockets::boundPort(m_fd);
}

HeldPort::~HeldPort()
{
    cvn::sockets::closeDescriptor(m_fd);
}

uint16_t freePort()
{
    HeldPort held;
    return held.port();
}

int connectLoopback(uint16_t port)
{
    const int fd = cvn::sockets::openTcpSocket().fd;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        cvn::sockets::closeDescriptor(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool sendAll(int fd, const QByteArray& bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const cvn::sockets::Transfer put =
            cvn::sockets::sendSome(fd, bytes.constData() + sent, static_cast<std::size_t>(bytes.size() - sent));
        if (put.bytes < 0 && cvn::sockets::isInterrupted(put.error))
            continue;
        if (put.bytes <= 0)
            return false;
        sent += put.bytes;
    }
    return true;
}

namespace {

// One receive; false when the stream ended or failed.
bool receiveInto(int fd, Received& got)
{
    char buffer[8192];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
        got.bytes.append(buffer, n);
        return true;
    }
    if (n == 0) {
        got.eof = true;
        return false;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return true;
    got.reset = true;
    return false;
}

} // namespace

Received readToEnd(int fd, int timeoutMs)
{
    Received got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        pollfd entry{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (::poll(&entry, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0)
            continue;
        if (!receiveInto(fd, got))
            break;
    }
    return got;
}

Received exchange(uint16_t port, const QByteArray& request, int chunkSize, int timeoutMs)
{
    Received got;
    const int fd = connectLoopback(port);
    if (fd < 0) {
        got.reset = true;
        return got;
    }
    const qsizetype step = chunkSize > 0 ? chunkSize : request.size();
    bool open = true;
    for (qsizetype at = 0; at < request.size() && open; at += step) {
        // Read while writing: a server that answers early must not be left
        // with a client stuck in send().
        const QByteArray piece = request.mid(at, step);
        qsizetype sent = 0;
        while (sent < piece.size()) {
            pollfd entry{fd, POLLIN | POLLOUT, 0};
            ::poll(&entry, 1, 1000);
            if (entry.revents & POLLIN) {
                if (!receiveInto(fd, got)) {
                    open = false;
                    break;
                }
            }
            if (entry.revents & POLLOUT) {
                const ssize_t n = ::send(fd, piece.constData() + sent, piece.size() - sent,
                                         MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0)
                    sent += n;
                else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    open = false;
                    break;
                }
            }
        }
        if (chunkSize > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (open) {
        const Received rest = readToEnd(fd, timeoutMs);
        got.bytes += rest.bytes;
        got.eof = rest.eof;
        got.reset = got.reset || rest.reset;
    }
    cvn::sockets::closeDescriptor(fd);
    return got;
}

} // namespace cvn::test
