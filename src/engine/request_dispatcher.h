// Turns each datagram into a packet and routes it by opcode; owns the sessions, one per client
// endpoint, and is the service point through which they send and log.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <span>

#include "engine/packet_handler.h"
#include "tftp/client_endpoint.h"
#include "tftp/read_session.h"

namespace quillet {

class RequestDispatcher final : public PacketHandler {
  public:
    static constexpr std::size_t kSendBufferCapacity = 518;

    RequestDispatcher() = default;
    ~RequestDispatcher() = default;

    void setLog(LogSink* log) { logSink_ = log; }
    void setEventSink(EventSink* events) { eventSink_ = events; }
    void setTransport(PacketTransport* transport) { transport_ = transport; }

    /// Handles one received datagram from endpoint; returns the result of the handler it reached.
    HandlerResult dispatch(const ClientEndpoint& endpoint, std::span<const std::uint8_t> datagram,
                           std::time_t now);

    HandlerResult onReadRequest(const ReadRequestPacket& packet, std::time_t now) override;
    HandlerResult onWriteRequest(const WriteRequestPacket& packet, std::time_t now) override;
    HandlerResult onAck(const AckPacket& packet, std::time_t now) override;
    HandlerResult onError(const ErrorPacket& packet, std::time_t now) override;
    bool send(const TftpPacket& packet) override;

    /// Ticks every session in key order, then removes those that are over.
    void tick(std::time_t now) override;

    /// The session of endpoint, or null.
    ReadSession* findSession(const ClientEndpoint& endpoint);

    /// A new session for endpoint, or null if it already has one.
    ReadSession* createSession(const ClientEndpoint& endpoint);

    /// Removes and destroys the session of endpoint, if it has one.
    void removeSession(const ClientEndpoint& endpoint);

    std::size_t sessionCount() const { return sessions_.size(); }

    /// The length the encoder returned for the most recent send.
    int lastSendLength() const { return lastSendLength_; }

  private:
    /// Passes a packet to its peer's session, removing the session when the exchange is over.
    template <typename Packet>
    HandlerResult forwardToSession(const Packet& packet, std::time_t now,
                                   HandlerResult (ReadSession::*operation)(const Packet&,
                                                                           std::time_t),
                                   const char* kindName);

    std::array<std::uint8_t, kSendBufferCapacity> sendBuffer_{};
    int lastSendLength_ = 0;
    std::map<ClientEndpoint, ReadSession> sessions_;
};

}  // namespace quillet
