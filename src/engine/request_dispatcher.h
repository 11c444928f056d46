// Turns each datagram into a packet and routes it by opcode; owns the sessions, one per client
// endpoint, and is the service point through which they send and log.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <span>
#include <vector>

#include "log/clock.h"
#include "log/event_sink.h"
#include "log/line_limiter.h"
#include "net/client_endpoint.h"
#include "tftp/packet_handler.h"
#include "tftp/packets.h"
#include "tftp/read_session.h"
#include "tftp/served_file.h"
#include "tftp/session_owner.h"

namespace quillet {

class LogSink;
class PacketTransport;

class RequestDispatcher final : public PacketHandler, public SessionOwner {
  public:
    /// Room for the largest datagram we send, a DATA packet with a full block of the largest
    /// negotiable size (4 + 65,464 bytes), and two bytes to spare; every ERROR reply and OACK is
    /// shorter, and so is every window, whose DATA datagrams share the buffer back to back.
    static constexpr std::size_t kSendBufferCapacity = kLargestBlockSize + 6;
    static_assert(kSendBufferCapacity >= ReadSession::kLargestWindowBytes);
    static constexpr std::size_t kMaxSessions = 10'000;
    static constexpr std::size_t kReservedDescriptors = 32;  // the socket, the log, the window

    /// A dispatcher that runs at most maxSessions transfers at once, reads the wall clock for
    /// the times people read from clock (which must outlive it), and serves nothing until it is
    /// given a folder.
    explicit RequestDispatcher(std::size_t maxSessions = kMaxSessions,
                               const Clock& clock = systemClock())
        : maxSessions_(maxSessions), clock_(clock) {}
    RequestDispatcher(const RequestDispatcher&) = delete;
    RequestDispatcher& operator=(const RequestDispatcher&) = delete;
    ~RequestDispatcher() = default;

    /// The session cap for a process that may hold openFileLimit descriptors: all but a reserve,
    /// and never more than kMaxSessions.
    static std::size_t sessionCapFor(std::size_t openFileLimit);

    /// Lowers the session cap (it never rises above the one given at construction).
    void limitSessions(std::size_t maxSessions) {
        maxSessions_ = std::min(maxSessions_, maxSessions);
    }

    /// The folder whose files are served.
    void serveFolder(ServedFolder folder) { folder_ = std::move(folder); }

    /// The log, or null for none.
    void setLog(LogSink* log) { logSink_ = log; }
    /// The sink for transfer events, or null to discard them.
    void setEventSink(EventSink* events) { events_ = events != nullptr ? events : &discard_; }
    /// Where datagrams go; without one every send fails.
    void setTransport(PacketTransport* transport) { transport_ = transport; }
    /// Whether transfer options are negotiated (off: they are ignored); set before serving.
    void setNegotiatesOptions(bool negotiates) { negotiatesOptions_ = negotiates; }

    /// Handles one received datagram from endpoint; returns the result of the handler it reached.
    HandlerResult dispatch(const ClientEndpoint& endpoint, std::span<const std::uint8_t> datagram,
                           std::time_t now);

    HandlerResult onReadRequest(const ReadRequestPacket& packet, std::time_t now) override;
    HandlerResult onWriteRequest(const WriteRequestPacket& packet, std::time_t now) override;
    HandlerResult onAck(const AckPacket& packet, std::time_t now) override;
    HandlerResult onError(const ErrorPacket& packet, std::time_t now) override;
    bool send(const TftpPacket& packet) override;
    std::span<std::uint8_t> runBuffer() override { return sendBuffer_; }
    std::size_t sendRun(const ClientEndpoint& client, std::span<const std::uint8_t> run,
                        std::size_t segmentSize) override;
    LogSink* logSink() const override { return logSink_; }
    EventSink& events() const override { return *events_; }
    std::time_t wallTime() const override { return clock_.wall(); }
    bool negotiatesOptions() const override { return negotiatesOptions_; }
    DataPacket& largeBlock() override { return largeBlock_; }
    bool admitLine(const ClientEndpoint& client, LineLimiter::Topic topic,
                   std::time_t now) override {
        return lines_.admit(logSink_, client, topic, now);
    }

    /// Ticks every session in key order, then removes those that are over. The times passed to
    /// dispatch and tick are seconds of a monotonic clock.
    void tick(std::time_t now);

    /// Nothing listens at endpoint any more (an ICMP port unreachable came back in the second
    /// now): its transfer ends.
    HandlerResult onUnreachable(const ClientEndpoint& endpoint, std::time_t now);

    /// The session of endpoint, or null.
    ReadSession* findSession(const ClientEndpoint& endpoint);

    /// A new session for endpoint, or null if it already has one.
    ReadSession* createSession(const ClientEndpoint& endpoint);

    /// Removes and destroys the session of endpoint, if it has one.
    void removeSession(const ClientEndpoint& endpoint);

    std::size_t sessionCount() const { return sessions_.size(); }

    /// The most sessions one host may hold: half the cap, so that one address (a forger's, or a
    /// translator's with many clients behind it) cannot take every session.
    std::size_t hostShare() const { return std::max<std::size_t>(1, maxSessions_ / 2); }

  private:
    /// Passes a packet to its peer's session, removing the session when the exchange is over;
    /// without a session the packet is refused as noSession.
    template <typename Packet>
    HandlerResult forwardToSession(const Packet& packet, std::time_t now,
                                   HandlerResult (ReadSession::*operation)(const Packet&,
                                                                           std::time_t),
                                   Outcome noSession);

    LogSink* logSink_ = nullptr;            // not owned
    PacketTransport* transport_ = nullptr;  // not owned
    EventSink discard_;                     // has no window: the null object
    EventSink* events_ = &discard_;         // not owned; never null
    bool negotiatesOptions_ = false;
    DataPacket largeBlock_ = DataPacket::withCapacity(kLargestBlockSize);
    PacketDecoder decoder_;  // its packets are reused for every datagram
    // Made once, on the heap: it is large, and the dispatcher may live on a stack.
    std::vector<std::uint8_t> sendBuffer_ = std::vector<std::uint8_t>(kSendBufferCapacity);
    std::size_t maxSessions_;
    const Clock& clock_;
    ServedFolder folder_;
    LineLimiter lines_;                               // for lines about what clients sent
    std::map<ShareKey, std::size_t> sessionsByHost_;  // no entry for none
    std::map<ClientEndpoint, ReadSession> sessions_;  // last: its sessions use the folder
};

}  // namespace quillet
