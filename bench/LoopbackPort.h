#pragma once

// A loopback port free at the moment of asking, for a benchmark's own
// server. Another program may take it before the server binds it; the
// server's start then fails and says so.

#include "platform/Sockets.h"

#include <cstdint>

namespace cvn::bench {

inline uint16_t freeLoopbackPort()
{
    const sockets::Opened socket = sockets::openTcpSocket();
    uint16_t port = 0;
    if (socket.fd >= 0 && sockets::bindLoopback(socket.fd, 0) == 0)
        port = sockets::boundPort(socket.fd);
    if (socket.fd >= 0)
        sockets::closeDescriptor(socket.fd);
    return port;
}

} // namespace cvn::bench
