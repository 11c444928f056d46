#include "ui/engine_event.h"

#include <array>

namespace quillet::ui {

EngineEvent::EngineEvent(std::unique_ptr<EngineMessage> message)
    : QEvent(typeFor(messageId(*message))), message_(std::move(message)) {}

QEvent::Type EngineEvent::typeFor(int messageId) {
    return static_cast<QEvent::Type>(QEvent::User + messageId);
}

bool EngineEvent::isEngineEventType(QEvent::Type type) {
    static constexpr std::array kMessageIds = {WM_LOG_LINE,          WM_TRANSFER_STARTED,
                                               WM_TRANSFER_PROGRESS, WM_TRANSFER_DONE,
                                               WM_TRANSFER_FAILED,   WM_SERVER_ERROR};
    for (const int id : kMessageIds) {
        if (type == typeFor(id)) {
            return true;
        }
    }
    return false;
}

}  // namespace quillet::ui
