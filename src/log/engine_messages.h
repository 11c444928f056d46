// The messages that cross from the engine thread to the window thread. Each is posted, never sent,
// and owns its payload: once posted, the engine thread no longer touches it, and whoever holds the
// message last destroys it.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <variant>

#include "net/client_endpoint.h"

namespace quillet {

// Message numbers, in the window system's private range.
inline constexpr int WM_LOG_LINE = 0x601;
inline constexpr int WM_TRANSFER_STARTED = 0x611;
inline constexpr int WM_TRANSFER_PROGRESS = 0x612;
inline constexpr int WM_TRANSFER_DONE = 0x613;
inline constexpr int WM_TRANSFER_FAILED = 0x614;
inline constexpr int WM_SERVER_ERROR = 0x620;

/// One transfer as the window shows it; owned by its row once the row exists.
struct TransferRecord {
    ClientEndpoint endpoint;
    std::string fileName;              // as requested
    std::int64_t fileSize = 0;         // bytes, at the start of the transfer
    std::time_t startTime = 0;         // the engine's clock when the transfer started
    std::uint32_t elapsedSeconds = 0;  // counted up by the window while the transfer runs
    std::int32_t blockSize = 512;      // payload bytes of a full block, as negotiated
};

/// A log line, without a newline.
struct LogLineMessage {
    std::string line;
};

struct TransferStartedMessage {
    ClientEndpoint endpoint;
    std::unique_ptr<TransferRecord> record;
};

struct TransferProgressMessage {
    ClientEndpoint endpoint;
    std::int32_t blocksSent = 0;
};

struct TransferDoneMessage {
    ClientEndpoint endpoint;
};

struct TransferFailedMessage {
    ClientEndpoint endpoint;
    std::string reason;
};

/// The engine could not start; the window shows the text and ends.
struct ServerErrorMessage {
    std::string text;
};

using EngineMessage = std::variant<LogLineMessage, TransferStartedMessage, TransferProgressMessage,
                                   TransferDoneMessage, TransferFailedMessage, ServerErrorMessage>;

/// Builds one visitor out of several lambdas, for std::visit over an EngineMessage.
template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

/// The message number of a message (WM_LOG_LINE and so on).
int messageId(const EngineMessage& message);

/// Where the engine's messages go: the main window, or a stand-in for it.
class MessageWindow {
  public:
    /// Queues one message and returns at once; never waits for the receiver. Returns false when
    /// the message could not be queued, in which case it has been destroyed on the caller's thread.
    virtual bool post(std::unique_ptr<EngineMessage> message) = 0;

  protected:
    ~MessageWindow() = default;
};

}  // namespace quillet
