// The engine's one UDP socket and its receive loop. Every packet of every transfer, both ways,
// goes through this socket, so clients (also behind address translation) see one server address
// and port for the whole exchange.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/exit_status.h"
#include "engine/packet_transport.h"
#include "engine/request_dispatcher.h"
#include "log/clock.h"
#include "log/line_limiter.h"
#include "net/udp_socket.h"
#include "tftp/served_file.h"

namespace quillet {

class EventSink;
class LogSink;

class UdpServer final : public PacketTransport {
  public:
    static constexpr std::uint16_t kTftpPort = 69;
    /// Larger than any request a client sends us, so that nothing usable is cut; a datagram that
    /// does not fit is dropped whole.
    static constexpr std::size_t kReceiveBufferCapacity = 4096;
    /// Datagrams taken by one receive call when that many are queued.
    static constexpr std::size_t kReceiveBatch = 32;
    /// The longest look for more datagrams once the queue is dry, before the loop waits again:
    /// about what a sleep and a wake-up cost. How long it looks follows what waiting found lately.
    static constexpr auto kLongestLook = std::chrono::microseconds(20);
    /// The receive queue asked for; Linux counts twice this, 8 MiB: an acknowledgement (832
    /// bytes as counted) from each of 10,000 sessions.
    static constexpr std::size_t kReceiveQueueBytes = 4 << 20;
    /// Receive calls in one pass, so that the stop flag and the tick are still seen in time.
    static constexpr std::size_t kMostReceivesPerPass = 1024;
    static constexpr std::time_t kTickInterval = 10;  // a tick comes once more than this has passed
    static constexpr auto kWaitForDatagram = std::chrono::seconds(2);

    /// A server for the given port (host order; tests pass 0 for any free port) whose receive
    /// loop reads the time from clock, which must outlive the server, and that serves the folder
    /// at servedFolder (an absolute path; empty for the working directory).
    explicit UdpServer(std::uint16_t port = kTftpPort, const Clock& clock = systemClock(),
                       std::string servedFolder = {});
    UdpServer(const UdpServer&) = delete;
    UdpServer& operator=(const UdpServer&) = delete;

    /// Gives the engine its log; set before run.
    void setLog(LogSink* log) { dispatcher_.setLog(log); }

    /// Gives the engine its event sink; set before run.
    void setEventSink(EventSink* events) { dispatcher_.setEventSink(events); }

    /// Names the working directory that the served folder stands in for, when the program passed
    /// it over; the "Serving" line says so. Set before run.
    void setPassedOverFolder(std::string folder) { passedOverFolder_ = std::move(folder); }

    /// Turns the negotiation of transfer options on or off (off by default); set before run.
    void setNegotiatesOptions(bool negotiates) { dispatcher_.setNegotiatesOptions(negotiates); }

    /// The steps of a start that may need privileges, for a program to take first thing, while it
    /// runs one thread: creates and binds the socket (dual-stack, or IPv4 alone where IPv6 is not
    /// available), and opens the served folder (also when the socket failed, so that the log file
    /// can be opened in it). Reports nothing: start does.
    void prepare();

    /// True once prepare has run.
    bool prepared() const { return prepared_; }

    /// The served folder's handle, for the log file, from prepare until start hands the folder
    /// to the dispatcher; kNoFileDescriptor otherwise.
    FileDescriptor servedFolderDescriptor() const { return folder_.descriptor(); }

    /// The engine thread's body: start, then serve until requestStop. Returns the exit status:
    /// 0 after serving, kExitCannotStart when start failed.
    int run();

    /// Asks the loop to end; it does within one pass (about 2 s). Safe from any thread, and from
    /// a signal handler.
    void requestStop() { stopRequested_.store(true); }

    /// Prepares, unless that has been done, and reports the outcome: "Quillet Server Ready..." and
    /// the served folder, or the failure, which is logged and reported as a server error. Then
    /// hands the folder to the dispatcher and sets the session cap from the open-file limit,
    /// which it raises to the hard limit. False when the engine cannot start.
    bool start();

    /// Receives, dispatches and ticks until a stop is requested, reading the time from the clock
    /// once per pass; closes the socket.
    void receiveLoop();

    /// Sends one datagram through the server's socket.
    net::SendResult sendTo(const ClientEndpoint& endpoint,
                           std::span<const std::uint8_t> bytes) override;

    /// Sends a run of datagrams through the server's socket, in one call where it can.
    std::size_t sendSegments(const ClientEndpoint& endpoint, std::span<const std::uint8_t> bytes,
                             std::size_t segmentSize) override;

    /// The bound port in host order (useful when constructed with 0), or 0.
    std::uint16_t boundPort() const { return socket_.localPort(); }

  private:
    /// Logs a start failure at level 3 and passes it to the event sink.
    void reportStartFailure(const char* text);

    /// Logs which folder is served, and why nothing is if so, and hands it to the dispatcher.
    void serveFolder();

    /// Logs the machine's addresses that clients can reach the server at ("Addresses: ...").
    void logAddresses();

    /// Dispatches every datagram already queued, a batch per receive call, and those that come
    /// while it looks a little longer (for lookBudget_); at most kMostReceivesPerPass calls.
    void dispatchQueued(std::time_t now);

    /// Lengthens the look when a wait of that long would have been spared by it, shortens it
    /// when the wait was longer than any look.
    void adaptLook(std::chrono::steady_clock::duration waited);

    /// Logs the datagrams the system dropped for the socket since the last time, if it did.
    void reportDrops();

    /// Acts on the errors that came back for earlier sends: a client's own host saying that
    /// nothing listens at its port ends its transfer; any other is noted at level 7 and dropped.
    void actOnQueuedErrors(std::time_t now);

    /// The monotonic clock in whole seconds.
    std::time_t monotonicSeconds() const;

    net::UdpSocket socket_;
    RequestDispatcher dispatcher_;
    std::vector<std::uint8_t> receiveStorage_;  // kReceiveBatch buffers, reused for every datagram
    std::array<std::span<std::uint8_t>, kReceiveBatch> receiveBuffers_{};
    std::array<net::ReceivedDatagram, kReceiveBatch> received_{};
    LineLimiter errorLines_;  // for the notes about errors that end no transfer
    std::chrono::steady_clock::duration lookBudget_ = kLongestLook;  // how long to look, for now
    std::uint32_t dropsReported_ = 0;  // the socket's drop count, as last logged
    std::atomic<bool> stopRequested_{false};
    std::uint16_t port_;
    const Clock& clock_;
    std::string servedFolder_;
    std::string passedOverFolder_;
    ServedFolder folder_;  // from prepare until start
    bool prepared_ = false;
    /// What prepare made of the socket.
    enum class SocketState { Bound, NotCreated, NotBound };
    SocketState socketState_ = SocketState::Bound;
    std::uint32_t prepareError_ = 0;          // the socket layer's code of a failed create or bind
    std::optional<std::uint32_t> ipv6Error_;  // why the socket serves IPv4 only, if it does
};

}  // namespace quillet
