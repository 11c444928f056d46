// One client's read transfer, in lock-step (RFC 1350):
//
//   client                     server (port 69)
//     RRQ "boot.bin" -------->
//                    <-------- DATA 1 (512 bytes)
//     ACK 1 ----------------->
//                    <-------- DATA 2 (512 bytes)
//     ...
//                    <-------- DATA n (0..511 bytes: the last)
//     ACK n ----------------->   served; the session ends
//
// One block is out at a time. A duplicate ACK of the previous block, a repeated request while
// block 1 is out, and a tick after more than 10 s of silence resend the current block; the three
// share five resends per block, and the sixth trigger gives up.
//
// When the server negotiates options and the request asks for known ones (RFC 2347), an OACK
// goes out first and the client's ACK 0 starts the transfer, in blocks of the negotiated size
// (RFC 2348) and in windows of up to windowsize blocks per ACK (RFC 7440):
//
//     RRQ "boot.bin" blksize 1468 windowsize 4 -->
//                    <-------- OACK blksize 1468 windowsize 4
//     ACK 0 ----------------->
//                    <-------- DATA 1, 2, 3, 4
//     ACK 4 ----------------->   (ACK 2 would start the next window at block 3)
//                    <-------- DATA 5, 6, ...
//
// Lock-step is the window of one block: ACK k acknowledges every block up to k, a repeated ACK of
// the block last acknowledged gets the unacknowledged window again (a silent client its first
// block), and older ACKs are ignored. Once an OACK went out, a repeated ACK gets the window again
// only when it has been out for more than a second: a client's retries come further apart, and
// forged copies of one ACK must not draw the window toward someone else's address again.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "log/log_sink.h"
#include "net/client_endpoint.h"
#include "tftp/handler_result.h"
#include "tftp/outcome.h"
#include "tftp/packets.h"
#include "tftp/served_file.h"
#include "tftp/session_owner.h"

namespace quillet {

class ReadSession {
  public:
    /// Where the transfer stands; a session that is over is removed by its owner at once.
    enum class State { Idle, OptionAckSent, Sending, LastBlockSent };

    /// Block numbers never pass this (the empty last block of a file of the largest size is the
    /// one after it, and travels as block 0), so the largest file is this many full blocks:
    /// 33,553,920 bytes without options.
    static constexpr std::int64_t kLargestBlockCount = 65535;
    /// The most bytes of DATA datagrams one ACK sets off and that are out at once: as many as one
    /// DATA packet of the largest block (65,468), so that a window draws no more toward an
    /// address than one block of a server without windows. One block of 65,464 fits, 44 of
    /// 1,468, 31 of 2,048, and never more than 64 blocks.
    static constexpr std::int64_t kLargestWindowBytes = kLargestBlockSize + kDataHeaderSize;
    static constexpr std::int32_t kMaxRetransmissions = 5;
    static constexpr std::time_t kSilenceBeforeResend = 10;  // seconds
    /// With options, a repeated ACK gets the window again only this many whole seconds after it
    /// last went out: more than one second has passed.
    static constexpr std::time_t kRepeatedAckPause = 2;
    /// Progress is reported as the bytes of the blocks sent pass each multiple of these: every
    /// 10th and 200th block at the default block size.
    static constexpr std::int64_t kProgressEventBytes = 10 * kBlockSize;
    static constexpr std::int64_t kProgressLineBytes = 200 * kBlockSize;

    /// A session in its initial state; owner sends, logs and reports for it, and the file comes
    /// from folder. Both outlive the session.
    ReadSession(SessionOwner& owner, const ServedFolder& folder);
    ReadSession(const ReadSession&) = delete;
    ReadSession& operator=(const ReadSession&) = delete;

    /// The client's read request: the first opens the file and sends the OACK or block 1; later
    /// ones are duplicates.
    HandlerResult onReadRequest(const ReadRequestPacket& packet, std::time_t now);

