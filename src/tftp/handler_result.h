#pragma once

namespace quillet {

/// What a packet handler or a session made of a packet or a tick. The numbers are the result codes
/// that callers and tests see.
enum class HandlerResult : int {
    Handled = 0,       // the exchange goes on
    Ignored = -1,      // nothing to do: no session, a DATA packet, a duplicate
    SessionOver = -2,  // the exchange with this client is over; remove its session at once
    Unusable = -3,     // not a usable packet, or no session could be made
    Resent = -4,       // the tick sent the current block again
};

}  // namespace quillet
