#include "net/client_endpoint.h"

#include <array>
#include <cstdio>
#include <cstring>

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

}  // namespace

std::strong_ordering operator<=>(const ClientEndpoint& a, const ClientEndpoint& b) {
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

std::string addressText(std::uint32_t address) {
    // Formatted here rather than with inet_ntoa, whose static buffer the two threads would share.
    const auto octets = storedBytes(address);
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned{octets[0]},
                                     unsigned{octets[1]}, unsigned{octets[2]}, unsigned{octets[3]});
    return std::string(text, static_cast<std::size_t>(length));
}

std::uint64_t shareKey(const ClientEndpoint& endpoint) {
    return endpoint.address;
}

std::string endpointText(const ClientEndpoint& endpoint) {
    char text[32];
    const int length =
        std::snprintf(text, sizeof text, "%s (%u)", addressText(endpoint.address).c_str(),
                      unsigned{endpoint.hostPort()});
    return std::string(text, static_cast<std::size_t>(length));
}

}  // namespace quillet
