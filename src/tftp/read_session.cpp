#include "tftp/read_session.h"

#include <algorithm>
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
                             std::string_view requestedName, std::time_t now) {
    const auto reply = ErrorPacket::reply(peer, ErrorReply::ServerBusy);
    if (owner.admitRefusedLine(peer, now)) {
        writeAboutClient(owner.logSink(), loglevel::kRefused, peer, "%s, Refused, %s",
                         escapeClientText(requestedName, kLoggedClientText).c_str(),
                         reply.message.c_str());
    }
    owner.send(reply);
}

HandlerResult ReadSession::onReadRequest(const ReadRequestPacket& packet, std::time_t now) {
    if (state_ != State::Idle) {
        // The client asked again. While the OACK or block 1 is unacknowledged our first answer
        // may have been lost, so it goes out again; later on the request is only noted. Only a
        // request acted on keeps the session alive.
        if (state_ == State::OptionAckSent || (blocksSent_ == 1 && !accepted_.any())) {
            lastActivity_ = now;
            return afterSend(retransmit(Resend::Window), HandlerResult::Handled);
        }
        noteDuplicate("Duplicated Read Request.", now);
        return HandlerResult::Ignored;
    }

    lastActivity_ = now;
    fileName_ = packet.fileName;
    peer_ = packet.peer;
    blocksSent_ = 0;
    retries_ = 0;
    if (fileName_.find("..") != std::string::npos) {
        return replyError(ErrorReply::AccessViolation, now);
    }
    ServedFolder::Refusal refusal = ServedFolder::Refusal::None;
    file_ = folder_.openFile(fileName_, refusal);
    if (!file_) {
        switch (refusal) {
            case ServedFolder::Refusal::Busy:
                refuseBusy(owner_, peer_, fileName_, now);
                return close();
            case ServedFolder::Refusal::AccessDenied:
                return replyError(ErrorReply::AccessViolation, now);
            default:
                return replyError(ErrorReply::FileNotFound, now);
        }
    }
    if (owner_.negotiatesOptions()) {
        negotiate(packet.options);
    }
    if (file_->size() > kLargestBlockCount * blockSize_) {
        return replyError(ErrorReply::FileTooLarge, now);
    }

    logTransfer(loglevel::kTransfer, "Connected.");
    if (accepted_.any()) {
        std::string text = "Options";
        if (accepted_.blockSize) {
            text += " blksize=" + std::to_string(*accepted_.blockSize);
        }
        if (accepted_.transferSize) {
            text += " tsize=" + std::to_string(*accepted_.transferSize);
        }
        if (accepted_.windowSize) {
            text += " windowsize=" + std::to_string(*accepted_.windowSize);
        }
        logTransfer(loglevel::kTransfer, "%s.", text.c_str());
    }
    owner_.events().transferStarted(peer_, escapeClientText(fileName_), file_->size(), blockSize_,
                                    owner_.wallTime());
    if (accepted_.any()) {
        state_ = State::OptionAckSent;
        return afterSend(sendOptionAck() ? SendOutcome::Sent : SendOutcome::SendFailed,
                         HandlerResult::Handled);
    }
    state_ = State::Sending;
    return afterSend(sendWindow(), HandlerResult::Handled);
}

HandlerResult ReadSession::onAck(const AckPacket& packet, std::time_t now) {
    // Stale ACKs are ignored and do not keep the session alive; only those acted on do.
    if (state_ == State::OptionAckSent) {
        if (packet.block != 0) {
            noteDuplicate("Duplicated ACK.", now);
            return HandlerResult::Ignored;
        }
        // The client takes the options: the transfer starts with the first window.
        lastActivity_ = now;
        state_ = State::Sending;
        retries_ = 0;
        windowSentAt_ = now;
        return afterSend(sendWindow(), HandlerResult::Handled);
    }
    const auto acked = ackedBlock(packet.block);
    // Without options every repeat of the last ACK gets the block again, as RFC 1350 has it. With
    // them a repeat gets the window again only once it has been out for more than a second: a
    // client that lost it retries later than that, and copies that come sooner could only be
    // duplicates or forged, and would each draw up to a whole window.
    const bool windowJustSent = accepted_.any() && now - windowSentAt_ < kRepeatedAckPause;
    if (acked < lastAcked_ || (acked == lastAcked_ && windowJustSent)) {
        noteDuplicate("Duplicated ACK.", now);
        return HandlerResult::Ignored;
    }
    lastActivity_ = now;
    windowSentAt_ = now;
    if (acked == lastAcked_) {
        // The client lost a block of the window (or our whole window): send it again.
        return afterSend(retransmit(Resend::Window), HandlerResult::Handled);
    }

    lastAcked_ = static_cast<std::int32_t>(acked);
    if (lastAcked_ == lastBlock_) {
        logTransfer(loglevel::kTransfer, "Served with %d blocks.", blocksSent_);
        owner_.events().transferProgress(peer_, blocksSent_);
        owner_.events().transferDone(peer_);
        return close();
    }
    retries_ = 0;
    return afterSend(sendWindow(), HandlerResult::Handled);
}

