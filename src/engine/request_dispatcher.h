// Turns each datagram into a packet and routes it by opcode; owns the sessions, one per client
// endpoint, and is the service point through which they send and log.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <span>

#include "log/event_sink.h"
#include "net/client_endpoint.h"
#include "tftp/packet_handler.h"
#include "tftp/read_session.h"
#include "tftp/session_owner.h"

namespace quillet {

class LogSink;
class PacketTransport;

class RequestDispatcher final : public PacketHandler, public SessionOwner {
  public:
    /// Room for the largest datagram we send, a DATA packet with a full block (4 + 512 bytes),
    /// and two bytes to spare; every ERROR reply is shorter.
    static constexpr std::size_t kSendBufferCapacity = kBlockSize + 6;

    RequestDispatcher() = default;
    ~RequestDispatcher() = default;

    /// The log, or null for none.
    void setLog(LogSink* log) { logSink_ = log; }
    /// The sink for transfer events, or null to discard them.
    void setEventSink(EventSink* events) { events_ = events != nullptr ? events : &discard_; }
    /// Where datagrams go; without one every send fails.
    void setTransport(PacketTransport* transport) { transport_ = transport; }

    /// Handles one received datagram from endpoint; returns the result of the handler it reached.
    HandlerResult dispatch(const ClientEndpoint& endpoint, std::span<const std::uint8_t> datagram,
                           std::time_t now);

    HandlerResult onReadRequest(const ReadRequestPacket& packet, std::time_t now) override;
    HandlerResult onWriteRequest(const WriteRequestPacket& packet, std::time_t now) override;
    HandlerResult onAck(const AckPacket& packet, std::time_t now) override;
    HandlerResult onError(const ErrorPacket& packet, std::time_t now) override;
    bool send(const TftpPacket& packet) override;
    LogSink* logSink() const override { return logSink_; }
    EventSink& events() const override { return *events_; }

    /// Ticks every session in key order, then removes those that are over.
    void tick(std::time_t now);

    /// The session of endpoint, or null.
    ReadSession* findSession(const ClientEndpoint& endpoint);

    /// A new session for endpoint, or null if it already has one.
    ReadSession* createSession(const ClientEndpoint& endpoint);

    /// Removes and destroys the session of endpoint, if it has one.
    void removeSession(const ClientEndpoint& endpoint);

    std::size_t sessionCount() const { return sessions_.size(); }

  private:
    /// Passes a packet to its peer's session, removing the session when the exchange is over.
    template <typename Packet>
    HandlerResult forwardToSession(const Packet& packet, std::time_t now,
                                   HandlerResult (ReadSession::*operation)(const Packet&,
                                                                           std::time_t),
                                   const char* kindName);

    LogSink* logSink_ = nullptr;            // not owned
    PacketTransport* transport_ = nullptr;  // not owned
    EventSink discard_;                     // has no window: the null object
    EventSink* events_ = &discard_;         // not owned; never null
    std::array<std::uint8_t, kSendBufferCapacity> sendBuffer_{};
    std::map<ClientEndpoint, ReadSession> sessions_;
};

}  // namespace quillet
