#include "ui/qt_message_window.h"

#include <QCoreApplication>

#include "ui/engine_event.h"

namespace quillet::ui {

void QtMessageWindow::attach(QObject* receiver) {
    const std::lock_guard lock(mutex_);
    receiver_ = receiver;
}

bool QtMessageWindow::post(std::unique_ptr<EngineMessage> message) {
    if (message == nullptr) {
        return false;
    }
    // Made before the lock is taken, and destroyed after it is released when nobody takes it.
    auto event = std::make_unique<EngineEvent>(std::move(message));
    const std::lock_guard lock(mutex_);
    if (receiver_ == nullptr) {
        return false;
    }
    // Qt owns a posted event; it deletes it after delivery, or with the receiver.
    QCoreApplication::postEvent(receiver_, event.release());
    return true;
}

}  // namespace quillet::ui
