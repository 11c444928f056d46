#include "tftp/read_session.h"

#include <cstdarg>
#include <cstdio>

#include "log/event_sink.h"
#include "log/log_sink.h"

namespace quillet {
namespace {

constexpr std::string_view kSocketErrorReason = "Socket Error";
constexpr std::string_view kReadErrorReason = "Read Error";

// Room for the reason of a client's ERROR: its message may be as long as a datagram allows, and
// the window shows at most this much of it.
constexpr std::size_t kReasonCapacity = 1024;

}  // namespace

ReadSession::ReadSession(SessionOwner& owner) : owner_(owner) {}

HandlerResult ReadSession::onReadRequest(const ReadRequestPacket& packet, std::time_t now) {
    lastActivity_ = now;
    if (state_ != State::Idle) {
        // The client asked again. While block 1 is unacknowledged our first DATA may have been
        // lost, so it goes out again; later on the request is only noted.
        if (blocksSent_ == 1) {
            return retransmit() ? HandlerResult::Handled : closeWithSocketError();
        }
        writeAboutClient(owner_.logSink(), loglevel::kTransfer, peer_, "Duplicated Read Request.");
        return HandlerResult::Ignored;
    }

    fileName_ = packet.fileName;
    peer_ = packet.peer;
    blocksSent_ = 0;
    retries_ = 0;
    if (fileName_.find("..") != std::string::npos) {
        return replyError(ErrorReply::AccessViolation);
    }
    file_ = ServedFile::openRegular(fileName_);
    if (!file_) {
        return replyError(ErrorReply::FileNotFound);
    }
    if (file_->size() > kLargestFile) {
        return replyError(ErrorReply::FileTooLarge);
    }

    logTransfer(loglevel::kTransfer, "Connected.");
    owner_.events().transferStarted(peer_, fileName_, static_cast<std::int32_t>(file_->size()),
                                    now);
    if (const auto outcome = sendNextBlock(); outcome != SendOutcome::Sent) {
        return closeAfter(outcome);
    }
    state_ = file_->atEnd() ? State::LastBlockSent : State::Sending;
    return HandlerResult::Handled;
}

HandlerResult ReadSession::onAck(const AckPacket& packet, std::time_t now) {
    lastActivity_ = now;
    if (isPreviousBlock(packet.block)) {
        // The client saw the previous block twice, or our last DATA was lost: send it again.
        return retransmit() ? HandlerResult::Handled : closeWithSocketError();
    }
    if (!isCurrentBlock(packet.block)) {
        writeAboutClient(owner_.logSink(), loglevel::kTransfer, peer_, "Duplicated ACK.");
        return HandlerResult::Ignored;
    }

    if (state_ == State::LastBlockSent) {
        logTransfer(loglevel::kTransfer, "Served with %d blocks.", blocksSent_);
        owner_.events().transferProgress(peer_, blocksSent_);
        owner_.events().transferDone(peer_);
        return close();
    }

    if (const auto outcome = sendNextBlock(); outcome != SendOutcome::Sent) {
        return closeAfter(outcome);
    }
    if (blocksSent_ % kProgressEventEvery == 0) {
        owner_.events().transferProgress(peer_, blocksSent_);
    }
    if (blocksSent_ % kProgressLineEvery == 0) {
        logTransfer(loglevel::kProgressDetail, "Transmit in Progress, %d blocks sent...",
                    blocksSent_);
    }
    if (file_->atEnd()) {
        state_ = State::LastBlockSent;
    }
    return HandlerResult::Handled;
}

HandlerResult ReadSession::onError(const ErrorPacket& packet, std::time_t now) {
    lastActivity_ = now;
    logTransfer(loglevel::kRefused, "Closed with client Error #%d \"%s\", %d blocks sent.",
                packet.errorCode, packet.message.c_str(), blocksSent_);
    char reason[kReasonCapacity];
    std::snprintf(reason, sizeof reason, "Client Error #%d \"%s\"", packet.errorCode,
                  packet.message.c_str());
    owner_.events().transferFailed(peer_, reason);
    return close();
}

HandlerResult ReadSession::tick(std::time_t now) {
    if (now - lastActivity_ <= kSilenceBeforeResend) {
        return HandlerResult::Handled;
    }
    return retransmit() ? HandlerResult::Resent : closeWithSocketError();
}

ReadSession::SendOutcome ReadSession::sendNextBlock() {
    // Read before counting the block, so that a block that never went out is not counted.
    std::span<std::uint8_t> payload(currentBlock_.payload.data(), kBlockSize);
    const auto count = file_ ? file_->read(payload) : -1;
    if (count < 0) {
        return SendOutcome::ReadFailed;
    }
    ++blocksSent_;
    retries_ = 0;
    currentBlock_.peer = peer_;
    currentBlock_.block = blocksSent_;
    currentBlock_.payloadLength = static_cast<std::int32_t>(count);
    return owner_.send(currentBlock_) ? SendOutcome::Sent : SendOutcome::SendFailed;
}

bool ReadSession::retransmit() {
    if (++retries_ > kMaxRetransmissions) {
        return false;
    }
    return owner_.send(currentBlock_);
}

HandlerResult ReadSession::replyError(ErrorReply kind) {
    const auto reply = ErrorPacket::reply(peer_, kind);
    logTransfer(loglevel::kServerState, "%s", reply.message.c_str());
    owner_.send(reply);
    return close();
}

HandlerResult ReadSession::closeWithSocketError() {
    logTransfer(loglevel::kRefused, "Closed with Socket Error, %d blocks sent.", blocksSent_);
    owner_.events().transferFailed(peer_, kSocketErrorReason);
    return close();
}

HandlerResult ReadSession::closeWithReadError() {
    logTransfer(loglevel::kRefused, "Closed with Read Error, %d blocks sent.", blocksSent_);
    owner_.send(ErrorPacket::reply(peer_, ErrorReply::FileReadError));
    owner_.events().transferFailed(peer_, kReadErrorReason);
    return close();
}

HandlerResult ReadSession::closeAfter(SendOutcome outcome) {
    return outcome == SendOutcome::ReadFailed ? closeWithReadError() : closeWithSocketError();
}

HandlerResult ReadSession::close() {
    file_.reset();
    return HandlerResult::SessionOver;
}

void ReadSession::logTransfer(std::int32_t level, const char* format, ...) const {
    LogSink* sink = owner_.logSink();
    if (sink == nullptr) {
        return;
    }
    // The text after the prefix never needs more room than the whole line has.
    char text[kLogTextCapacity];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length >= 0) {
        writeAboutClient(sink, level, peer_, "%s, %s", fileName_.c_str(), text);
    }
}

// Block numbers are absolute here but only their low 16 bits travel, so an acknowledgement is
// compared on those bits: the empty block 65,536 that ends a file of the largest size goes out
// as block 0, and ACK 0 acknowledges it.
bool ReadSession::isCurrentBlock(std::uint32_t ackBlock) const {
    return ackBlock == (static_cast<std::uint32_t>(blocksSent_) & 0xFFFF);
}

bool ReadSession::isPreviousBlock(std::uint32_t ackBlock) const {
    return ackBlock == (static_cast<std::uint32_t>(blocksSent_ - 1) & 0xFFFF);
}

}  // namespace quillet
