// Bounded readers and writers over datagram bytes. Every operation checks the bytes left and,
// on failure, leaves the position where it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quillet {

/// Reads big-endian integers and NUL-terminated strings from a datagram.
class ByteReader {
  public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    /// Reads a 16-bit big-endian number; false if fewer than two bytes are left.
    bool readUint16(std::uint16_t& value);

    /// Reads a string up to its terminating 0 and steps over the terminator; false if the
    /// terminator is missing, so a string never runs off the end of the datagram.
    bool readString(std::string& value);

    /// The bytes not read yet.
    std::span<const std::uint8_t> rest() const { return bytes_.subspan(position_); }

    std::size_t remaining() const { return bytes_.size() - position_; }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

/// Writes big-endian integers, raw bytes and terminated strings into a buffer of fixed capacity.
class ByteWriter {
  public:
    explicit ByteWriter(std::span<std::uint8_t> buffer) : buffer_(buffer) {}

    /// Writes a 16-bit number, most significant byte first; false if it does not fit.
    bool writeUint16(std::uint16_t value);

    /// Writes the bytes as they are; false (nothing written) if they do not fit.
    bool writeBytes(std::span<const std::uint8_t> bytes);

    /// Writes the text and a terminating 0; false (nothing written) if they do not fit.
    bool writeString(std::string_view text);

    std::size_t written() const { return position_; }

  private:
    std::span<std::uint8_t> buffer_;
    std::size_t position_ = 0;
};

}  // namespace quillet
