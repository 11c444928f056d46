// Transfer events from the engine thread to the window, as posted messages.
#pragma once

#include <cstdint>
#include <ctime>
#include <string_view>

#include "log/engine_messages.h"
#include "net/client_endpoint.h"

namespace quillet {

/// The engine's notifications for the window. Each operation posts one message and returns at
/// once; it returns false when no window is attached (nothing is made) or the post failed. A sink
/// without a window discards everything: it is the engine's sink when nobody listens.
class EventSink {
  public:
    EventSink() = default;
    virtual ~EventSink() = default;
    EventSink(const EventSink&) = delete;
    EventSink& operator=(const EventSink&) = delete;

    /// Sets the window that receives the messages; set once, before the engine thread starts.
    void attachWindow(MessageWindow* window) { window_ = window; }

    /// A transfer has begun at startTime (the engine's wall clock): the file was opened and
    /// accepted, and it goes out in blocks of blockSize bytes.
    virtual bool transferStarted(const ClientEndpoint& endpoint, std::string_view fileName,
                                 std::int64_t fileSize, std::int32_t blockSize,
                                 std::time_t startTime);

    /// blocksSent blocks have been sent so far.
    virtual bool transferProgress(const ClientEndpoint& endpoint, std::int32_t blocksSent);

    /// The last block was acknowledged.
    virtual bool transferDone(const ClientEndpoint& endpoint);

    /// The transfer ended in failure, for the reason given.
    virtual bool transferFailed(const ClientEndpoint& endpoint, std::string_view reason);

    /// The engine cannot start; text says why.
    virtual bool serverError(std::string_view text);

  private:
    bool post(EngineMessage message);

    MessageWindow* window_ = nullptr;
};

}  // namespace quillet
