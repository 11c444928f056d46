// The interface that decoded packets dispatch to, and through which sessions send, log and
// report transfer events.
#pragma once

#include <cstdint>
#include <ctime>

#include "tftp/handler_result.h"

// Checks printf-style arguments at compile time. mingw's printf functions follow the GNU dialect
// (%zu and friends), which plain "printf" would check against the Microsoft one.
#ifdef __MINGW32__
#define QUILLET_PRINTF_FORMAT(formatIndex, firstArgument) \
    __attribute__((format(gnu_printf, formatIndex, firstArgument)))
#else
#define QUILLET_PRINTF_FORMAT(formatIndex, firstArgument) \
    __attribute__((format(printf, formatIndex, firstArgument)))
#endif

namespace quillet {

class AckPacket;
class DataPacket;
class ErrorPacket;
class EventSink;
class LogSink;
class PacketTransport;
class ReadRequestPacket;
class TftpPacket;
class WriteRequestPacket;

class PacketHandler {
  public:
    /// Each packet kind calls its own operation; the defaults ignore the packet.
    virtual HandlerResult onReadRequest(const ReadRequestPacket& packet, std::time_t now);
    virtual HandlerResult onWriteRequest(const WriteRequestPacket& packet, std::time_t now);
    virtual HandlerResult onAck(const AckPacket& packet, std::time_t now);
    virtual HandlerResult onData(const DataPacket& packet, std::time_t now);
    virtual HandlerResult onError(const ErrorPacket& packet, std::time_t now);

    /// Encodes the packet and sends it to its peer; true only if the whole datagram went out.
    virtual bool send(const TftpPacket& packet) = 0;

    /// The periodic pass that lets silent sessions resend or give up.
    virtual void tick(std::time_t now) = 0;

    /// Formats one log line (at most 199 characters; longer output is cut) and hands it to the
    /// log sink. Without a log sink nothing is formatted.
    void log(std::int32_t level, const char* format, ...) const QUILLET_PRINTF_FORMAT(3, 4);

    /// The sink for transfer events, or null.
    EventSink* eventSink() const { return eventSink_; }

    static constexpr std::size_t kLogTextCapacity = 200;

  protected:
    PacketHandler() = default;
    ~PacketHandler() = default;
    PacketHandler(const PacketHandler&) = delete;
    PacketHandler& operator=(const PacketHandler&) = delete;

    LogSink* logSink_ = nullptr;            // not owned
    EventSink* eventSink_ = nullptr;        // not owned
    PacketTransport* transport_ = nullptr;  // not owned
};

}  // namespace quillet
