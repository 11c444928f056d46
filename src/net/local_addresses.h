// The machine's own addresses: the answer to "which address do I type into the device?".
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quillet::net {

/// One address of this machine.
struct LocalAddress {
    bool ipv6 = false;
    /// Dotted decimal for IPv4; the usual compressed form for IPv6, with "%" and the interface
    /// for a link-local address ("fe80::1%eth0"; the interface's number on Windows).
    std::string text;
};

/// The addresses of the interfaces that are up, loopback left out, each once: IPv4 first, then
/// IPv6, each family in the order the system lists them. None when they cannot be read.
std::vector<LocalAddress> localAddresses();

/// The name of the interface with the given index, as a link-local address is written after its
/// "%": "eth0" on Linux, the number itself on Windows (and wherever the index names none).
std::string interfaceText(std::uint32_t index);

/// Each text once (the first kept), IPv4 first, then IPv6, each family in its order: what the
/// platforms' lists become.
std::vector<LocalAddress> distinctIpv4First(std::vector<LocalAddress> addresses);

/// The texts joined by ", " as far as they fit in capacity characters, then "and N more" for
/// the rest: "192.0.2.10, 198.51.100.7, and 3 more". "none" when there are none.
std::string addressListText(std::span<const std::string> texts, std::size_t capacity);

}  // namespace quillet::net