HandlerResult ReadSession::onError(const ErrorPacket& packet, std::time_t now) {
    lastActivity_ = now;
    // Two client texts in one line: each is cut so that the line keeps its outcome.
    writeAboutClient(owner_.logSink(), loglevel::kRefused, peer_,
                     "%s, Closed with client Error #%d \"%s\", %d blocks sent.",
                     escapeClientText(fileName_, kLoggedClientTextOfTwo).c_str(), packet.errorCode,
                     escapeClientText(packet.message, kLoggedClientTextOfTwo).c_str(), blocksSent_);
    char reason[kReasonCapacity];
    const int prefix =
        std::snprintf(reason, sizeof reason, "Client Error #%d \"", packet.errorCode);
    // The message is cut where it must be on a whole character or escape, and the quote closed.
    std::snprintf(
        reason + prefix, sizeof reason - static_cast<std::size_t>(prefix), "%s\"",
        escapeClientText(packet.message, sizeof reason - static_cast<std::size_t>(prefix) - 2)
            .c_str());
    owner_.events().transferFailed(peer_, reason);
    return close();
}

HandlerResult ReadSession::tick(std::time_t now) {
    if (now - lastActivity_ <= kSilenceBeforeResend) {
        return HandlerResult::Handled;
    }
    windowSentAt_ = now;
    // A client that has been silent this long may be gone, or never was there (a forged request):
    // only the first unacknowledged block goes out again, not the whole window.
    return afterSend(retransmit(Resend::FirstBlock), HandlerResult::Resent);
}

void ReadSession::negotiate(const TransferOptions& requested) {
    accepted_ = requested;
    // An empty file's size is left out: it tells the client nothing, and some clients (curl)
    // take tsize 0 in an OACK for an error and give up.
    accepted_.transferSize.reset();
    if (requested.transferSize && file_->size() > 0) {
        accepted_.transferSize = file_->size();
    }
    blockSize_ = accepted_.blockSize.value_or(kBlockSize);
    if (accepted_.windowSize) {
        // A forged request and ACK 0 from someone else's address would make the window land
        // there: its bytes are capped, so large blocks get fewer of them per ACK.
        const auto byBytes =
            std::max<std::int64_t>(1, kLargestWindowBytes / (blockSize_ + kDataHeaderSize));
        accepted_.windowSize =
            static_cast<std::uint16_t>(std::min<std::int64_t>(*accepted_.windowSize, byBytes));
        if (byBytes == 1) {
            // One block fills the window: that is lock-step, which needs no option in the OACK.
            accepted_.windowSize.reset();
        }
    }
    windowSize_ = accepted_.windowSize.value_or(1);
}

ReadSession::SendOutcome ReadSession::sendWindow() {
    const std::int32_t windowEnd = lastAcked_ + windowSize_;
    for (std::int32_t number = lastAcked_ + 1;
         number <= windowEnd && (lastBlock_ == 0 || number <= lastBlock_); ++number) {
        const std::int32_t blocksBefore = blocksSent_;
        if (const auto outcome = sendBlock(number); outcome != SendOutcome::Sent) {
            return outcome;
        }
        reportProgress(blocksBefore);
    }
    if (lastBlock_ != 0 && blocksSent_ == lastBlock_) {
        state_ = State::LastBlockSent;
    }
    return SendOutcome::Sent;
}

