// The socket calls that POSIX and Winsock share. The build includes the platform's spelling of
// them: net/socket_api_posix.h or net/socket_api_win32.h.
#include QUILLET_SOCKET_API

#include <algorithm>

#include "net/udp_socket.h"

namespace quillet::net {

bool UdpSocket::bind(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    return ::bind(handle_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

std::uint16_t UdpSocket::localPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(handle_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

std::size_t UdpSocket::takeQueuedErrors(std::span<QueuedError> into) {
    readErrorQueue(0);
    const auto count = std::min(into.size(), queued_.size());
    std::copy_n(queued_.begin(), count, into.begin());
    queued_.erase(queued_.begin(), queued_.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

SendResult UdpSocket::sendTo(const ClientEndpoint& to, std::span<const std::uint8_t> bytes) {
    constexpr int kTries = 3;
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_addr.s_addr = to.address;
    destination.sin_port = to.port;
    for (int attempt = 0; attempt < kTries; ++attempt) {
        const auto sent = ::sendto(
            handle_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
            reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
        if (sent >= 0) {
            return static_cast<std::size_t>(sent) == bytes.size() ? SendResult::Sent
                                                                  : SendResult::Failed;
        }
        if (!failedForOthers(static_cast<int>(lastError()))) {
            return SendResult::Failed;
        }
    }
    return SendResult::LostToOthers;
}

void UdpSocket::close() {
    if (handle_ != kNoSocket) {
        closeSocket(handle_);
        handle_ = kNoSocket;
    }
}

}  // namespace quillet::net
