// Helpers for the engine tests: datagrams written out byte by byte, and a scratch directory of
// files to serve.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "tftp/client_endpoint.h"

namespace quillet::testing {

using Bytes = std::vector<std::uint8_t>;

/// A piece of a datagram: one byte given as a number, or the characters of a text (without a
/// terminator), or raw bytes.
struct Part {
    Part(int byte) : bytes{static_cast<std::uint8_t>(byte)} {}
    Part(const char* text) : Part(std::string_view(text)) {}
    Part(std::string_view text) : bytes(text.begin(), text.end()) {}
    Part(const std::string& text) : Part(std::string_view(text)) {}
    Part(Bytes raw) : bytes(std::move(raw)) {}

    Bytes bytes;
};

/// The datagram made of the parts in order: wire({0, 1}, "a.bin", 0, "octet", 0).
inline Bytes wire(std::initializer_list<Part> parts) {
    Bytes result;
    for (const auto& part : parts) {
        result.insert(result.end(), part.bytes.begin(), part.bytes.end());
    }
    return result;
}

inline Bytes rrq(std::string_view name, std::string_view mode = "octet") {
    return wire({0, 1, name, 0, mode, 0});
}

inline Bytes ack(std::uint16_t block) {
    return wire({0, 4, block >> 8, block & 0xFF});
}

inline Bytes errorDatagram(std::uint16_t code, std::string_view message) {
    return wire({0, 5, code >> 8, code & 0xFF, message, 0});
}

/// The 16-bit number at offset in a datagram (opcode at 0, block or error code at 2).
inline int wireNumber(const Bytes& datagram, std::size_t offset) {
    return datagram.size() < offset + 2 ? -1 : (datagram[offset] << 8) | datagram[offset + 1];
}

/// A client endpoint given in host order: client(0x0A010203, 1069) is "10.1.2.3 (1069)".
inline ClientEndpoint client(std::uint32_t address, std::uint16_t port) {
    return ClientEndpoint::fromHostOrder(address, port);
}

/// A directory of its own under the system's temporary directory, removed with its contents.
class ScratchDirectory {
  public:
    ScratchDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quillet-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    /// The absolute path of name inside the directory.
    std::string path(std::string_view name) const { return (path_ / name).string(); }

    /// Writes a file with the given content; returns its absolute path.
    std::string write(std::string_view name, std::string_view content) const {
        const auto full = path(name);
        std::ofstream(full, std::ios::binary)
            .write(content.data(), static_cast<std::streamsize>(content.size()));
        return full;
    }

    /// Writes a file of size bytes whose byte i is (i * 7 + i / 512) modulo 251, so that every
    /// block differs from its neighbours; returns its absolute path.
    std::string writePattern(std::string_view name, std::size_t size) const {
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            content[i] = static_cast<char>((i * 7 + i / 512) % 251);
        }
        return write(name, content);
    }

    /// Makes a sparse file of size bytes (all zero) without writing them; returns its path.
    std::string sparse(std::string_view name, std::uintmax_t size) const {
        const auto full = write(name, {});
        std::filesystem::resize_file(full, size);
        return full;
    }

    const std::filesystem::path& root() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace quillet::testing
