#include "engine/packet_handler.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string_view>

#include "log/log_sink.h"

namespace quillet {

HandlerResult PacketHandler::onReadRequest(const ReadRequestPacket&, std::time_t) {
    return HandlerResult::Ignored;
}

HandlerResult PacketHandler::onWriteRequest(const WriteRequestPacket&, std::time_t) {
    return HandlerResult::Ignored;
}

HandlerResult PacketHandler::onAck(const AckPacket&, std::time_t) {
    return HandlerResult::Ignored;
}

HandlerResult PacketHandler::onData(const DataPacket&, std::time_t) {
    return HandlerResult::Ignored;
}

HandlerResult PacketHandler::onError(const ErrorPacket&, std::time_t) {
    return HandlerResult::Ignored;
}

void PacketHandler::log(std::int32_t level, const char* format, ...) const {
    if (logSink_ == nullptr) {
        return;
    }
    char text[kLogTextCapacity];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length < 0) {
        return;
    }
    const auto kept = std::min(static_cast<std::size_t>(length), sizeof text - 1);
    logSink_->write(level, std::string_view(text, kept));
}

}  // namespace quillet
