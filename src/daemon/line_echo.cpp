#include "daemon/line_echo.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <utility>
#include <variant>

namespace quillet {

struct LineEcho::Queue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> lines;
    std::size_t capacity = 0;
    int unshown = 0;
    bool stopping = false;
    std::promise<void> finished;
};

LineEcho::LineEcho(std::FILE* stream, std::size_t capacity) : queue_(std::make_shared<Queue>()) {
    queue_->capacity = capacity;
    writer_ = std::thread([stream, queue = queue_] {
        writeLines(stream, *queue);
        queue->finished.set_value();
    });
}

LineEcho::~LineEcho() {
    auto finished = queue_->finished.get_future();
    {
        std::lock_guard lock(queue_->mutex);
        queue_->stopping = true;
    }
    queue_->changed.notify_one();
    // A reader that never reads must not hold the program up at its end: the writer is then let
    // go, and keeps its queue alive by itself.
    if (finished.wait_for(std::chrono::seconds(1)) == std::future_status::ready) {
        writer_.join();
    } else {
        writer_.detach();
    }
}

bool LineEcho::post(std::unique_ptr<EngineMessage> message) {
    auto* line = std::get_if<LogLineMessage>(message.get());
    if (line == nullptr) {
        return false;
    }
    {
        std::lock_guard lock(queue_->mutex);
        if (queue_->lines.size() >= queue_->capacity) {
            ++queue_->unshown;
            return true;  // taken, and counted instead of shown
        }
        queue_->lines.push_back(std::move(line->line));
    }
    queue_->changed.notify_one();
    return true;
}

void LineEcho::writeLines(std::FILE* stream, Queue& queue) {
    std::unique_lock lock(queue.mutex);
    for (;;) {
        queue.changed.wait(lock, [&] { return queue.stopping || !queue.lines.empty(); });
        std::string text;
        if (!queue.lines.empty()) {
            text = std::move(queue.lines.front());
            queue.lines.pop_front();
        } else if (queue.stopping) {
            return;
        }
        // The queue has been written out: the reader has caught up, and learns what it missed.
        const bool caughtUp = queue.lines.empty() && queue.unshown > 0;
        const int unshown = caughtUp ? std::exchange(queue.unshown, 0) : 0;
        lock.unlock();
        std::fprintf(stream, "%s\n", text.c_str());
        if (caughtUp) {
            std::fprintf(stream, "(%d lines not shown)\n", unshown);
        }
        std::fflush(stream);
        lock.lock();
    }
}

}  // namespace quillet
