// The window's end of the engine's messages: a queue that the engine posts into without waiting
// and the window's thread empties in one go, which stays bounded however fast the engine posts.
#pragma once

#include <cstddef>
#include <ctime>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "log/clock.h"
#include "log/engine_messages.h"
#include "window/window_model.h"

namespace quillet::window {

/// Holds what the engine posts until the window takes it. What is queued never changes what the
/// window ends up showing, but is bounded: a transfer's progress is kept only as its latest
/// value; past kMaxQueuedLines log lines the oldest go, counted in one line; and past
/// kMaxQueuedFinished transfers that both started and ended while queued, the one that ended
/// first goes whole, as the window would evict its row anyway. A transfer's start is otherwise
/// never dropped, nor its end, so no row stays running for want of one.
///
/// A view derives from it and implements wake(), which asks the view's thread to call take().
class MessageQueue : public MessageWindow {
  public:
    /// More queued lines than the window keeps, beside the line that counts the dropped ones,
    /// could never all be shown.
    static constexpr std::size_t kMaxQueuedLines = WindowModel::kMaxLogLines - 1;
    /// More queued finished transfers than the window keeps could never all be shown.
    static constexpr std::size_t kMaxQueuedFinished = WindowModel::kMaxFinishedRows;

    /// A closed queue; the count line is stamped with clock's wall time.
    explicit MessageQueue(const Clock& clock = systemClock());
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    /// Queues the message and returns at once; the first of a batch calls wake(). False, with
    /// the message destroyed on the caller's thread, while the queue is closed.
    bool post(std::unique_ptr<EngineMessage> message) final;

    /// Takes everything queued, in the order it was posted; first, when log lines were dropped,
    /// the line "%d more lines not shown in the window." with the time of the last drop.
    MessageBatch take();

    /// Starts taking posts.
    void open();

    /// Refuses posts from now on and destroys what is queued; once it returns, wake() is not
    /// called any more.
    void close();

    /// The messages posted and not yet taken.
    std::size_t queued() const;

  protected:
    ~MessageQueue();

    /// Asks the view's thread to call take(). Called with the queue's lock held, once per batch,
    /// on the posting thread: it must neither block nor call back into the queue.
    virtual void wake() = 0;

  private:
    using Slot = MessageBatch::iterator;

    /// The queued messages of one client's transfer whose end is not queued yet.
    struct OpenTransfer {
        std::optional<Slot> started;
        std::optional<Slot> progress;
    };

    /// Queues a message at the end and returns its slot.
    Slot push(EngineMessage message);

    void queueLine(EngineMessage message);
    void queueProgress(const ClientEndpoint& endpoint, EngineMessage message);
    void queueEnd(const ClientEndpoint& endpoint, EngineMessage message);

    /// take() with the lock held.
    MessageBatch takeLocked();

    mutable std::mutex mutex_;
    MessageBatch queue_;
    std::deque<Slot> lines_;                       // the queued log lines, oldest first
    std::map<ClientEndpoint, OpenTransfer> open_;  // by client
    std::deque<std::vector<Slot>> finished_;       // whole transfers, in the order they ended
    std::size_t droppedLines_ = 0;
    std::time_t lastDrop_ = 0;
    bool accepting_ = false;
    bool wakePending_ = false;
    const Clock& clock_;
};

}  // namespace quillet::window
