#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "net/client_endpoint.h"

namespace quillet {

/// Sends datagrams through the server's one socket.
class PacketTransport {
  public:
    /// Sends one datagram to the endpoint. Returns the bytes sent, or a negative value.
    virtual std::ptrdiff_t sendTo(const ClientEndpoint& endpoint,
                                  std::span<const std::uint8_t> bytes) = 0;

  protected:
    ~PacketTransport() = default;
};

}  // namespace quillet
