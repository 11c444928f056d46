// The window end of the engine's messages: posts them into the Qt event queue.
#pragma once

#include <QObject>
#include <memory>
#include <mutex>

#include "log/engine_messages.h"

namespace quillet::ui {

/// Posts each engine message to a receiver object as an EngineEvent. Lives as long as the engine
/// that posts through it; the receiver may go first, and detaches itself before it does, after
/// which every post fails and the payload dies on the posting thread.
class QtMessageWindow final : public MessageWindow {
  public:
    QtMessageWindow() = default;
    QtMessageWindow(const QtMessageWindow&) = delete;
    QtMessageWindow& operator=(const QtMessageWindow&) = delete;

    /// Sets the object that receives the events (on its own thread); null for none.
    void attach(QObject* receiver);

    /// Stops posting; once this returns, no post reaches the former receiver any more.
    void detach() { attach(nullptr); }

    /// Queues the message for the receiver and returns at once. False, with the message
    /// destroyed, when no receiver is attached.
    bool post(std::unique_ptr<EngineMessage> message) override;

  private:
    // Held only while a post is queued, so the engine never waits for more than that.
    std::mutex mutex_;
    QObject* receiver_ = nullptr;
};

}  // namespace quillet::ui
