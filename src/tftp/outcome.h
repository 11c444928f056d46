// What became of a client's packet or transfer besides its normal course: every refusal and
// every ending. One table (outcome.cpp) gives each its level, its log line, the reason the window
// shows and the ERROR reply the client gets, and one function acts on it.
#pragma once

#include <cstdint>
#include <ctime>
#include <string_view>

#include "net/client_endpoint.h"
#include "tftp/handler_result.h"

namespace quillet {

class SessionOwner;

enum class Outcome {
    // Packets refused or only noted: logged, never answered.
    InvalidPacket,        // shorter than an opcode, or an opcode outside 1 to 5
    InvalidOpcode,        // a known opcode with a malformed body
    NoSessionForAck,      // an ACK from a client without a transfer
    NoSessionForError,    // an ERROR from a client without a transfer
    CannotCreateSession,  // the session table would not take the client
    DuplicateRequest,     // a repeated request during a transfer
    DuplicateAck,         // a stale or early repeated ACK
    // Requests refused with an ERROR reply.
    WriteRefused,     // any write request
    AccessViolation,  // a name with "..", a log file, an unreadable file
    FileNotFound,     // missing, or not a regular file
    FileTooLarge,     // more blocks than a block number counts
    ServerBusy,       // no session or no descriptor left
    // Endings of a running transfer, reported to the window.
    SocketError,  // a send failed, or the resends ran out
    ReadError,    // the file could not be read
    FileChanged,  // the file changed while it was served
    Unreachable,  // the client's host says nothing listens at its port
    Replaced,     // the client asked for another file
    ClientError,  // the client sent an ERROR
};

/// What an outcome's line tells beyond the client.
struct OutcomeDetails {
    std::string_view fileName;    // as requested, for a refused request or an ending
    std::int32_t blocksSent = 0;  // for an ending
    std::int32_t number = 0;      // an invalid packet's opcode, or the client's error code
    std::string_view message;     // the client's ERROR text
};

/// Acts on an outcome about client: logs its line (a line about what the client sent only when
/// the owner's limiter lets it in the second now), sends its ERROR reply if it has one, and
/// reports an ending to the window. Returns what the packet handler returns for it.
HandlerResult reportOutcome(SessionOwner& owner, Outcome outcome, const ClientEndpoint& client,
                            std::time_t now, const OutcomeDetails& details = {});

}  // namespace quillet
