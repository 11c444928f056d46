// The BSD socket calls that udp_socket.cpp makes, as Winsock spells them. Included only by the
// socket layer's own sources, never by a header.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/platform_types.h"

namespace quillet::net {

static_assert(static_cast<SocketHandle>(INVALID_SOCKET) == kNoSocket);

/// Closes an open socket.
inline void closeSocket(SocketHandle socket) {
    ::closesocket(socket);
}

}  // namespace quillet::net