    /// The client's acknowledgement of a block.
    HandlerResult onAck(const AckPacket& packet, std::time_t now);

    /// The client ends the transfer with an ERROR packet.
    HandlerResult onError(const ErrorPacket& packet, std::time_t now);

    /// The periodic pass: resends what is unacknowledged after more than 10 s of silence.
    HandlerResult tick(std::time_t now);

    /// Ends the transfer (or refuses its request) with outcome in the second now: releases the
    /// file and reports the outcome. The owner ends a transfer so whose client went unreachable
    /// or asked for another file.
    HandlerResult end(Outcome outcome, std::time_t now, OutcomeDetails details = {});

    /// Where the transfer stands.
    State state() const { return state_; }

    /// The file name as requested.
    const std::string& fileName() const { return fileName_; }

  private:
    /// What a send made of the transfer: none when it went out, otherwise the outcome that ends
    /// the transfer (SocketError, ReadError or FileChanged).
    using SendFailure = std::optional<Outcome>;

    /// Chooses the options to acknowledge from those the client asked for.
    void negotiate(const TransferOptions& requested);

    /// Sends the window that follows the block last acknowledged: blocks already sent again,
    /// then new ones up to the window's end or the last block.
    SendFailure sendWindow();

    /// Sends blocks first to last, or to the file's last block, in one run through the owner;
    /// reports progress for each block sent when reportsProgress.
    SendFailure sendBlocks(std::int32_t first, std::int32_t last, bool reportsProgress);

    /// The packet a block goes out in: currentBlock_ when the block size fits it, else the
    /// owner's shared large block.
    DataPacket& blockPacket();

    /// Puts block number into blockPacket(), read from the file unless currentBlock_ holds it.
    SendFailure loadBlock(std::int32_t number);

    /// Block number came short: it is the file's last, unless the file changed since it was
    /// opened (FileChanged).
    SendFailure endsFile(std::int32_t number);

    /// Sends the OACK with the accepted options.
    bool sendOptionAck();

    /// What a resend sends of the unacknowledged window: all of it, or its first block.
    enum class Resend { Window, FirstBlock };

    /// Sends the OACK, or the unacknowledged window or its first block, again, unless the five
    /// resends are used up (which reads as a failed send).
    SendFailure retransmit(Resend what);

    /// onSuccess when the send went out; otherwise the transfer ends as the failure asks.
    HandlerResult afterSend(SendFailure failure, HandlerResult onSuccess, std::time_t now);

    /// Reports progress when the bytes of the blocks sent pass a reporting mark.
    void reportProgress(std::int32_t blocksBefore);

    /// The absolute block number that an ACK's 16 bits stand for: the latest block sent that
    /// carries those bits.
    std::int64_t ackedBlock(std::uint32_t ackBlock) const;

    /// Logs a line about this transfer: "client <endpoint>: <file name>, " and the text.
    void logTransfer(std::int32_t level, const char* format, ...) const QUILLET_PRINTF_FORMAT(3, 4);

    SessionOwner& owner_;
    const ServedFolder& folder_;
    ClientEndpoint peer_;
    std::string fileName_;  // as requested: escaped where it is shown
    std::optional<ServedFile> file_;
    DataPacket currentBlock_;
    State state_ = State::Idle;
    TransferOptions accepted_;             // acknowledged in the OACK; empty without one
    std::int32_t blockSize_ = kBlockSize;  // payload bytes of a full block
    std::int32_t windowSize_ = 1;          // blocks sent per ACK
    std::int32_t blocksSent_ = 0;          // the highest block number sent
    std::int32_t lastAcked_ = 0;           // every block up to this one is acknowledged
    std::int32_t lastBlock_ = 0;           // the number of the last block, once it was read
    std::int32_t retries_ = 0;
    std::time_t windowSentAt_ = 0;  // when the unacknowledged window last went out
    std::time_t lastActivity_ = 0;
};

}  // namespace quillet
