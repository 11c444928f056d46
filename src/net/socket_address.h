// Socket addresses of either family and the endpoints they name. Included only by the socket
// layer's own sources, after the platform's socket header (QUILLET_SOCKET_API).
#pragma once

#include <optional>

#include "net/client_endpoint.h"

namespace quillet::net {

/// Room for a socket address of either family, and the length in use.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;

    /// The address, for the socket calls.
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

/// Where a socket of the given family sends to reach endpoint: an IPv4 peer as an IPv4-mapped
/// address on the dual-stack socket. Length 0 when the socket cannot reach it.
SocketAddress socketAddressOf(const ClientEndpoint& endpoint, bool dualStack);

/// The endpoint a received socket address names (an IPv4-mapped one as IPv4); none for any
/// other family or a length too short for its own.
std::optional<ClientEndpoint> endpointOf(const SocketAddress& address);

}  // namespace quillet::net
