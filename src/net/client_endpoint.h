// The identity of a client: its IPv4 address and UDP port, as the socket layer delivers them.
#pragma once

#include <compare>
#include <cstdint>
#include <string>

namespace quillet {

/// A peer's IPv4 address and UDP port, both held in network byte order exactly as the socket
/// address holds them, and used unchanged as the destination of replies.
struct ClientEndpoint {
    std::uint32_t address = 0;  // network byte order
    std::uint16_t port = 0;     // network byte order

    friend bool operator==(const ClientEndpoint&, const ClientEndpoint&) = default;

    /// The session table's key order: address first, then port, each read as the unsigned number
    /// its stored network-order bytes make in little-endian order. So the fourth octet of the
    /// address decides first, and the low byte of the port number before its high byte.
    friend std::strong_ordering operator<=>(const ClientEndpoint& a, const ClientEndpoint& b);

    /// The port in host order.
    std::uint16_t hostPort() const;
};

/// The dotted-decimal text of an address held in network byte order, "10.1.2.3".
std::string addressText(std::uint32_t address);

/// What one host's share of sessions and log lines is counted by: its address (so that an IPv6
/// client could one day count by its /64).
std::uint64_t shareKey(const ClientEndpoint& endpoint);

/// The text form of an endpoint used in every log line and in the transfer list:
/// dotted-decimal address, a blank and the port in host order in parentheses, "10.1.2.3 (1069)".
std::string endpointText(const ClientEndpoint& endpoint);

}  // namespace quillet
