#include "platform/Sockets.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cvn::sockets {

namespace {

int errorOf(int result)
{
    return result < 0 ? errno : 0;
}

sockaddr_in loopbackAddress(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace

QString errnoText(int error)
{
    // strerror follows LC_MESSAGES, which Qt sets from the environment; the
    // log and the status text must read the same on every machine.
    const char* description = strerrordesc_np(error);
    return QStringLiteral("errno %1 (%2)")
        .arg(error)
        .arg(description ? QString::fromUtf8(description) : QStringLiteral("Unknown error"));
}

bool isInterrupted(int error)
{
    return error == EINTR;
}

bool isWouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

bool isAddressInUse(int error)
{
    return error == EADDRINUSE;
}

bool isOutOfDescriptors(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

int wouldBlockError()
{
    return EAGAIN;
}

Opened openTcpSocket()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return {fd, errorOf(fd)};
}

int setReuseAddress(int fd)
{
    const int one = 1;
    return errorOf(::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one));
}

int setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        return errno;
    return errorOf(::fcntl(fd, F_SETFL, flags | O_NONBLOCK));
}

int bindLoopback(int fd, uint16_t port)
{
    const sockaddr_in address = loopbackAddress(port);
    return errorOf(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address));
}

bool isBoundToLoopback(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    return address.sin_family == AF_INET && address.sin_addr.s_addr == htonl(INADDR_LOOPBACK);
}

uint16_t boundPort(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0
        || address.sin_family != AF_INET)
        return 0;
    return ntohs(address.sin_port);
}

int listenOn(int fd, int backlog)
{
    return errorOf(::listen(fd, backlog));
}

Accepted acceptClient(int listenFd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&address), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return {-1, errno, {}};
    char text[INET_ADDRSTRLEN] = {};
    const bool shown = address.sin_family == AF_INET
        && ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) != nullptr;
    const QString host = shown ? QString::fromLatin1(text) : QStringLiteral("?");
    return {fd, 0, host + QLatin1Char(':') + QString::number(ntohs(address.sin_port))};
}

Transfer receive(int fd, char* into, std::size_t capacity)
{
    const ssize_t n = ::recv(fd, into, capacity, 0);
    return {n, n < 0 ? errno : 0};
}

Transfer sendSome(int fd, const char* from, std::size_t size)
{
    const ssize_t n = ::send(fd, from, size, MSG_NOSIGNAL);
    return {n, n < 0 ? errno : 0};
}

void shutdownWrite(int fd)
{
    ::shutdown(fd, SHUT_WR);
}

void closeDescriptor(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

int pollEntries(std::vector<PollEntry>& entries, int timeoutMs)
{
    std::vector<pollfd> fds(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        fds[i].fd = entries[i].fd;
        fds[i].events = static_cast<short>((entries[i].wantRead ? POLLIN : 0)
                                           | (entries[i].wantWrite ? POLLOUT : 0));
    }
    const int result = ::poll(fds.data(), fds.size(), timeoutMs);
    if (result < 0) {
        const int error = errno;
        for (PollEntry& entry : entries)
            entry.readable = entry.writable = false;
        return error;
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const short got = fds[i].revents;
        const bool broken = (got & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        entries[i].readable = (got & POLLIN) != 0 || (broken && entries[i].wantRead);
        entries[i].writable = (got & POLLOUT) != 0 || (broken && entries[i].wantWrite);
    }
    return 0;
}

long raiseDescriptorLimit(long* before)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (before)
        *before = long(limit.rlim_cur);
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? LONG_MAX : long(limit.rlim_cur);
}

Wakeup::Wakeup()
    : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
}

Wakeup::~Wakeup()
{
    closeDescriptor(m_fd);
}

void Wakeup::signal()
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_fd, &one, sizeof one);
}

void Wakeup::drain()
{
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(m_fd, &count, sizeof count);
}

void shutdownRead(int fd)
{
    ::shutdown(fd, SHUT_RD);
}

void shutdownBoth(int fd)
{
    ::shutdown(fd, SHUT_RDWR);
}

PeerState peerState(int fd)
{
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 0) <= 0)
        return PeerState::open;
    if (entry.revents & (POLLERR | POLLNVAL))
        return PeerState::gone;
    char byte = 0;
    const ssize_t got = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got > 0 || (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)))
        return PeerState::open;
    if (got < 0 || (entry.revents & POLLHUP))
        return PeerState::gone;
    return PeerState::doneSending;
}

} // namespace cvn::sockets
