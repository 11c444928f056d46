#include "tftp/outcome.h"

#include <cstdio>
#include <iterator>
#include <optional>
#include <string>

#include "log/client_text.h"
#include "log/event_sink.h"
#include "log/line_limiter.h"
#include "log/log_sink.h"
#include "tftp/packets.h"
#include "tftp/session_owner.h"

namespace quillet {
namespace {

/// How an outcome's line is made of its text, after "client <endpoint>: ".
enum class Line {
    AboutClient,   // the text
    WithOpcode,    // the text, the opcode, " Ignored."
    AboutRequest,  // the file name, ", ", the text
    Ending,        // the file name, ", ", the text, ", <n> blocks sent."
    ClientError,   // the file name, ", ", the text, " #<code> "<message>", <n> blocks sent."
};

struct Reply {
    std::int32_t code;
    const char* text;
};

struct Row {
    Outcome outcome;
    std::int32_t level;
    std::optional<LineLimiter::Topic> limit;  // lines about what clients sent are limited
    Line line;
    HandlerResult result;
    const char* text;
    const char* reason;  // what the window shows of an ending; null for none
    std::optional<Reply> reply;
};

// The replies' texts, which a refused request's line repeats.
constexpr char kAccessViolation[] = "Access violation.";
constexpr char kFileNotFound[] = "File not found.";
constexpr char kFileTooLarge[] = "File Too Large.";

using enum Outcome;
using enum HandlerResult;
using loglevel::kRefused, loglevel::kServerState, loglevel::kTransfer;
constexpr auto kPacket = LineLimiter::Topic::InvalidPacket;
constexpr auto kRequest = LineLimiter::Topic::RefusedRequest;
constexpr std::optional<LineLimiter::Topic> kUnlimited;
constexpr std::optional<Reply> kNoReply;

// The one table, in the order of Outcome. ERROR codes are RFC 1350's: 0 not defined (the text
// says), 1 file not found, 2 access violation, 4 illegal TFTP operation.
// clang-format off
constexpr Row kRows[] = {
    {InvalidPacket,       kRefused,     kPacket,     Line::AboutClient,  Unusable,
     "Invalid Packet Ignored.", nullptr, kNoReply},
    {InvalidOpcode,       kRefused,     kPacket,     Line::WithOpcode,   Unusable,
     "Invalid Packet with OpCode", nullptr, kNoReply},
    {NoSessionForAck,     kRefused,     kPacket,     Line::AboutClient,  Ignored,
     "Invalid ACK Packet Ignored, no Session for this client yet.", nullptr, kNoReply},
    {NoSessionForError,   kRefused,     kPacket,     Line::AboutClient,  Ignored,
     "Invalid ERROR Packet Ignored, no Session for this client yet.", nullptr, kNoReply},
    {CannotCreateSession, kRefused,     kRequest,    Line::AboutClient,  Unusable,
     "Cannot Create Session for Peer.", nullptr, kNoReply},
    {DuplicateRequest,    kTransfer,    kRequest,    Line::AboutClient,  Ignored,
     "Duplicated Read Request.", nullptr, kNoReply},
    {DuplicateAck,        kTransfer,    kRequest,    Line::AboutClient,  Ignored,
     "Duplicated ACK.", nullptr, kNoReply},
    {WriteRefused,        kServerState, kRequest,    Line::AboutClient,  SessionOver,
     "Write Request Ignored", nullptr, Reply{4, "WRQ not supported yet."}},
    {AccessViolation,     kServerState, kRequest,    Line::AboutRequest, SessionOver,
     kAccessViolation, nullptr, Reply{2, kAccessViolation}},
    {FileNotFound,        kServerState, kRequest,    Line::AboutRequest, SessionOver,
     kFileNotFound, nullptr, Reply{1, kFileNotFound}},
    {FileTooLarge,        kServerState, kRequest,    Line::AboutRequest, SessionOver,
     kFileTooLarge, nullptr, Reply{0, kFileTooLarge}},
    {ServerBusy,          kRefused,     kRequest,    Line::AboutRequest, SessionOver,
     "Refused, Server Busy.", nullptr, Reply{0, "Server Busy."}},
    {SocketError,         kRefused,     kUnlimited,  Line::Ending,       SessionOver,
     "Closed with Socket Error", "Socket Error", kNoReply},
    {ReadError,           kRefused,     kUnlimited,  Line::Ending,       SessionOver,
     "Closed with Read Error", "Read Error", Reply{0, "File Read Error."}},
    {FileChanged,         kRefused,     kUnlimited,  Line::Ending,       SessionOver,
     "Closed, File Changed during Transfer", "File Changed", Reply{0, "File Changed."}},
    {Unreachable,         kRefused,     kUnlimited,  Line::Ending,       SessionOver,
     "Closed, Client Unreachable", "Unreachable", kNoReply},
    {Replaced,            kServerState, kUnlimited,  Line::Ending,       SessionOver,
     "Closed by a new Read Request", "Replaced", kNoReply},
    {ClientError,         kRefused,     kUnlimited,  Line::ClientError,  SessionOver,
     "Closed with client Error", "Client Error", kNoReply},
};
// clang-format on

constexpr bool inOutcomeOrder() {
    for (std::size_t i = 0; i < std::size(kRows); ++i) {
        if (static_cast<std::size_t>(kRows[i].outcome) != i) {
            return false;
        }
    }
    return std::size(kRows) == static_cast<std::size_t>(ClientError) + 1;
}
static_assert(inOutcomeOrder(), "one row per outcome, in the order of Outcome");

// Room for the reason of a client's ERROR: its message may be as long as a datagram allows, and
// the window shows at most this much of it.
constexpr std::size_t kReasonCapacity = 1024;

void writeLine(LogSink* sink, const Row& row, const ClientEndpoint& client,
               const OutcomeDetails& details) {
    const auto name = [&](std::size_t limit) { return escapeClientText(details.fileName, limit); };
    switch (row.line) {
        case Line::AboutClient:
            writeAboutClient(sink, row.level, client, "%s", row.text);
            return;
        case Line::WithOpcode:
            writeAboutClient(sink, row.level, client, "%s %d Ignored.", row.text, details.number);
            return;
        case Line::AboutRequest:
            writeAboutClient(sink, row.level, client, "%s, %s", name(kLoggedClientText).c_str(),
                             row.text);
            return;
        case Line::Ending:
            writeAboutClient(sink, row.level, client, "%s, %s, %d blocks sent.",
                             name(kLoggedClientText).c_str(), row.text, details.blocksSent);
            return;
        case Line::ClientError:
            // Two client texts in one line: each is cut so that the line keeps its outcome.
            writeAboutClient(sink, row.level, client, "%s, %s #%d \"%s\", %d blocks sent.",
                             name(kLoggedClientTextOfTwo).c_str(), row.text, details.number,
                             escapeClientText(details.message, kLoggedClientTextOfTwo).c_str(),
                             details.blocksSent);
            return;
    }
}

std::string reasonText(const Row& row, const OutcomeDetails& details) {
    if (row.line != Line::ClientError) {
        return row.reason;
    }
    char reason[kReasonCapacity];
    const int prefix =
        std::snprintf(reason, sizeof reason, "%s #%d \"", row.reason, details.number);
    // The message is cut where it must be on a whole character or escape, and the quote closed.
    const auto room = sizeof reason - static_cast<std::size_t>(prefix);
    std::snprintf(reason + prefix, room, "%s\"",
                  escapeClientText(details.message, room - 2).c_str());
    return reason;
}

}  // namespace

HandlerResult reportOutcome(SessionOwner& owner, Outcome outcome, const ClientEndpoint& client,
                            std::time_t now, const OutcomeDetails& details) {
    const Row& row = kRows[static_cast<std::size_t>(outcome)];
    if (!row.limit || owner.admitLine(client, *row.limit, now)) {
        writeLine(owner.logSink(), row, client, details);
    }
    if (row.reply) {
        ErrorPacket reply(client);
        reply.errorCode = row.reply->code;
        reply.message = row.reply->text;
        owner.send(reply);
    }
    if (row.reason != nullptr) {
        owner.events().transferFailed(client, reasonText(row, details));
    }
    return row.result;
}

}  // namespace quillet
