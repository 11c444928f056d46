#include "net/client_endpoint.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "net/local_addresses.h"

namespace quillet {
namespace {

// The bytes of a stored network-order field, in memory order: the wire order.
template <typename Field>
std::array<std::uint8_t, sizeof(Field)> storedBytes(Field field) {
    std::array<std::uint8_t, sizeof(Field)> bytes{};
    std::memcpy(bytes.data(), &field, sizeof field);
    return bytes;
}

// The stored bytes read as a little-endian number, the same on any processor.
template <typename Field>
std::uint32_t littleEndianKey(Field field) {
    const auto bytes = storedBytes(field);
    std::uint32_t key = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) {
        key = (key << 8) | bytes[i];
    }
    return key;
}

// RFC 5952: lowercase hexadecimal groups without leading zeros, the longest run of two or more
// zero groups (the first of equals) written "::". Formatted here so that both platforms write
// the same text.
std::string ipv6Text(const std::array<std::uint8_t, 16>& bytes) {
    std::array<unsigned, 8> groups{};
    for (std::size_t i = 0; i < groups.size(); ++i) {
        groups[i] = (unsigned{bytes[2 * i]} << 8) | bytes[2 * i + 1];
    }
    std::size_t runStart = groups.size(), runLength = 0;
    for (std::size_t i = 0; i < groups.size();) {
        std::size_t end = i;
        while (end < groups.size() && groups[end] == 0) {
            ++end;
        }
        if (end - i > runLength && end - i >= 2) {
            runStart = i;
            runLength = end - i;
        }
        i = std::max(end, i + 1);
    }
    std::string text;
    char group[8];
    for (std::size_t i = 0; i < groups.size(); ++i) {
        if (i == runStart) {
            text += "::";
            i += runLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') {
            text += ':';
        }
        std::snprintf(group, sizeof group, "%x", groups[i]);
        text += group;
    }
    return text;
}

}  // namespace

std::strong_ordering operator<=>(const ClientEndpoint& a, const ClientEndpoint& b) {
    if (a.family != b.family) {
        return a.family <=> b.family;
    }
    if (a.family == AddressFamily::Ipv6) {
        if (const auto byAddress = a.ipv6Address <=> b.ipv6Address; byAddress != 0) {
            return byAddress;
        }
        if (const auto byScope = a.scopeId <=> b.scopeId; byScope != 0) {
            return byScope;
        }
        return a.hostPort() <=> b.hostPort();
    }
    if (const auto byAddress = littleEndianKey(a.address) <=> littleEndianKey(b.address);
        byAddress != 0) {
        return byAddress;
    }
    return littleEndianKey(a.port) <=> littleEndianKey(b.port);
}

std::uint16_t ClientEndpoint::hostPort() const {
    const auto bytes = storedBytes(port);
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

ClientEndpoint ipv6Endpoint(std::span<const std::uint8_t, 16> address, std::uint16_t port,
                            std::uint32_t scopeId) {
    static constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    ClientEndpoint endpoint;
    endpoint.port = port;
    if (std::equal(std::begin(kMappedPrefix), std::end(kMappedPrefix), address.begin())) {
        std::memcpy(&endpoint.address, address.data() + 12, sizeof endpoint.address);
        return endpoint;
    }
    endpoint.family = AddressFamily::Ipv6;
    std::copy(address.begin(), address.end(), endpoint.ipv6Address.begin());
    endpoint.scopeId = scopeId;
    return endpoint;
}

bool isLinkLocal(const ClientEndpoint& endpoint) {
    return endpoint.family == AddressFamily::Ipv6 && endpoint.ipv6Address[0] == 0xFE &&
           (endpoint.ipv6Address[1] & 0xC0) == 0x80;
}

std::string addressText(const ClientEndpoint& endpoint) {
    if (endpoint.family == AddressFamily::Ipv6) {
        std::string text = ipv6Text(endpoint.ipv6Address);
        if (isLinkLocal(endpoint)) {
            // Appended in two steps: "%" + a temporary trips a false -Wrestrict of g++ 12 at -O3.
            text += '%';
            text += net::interfaceText(endpoint.scopeId);
        }
        return text;
    }
    // Formatted here rather than with inet_ntoa, whose static buffer the two threads would share.
    const auto octets = storedBytes(endpoint.address);
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned{octets[0]},
                                     unsigned{octets[1]}, unsigned{octets[2]}, unsigned{octets[3]});
    return std::string(text, static_cast<std::size_t>(length));
}

ShareKey shareKey(const ClientEndpoint& endpoint) {
    ShareKey key;
    key.family = endpoint.family;
    if (endpoint.family == AddressFamily::Ipv4) {
        key.prefix = endpoint.address;
        return key;
    }
    for (std::size_t i = 0; i < 8; ++i) {
        key.prefix = (key.prefix << 8) | endpoint.ipv6Address[i];
    }
    key.scopeId = endpoint.scopeId;
    return key;
}

std::string endpointText(const ClientEndpoint& endpoint) {
    return addressText(endpoint) + " (" + std::to_string(endpoint.hostPort()) + ")";
}

}  // namespace quillet
