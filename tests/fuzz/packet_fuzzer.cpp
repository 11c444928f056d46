// Feeds records of datagrams from four clients (two on each address), with ticks, through a
// dispatcher that negotiates options, and aborts on any reply or log line a client must never see,
// or on a datagram the codec accepts (WRQ aside, never sent) whose encoding does not decode and
// encode again to the same bytes.
// A record: a control byte (bits 0-1: the client, bit 2: tick first, bits 3-7: seconds that pass),
// a 16-bit big-endian length and the datagram. Built and run by tools/test.sh
// (docs/reliability.md).
#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "dispatcher_rig.h"
#include "log/event_sink.h"
#include "log/log_sink.h"
#include "tftp/packets.h"

namespace {

using namespace quillet;

void check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "packet_fuzzer: %s\n", what);
        std::abort();
    }
}

// The socket and the log of the engine under test.
struct Checker final : PacketTransport, LogSink {
    net::SendResult sendTo(const ClientEndpoint&, std::span<const std::uint8_t> bytes) override {
        check(bytes.size() >= 2 && bytes.size() <= 4 + kLargestBlockSize,
              "a datagram of impossible length");
        check(bytes[0] == 0 && ((bytes[1] == 3 && bytes.size() >= 4) ||
                                (bytes[1] == 5 && bytes.size() >= 5 && bytes.back() == 0) ||
                                (bytes[1] == 6 && bytes.size() >= 4 && bytes.back() == 0)),
              "a reply other than DATA, a terminated ERROR or a terminated OACK");
        check(bytes[1] != 3 || std::all_of(bytes.begin() + 4, bytes.end(),
                                           [](std::uint8_t b) { return b == 'b' || b == 'c'; }),
              "DATA of a file that is not served");
        // Now and then a failed or a lost send, so that the socket-error paths run too.
        ++sends;
        return sends % 97 == 0   ? net::SendResult::Failed
               : sends % 89 == 0 ? net::SendResult::LostToOthers
                                 : net::SendResult::Sent;
    }
    void write(std::int32_t level, std::string_view text) override {
        check(text.size() <= 199 && level >= 3 && level <= 7, "a log line too long or unknown");
        check(std::none_of(text.begin(), text.end(),
                           [](unsigned char c) { return c < 0x20 || c == 0x7F; }),
              "a control byte in a log line");
    }
    unsigned sends = 0;
};

/// Decodes, encodes, decodes and encodes again what the codec accepts: the same bytes each time.
void checkRoundTrip(std::span<const std::uint8_t> datagram) {
    static PacketDecoder decoder;
    static std::array<std::uint8_t, 65536> first, second;  // room for any packet
    const auto decoded = decoder.decode({}, datagram);
    if (decoded.result != DecodeResult::Ok || decoded.opcode == kOpWriteRequest) {
        return;
    }
    const auto written = decoded.packet->encode(first);
    check(written.has_value() && *written >= 4, "a valid packet does not encode");
    const auto again = decoder.decode({}, std::span(first).first(*written));
    check(again.result == DecodeResult::Ok && again.opcode == decoded.opcode,
          "an encoded packet does not decode");
    const auto rewritten = again.packet->encode(second);
    check(
        rewritten == written && std::equal(first.begin(), first.begin() + *written, second.begin()),
        "a decoded packet encodes to other bytes");
}

char directory[] = "/tmp/packet-fuzzer-XXXXXX";  // the served folder

}  // namespace

// Serves from a scratch directory that holds the files "a" (empty), "b" (512 bytes) and "c"
// (1,500 bytes), the directory "d" and a "Quillet.log", which is never served.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    check(::mkdtemp(directory) != nullptr && ::chdir(directory) == 0, "no scratch directory");
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    });
    std::ofstream("a");
    std::ofstream("b") << std::string(512, 'b');
    std::ofstream("c") << std::string(1500, 'c');
    ::mkdir("d", 0700);
    std::ofstream("Quillet.log") << "the log";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Checker checker;
    EventSink events;                 // no window attached: the notifications go nowhere
    RequestDispatcher dispatcher(3);  // fewer sessions than clients: some are refused
    test::setUpDispatcher(dispatcher, checker, checker, events, directory);
    dispatcher.setNegotiatesOptions(true);  // a request without options is served as without it
    std::span<const std::uint8_t> input(data, size);
    std::time_t now = 1'700'000'000;
    while (input.size() >= 3) {
        const std::uint8_t control = input[0];
        const std::size_t wanted = (std::size_t{input[1]} << 8) | input[2];
        const std::size_t length = std::min({wanted, input.size() - 3, std::size_t{4096}});
        input = input.subspan(3);
        now += control >> 3;
        if ((control & 0x04) != 0) {
            dispatcher.tick(now);
        }
        const ClientEndpoint from{htonl((control & 2) != 0 ? 0xC0A80001 : 0x0A000001),
                                  htons(static_cast<std::uint16_t>(1069 + (control & 1)))};
        checkRoundTrip(input.first(length));
        const auto result = dispatcher.dispatch(from, input.first(length), now);
        check(static_cast<int>(result) <= 0 && static_cast<int>(result) >= -4, "an unknown result");
        input = input.subspan(length);
    }
    return 0;
}
