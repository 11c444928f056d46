#include "log/event_sink.h"

#include <memory>
#include <string>

namespace quillet {

bool EventSink::post(EngineMessage message) {
    return window_->post(std::make_unique<EngineMessage>(std::move(message)));
}

bool EventSink::transferStarted(const ClientEndpoint& endpoint, std::string_view fileName,
                                std::int64_t fileSize, std::int32_t blockSize,
                                std::time_t startTime) {
    if (window_ == nullptr) {
        return false;
    }
    auto record = std::make_unique<TransferRecord>();
    record->endpoint = endpoint;
    record->fileName = std::string(fileName);
    record->fileSize = fileSize;
    record->blockSize = blockSize;
    record->startTime = startTime;
    record->elapsedSeconds = 0;
    return post(TransferStartedMessage{endpoint, std::move(record)});
}

bool EventSink::transferProgress(const ClientEndpoint& endpoint, std::int32_t blocksSent) {
    if (window_ == nullptr) {
        return false;
    }
    return post(TransferProgressMessage{endpoint, blocksSent});
}

bool EventSink::transferDone(const ClientEndpoint& endpoint) {
    if (window_ == nullptr) {
        return false;
    }
    return post(TransferDoneMessage{endpoint});
}

bool EventSink::transferFailed(const ClientEndpoint& endpoint, std::string_view reason) {
    if (window_ == nullptr) {
        return false;
    }
    return post(TransferFailedMessage{endpoint, std::string(reason)});
}

bool EventSink::serverError(std::string_view text) {
    if (window_ == nullptr) {
        return false;
    }
    return post(ServerErrorMessage{std::string(text)});
}

}  // namespace quillet
