#pragma once

#include <cstdint>
#include <string_view>

namespace quillet {

/// Log levels: lower is more severe. A sink takes a line when its level is at least the line's.
namespace loglevel {
inline constexpr std::int32_t kCannotStart = 3;     // the engine's socket cannot be made or bound
inline constexpr std::int32_t kRefused = 4;         // refused packets, failed transfers
inline constexpr std::int32_t kServerState = 5;     // server state, refused requests
inline constexpr std::int32_t kTransfer = 6;        // the normal course of a transfer
inline constexpr std::int32_t kProgressDetail = 7;  // progress detail
}  // namespace loglevel

/// The one logging entry the engine uses.
class LogSink {
  public:
    /// Takes one line of text at a level; the sink decides where it goes.
    virtual void write(std::int32_t level, std::string_view text) = 0;

  protected:
    ~LogSink() = default;
};

}  // namespace quillet
