// quilletd's echo of the lines a window would show, written to a stream (standard error) from a
// thread of its own, so that a slow or stalled reader never holds up the engine.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <thread>

#include "log/engine_messages.h"

namespace quillet {

/// Takes the log lines posted to it and writes them to a stream. Lines that do not fit in its
/// queue are dropped and counted, and "(%d lines not shown)" is written once the reader has
/// caught up.
class LineEcho final : public MessageWindow {
  public:
    static constexpr std::size_t kQueuedLines = 1024;

    /// Echoes to stream, which must outlive the echo, keeping at most capacity lines queued.
    explicit LineEcho(std::FILE* stream, std::size_t capacity = kQueuedLines);

    /// Writes what is still queued, waiting about a second at most for a stalled reader.
    ~LineEcho();
    LineEcho(const LineEcho&) = delete;
    LineEcho& operator=(const LineEcho&) = delete;

    /// Queues a log line and returns at once; other messages are refused.
    bool post(std::unique_ptr<EngineMessage> message) override;

  private:
    struct Queue;

    /// The writer thread's body: writes queued lines until asked to stop and the queue is empty.
    static void writeLines(std::FILE* stream, Queue& queue);

    std::shared_ptr<Queue> queue_;  // shared with the writer, which may outlive a stalled stream
    std::thread writer_;
};

}  // namespace quillet
