// Feeds arbitrary datagrams from a few clients, with ticks in between, through the dispatcher and
// its sessions, and checks what comes out: every reply is a DATA or ERROR datagram that fits the
// send buffer, every log line fits its 199 characters, and every result is a known code.
//
// Build and run (clang only; see tests/fuzz/CMakeLists.txt):
//   cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DQUILLET_BUILD_UI=OFF \
//         -DQUILLET_BUILD_BENCH=OFF
//   cmake --build build-fuzz --target packet_fuzzer
//   mkdir -p /tmp/packet-corpus
//   build-fuzz/tests/fuzz/packet_fuzzer -max_total_time=120 -dict=tests/fuzz/packet.dict \
//         /tmp/packet-corpus tests/fuzz/seeds
//
// Input: a sequence of records, each one byte of control and then a datagram. The control byte's
// low two bits pick the client (four endpoints, two of them on one address); bit 2 asks for a tick
// before the datagram; the high five bits advance the clock by that many seconds. The next two
// bytes give the datagram's length (big-endian, at most 4096, cut at the end of the input).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "engine/packet_transport.h"
#include "engine/request_dispatcher.h"
#include "log/event_sink.h"
#include "log/log_sink.h"

namespace {

using namespace quillet;

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "packet_fuzzer: %s\n", what);
    std::abort();
}

class CheckingTransport final : public PacketTransport {
  public:
    std::ptrdiff_t sendTo(const ClientEndpoint&, std::span<const std::uint8_t> bytes) override {
        if (bytes.size() < 4 || bytes.size() > RequestDispatcher::kSendBufferCapacity) {
            broken("a datagram of impossible length was sent");
        }
        const int opcode = (bytes[0] << 8) | bytes[1];
        if (opcode == 3 && bytes.size() > 516) {
            broken("a DATA block over 512 bytes was sent");
        }
        if (opcode == 5 && bytes.back() != 0) {
            broken("an ERROR message without its terminator was sent");
        }
        if (opcode != 3 && opcode != 5) {
            broken("the server sent something other than DATA or ERROR");
        }
        // Now and then report a failed send, so that the socket-error paths run too.
        return (++sends_ % 97 == 0) ? -1 : static_cast<std::ptrdiff_t>(bytes.size());
    }

  private:
    unsigned sends_ = 0;
};

class CheckingLog final : public LogSink {
  public:
    void write(std::int32_t level, std::string_view text) override {
        if (text.size() > 199) {
            broken("a log line longer than 199 characters");
        }
        if (level < 3 || level > 7) {
            broken("a log line at an unknown level");
        }
    }
};

// The notifications go nowhere, as with no window attached; their arguments are still checked.
class CheckingEvents final : public EventSink {
  public:
    bool transferFailed(const ClientEndpoint&, std::string_view reason) override {
        if (reason.size() >= 1024) {
            broken("a failure reason past its 1,024-byte buffer");
        }
        return false;
    }
};

const ClientEndpoint kClients[4] = {
    ClientEndpoint::fromHostOrder(0x0A000001, 1069),
    ClientEndpoint::fromHostOrder(0x0A000001, 1070),  // same address, another port
    ClientEndpoint::fromHostOrder(0xC0A80001, 69),
    ClientEndpoint::fromHostOrder(0x7F000001, 65535),
};

}  // namespace

// Serves from a scratch directory of small files that requests can name: "a" (empty), "b" (512
// bytes), "c" (1,500 bytes) and the directory "d".
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static char directory[] = "/tmp/packet-fuzzer-XXXXXX";
    if (::mkdtemp(directory) == nullptr || ::chdir(directory) != 0) {
        broken("no scratch directory");
    }
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    });
    const std::pair<const char*, std::size_t> files[] = {{"a", 0}, {"b", 512}, {"c", 1500}};
    for (const auto& [name, size] : files) {
        std::FILE* file = std::fopen(name, "wb");
        for (std::size_t i = 0; file != nullptr && i < size; ++i) {
            std::fputc(static_cast<int>(i % 251), file);
        }
        if (file != nullptr) {
            std::fclose(file);
        }
    }
    ::mkdir("d", 0700);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckingTransport transport;
    CheckingLog log;
    CheckingEvents events;
    RequestDispatcher dispatcher;
    dispatcher.setTransport(&transport);
    dispatcher.setLog(&log);
    dispatcher.setEventSink(&events);

    std::span<const std::uint8_t> input(data, size);
    std::time_t now = 1'700'000'000;
    while (input.size() >= 3) {
        const std::uint8_t control = input[0];
        const std::size_t wanted = (std::size_t{input[1]} << 8) | input[2];
        input = input.subspan(3);
        const std::size_t length = std::min({wanted, input.size(), std::size_t{4096}});
        now += control >> 3;
        if ((control & 0x04) != 0) {
            dispatcher.tick(now);
        }
        const int result = static_cast<int>(
            dispatcher.dispatch(kClients[control & 0x03], input.first(length), now));
        if (result > 0 || result < -4) {
            broken("dispatch returned an unknown result");
        }
        input = input.subspan(length);
    }
    return 0;
}
