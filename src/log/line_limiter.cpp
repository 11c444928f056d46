#include "log/line_limiter.h"

namespace quillet {
namespace {

struct CountLine {
    std::int32_t level;
    const char* text;
};
// By topic, in the order of LineLimiter::Topic.
constexpr CountLine kCountLines[] = {
    {loglevel::kRefused, "Invalid Packets Ignored."},
    {loglevel::kServerState, "lines about refused requests not written."},
    {loglevel::kProgressDetail, "ICMP Errors Ignored."},
};

}  // namespace

bool LineLimiter::admit(LogSink* sink, const ClientEndpoint& client, Topic topic, std::time_t now) {
    reportHeldBack(sink, now);
    if (now != second_) {
        second_ = now;
        written_ = 0;
        writtenPerHost_.clear();
    }
    // The budget in all is checked first: once it is spent, no host is looked up.
    if (written_ < kLinesInAll) {
        if (int& byHost = writtenPerHost_[shareKey(client)]; byHost < kLinesPerHost) {
            ++byHost;
            ++written_;
            return true;
        }
    }
    ++heldBack_[static_cast<std::size_t>(topic)];
    return false;
}

void LineLimiter::reportHeldBack(LogSink* sink, std::time_t now) {
    if (now == second_) {
        return;
    }
    for (std::size_t topic = 0; topic < heldBack_.size(); ++topic) {
        if (heldBack_[topic] > 0) {
            writeFormatted(sink, kCountLines[topic].level, "%d more %s", heldBack_[topic],
                           kCountLines[topic].text);
            heldBack_[topic] = 0;
        }
    }
}

}  // namespace quillet
