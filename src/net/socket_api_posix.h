// The BSD socket calls that udp_socket.cpp makes, as POSIX spells them. Included only by the
// socket layer's own sources, never by a header.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/platform_types.h"

namespace quillet::net {

/// Closes an open socket.
inline void closeSocket(SocketHandle socket) {
    ::close(socket);
}

}  // namespace quillet::net
