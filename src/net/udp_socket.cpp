// The socket calls that POSIX and Winsock share. The build includes the platform's spelling of
// them: net/socket_api_posix.h or net/socket_api_win32.h.
#include QUILLET_SOCKET_API

#include <algorithm>

#include <cstring>

#include "net/socket_address.h"
#include "net/udp_socket.h"

namespace quillet::net {

SocketAddress socketAddressOf(const ClientEndpoint& endpoint, bool dualStack) {
    SocketAddress address;
    if (dualStack) {
        sockaddr_in6 ipv6{};
        ipv6.sin6_family = AF_INET6;
        ipv6.sin6_port = endpoint.port;
        if (endpoint.family == AddressFamily::Ipv6) {
            std::memcpy(&ipv6.sin6_addr, endpoint.ipv6Address.data(), sizeof ipv6.sin6_addr);
            ipv6.sin6_scope_id = endpoint.scopeId;
        } else {
            const std::uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
            auto* bytes = reinterpret_cast<std::uint8_t*>(&ipv6.sin6_addr);
            std::memcpy(bytes, mapped, sizeof mapped);
            std::memcpy(bytes + sizeof mapped, &endpoint.address, sizeof endpoint.address);
        }
        std::memcpy(&address.storage, &ipv6, sizeof ipv6);
        address.length = sizeof ipv6;
    } else if (endpoint.family == AddressFamily::Ipv4) {
        sockaddr_in ipv4{};
        ipv4.sin_family = AF_INET;
        ipv4.sin_addr.s_addr = endpoint.address;
        ipv4.sin_port = endpoint.port;
        std::memcpy(&address.storage, &ipv4, sizeof ipv4);
        address.length = sizeof ipv4;
    } else {
        address.length = 0;
    }
    return address;
}

std::optional<ClientEndpoint> endpointOf(const SocketAddress& address) {
    if (address.storage.ss_family == AF_INET && address.length >= socklen_t{sizeof(sockaddr_in)}) {
        sockaddr_in ipv4{};
        std::memcpy(&ipv4, &address.storage, sizeof ipv4);
        return ClientEndpoint{ipv4.sin_addr.s_addr, ipv4.sin_port};
    }
    if (address.storage.ss_family == AF_INET6 &&
        address.length >= socklen_t{sizeof(sockaddr_in6)}) {
        sockaddr_in6 ipv6{};
        std::memcpy(&ipv6, &address.storage, sizeof ipv6);
        std::array<std::uint8_t, 16> bytes{};
        std::memcpy(bytes.data(), &ipv6.sin6_addr, bytes.size());
        return ipv6Endpoint(bytes, ipv6.sin6_port, ipv6.sin6_scope_id);
    }
    return std::nullopt;
}

bool UdpSocket::bind(std::uint16_t port) {
    // The unspecified address of either family: every local address.
    const ClientEndpoint any{
        0, htons(port),
        family_ == SocketFamily::DualStack ? AddressFamily::Ipv6 : AddressFamily::Ipv4};
    const SocketAddress address = socketAddressOf(any, family_ == SocketFamily::DualStack);
    return ::bind(handle_, address.get(), address.length) == 0;
}

std::uint16_t UdpSocket::localPort() const {
    SocketAddress address;
    if (::getsockname(handle_, address.get(), &address.length) != 0) {
        return 0;
    }
    const auto endpoint = endpointOf(address);
    return endpoint ? endpoint->hostPort() : 0;
}

std::size_t UdpSocket::takeQueuedErrors(std::span<QueuedError> into) {
    readErrorQueue(0);
    const auto count = std::min(into.size(), queued_.size());
    std::copy_n(queued_.begin(), count, into.begin());
    queued_.erase(queued_.begin(), queued_.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

SendResult UdpSocket::sendTo(const ClientEndpoint& to, std::span<const std::uint8_t> bytes) {
    const SocketAddress destination = socketAddressOf(to, family_ == SocketFamily::DualStack);
    if (destination.length == 0) {
        return SendResult::Failed;
    }
    return sendRetrying(bytes.size(), [&] {
        return ::sendto(handle_, reinterpret_cast<const char*>(bytes.data()),
                        static_cast<int>(bytes.size()), 0, destination.get(), destination.length);
    });
}

std::size_t UdpSocket::sendSegments(const ClientEndpoint& to, std::span<const std::uint8_t> bytes,
                                    std::size_t segmentSize) {
    const std::size_t count = segmentSize > 0 ? (bytes.size() + segmentSize - 1) / segmentSize : 0;
    if (count > 1 && count <= kMostSegments && segmentSize < segmentsRefusedFrom_) {
        if (const auto result = sendSegmented(to, bytes, segmentSize)) {
            return *result == SendResult::Failed ? 0 : count;
        }
        // Refused for this size (larger than the route's MTU, say) or for every size: those
        // go one by one from now on, and so does this run.
        segmentsRefusedFrom_ = segmentSize;
    }
    return sendEachSegment(bytes, segmentSize, [&](std::span<const std::uint8_t> datagram) {
        return sendTo(to, datagram);
    });
}

void UdpSocket::close() {
    if (handle_ != kNoSocket) {
        closeSocket(handle_);
        handle_ = kNoSocket;
    }
}

}  // namespace quillet::net
