#include "tftp/read_session.h"

#include <algorithm>
#include <cstdarg>

#include "log/client_text.h"
#include "log/event_sink.h"
#include "log/log_sink.h"

namespace quillet {

ReadSession::ReadSession(SessionOwner& owner, const ServedFolder& folder)
    : owner_(owner), folder_(folder) {}

HandlerResult ReadSession::onReadRequest(const ReadRequestPacket& packet, std::time_t now) {
    if (state_ != State::Idle) {
        // The client asked again. While the OACK or block 1 is unacknowledged our first answer
        // may have been lost, so it goes out again; later on the request is only noted. Only a
        // request acted on keeps the session alive.
        if (state_ == State::OptionAckSent || (blocksSent_ == 1 && !accepted_.any())) {
            lastActivity_ = now;
            return afterSend(retransmit(Resend::Window), HandlerResult::Handled, now);
        }
        return reportOutcome(owner_, Outcome::DuplicateRequest, peer_, now);
    }

    lastActivity_ = now;
    fileName_ = packet.fileName;
    peer_ = packet.peer;
    blocksSent_ = 0;
    retries_ = 0;
    if (fileName_.find("..") != std::string::npos) {
        return end(Outcome::AccessViolation, now);
    }
    auto opened = folder_.openFile(fileName_);
    if (!opened.file) {
        return end(opened.refusal, now);
    }
    file_ = std::move(opened.file);
    if (owner_.negotiatesOptions()) {
        negotiate(packet.options);
    }
    if (file_->size() > kLargestBlockCount * blockSize_) {
        return end(Outcome::FileTooLarge, now);
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
        return afterSend(sendOptionAck() ? SendFailure() : Outcome::SocketError,
                         HandlerResult::Handled, now);
    }
    state_ = State::Sending;
    return afterSend(sendWindow(), HandlerResult::Handled, now);
}

HandlerResult ReadSession::onAck(const AckPacket& packet, std::time_t now) {
    // Stale ACKs are ignored and do not keep the session alive; only those acted on do.
    if (state_ == State::OptionAckSent) {
        if (packet.block != 0) {
            return reportOutcome(owner_, Outcome::DuplicateAck, peer_, now);
        }
        // The client takes the options: the transfer starts with the first window.
        lastActivity_ = now;
        state_ = State::Sending;
        retries_ = 0;
        windowSentAt_ = now;
        return afterSend(sendWindow(), HandlerResult::Handled, now);
    }
    const auto acked = ackedBlock(packet.block);
    // Without options every repeat of the last ACK gets the block again, as RFC 1350 has it. With
    // them a repeat gets the window again only once it has been out for more than a second: a
    // client that lost it retries later than that, and copies that come sooner could only be
    // duplicates or forged, and would each draw up to a whole window.
    const bool windowJustSent = accepted_.any() && now - windowSentAt_ < kRepeatedAckPause;
    if (acked < lastAcked_ || (acked == lastAcked_ && windowJustSent)) {
        return reportOutcome(owner_, Outcome::DuplicateAck, peer_, now);
    }
    lastActivity_ = now;
    windowSentAt_ = now;
    if (acked == lastAcked_) {
        // The client lost a block of the window (or our whole window): send it again.
        return afterSend(retransmit(Resend::Window), HandlerResult::Handled, now);
    }

    lastAcked_ = static_cast<std::int32_t>(acked);
    if (lastAcked_ == lastBlock_) {
        logTransfer(loglevel::kTransfer, "Served with %d blocks.", blocksSent_);
        owner_.events().transferProgress(peer_, blocksSent_);
        owner_.events().transferDone(peer_);
        file_.reset();
        return HandlerResult::SessionOver;
    }
    retries_ = 0;
    return afterSend(sendWindow(), HandlerResult::Handled, now);
}

HandlerResult ReadSession::onError(const ErrorPacket& packet, std::time_t now) {
    lastActivity_ = now;
    OutcomeDetails details;
    details.number = packet.errorCode;
    details.message = packet.message;
    return end(Outcome::ClientError, now, details);
}

HandlerResult ReadSession::tick(std::time_t now) {
    if (now - lastActivity_ <= kSilenceBeforeResend) {
        return HandlerResult::Handled;
    }
    windowSentAt_ = now;
    // A client that has been silent this long may be gone, or never was there (a forged request):
    // only the first unacknowledged block goes out again, not the whole window.
    return afterSend(retransmit(Resend::FirstBlock), HandlerResult::Resent, now);
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

ReadSession::SendFailure ReadSession::sendWindow() {
    if (const auto failure = sendBlocks(lastAcked_ + 1, lastAcked_ + windowSize_, true)) {
        return failure;
    }
    if (lastBlock_ != 0 && blocksSent_ == lastBlock_) {
        state_ = State::LastBlockSent;
    }
    return std::nullopt;
}

ReadSession::SendFailure ReadSession::sendBlocks(std::int32_t first, std::int32_t last,
                                                 bool reportsProgress) {
    // The blocks are laid out back to back and go out in one call. Several are read with one read
    // into the owner's large block; should that read fail, one by one, as a single block is (or
    // found held in currentBlock_). A block that cannot be read ends the run there, and those
    // before it still go out first, as they would one at a time.
    last = lastBlock_ != 0 ? std::min(last, lastBlock_) : last;
    const auto size = static_cast<std::size_t>(blockSize_);
    auto& together = owner_.largeBlock().payload;
    const auto wanted = static_cast<std::size_t>(std::max(0, last - first + 1)) * size;
    const auto read = last > first && wanted <= together.size() && file_
                          ? file_->readAt(std::int64_t{first - 1} * blockSize_,
                                          std::span(together.data(), wanted))
                          : std::nullopt;
    const auto run = owner_.runBuffer();
    std::size_t used = 0;
    SendFailure failure;
    std::int32_t number = first;
    for (; number <= last && (lastBlock_ == 0 || number <= lastBlock_); ++number) {
        std::span<const std::uint8_t> payload;
        if (read) {
            const auto offset = std::min(*read, static_cast<std::size_t>(number - first) * size);
            payload = std::span(together).subspan(offset, std::min(size, *read - offset));
            failure = payload.size() < size ? endsFile(number) : std::nullopt;
        } else {
            failure = loadBlock(number);
            payload = blockPacket().payloadBytes();
        }
        const auto length =
            failure ? std::nullopt : DataPacket::encodeBlock(number, payload, run.subspan(used));
        if (!length) {
            failure = failure.value_or(Outcome::SocketError);
            break;
        }
        used += *length;
    }
    const auto count = static_cast<std::size_t>(number - first);
    const auto sent =
        count == 0 ? 0 : owner_.sendRun(peer_, run.first(used), size + kDataHeaderSize);
    // The blocks count as sent up to the one whose send failed, which counts too.
    for (std::size_t i = 0; i < std::min(sent + 1, count); ++i) {
        const std::int32_t blocksBefore = blocksSent_;
        blocksSent_ = std::max(blocksSent_, first + static_cast<std::int32_t>(i));
        if (i == sent) {
            return Outcome::SocketError;
        }
        if (reportsProgress) {
            reportProgress(blocksBefore);
        }
    }
    return failure;
}

DataPacket& ReadSession::blockPacket() {
    // A block that fits the session's own packet is held there, and resending the block held
    // needs no read. Larger blocks go through the owner's shared packet and are read for every
    // send, so that no session holds more than a small block however large its blocks are.
    return static_cast<std::size_t>(blockSize_) <= currentBlock_.payload.size()
               ? currentBlock_
               : owner_.largeBlock();
}

ReadSession::SendFailure ReadSession::loadBlock(std::int32_t number) {
    DataPacket& block = blockPacket();
    if (&block == &currentBlock_ && block.block == number) {
        return std::nullopt;
    }
    const auto size = static_cast<std::size_t>(blockSize_);
    const auto count = file_ ? file_->readAt(std::int64_t{number - 1} * blockSize_,
                                             std::span(block.payload.data(), size))
                             : std::nullopt;
    if (!count) {
        return Outcome::ReadError;
    }
    if (*count < size) {
        if (const auto failure = endsFile(number)) {
            return failure;
        }
    }
    block.peer = peer_;
    block.block = number;
    block.payloadLength = static_cast<std::int32_t>(*count);
    return std::nullopt;
}

ReadSession::SendFailure ReadSession::endsFile(std::int32_t number) {
    // The size and time seen at open are checked again at the end, so that the client never
    // gets a mix of two versions of the file.
    if (!file_->unchangedSinceOpen()) {
        return Outcome::FileChanged;
    }
    lastBlock_ = number;
    return std::nullopt;
}

bool ReadSession::sendOptionAck() {
    OptionAckPacket optionAck(peer_);
    optionAck.options = accepted_;
    return owner_.send(optionAck);
}

ReadSession::SendFailure ReadSession::retransmit(Resend what) {
    if (++retries_ > kMaxRetransmissions) {
        return Outcome::SocketError;
    }
    if (state_ == State::OptionAckSent) {
        return sendOptionAck() ? SendFailure() : Outcome::SocketError;
    }
    // The window from the block after the last acknowledged one, up to the highest block sent, or
    // only its first block.
    const std::int32_t last = what == Resend::Window ? blocksSent_ : lastAcked_ + 1;
    return sendBlocks(lastAcked_ + 1, last, false);
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

HandlerResult ReadSession::afterSend(SendFailure failure, HandlerResult onSuccess,
                                     std::time_t now) {
    return failure ? end(*failure, now) : onSuccess;
}

HandlerResult ReadSession::end(Outcome outcome, std::time_t now, OutcomeDetails details) {
    file_.reset();
    details.fileName = fileName_;
    details.blocksSent = blocksSent_;
    return reportOutcome(owner_, outcome, peer_, now, details);
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
