#include "tftp/read_session.h"

#include <cstdarg>
#include <cstdio>

#include "log/client_text.h"
#include "log/event_sink.h"
#include "log/log_sink.h"

namespace quillet {
namespace {

constexpr std::string_view kSocketErrorReason = "Socket Error";
constexpr std::string_view kReadErrorReason = "Read Error";
constexpr std::string_view kFileChangedReason = "File Changed";
constexpr std::string_view kUnreachableReason = "Unreachable";
constexpr std::string_view kReplacedReason = "Replaced";

// Room for the reason of a client's ERROR: its message may be as long as a datagram allows, and
// the window shows at most this much of it.
constexpr std::size_t kReasonCapacity = 1024;

}  // namespace

ReadSession::ReadSession(SessionOwner& owner, const ServedFolder& folder)
    : owner_(owner), folder_(folder) {}

void ReadSession::refuseBusy(SessionOwner& owner, const ClientEndpoint& peer,
                             std::string_view requestedName) {
    const auto reply = ErrorPacket::reply(peer, ErrorReply::ServerBusy);
    writeAboutClient(owner.logSink(), loglevel::kRefused, peer, "%s, Refused, %s",
                     cutClientText(escapeClientText(requestedName)).c_str(), reply.message.c_str());
    owner.send(reply);
}

HandlerResult ReadSession::onReadRequest(const ReadRequestPacket& packet, std::time_t now) {
    if (state_ != State::Idle) {
        // The client asked again. While block 1 is unacknowledged our first DATA may have been
        // lost, so it goes out again; later on the request is only noted. Only a request acted
        // on keeps the session alive.
        if (blocksSent_ == 1) {
            lastActivity_ = now;
            return retransmit() ? HandlerResult::Handled : closeWithSocketError();
        }
        writeAboutClient(owner_.logSink(), loglevel::kTransfer, peer_, "Duplicated Read Request.");
        return HandlerResult::Ignored;
    }

    lastActivity_ = now;
    fileName_ = packet.fileName;
    shownName_ = escapeClientText(fileName_);
    loggedName_ = cutClientText(shownName_);
    peer_ = packet.peer;
    blocksSent_ = 0;
    retries_ = 0;
    if (fileName_.find("..") != std::string::npos) {
        return replyError(ErrorReply::AccessViolation);
    }
    ServedFolder::Refusal refusal = ServedFolder::Refusal::None;
    file_ = folder_.openFile(fileName_, refusal);
    if (!file_) {
        switch (refusal) {
            case ServedFolder::Refusal::Busy:
                refuseBusy(owner_, peer_, fileName_);
                return close();
            case ServedFolder::Refusal::AccessDenied:
                return replyError(ErrorReply::AccessViolation);
            default:
                return replyError(ErrorReply::FileNotFound);
        }
    }
    if (file_->size() > kLargestFile) {
        return replyError(ErrorReply::FileTooLarge);
    }

    logTransfer(loglevel::kTransfer, "Connected.");
    owner_.events().transferStarted(peer_, shownName_, static_cast<std::int32_t>(file_->size()),
                                    owner_.wallTime());
    if (const auto outcome = sendNextBlock(); outcome != SendOutcome::Sent) {
        return closeAfter(outcome);
    }
    state_ = file_->atEnd() ? State::LastBlockSent : State::Sending;
    return HandlerResult::Handled;
}

HandlerResult ReadSession::onAck(const AckPacket& packet, std::time_t now) {
    // Stale ACKs are ignored and do not keep the session alive; only these two are acted on.
    if (isPreviousBlock(packet.block) || isCurrentBlock(packet.block)) {
        lastActivity_ = now;
    }
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
    // Two client texts in one line: each is cut so that the line keeps its outcome.
    const auto message = escapeClientText(packet.message);
    writeAboutClient(owner_.logSink(), loglevel::kRefused, peer_,
                     "%s, Closed with client Error #%d \"%s\", %d blocks sent.",
                     cutClientText(shownName_, kLoggedClientTextOfTwo).c_str(), packet.errorCode,
                     cutClientText(message, kLoggedClientTextOfTwo).c_str(), blocksSent_);
    char reason[kReasonCapacity];
    std::snprintf(reason, sizeof reason, "Client Error #%d \"%s\"", packet.errorCode,
                  message.c_str());
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
    // The size and time seen at open are checked again at the end, so that the client never
    // gets a mix of two versions of the file.
    if (file_->atEnd() && !file_->unchangedSinceOpen()) {
        return SendOutcome::FileChanged;
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

HandlerResult ReadSession::closeFailed(std::int32_t level, const char* outcome,
                                       std::string_view reason, std::optional<ErrorReply> reply) {
    logTransfer(level, "%s, %d blocks sent.", outcome, blocksSent_);
    if (reply) {
        owner_.send(ErrorPacket::reply(peer_, *reply));
    }
    owner_.events().transferFailed(peer_, reason);
    return close();
}

HandlerResult ReadSession::closeWithSocketError() {
    return closeFailed(loglevel::kRefused, "Closed with Socket Error", kSocketErrorReason);
}

HandlerResult ReadSession::closeUnreachable() {
    return closeFailed(loglevel::kRefused, "Closed, Client Unreachable", kUnreachableReason);
}

HandlerResult ReadSession::closeReplaced() {
    return closeFailed(loglevel::kServerState, "Closed by a new Read Request", kReplacedReason);
}

HandlerResult ReadSession::closeAfter(SendOutcome outcome) {
    switch (outcome) {
        case SendOutcome::ReadFailed:
            return closeFailed(loglevel::kRefused, "Closed with Read Error", kReadErrorReason,
                               ErrorReply::FileReadError);
        case SendOutcome::FileChanged:
            return closeFailed(loglevel::kRefused, "Closed, File Changed during Transfer",
                               kFileChangedReason, ErrorReply::FileChanged);
        default:
            return closeWithSocketError();
    }
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
        writeAboutClient(sink, level, peer_, "%s, %s", loggedName_.c_str(), text);
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
