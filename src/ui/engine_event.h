// The Qt form of an engine-to-window message: a posted event that owns the message.
#pragma once

#include <QEvent>
#include <memory>

#include "log/engine_messages.h"

namespace quillet::ui {

/// A posted event carrying one engine message. Its type is QEvent::User plus the message number
/// (WM_LOG_LINE and so on). The event owns the message, so whoever ends up with the event (the
/// receiver, or Qt when it drops the event of a destroyed receiver) destroys the payload.
class EngineEvent final : public QEvent {
  public:
    /// Takes the message; message must not be null.
    explicit EngineEvent(std::unique_ptr<EngineMessage> message);

    /// The event type that carries the given message number.
    static QEvent::Type typeFor(int messageId);

    /// True for the event types that carry engine messages.
    static bool isEngineEventType(QEvent::Type type);

    /// Hands the message to the receiver; the event holds none afterwards.
    std::unique_ptr<EngineMessage> takeMessage() { return std::move(message_); }

  private:
    std::unique_ptr<EngineMessage> message_;
};

}  // namespace quillet::ui
