#include "engine/engine_thread.h"

#include <utility>

namespace quillet {

EngineThread::EngineThread(std::function<void()> body) {
    // The thread owns its end of the signal, so that a thread that has been let go never touches
    // this object again.
    std::promise<void> finished;
    finishedSignal_ = finished.get_future();
    thread_ = std::thread([body = std::move(body), finished = std::move(finished)]() mutable {
        body();
        // The body's captures go before the signal, so that a waiter that sees the signal knows
        // the thread no longer uses them.
        body = nullptr;
        finished.set_value();
    });
}

EngineThread::~EngineThread() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool EngineThread::waitFor(std::chrono::milliseconds limit) {
    if (!thread_.joinable()) {
        return true;
    }
    if (finishedSignal_.wait_for(limit) != std::future_status::ready) {
        thread_.detach();
        return false;
    }
    thread_.join();
    return true;
}

}  // namespace quillet
