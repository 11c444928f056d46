#include "window/message_queue.h"

#include <utility>
#include <variant>

#include "log/logger.h"

namespace quillet::window {

MessageQueue::MessageQueue(const Clock& clock) : clock_(clock) {}

MessageQueue::~MessageQueue() = default;

void MessageQueue::open() {
    const std::lock_guard lock(mutex_);
    accepting_ = true;
}

void MessageQueue::close() {
    MessageBatch dropped;  // destroyed after the lock is released
    const std::lock_guard lock(mutex_);
    accepting_ = false;
    dropped = takeLocked();
}

std::size_t MessageQueue::queued() const {
    const std::lock_guard lock(mutex_);
    return queue_.size();
}

bool MessageQueue::post(std::unique_ptr<EngineMessage> message) {
    if (message == nullptr) {
        return false;
    }
    const std::lock_guard lock(mutex_);
    if (!accepting_) {
        return false;
    }
    EngineMessage& posted = *message;
    if (std::holds_alternative<LogLineMessage>(posted)) {
        queueLine(std::move(posted));
    } else if (const auto* started = std::get_if<TransferStartedMessage>(&posted)) {
        // A start without the end of the client's earlier transfer leaves that one's messages
        // as they are.
        const ClientEndpoint endpoint = started->endpoint;
        open_[endpoint] = {push(std::move(posted)), std::nullopt};
    } else if (const auto* progress = std::get_if<TransferProgressMessage>(&posted)) {
        const ClientEndpoint endpoint = progress->endpoint;
        queueProgress(endpoint, std::move(posted));
    } else if (const auto* done = std::get_if<TransferDoneMessage>(&posted)) {
        const ClientEndpoint endpoint = done->endpoint;
        queueEnd(endpoint, std::move(posted));
    } else if (const auto* failed = std::get_if<TransferFailedMessage>(&posted)) {
        const ClientEndpoint endpoint = failed->endpoint;
        queueEnd(endpoint, std::move(posted));
    } else {
        push(std::move(posted));  // a server error, once per start
    }
    if (!wakePending_) {
        wakePending_ = true;
        wake();
    }
    return true;
}

MessageQueue::Slot MessageQueue::push(EngineMessage message) {
    queue_.push_back(std::move(message));
    return std::prev(queue_.end());
}

void MessageQueue::queueLine(EngineMessage message) {
    lines_.push_back(push(std::move(message)));
    if (lines_.size() > kMaxQueuedLines) {
        queue_.erase(lines_.front());
        lines_.pop_front();
        ++droppedLines_;
        lastDrop_ = clock_.wall();
    }
}

void MessageQueue::queueProgress(const ClientEndpoint& endpoint, EngineMessage message) {
    OpenTransfer& transfer = open_[endpoint];
    if (transfer.progress) {
        **transfer.progress = std::move(message);  // only the latest value would ever show
    } else {
        transfer.progress = push(std::move(message));
    }
}

void MessageQueue::queueEnd(const ClientEndpoint& endpoint, EngineMessage message) {
    const Slot end = push(std::move(message));
    const auto found = open_.find(endpoint);
    if (found == open_.end()) {
        return;
    }
    const OpenTransfer transfer = found->second;
    open_.erase(found);
    if (!transfer.started) {
        return;  // its row exists already: the end must reach it
    }
    std::vector<Slot> slots = {*transfer.started, end};
    if (transfer.progress) {
        slots.push_back(*transfer.progress);
    }
    finished_.push_back(std::move(slots));
    if (finished_.size() > kMaxQueuedFinished) {
        for (const Slot slot : finished_.front()) {
            queue_.erase(slot);
        }
        finished_.pop_front();
    }
}

MessageBatch MessageQueue::take() {
    const std::lock_guard lock(mutex_);
    return takeLocked();
}

MessageBatch MessageQueue::takeLocked() {
    MessageBatch batch = std::exchange(queue_, {});
    lines_.clear();
    open_.clear();
    finished_.clear();
    wakePending_ = false;
    if (const std::size_t dropped = std::exchange(droppedLines_, 0); dropped > 0) {
        const std::string text = std::to_string(dropped) + " more lines not shown in the window.";
        char line[Logger::kLineCapacity];
        const std::size_t length = Logger::formatLine(line, lastDrop_, text);
        batch.push_front(LogLineMessage{std::string(line, length)});
    }
    return batch;
}

}  // namespace quillet::window
