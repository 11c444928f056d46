// The thin socket layer: one UDP socket for both address families and the few calls the engine
// makes on it. What both platforms share is in udp_socket.cpp, the rest in udp_socket_posix.cpp /
// udp_socket_win32.cpp.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "net/client_endpoint.h"
#include "net/platform_types.h"

namespace quillet::net {

/// The platform's code for the most recent failed socket call (errno here, WSAGetLastError on
/// Windows).
std::uint32_t lastError();

/// Starts the platform's socket layer; false when it cannot start. Nothing to do on POSIX.
bool startup();

/// Undoes startup().
void cleanup();

/// What a wait for a datagram found. A signal that ends the wait early reads as TimedOut.
enum class WaitResult { Readable, TimedOut, Failed };

/// A datagram that receiveQueued took: its peer and its length, or no length when it was dropped
/// whole (larger than its buffer, not from an IPv4 or IPv6 peer, or its receive failed).
struct ReceivedDatagram {
    ClientEndpoint from;
    std::optional<std::size_t> length;
};

/// What became of a datagram given to sendTo.
enum class SendResult {
    Sent,          // handed to the network whole
    LostToOthers,  // refused, every try, for errors that came back about other datagrams
    Failed,        // refused for its own destination, or sent short
};

/// An error that came back for an earlier send (an ICMP error, on Linux's error queue).
struct QueuedError {
    /// Whether it ends a transfer: nothing listens at the quoted port, reported from the quoted
    /// address itself.
    enum class Kind { PeerUnreachable, Other };
    Kind kind = Kind::Other;
    ClientEndpoint about;       // where the datagram it quotes went
    ClientEndpoint reporter;    // the address it came from (port 0); 0.0.0.0 when none
    std::uint8_t icmpType = 0;  // its ICMP (or ICMPv6) type and code; 0 and 0 for a local error
    std::uint8_t icmpCode = 0;
};

/// Hands each datagram laid back to back in bytes (segmentSize bytes each, the last possibly
/// shorter) to send in order, until send says Failed; returns how many went before that one.
template <typename Send>
std::size_t sendEachSegment(std::span<const std::uint8_t> bytes, std::size_t segmentSize,
                            Send&& send) {
    std::size_t count = 0;
    for (std::size_t offset = 0; segmentSize > 0 && offset < bytes.size();
         offset += segmentSize, ++count) {
        if (send(bytes.subspan(offset, std::min(segmentSize, bytes.size() - offset))) ==
            SendResult::Failed) {
            break;
        }
    }
    return count;
}

/// The address families a socket serves.
enum class SocketFamily {
    DualStack,  // IPv6, with IPv4 peers as IPv4-mapped addresses
    Ipv4,       // IPv4 only, where IPv6 is not available
};

/// One UDP socket, closed when the object goes.
class UdpSocket {
  public:
    UdpSocket() = default;
    ~UdpSocket() { close(); }
    UdpSocket(UdpSocket&& other) noexcept
        : handle_(std::exchange(other.handle_, kNoSocket)),
          family_(other.family_),
          segmentsRefusedFrom_(other.segmentsRefusedFrom_),
          queued_(std::move(other.queued_)) {}
    UdpSocket& operator=(UdpSocket&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, kNoSocket);
            family_ = other.family_;
            segmentsRefusedFrom_ = other.segmentsRefusedFrom_;
            queued_ = std::move(other.queued_);
        }
        return *this;
    }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    /// Creates a socket of the given family, with errors that come back for its sends kept for
    /// takeQueuedErrors; false (and lastError() set) on failure, also when a dual-stack socket
    /// cannot take IPv4 peers. IPv4 unless told otherwise.
    bool open(SocketFamily family = SocketFamily::Ipv4);

    /// The family the open socket serves.
    SocketFamily family() const { return family_; }

    /// Binds to every local address ([::] or 0.0.0.0) and the given port (host order; 0 asks for
    /// any free port).
    bool bind(std::uint16_t port);

    /// The local port in host order, or 0 when not bound.
    std::uint16_t localPort() const;

    /// Waits until a datagram can be read, for at most the given time.
    WaitResult waitReadable(std::chrono::milliseconds timeout) const;

    /// Takes datagrams that are already queued, never waiting: up to received.size() of them (at
    /// most buffers.size()), the i-th into buffers[i], its peer and length into received[i].
    /// Returns how many it took, dropped ones included; 0 when none was queued. POSIX takes them
    /// in one call; Windows takes at most one per call.
    std::size_t receiveQueued(std::span<const std::span<std::uint8_t>> buffers,
                              std::span<ReceivedDatagram> received) const;

    /// Moves up to into.size() errors that came back for earlier sends into into, those sendTo
    /// read first; returns how many.
    std::size_t takeQueuedErrors(std::span<QueuedError> into);

    /// True when sendTo read errors that takeQueuedErrors has not taken yet.
    bool holdsQueuedErrors() const { return !queued_.empty(); }

    /// Sends one datagram. The socket reports an error that came back about any earlier datagram
    /// on the next send, whatever its destination: such a send is tried again (the errors it
    /// read are kept for takeQueuedErrors) and never fails for it.
    SendResult sendTo(const ClientEndpoint& to, std::span<const std::uint8_t> bytes);

    /// Sends the datagrams laid back to back in bytes, each segmentSize bytes but the last, which
    /// may be shorter, to one destination: in one call where the system cuts them apart (UDP
    /// segmentation offload, up to kMostSegments), otherwise one sendTo each. Returns how many
    /// went out, or were lost as sendTo's LostToOthers; fewer than all when the next failed.
    std::size_t sendSegments(const ClientEndpoint& to, std::span<const std::uint8_t> bytes,
                             std::size_t segmentSize);

    /// Asks for a receive queue of bytes, beyond the system's maximum where the process may;
    /// returns the size the socket has now, as the system counts it.
    std::size_t growReceiveBuffer(std::size_t bytes);

    /// The running count of datagrams the system dropped for this socket, its receive queue
    /// being full; 0 where the platform keeps no such count (Windows).
    std::uint32_t droppedDatagrams() const;

    /// Closes the socket if it is open.
    void close();

    /// The most datagrams one segmented send carries (older Linux kernels take no more).
    static constexpr std::size_t kMostSegments = 64;

  private:
    /// Errors read and not yet taken; those beyond it are read and dropped.
    static constexpr std::size_t kMostQueuedErrors = 256;

    /// Reads the socket's queue of errors into queued_, at most a bound's worth; true when one of
    /// them is an ICMP error reported as error (the platform's code). Windows keeps no such queue.
    bool readErrorQueue(int error);

    /// True when a send failed with error (the platform's code) only because an error had come
    /// back about another datagram (now read into queued_): the send may be tried again.
    bool failedForOthers(int error);

    /// Makes a send, again while it fails only for errors about other datagrams; send returns
    /// the bytes it sent or a negative value, and length is what it should have sent.
    template <typename Send>
    SendResult sendRetrying(std::size_t length, Send&& send) {
        constexpr int kTries = 3;
        for (int attempt = 0; attempt < kTries; ++attempt) {
            const auto sent = send();
            if (sent >= 0) {
                return static_cast<std::size_t>(sent) == length ? SendResult::Sent
                                                                : SendResult::Failed;
            }
            if (!failedForOthers(static_cast<int>(lastError()))) {
                return SendResult::Failed;
            }
        }
        return SendResult::LostToOthers;
    }

    /// Sends bytes as datagrams of segmentSize in one call; none when the system refused to cut
    /// them apart (the route or the kernel cannot, or not at that size).
    std::optional<SendResult> sendSegmented(const ClientEndpoint& to,
                                            std::span<const std::uint8_t> bytes,
                                            std::size_t segmentSize);

    SocketHandle handle_ = kNoSocket;
    SocketFamily family_ = SocketFamily::Ipv4;
    /// Segmented sends are made for segments smaller than this: 0 where the system has none, and
    /// the smallest size it refused since (sendSegments then sends those one by one).
    std::size_t segmentsRefusedFrom_ = 0;
    std::vector<QueuedError> queued_;
};

}  // namespace quillet::net
