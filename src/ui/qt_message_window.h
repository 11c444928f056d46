// The Qt window's end of the engine's messages: the bounded queue, with a posted event that asks
// the window's thread to take what is queued.
#pragma once

#include <QEvent>
#include <QObject>

#include "window/message_queue.h"

namespace quillet::ui {

/// Queues the engine's messages for a receiver object and, once per batch, posts it an event of
/// wakeEventType() so that it takes them on its own thread. Lives as long as the engine that
/// posts through it; the receiver may go first, and detaches itself before it does, after which
/// every post fails and the payload dies on the posting thread.
class QtMessageWindow final : public window::MessageQueue {
  public:
    QtMessageWindow() = default;
    ~QtMessageWindow() = default;

    /// The type of the event that tells the receiver to take() the queued messages.
    static QEvent::Type wakeEventType();

    /// Sets the object that receives the wake events (on its own thread) and starts taking
    /// posts.
    void attach(QObject* receiver);

    /// Refuses posts and destroys what is queued; once this returns, no event reaches the former
    /// receiver any more.
    void detach();

  private:
    void wake() override;

    // Written while the queue is closed, read by wake() under the queue's lock.
    QObject* receiver_ = nullptr;
};

}  // namespace quillet::ui
