#pragma once

#include <cstddef>
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

    /// Sends the datagrams laid back to back in bytes, each segmentSize bytes but the last, which
    /// may be shorter, to the endpoint; returns how many went out (or were lost as LostToOthers),
    /// fewer than all when the next one failed. One sendTo each unless overridden.
    virtual std::size_t sendSegments(const ClientEndpoint& endpoint,
                                     std::span<const std::uint8_t> bytes, std::size_t segmentSize) {
        return net::sendEachSegment(bytes, segmentSize,
                                    [&](auto datagram) { return sendTo(endpoint, datagram); });
    }

  protected:
    ~PacketTransport() = default;
};

}  // namespace quillet
