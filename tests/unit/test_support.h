// Helpers for the unit tests: datagrams written out byte by byte, a scratch directory, a clock
// the test sets, and the log and event sinks that keep what they are given.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <concepts>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "log/clock.h"
#include "log/event_sink.h"
#include "log/log_sink.h"

namespace quillet::test {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

/// A piece of a datagram: one byte given as a number, or the characters of a text.
struct Part {
    Part(int byte) : bytes{static_cast<std::uint8_t>(byte)} {}
    template <std::convertible_to<std::string_view> Text>
    Part(const Text& text) : bytes(std::string_view(text).begin(), std::string_view(text).end()) {}
    Bytes bytes;
};

/// The datagram made of the parts in order after start: wire({0, 1, "a.bin", 0, "octet", 0}).
inline Bytes wire(std::initializer_list<Part> parts, Bytes start = {}) {
    for (const auto& part : parts) {
        start.insert(start.end(), part.bytes.begin(), part.bytes.end());
    }
    return start;
}
inline Bytes rrq(std::string_view name, std::string_view mode = "octet") {
    return wire({0, 1, name, 0, mode, 0});
}
/// A read request for name that asks for options: rrqWith(path, {"blksize", 0, "100", 0}).
inline Bytes rrqWith(std::string_view name, std::initializer_list<Part> options) {
    return wire(options, rrq(name));
}
inline Bytes ack(int block) {
    return wire({0, 4, (block >> 8) & 0xFF, block & 0xFF});
}
inline Bytes errorDatagram(int code, std::string_view message) {
    return wire({0, 5, code >> 8, code & 0xFF, message, 0});
}
/// The 16-bit number at offset in a datagram (opcode at 0, block or error code at 2).
inline int wireNumber(const Bytes& datagram, std::size_t offset) {
    return datagram.size() < offset + 2 ? -1 : (datagram[offset] << 8) | datagram[offset + 1];
}

/// A client endpoint given in host order: client(0x0A010203, 1069) is "10.1.2.3 (1069)". The
/// endpoint holds both in network order, its bytes in wire order.
inline ClientEndpoint client(std::uint32_t address, std::uint16_t port) {
    const auto bytes = wire({int(address >> 24), int(address >> 16), int(address >> 8),
                             int(address), port >> 8, port});  // each cut to its low byte
    ClientEndpoint endpoint;
    std::memcpy(&endpoint.address, bytes.data(), 4);
    std::memcpy(&endpoint.port, bytes.data() + 4, 2);
    return endpoint;
}
inline const ClientEndpoint kClient = client(0x0A010203, 1069);

/// An IPv6 client endpoint from its eight groups and its port in host order, made as the socket
/// layer makes it: ipv6Client({0x2001, 0xDB8, 0, 0, 0, 0, 0, 7}, 49152) is "2001:db8::7 (49152)".
inline ClientEndpoint ipv6Client(std::array<std::uint16_t, 8> groups, std::uint16_t port,
                                 std::uint32_t scopeId = 0) {
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(groups[i / 2] >> (i % 2 == 0 ? 8 : 0));
    }
    return ipv6Endpoint(bytes, client(0, port).port, scopeId);
}

/// Makes local time UTC for the rest of the program, so that time texts read the same anywhere.
inline void useUtc() {
#ifdef _WIN32
    ::_putenv_s("TZ", "UTC0");
    ::_tzset();
#else
    ::setenv("TZ", "UTC", 1);
    ::tzset();
#endif
}

/// A directory of its own (a random name) under the temporary directory, removed with its contents.
struct ScratchDirectory {
    ScratchDirectory() { EXPECT_TRUE(std::filesystem::create_directory(root)); }
    ~ScratchDirectory() { std::filesystem::remove_all(root); }

    std::string path(std::string_view name) const { return root + "/" + std::string(name); }

    /// Writes a file (of size bytes, sparse, when size is given); returns its absolute path.
    std::string write(std::string_view name, std::string_view content,
                      std::uintmax_t size = 0) const {
        std::ofstream(path(name), std::ios::binary) << content;
        if (size > 0) {
            std::filesystem::resize_file(path(name), size);
        }
        return path(name);
    }

    std::string root = (std::filesystem::temp_directory_path() /
                        ("quillet-" + std::to_string(std::random_device()())))
                           .string();
};

/// size bytes in which each block of 512 differs from its neighbours.
inline std::string pattern(std::size_t size) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        content[i] = static_cast<char>((i * 7 + i / 512) % 251);
    }
    return content;
}

/// The last of items; with none the test fails (at throws) rather than reading past the end.
template <typename T>
T lastOf(std::vector<T> items) {
    return items.at(items.size() - 1);
}

inline std::string contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// A clock that reads what the test set, from any thread; the monotonic reading follows it.
struct FakeClock final : Clock {
    explicit FakeClock(std::time_t start = 1'700'000'000) : now(start) {}
    std::chrono::steady_clock::time_point monotonic() const override {
        return std::chrono::steady_clock::time_point(std::chrono::seconds(now.load()));
    }
    std::time_t wall() const override { return now.load(); }
    std::atomic<std::time_t> now;
};

/// A notification about a client as recorded: "Failed 10.1.2.3 (1069) Socket Error".
inline std::string event(std::string kind, const std::string& rest = {},
                         ClientEndpoint from = kClient) {
    return kind + " " + endpointText(from) + (rest.empty() ? "" : " " + rest);
}

/// Keeps log lines ("level text") and notifications (see event) from any thread, for a test.
struct Recorder final : LogSink, EventSink {
    bool add(std::string line) {
        std::lock_guard lock(mutex);
        lines.push_back(std::move(line));
        return true;
    }
    Lines take() {
        std::lock_guard lock(mutex);
        return std::exchange(lines, {});
    }

    void write(std::int32_t level, std::string_view text) override {
        add(std::to_string(level) + " " + std::string(text));
    }
    bool transferStarted(const ClientEndpoint& from, std::string_view name, std::int64_t size,
                         std::int32_t blockSize, std::time_t startTime) override {
        const auto blocks = blockSize == 512 ? std::string() : " in " + std::to_string(blockSize);
        return add(event("Started",
                         std::to_string(size) + " " + std::string(name) + " at " +
                             std::to_string(startTime) + blocks,
                         from));
    }
    bool transferProgress(const ClientEndpoint& from, std::int32_t blocks) override {
        return add(event("Progress", std::to_string(blocks), from));
    }
    bool transferDone(const ClientEndpoint& from) override { return add(event("Done", {}, from)); }
    bool transferFailed(const ClientEndpoint& from, std::string_view reason) override {
        return add(event("Failed", std::string(reason), from));
    }

    std::mutex mutex;
    Lines lines;
};

}  // namespace quillet::test
