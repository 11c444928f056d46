#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <thread>

namespace quillet {

/// Runs the engine's body on a thread of its own and waits for it with a time limit. If the
/// wait runs out the thread is let go (there is no safe forced end of a thread): whatever the
/// body uses must then stay alive until the process ends, which is why the body should own
/// (share) what it uses.
class EngineThread {
  public:
    /// Starts body on a new thread at once.
    explicit EngineThread(std::function<void()> body);

    /// Waits for the thread without limit unless it has been let go.
    ~EngineThread();

    EngineThread(const EngineThread&) = delete;
    EngineThread& operator=(const EngineThread&) = delete;

    /// Waits at most limit for the body to end. True once it has ended (the thread is joined);
    /// false when the time ran out, in which case the thread has been let go.
    bool waitFor(std::chrono::milliseconds limit);

    /// True while the thread has neither been joined nor let go.
    bool isRunning() const { return thread_.joinable(); }

  private:
    std::future<void> finishedSignal_;
    std::thread thread_;
};

}  // namespace quillet
