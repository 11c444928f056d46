#pragma once

#include <cstdint>
#include <span>

#include "net/client_endpoint.h"
#include "net/udp_socket.h"

namespace quillet {

/// Sends datagrams through the server's one socket.
class PacketTransport {
  public:
    /// Sends one datagram to the endpoint and says what became of it.
    virtual net::SendResult sendTo(const ClientEndpoint& endpoint,
                                   std::span<const std::uint8_t> bytes) = 0;

  protected:
    ~PacketTransport() = default;
};

}  // namespace quillet
