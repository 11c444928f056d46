// Keeps a flood of packets from flooding the log: lines about what clients sent are written up to
// a budget each second, per client host and in all, and the rest are counted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>

#include "log/log_sink.h"
#include "net/client_endpoint.h"

namespace quillet {

class LineLimiter {
  public:
    static constexpr int kLinesPerHost = 20;  // each second, about one host
    static constexpr int kLinesInAll = 200;   // each second, about all of them

    /// What a line is about. The topics share the budget; each counts the lines it held back in
    /// its own line, reported once the second is over.
    enum class Topic {
        InvalidPacket,   // "%d more Invalid Packets Ignored."
        RefusedRequest,  // "%d more lines about refused requests not written."
        IgnoredError,    // "%d more ICMP Errors Ignored."
    };

    /// True when a line on topic about client may be written in the second now; otherwise the
    /// line is counted. A new second first reports the counts of the last one to sink.
    bool admit(LogSink* sink, const ClientEndpoint& client, Topic topic, std::time_t now);

    /// Reports to sink, once their second is over, the lines held back: one line per topic.
    void reportHeldBack(LogSink* sink, std::time_t now);

  private:
    std::time_t second_ = 0;
    int written_ = 0;
    std::map<ShareKey, int> writtenPerHost_;  // at most kLinesInAll entries
    std::array<int, 3> heldBack_{};
};

}  // namespace quillet
