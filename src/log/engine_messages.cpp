#include "log/engine_messages.h"

namespace quillet {

int messageId(const EngineMessage& message) {
    return std::visit(Overloaded{
                          [](const LogLineMessage&) { return WM_LOG_LINE; },
                          [](const TransferStartedMessage&) { return WM_TRANSFER_STARTED; },
                          [](const TransferProgressMessage&) { return WM_TRANSFER_PROGRESS; },
                          [](const TransferDoneMessage&) { return WM_TRANSFER_DONE; },
                          [](const TransferFailedMessage&) { return WM_TRANSFER_FAILED; },
                          [](const ServerErrorMessage&) { return WM_SERVER_ERROR; },
                      },
                      message);
}

}  // namespace quillet
