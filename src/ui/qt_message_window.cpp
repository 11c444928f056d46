#include "ui/qt_message_window.h"

#include <QCoreApplication>
#include <memory>

namespace quillet::ui {

QEvent::Type QtMessageWindow::wakeEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

void QtMessageWindow::attach(QObject* receiver) {
    detach();
    receiver_ = receiver;
    open();
}

void QtMessageWindow::detach() {
    close();
    receiver_ = nullptr;
}

void QtMessageWindow::wake() {
    // Qt owns a posted event; it deletes it after delivery, or with the receiver.
    QCoreApplication::postEvent(receiver_, std::make_unique<QEvent>(wakeEventType()).release());
}

}  // namespace quillet::ui
