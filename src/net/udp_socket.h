// The thin socket layer: one IPv4 UDP socket and the few calls the engine makes on it.
// Everything platform-specific about sockets lives behind this header.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "net/client_endpoint.h"

namespace quillet::net {

#ifdef _WIN32
using SocketHandle = std::uintptr_t;  // SOCKET
#else
using SocketHandle = int;
#endif

/// The platform's code for the most recent failed socket call (errno here, WSAGetLastError on
/// Windows).
std::uint32_t lastError();

/// Starts the platform's socket layer; false when it cannot start. Nothing to do on POSIX.
bool startup();

/// Undoes startup().
void cleanup();

enum class WaitResult { Readable, TimedOut, Interrupted, Failed };

/// A datagram that receiveQueued took: its peer and its length, or a length of -1 when it was
/// dropped whole (larger than its buffer, not from an IPv4 peer, or its receive failed).
struct ReceivedDatagram {
    ClientEndpoint from;
    std::ptrdiff_t length = -1;
};

/// One IPv4 UDP socket, closed when the object goes.
class UdpSocket {
  public:
    UdpSocket() = default;
    ~UdpSocket() { close(); }
    UdpSocket(UdpSocket&& other) noexcept : handle_(std::exchange(other.handle_, kInvalid)) {}
    UdpSocket& operator=(UdpSocket&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, kInvalid);
        }
        return *this;
    }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    /// Creates the socket, with errors that come back for its sends kept for
    /// takeUnreachablePeers; false (and lastError() set) on failure.
    bool open();

    /// Binds to 0.0.0.0 and the given port (host order; 0 asks for any free port).
    bool bind(std::uint16_t port);

    /// The local port in host order, or 0 when not bound.
    std::uint16_t localPort() const;

    /// Waits until a datagram can be read, for at most the given time.
    WaitResult waitReadable(std::chrono::milliseconds timeout) const;

    /// Receives one datagram into buffer. Returns its length, or -1 when the receive failed or
    /// the datagram did not fit (it is then discarded whole, never handed on cut short).
    std::ptrdiff_t receive(std::span<std::uint8_t> buffer, ClientEndpoint& from) const;

    /// Takes datagrams that are already queued, never waiting: up to received.size() of them (at
    /// most buffers.size()), the i-th into buffers[i], its peer and length into received[i].
    /// Returns how many it took, dropped ones included; 0 when none was queued. POSIX takes them
    /// in one call; Windows takes at most one per call.
    std::size_t receiveQueued(std::span<const std::span<std::uint8_t>> buffers,
                              std::span<ReceivedDatagram> received) const;

    /// Reads up to unreachable.size() entries of the socket's queue of errors that came back for
    /// earlier sends, and returns how many peers it put into unreachable: those whose port
    /// answered that nothing listens there (ICMP port unreachable).
    std::size_t takeUnreachablePeers(std::span<ClientEndpoint> unreachable) const;

    /// Sends one datagram; returns the bytes sent or a negative value on failure.
    std::ptrdiff_t sendTo(const ClientEndpoint& to, std::span<const std::uint8_t> bytes) const;

    /// Closes the socket if it is open.
    void close();

  private:
    static constexpr SocketHandle kInvalid = static_cast<SocketHandle>(-1);
    SocketHandle handle_ = kInvalid;
};

}  // namespace quillet::net