ReadSession::SendOutcome ReadSession::sendBlock(std::int32_t number) {
    // A block that fits the session's own packet is held there, and resending the block held
    // needs no read. Larger blocks go through the owner's shared packet and are read for every
    // send, so that no session holds more than a small block however large its blocks are.
    const auto size = static_cast<std::size_t>(blockSize_);
    const bool fitsOwnPacket = size <= currentBlock_.payload.size();
    DataPacket& block = fitsOwnPacket ? currentBlock_ : owner_.largeBlock();
    if (!fitsOwnPacket || block.block != number) {
        const auto count = file_ ? file_->readAt(std::int64_t{number - 1} * blockSize_,
                                                 std::span(block.payload.data(), size))
                                 : -1;
        if (count < 0) {
            return SendOutcome::ReadFailed;
        }
        if (static_cast<std::size_t>(count) < size) {
            // The size and time seen at open are checked again at the end, so that the client
            // never gets a mix of two versions of the file.
            if (!file_->unchangedSinceOpen()) {
                return SendOutcome::FileChanged;
            }
            lastBlock_ = number;
        }
        block.peer = peer_;
        block.block = number;
        block.payloadLength = static_cast<std::int32_t>(count);
    }
    blocksSent_ = std::max(blocksSent_, number);
    return owner_.send(block) ? SendOutcome::Sent : SendOutcome::SendFailed;
}

bool ReadSession::sendOptionAck() {
    OptionAckPacket optionAck(peer_);
    optionAck.options = accepted_;
    return owner_.send(optionAck);
}

ReadSession::SendOutcome ReadSession::retransmit(Resend what) {
    if (++retries_ > kMaxRetransmissions) {
        return SendOutcome::SendFailed;
    }
    if (state_ == State::OptionAckSent) {
        return sendOptionAck() ? SendOutcome::Sent : SendOutcome::SendFailed;
    }
    // The window from the block after the last acknowledged one, up to the highest block sent, or
    // only its first block.
    const std::int32_t last = what == Resend::Window ? blocksSent_ : lastAcked_ + 1;
    for (std::int32_t number = lastAcked_ + 1; number <= last; ++number) {
        if (const auto outcome = sendBlock(number); outcome != SendOutcome::Sent) {
            return outcome;
        }
    }
    return SendOutcome::Sent;
}

void ReadSession::reportProgress(std::int32_t blocksBefore) {
    const auto passed = [&](std::int64_t every) {
        return std::int64_t{blocksBefore} * blockSize_ / every !=
               std::int64_t{blocksSent_} * blockSize_ / every;
    };
    if (passed(kProgressEventBytes)) {
        owner_.events().transferProgress(peer_, blocksSent_);
    }
    if (passed(kProgressLineBytes)) {
        logTransfer(loglevel::kProgressDetail, "Transmit in Progress, %d blocks sent...",
                    blocksSent_);
    }
}

HandlerResult ReadSession::replyError(ErrorReply kind, std::time_t now) {
    const auto reply = ErrorPacket::reply(peer_, kind);
    if (owner_.admitRefusedLine(peer_, now)) {
        logTransfer(loglevel::kServerState, "%s", reply.message.c_str());
    }
    owner_.send(reply);
    return close();
}

void ReadSession::noteDuplicate(const char* text, std::time_t now) const {
    if (owner_.admitRefusedLine(peer_, now)) {
        writeAboutClient(owner_.logSink(), loglevel::kTransfer, peer_, "%s", text);
    }
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

HandlerResult ReadSession::afterSend(SendOutcome outcome, HandlerResult onSuccess) {
    return outcome == SendOutcome::Sent ? onSuccess : closeAfter(outcome);
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
    va_list arguments;
    va_start(arguments, format);
    writeAboutClientList(owner_.logSink(), level, peer_,
                         escapeClientText(fileName_, kLoggedClientText), format, arguments);
    va_end(arguments);
}

// Block numbers are absolute here but only their low 16 bits travel, so an acknowledgement is
// compared on those bits: the empty block 65,536 that ends a file of the largest size goes out
// as block 0, and ACK 0 acknowledges it. A number that is none of the blocks sent maps below the
// last one acknowledged, as a stale ACK does.
std::int64_t ReadSession::ackedBlock(std::uint32_t ackBlock) const {
    return std::int64_t{blocksSent_} -
           ((static_cast<std::uint32_t>(blocksSent_) - ackBlock) & 0xFFFF);
}

}  // namespace quillet
