#include "log/log_sink.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace quillet {
namespace {

void writeFormattedList(LogSink* sink, std::int32_t level, const char* format, va_list arguments) {
    char text[kLogTextCapacity];
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    if (length < 0) {
        return;
    }
    const auto kept = std::min(static_cast<std::size_t>(length), sizeof text - 1);
    sink->write(level, std::string_view(text, kept));
}

}  // namespace

void writeFormatted(LogSink* sink, std::int32_t level, const char* format, ...) {
    if (sink == nullptr) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    writeFormattedList(sink, level, format, arguments);
    va_end(arguments);
}

void writeAboutClientList(LogSink* sink, std::int32_t level, const ClientEndpoint& client,
                          std::string_view subject, const char* format, va_list arguments) {
    if (sink == nullptr) {
        return;
    }
    // The text after the prefix never needs more room than the whole line has.
    char rest[kLogTextCapacity];
    if (std::vsnprintf(rest, sizeof rest, format, arguments) < 0) {
        return;
    }
    // An empty view's data() may be null, which "%.*s" must not get even with precision 0.
    writeFormatted(sink, level, "client %s: %.*s%s%s", endpointText(client).c_str(),
                   static_cast<int>(subject.size()), subject.empty() ? "" : subject.data(),
                   subject.empty() ? "" : ", ", rest);
}

void writeAboutClient(LogSink* sink, std::int32_t level, const ClientEndpoint& client,
                      const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    writeAboutClientList(sink, level, client, {}, format, arguments);
    va_end(arguments);
}

}  // namespace quillet
