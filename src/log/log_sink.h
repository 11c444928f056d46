#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "net/client_endpoint.h"
#include "net/platform_types.h"

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

/// Room for a formatted line with its terminator: longer lines are cut to 199 characters.
inline constexpr std::size_t kLogTextCapacity = 200;

/// Formats one line and writes it to sink; without a sink nothing is formatted.
void writeFormatted(LogSink* sink, std::int32_t level, const char* format, ...)
    QUILLET_PRINTF_FORMAT(3, 4);

/// The same for a line about one client: "client 10.1.2.3 (1069): " and the formatted text.
void writeAboutClient(LogSink* sink, std::int32_t level, const ClientEndpoint& client,
                      const char* format, ...) QUILLET_PRINTF_FORMAT(4, 5);

/// The same from a va_list, with the text after a subject when one is given:
/// "client 10.1.2.3 (1069): boot.bin, " and the formatted text.
void writeAboutClientList(LogSink* sink, std::int32_t level, const ClientEndpoint& client,
                          std::string_view subject, const char* format, va_list arguments)
    QUILLET_PRINTF_FORMAT(5, 0);

}  // namespace quillet
