#include "tftp/read_session.h"

#include <cstdio>

#include "engine/packet_handler.h"
#include "log/client_text.h"
#include "log/event_sink.h"
#include "log/log_sink.h"

namespace quillet {
namespace {

// Replies to the client; the codes are those of RFC 1350.
constexpr std::int32_t kErrorNotDefined = 0;
constexpr std::int32_t kErrorFileNotFound = 1;
constexpr std::int32_t kErrorAccessViolation = 2;

constexpr std::string_view kFileTooLarge = "File Too Large.";
constexpr std::string_view kFileNotFound = "File not found.";
constexpr std::string_view kAccessViolation = "Access violation.";
constexpr std::string_view kFileReadError = "File Read Error.";
constexpr std::string_view kServerBusy = "Server Busy.";
constexpr std::string_view kFileChanged = "File Changed.";

constexpr std::string_view kSocketErrorReason = "Socket Error";
constexpr std::string_view kReadErrorReason = "Read Error";
constexpr std::string_view kFileChangedReason = "File Changed";
constexpr std::string_view kUnreachableReason = "Unreachable";
constexpr std::string_view kReplacedReason = "Replaced";

constexpr std::size_t kReasonCapacity = 1024;

}  // namespace

ReadSession::ReadSession(PacketHandler& owner, const ServedFolder& folder)
    : owner_(owner), folder_(folder) {}

void ReadSession::refuseBusy(PacketHandler& owner, const ClientEndpoint& peer,
                             std::string_view requestedName) {
    owner.log(loglevel::kRefused, "client %s: %s, Refused, Server Busy.",
              endpointText(peer).c_str(), cutClientText(escapeClientText(requestedName)).c_str());
    owner.send(ErrorPacket::reply(peer, kErrorNotDefined, kServerBusy));
}

HandlerResult ReadSession::onReadRequest(const ReadRequestPacket& packet, std::time_t now) {
    if (state_ == State::Closed) {
        return HandlerResult::SessionOver;
    }
    if (state_ != State::Idle) {
        // The client asked again. While block 1 is unacknowledged our first DATA may have been
        // lost, so it goes out again; later on the request is only noted. Only a request acted
        // on keeps the session alive.
        if (blocksSent_ == 1) {
            lastActivity_ = now;
            return retransmit() ? HandlerResult::Handled : closeWithSocketError();
        }
        owner_.log(loglevel::kTransfer, "client %s: Duplicated Read Request.",
                   endpointText(peer_).c_str());
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
        return replyError(kErrorAccessViolation, kAccessViolation);
    }
    ServedFolder::Refusal refusal = ServedFolder::Refusal::None;
    file_ = folder_.openFile(fileName_, refusal);
    if (!file_) {
        switch (refusal) {
            case ServedFolder::Refusal::Busy:
                refuseBusy(owner_, peer_, fileName_);
                return close();
            case ServedFolder::Refusal::AccessDenied:
                return replyError(kErrorAccessViolation, kAccessViolation);
            default:
                return replyError(kErrorFileNotFound, kFileNotFound);
        }
    }
    if (file_->size() > kLargestFile) {
        return replyError(kErrorNotDefined, kFileTooLarge);
    }

    owner_.log(loglevel::kTransfer, "client %s: %s, Connected.", endpointText(peer_).c_str(),
               loggedName_.c_str());
    if (auto* events = owner_.eventSink()) {
        events->transferStarted(peer_, shownName_, static_cast<std::int32_t>(file_->size()));
    }
    if (const auto outcome = sendNextBlock(); outcome != SendOutcome::Sent) {
        return closeAfter(outcome);
    }
    state_ = file_->atEnd() ? State::LastBlockSent : State::Sending;
    return HandlerResult::Handled;
}

HandlerResult ReadSession::onAck(const AckPacket& packet, std::time_t now) {
    if (state_ == State::Closed || state_ == State::Idle) {
        return HandlerResult::SessionOver;
    }
    // Stale ACKs are ignored and do not keep the session alive; only these two are acted on.
    if (isPreviousBlock(packet.block) || isCurrentBlock(packet.block)) {
        lastActivity_ = now;
    }
    if (isPreviousBlock(packet.block)) {
        // The client saw the previous block twice, or our last DATA was lost: send it again.
        return retransmit() ? HandlerResult::Handled : closeWithSocketError();
    }
    if (!isCurrentBlock(packet.block)) {
        owner_.log(loglevel::kTransfer, "client %s: Duplicated ACK.", endpointText(peer_).c_str());
        return HandlerResult::Ignored;
    }

    if (state_ == State::LastBlockSent) {
        owner_.log(loglevel::kTransfer, "client %s: %s, Served with %d blocks.",
                   endpointText(peer_).c_str(), loggedName_.c_str(), blocksSent_);
        if (auto* events = owner_.eventSink()) {
            events->transferProgress(peer_, blocksSent_);
            events->transferDone(peer_);
        }
        return close();
    }

    if (const auto outcome = sendNextBlock(); outcome != SendOutcome::Sent) {
        return closeAfter(outcome);
    }
    if (blocksSent_ % kProgressEventEvery == 0) {
        if (auto* events = owner_.eventSink()) {
            events->transferProgress(peer_, blocksSent_);
        }
    }
    if (blocksSent_ % kProgressLineEvery == 0) {
        owner_.log(loglevel::kProgressDetail,
                   "client %s: %s, Transmit in Progress, %d blocks sent...",
                   endpointText(peer_).c_str(), loggedName_.c_str(), blocksSent_);
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
    owner_.log(
        loglevel::kRefused, "client %s: %s, Closed with client Error #%d \"%s\", %d blocks sent.",
        endpointText(peer_).c_str(), cutClientText(shownName_, kLoggedClientTextOfTwo).c_str(),
        packet.errorCode, cutClientText(message, kLoggedClientTextOfTwo).c_str(), blocksSent_);
    if (auto* events = owner_.eventSink()) {
        char reason[kReasonCapacity];
        std::snprintf(reason, sizeof reason, "Client Error #%d \"%s\"", packet.errorCode,
                      message.c_str());
        events->transferFailed(peer_, reason);
    }
    return close();
}

HandlerResult ReadSession::tick(std::time_t now) {
    if (state_ == State::Closed || state_ == State::Idle) {
        return HandlerResult::SessionOver;
    }
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
        currentBlock_.valid = false;
        return SendOutcome::ReadFailed;
    }
    // The size and time seen at open are checked again at the end, so that the client never
    // gets a mix of two versions of the file.
    if (file_->atEnd() && !file_->unchangedSinceOpen()) {
        currentBlock_.valid = false;
        return SendOutcome::FileChanged;
    }
    ++blocksSent_;
    retries_ = 0;
    currentBlock_.peer = peer_;
    currentBlock_.block = blocksSent_;
    currentBlock_.payloadLength = static_cast<std::int32_t>(count);
    currentBlock_.valid = true;
    return owner_.send(currentBlock_) ? SendOutcome::Sent : SendOutcome::SendFailed;
}

bool ReadSession::retransmit() {
    if (++retries_ > kMaxRetransmissions) {
        return false;
    }
    return owner_.send(currentBlock_);
}

HandlerResult ReadSession::replyError(std::int32_t code, std::string_view text) {
    owner_.log(loglevel::kServerState, "client %s: %s, %.*s", endpointText(peer_).c_str(),
               loggedName_.c_str(), static_cast<int>(text.size()), text.data());
    owner_.send(ErrorPacket::reply(peer_, code, text));
    return close();
}

HandlerResult ReadSession::closeWithSocketError() {
    owner_.log(loglevel::kRefused, "client %s: %s, Closed with Socket Error, %d blocks sent.",
               endpointText(peer_).c_str(), loggedName_.c_str(), blocksSent_);
    if (auto* events = owner_.eventSink()) {
        events->transferFailed(peer_, kSocketErrorReason);
    }
    return close();
}

HandlerResult ReadSession::closeWithReadError() {
    owner_.log(loglevel::kRefused, "client %s: %s, Closed with Read Error, %d blocks sent.",
               endpointText(peer_).c_str(), loggedName_.c_str(), blocksSent_);
    owner_.send(ErrorPacket::reply(peer_, kErrorNotDefined, kFileReadError));
    if (auto* events = owner_.eventSink()) {
        events->transferFailed(peer_, kReadErrorReason);
    }
    return close();
}

HandlerResult ReadSession::closeWithFileChanged() {
    owner_.log(loglevel::kRefused,
               "client %s: %s, Closed, File Changed during Transfer, %d blocks sent.",
               endpointText(peer_).c_str(), loggedName_.c_str(), blocksSent_);
    owner_.send(ErrorPacket::reply(peer_, kErrorNotDefined, kFileChanged));
    if (auto* events = owner_.eventSink()) {
        events->transferFailed(peer_, kFileChangedReason);
    }
    return close();
}

HandlerResult ReadSession::closeUnreachable() {
    owner_.log(loglevel::kRefused, "client %s: %s, Closed, Client Unreachable, %d blocks sent.",
               endpointText(peer_).c_str(), loggedName_.c_str(), blocksSent_);
    if (auto* events = owner_.eventSink()) {
        events->transferFailed(peer_, kUnreachableReason);
    }
    return close();
}

HandlerResult ReadSession::closeReplaced() {
    owner_.log(loglevel::kServerState,
               "client %s: %s, Closed by a new Read Request, %d blocks sent.",
               endpointText(peer_).c_str(), loggedName_.c_str(), blocksSent_);
    if (auto* events = owner_.eventSink()) {
        events->transferFailed(peer_, kReplacedReason);
    }
    return close();
}

HandlerResult ReadSession::closeAfter(SendOutcome outcome) {
    switch (outcome) {
        case SendOutcome::ReadFailed:
            return closeWithReadError();
        case SendOutcome::FileChanged:
            return closeWithFileChanged();
        default:
            return closeWithSocketError();
    }
}

HandlerResult ReadSession::close() {
    file_.reset();
    state_ = State::Closed;
    return HandlerResult::SessionOver;
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
