// What a read session needs from whoever owns it: a way to send, a log, and an event sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>

#include "log/line_limiter.h"
#include "net/client_endpoint.h"

namespace quillet {

class DataPacket;
class EventSink;
class LogSink;
class TftpPacket;

class SessionOwner {
  public:
    /// Encodes the packet and sends it to its peer; true when the whole datagram went out, or
    /// was lost on the way as any datagram may be (resends cover it), false when it could not be
    /// sent to that peer.
    virtual bool send(const TftpPacket& packet) = 0;

    /// Room for the DATA datagrams of one window laid back to back, shared by every session: what
    /// a session writes there is good until it calls sendRun.
    virtual std::span<std::uint8_t> runBuffer() = 0;

    /// Sends the datagrams laid back to back in run, each segmentSize bytes but the last, which
    /// may be shorter, to client; returns how many of them went out as send's true would say,
    /// fewer than all when the next could not be sent to that peer.
    virtual std::size_t sendRun(const ClientEndpoint& client, std::span<const std::uint8_t> run,
                                std::size_t segmentSize) = 0;

    /// True when a line on topic about what client sent may be written in the second now;
    /// otherwise the owner counts it, so that a flood cannot flood the log.
    virtual bool admitLine(const ClientEndpoint& client, LineLimiter::Topic topic,
                           std::time_t now) = 0;

    /// The log, or null for none.
    virtual LogSink* logSink() const = 0;

    /// The sink for transfer events; never null (one without a window discards them).
    virtual EventSink& events() const = 0;

    /// True when transfer options are negotiated (RFC 2347); otherwise they are ignored.
    virtual bool negotiatesOptions() const = 0;

    /// A DATA packet with room for the largest block, shared by every session: one whose blocks
    /// do not fit its own packet reads each block into it just before sending it.
    virtual DataPacket& largeBlock() = 0;

    /// The wall clock in whole seconds since the epoch, for the times people read; the times
    /// passed to a session are monotonic and good only for intervals.
    virtual std::time_t wallTime() const = 0;

  protected:
    ~SessionOwner() = default;
};

}  // namespace quillet
