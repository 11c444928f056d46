// The operations that decoded packets dispatch to, one per packet kind.
#pragma once

#include <ctime>

#include "tftp/handler_result.h"

namespace quillet {

class AckPacket;
class DataPacket;
class ErrorPacket;
class ReadRequestPacket;
class WriteRequestPacket;

class PacketHandler {
  public:
    /// Each packet kind calls its own operation; the defaults ignore the packet.
    virtual HandlerResult onReadRequest(const ReadRequestPacket&, std::time_t) {
        return HandlerResult::Ignored;
    }
    virtual HandlerResult onWriteRequest(const WriteRequestPacket&, std::time_t) {
        return HandlerResult::Ignored;
    }
    virtual HandlerResult onAck(const AckPacket&, std::time_t) { return HandlerResult::Ignored; }
    virtual HandlerResult onData(const DataPacket&, std::time_t) { return HandlerResult::Ignored; }
    virtual HandlerResult onError(const ErrorPacket&, std::time_t) {
        return HandlerResult::Ignored;
    }

  protected:
    PacketHandler() = default;
    ~PacketHandler() = default;
    PacketHandler(const PacketHandler&) = delete;
    PacketHandler& operator=(const PacketHandler&) = delete;
};

}  // namespace quillet
