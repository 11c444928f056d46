#include "net/socket_api_win32.h"

#include <mswsock.h>

#include <algorithm>
#include <climits>

#include "net/socket_address.h"
#include "net/udp_socket.h"

namespace quillet::net {
namespace {

/// Receives one datagram into buffer: its length, or none when the receive failed or the
/// datagram did not fit. A datagram longer than the buffer fails with WSAEMSGSIZE (its first
/// bytes in the buffer, the rest gone): it is dropped whole. WSAECONNRESET reports an earlier
/// send's port unreachable, not a fault of this socket; it is dropped like any failed receive.
std::optional<std::size_t> receiveOne(SocketHandle socket, std::span<std::uint8_t> buffer,
                                      ClientEndpoint& from) {
    SocketAddress source;
    const int received =
        ::recvfrom(socket, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()),
                   0, source.get(), &source.length);
    const auto peer = endpointOf(source);
    if (received == SOCKET_ERROR || !peer) {
        return std::nullopt;
    }
    from = *peer;
    return static_cast<std::size_t>(received);
}

}  // namespace

std::uint32_t lastError() {
    return static_cast<std::uint32_t>(::WSAGetLastError());
}

bool startup() {
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return false;
    }
    if (data.wVersion != MAKEWORD(2, 2)) {
        ::WSACleanup();
        return false;
    }
    return true;
}

void cleanup() {
    ::WSACleanup();
}

bool UdpSocket::open(SocketFamily family) {
    close();
    const bool dualStack = family == SocketFamily::DualStack;
    const SOCKET created = ::WSASocketW(dualStack ? AF_INET6 : AF_INET, SOCK_DGRAM, IPPROTO_UDP,
                                        nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (created == INVALID_SOCKET) {
        return false;
    }
    handle_ = created;
    family_ = family;
    // Winsock's IPv6 sockets take IPv6 peers only unless told otherwise.
    DWORD v6Only = 0;
    if (dualStack && ::setsockopt(created, IPPROTO_IPV6, IPV6_V6ONLY,
                                  reinterpret_cast<const char*>(&v6Only), sizeof v6Only) != 0) {
        const int error = ::WSAGetLastError();
        close();
        ::WSASetLastError(error);
        return false;
    }
    // No other program may bind port 69 beside us, on a specific address or with SO_REUSEADDR,
    // and take our clients' datagrams: the bind then fails for whichever comes second.
    BOOL exclusive = TRUE;
    if (::setsockopt(created, SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                     reinterpret_cast<const char*>(&exclusive), sizeof exclusive) != 0) {
        close();
        return false;
    }
    // An ICMP port unreachable for an earlier send would otherwise fail the next receive with
    // WSAECONNRESET. The receive copes with that anyway; this only spares the wasted pass.
    BOOL reportResets = FALSE;
    DWORD returned = 0;
    ::WSAIoctl(created, SIO_UDP_CONNRESET, &reportResets, sizeof reportResets, nullptr, 0,
               &returned, nullptr, nullptr);
    return true;
}

WaitResult UdpSocket::waitReadable(std::chrono::milliseconds timeout) const {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(handle_, &readable);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    timeval limit{static_cast<long>(seconds.count()),
                  static_cast<long>((timeout - seconds).count() * 1000)};
    const int ready = ::select(0, &readable, nullptr, nullptr, &limit);
    if (ready > 0 && FD_ISSET(handle_, &readable)) {
        return WaitResult::Readable;
    }
    if (ready == 0) {
        return WaitResult::TimedOut;
    }
    return ::WSAGetLastError() == WSAEINTR ? WaitResult::TimedOut : WaitResult::Failed;
}

// Winsock has no call that takes several datagrams: one per call, and only once a select without
// a timeout says one is there, so that the blocking socket never waits here.
std::size_t UdpSocket::receiveQueued(std::span<const std::span<std::uint8_t>> buffers,
                                     std::span<ReceivedDatagram> received) const {
    if (buffers.empty() || received.empty() ||
        waitReadable(std::chrono::milliseconds(0)) != WaitResult::Readable) {
        return 0;
    }
    received[0].length = receiveOne(handle_, buffers[0], received[0].from);
    return 1;
}

// Winsock cuts no datagrams apart: segmentsRefusedFrom_ stays 0, and every run goes one by one.
std::optional<SendResult> UdpSocket::sendSegmented(const ClientEndpoint&,
                                                   std::span<const std::uint8_t>, std::size_t) {
    return std::nullopt;
}

std::size_t UdpSocket::growReceiveBuffer(std::size_t bytes) {
    const int asked = static_cast<int>(std::min<std::size_t>(bytes, INT_MAX));
    ::setsockopt(handle_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&asked),
                 sizeof asked);
    int size = 0;
    int length = sizeof size;
    ::getsockopt(handle_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size), &length);
    return static_cast<std::size_t>(std::max(size, 0));
}

// Winsock counts no drops for a socket.
std::uint32_t UdpSocket::droppedDatagrams() const {
    return 0;
}

// Winsock keeps no queue of errors for earlier sends, and with its resets switched off (open) no
// such error reaches a send: a transfer to a peer that has gone ends through its resends instead.
bool UdpSocket::readErrorQueue(int) {
    return false;
}

bool UdpSocket::failedForOthers(int) {
    return false;
}

}  // namespace quillet::net
