// The identity of a client: its address (IPv4 or IPv6) and UDP port, as the socket layer
// delivers them.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <span>
#include <string>

namespace quillet {

/// Which kind of address an endpoint holds.
enum class AddressFamily : std::uint8_t { Ipv4, Ipv6 };

/// A peer's address and UDP port, held exactly as the socket address holds them (network byte
/// order) and used unchanged as the destination of replies. An IPv4 peer, also one that reached
/// the dual-stack socket as an IPv4-mapped IPv6 address, is always held as IPv4, so that it is the
/// same endpoint whichever socket it came through.
struct ClientEndpoint {
    std::uint32_t address = 0;  // IPv4: network byte order; 0 for IPv6
    std::uint16_t port = 0;     // network byte order
    AddressFamily family = AddressFamily::Ipv4;
    std::array<std::uint8_t, 16> ipv6Address{};  // IPv6: the address bytes; zero for IPv4
    std::uint32_t scopeId = 0;  // IPv6: the interface a link-local peer is reached through

    friend bool operator==(const ClientEndpoint&, const ClientEndpoint&) = default;

    /// The session table's key order: every IPv4 endpoint before every IPv6 one. IPv4: address
    /// first, then port, each read as the unsigned number its stored network-order bytes make in
    /// little-endian order, so the fourth octet of the address decides first, and the low byte of
    /// the port number before its high byte. IPv6: address bytes, then scope, then port number.
    friend std::strong_ordering operator<=>(const ClientEndpoint& a, const ClientEndpoint& b);

    /// The port in host order.
    std::uint16_t hostPort() const;
};

/// The endpoint of an IPv6 peer (address bytes, port in network order, scope id); an IPv4-mapped
/// address (::ffff:a.b.c.d) gives the IPv4 endpoint.
ClientEndpoint ipv6Endpoint(std::span<const std::uint8_t, 16> address, std::uint16_t port,
                            std::uint32_t scopeId);

/// True for an IPv6 address in fe80::/10, which means nothing without its interface.
bool isLinkLocal(const ClientEndpoint& endpoint);

/// The text of an endpoint's address without its port: dotted decimal for IPv4, "10.1.2.3"; the
/// shortest form of RFC 5952 for IPv6, "2001:db8::7", with "%" and the interface for a link-local
/// address, "fe80::1%eth0".
std::string addressText(const ClientEndpoint& endpoint);

/// What one host's share of sessions and log lines is counted by: an IPv4 client's address, an
/// IPv6 client's /64 prefix (one host usually holds a whole /64) with its scope.
struct ShareKey {
    AddressFamily family = AddressFamily::Ipv4;
    std::uint32_t scopeId = 0;
    std::uint64_t prefix = 0;  // the IPv4 address, or the first 64 bits of the IPv6 one

    friend auto operator<=>(const ShareKey&, const ShareKey&) = default;
};

/// The share key of an endpoint's host.
ShareKey shareKey(const ClientEndpoint& endpoint);

/// The text form of an endpoint used in every log line and in the transfer list: the address
/// text, a blank and the port in host order in parentheses, "10.1.2.3 (1069)",
/// "2001:db8::7 (49152)".
std::string endpointText(const ClientEndpoint& endpoint);

}  // namespace quillet
