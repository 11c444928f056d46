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
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "log/log_sink.h"
#include "net/client_endpoint.h"
#include "tftp/handler_result.h"
#include "tftp/packets.h"
#include "tftp/served_file.h"
#include "tftp/session_owner.h"

namespace quillet {

class ReadSession {
  public:
    /// Where the transfer stands; a session that is over is removed by its owner at once.
    enum class State { Idle, Sending, LastBlockSent };

    static constexpr std::int64_t kLargestFile = 65535LL * kBlockSize;  // 33,553,920 bytes
    static constexpr std::int32_t kMaxRetransmissions = 5;
    static constexpr std::time_t kSilenceBeforeResend = 10;  // seconds
    static constexpr std::int32_t kProgressEventEvery = 10;  // blocks
    static constexpr std::int32_t kProgressLineEvery = 200;  // blocks

    /// A session in its initial state; owner sends, logs and reports for it, and the file comes
    /// from folder. Both outlive the session.
    ReadSession(SessionOwner& owner, const ServedFolder& folder);
    ReadSession(const ReadSession&) = delete;
    ReadSession& operator=(const ReadSession&) = delete;

    /// The client's read request: the first opens the file and sends block 1; later ones are
    /// duplicates.
    HandlerResult onReadRequest(const ReadRequestPacket& packet, std::time_t now);

    /// The client's acknowledgement of a block.
    HandlerResult onAck(const AckPacket& packet, std::time_t now);

    /// The client ends the transfer with an ERROR packet.
    HandlerResult onError(const ErrorPacket& packet, std::time_t now);

    /// The periodic pass: resends the current block after more than 10 s of silence.
    HandlerResult tick(std::time_t now);

    /// The client's endpoint went unreachable (an ICMP port unreachable came back): ends the
    /// transfer.
    HandlerResult closeUnreachable();

    /// A request from the same endpoint for another file ends this transfer.
    HandlerResult closeReplaced();

    /// Where the transfer stands.
    State state() const { return state_; }

    /// The file name as requested.
    const std::string& fileName() const { return fileName_; }

    /// Refuses a request for lack of sessions or descriptors with ERROR 0 "Server Busy.".
    static void refuseBusy(SessionOwner& owner, const ClientEndpoint& peer,
                           std::string_view requestedName);

  private:
    enum class SendOutcome { Sent, SendFailed, ReadFailed, FileChanged };

    /// Reads the next block from the file and sends it.
    SendOutcome sendNextBlock();

    /// Sends the current block again, unless its five resends are used up.
    bool retransmit();

    /// Refuses the request with an ERROR packet and closes.
    HandlerResult replyError(ErrorReply kind);

    /// Ends a transfer whose block could not be sent or whose resends ran out.
    HandlerResult closeWithSocketError();

    /// Ends a transfer in failure: logs the outcome with the blocks sent, sends the reply if
    /// there is one, and reports the reason to the window.
    HandlerResult closeFailed(std::int32_t level, const char* outcome, std::string_view reason,
                              std::optional<ErrorReply> reply = std::nullopt);

    /// Ends a transfer after sendNextBlock failed, in the way its outcome asks for.
    HandlerResult closeAfter(SendOutcome outcome);

    /// Releases the file; the owner removes the session.
    HandlerResult close();

    /// Logs a line about this transfer: "client <endpoint>: <file name>, " and the text.
    void logTransfer(std::int32_t level, const char* format, ...) const QUILLET_PRINTF_FORMAT(3, 4);

    bool isCurrentBlock(std::uint32_t ackBlock) const;
    bool isPreviousBlock(std::uint32_t ackBlock) const;

    SessionOwner& owner_;
    const ServedFolder& folder_;
    ClientEndpoint peer_;
    std::string fileName_;
    std::string shownName_;   // escaped, for the window
    std::string loggedName_;  // escaped and cut, for log lines
    std::optional<ServedFile> file_;
    DataPacket currentBlock_;
    State state_ = State::Idle;
    std::int32_t blocksSent_ = 0;
    std::int32_t retries_ = 0;
    std::time_t lastActivity_ = 0;
};

}  // namespace quillet
