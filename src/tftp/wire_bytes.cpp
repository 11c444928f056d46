#include "tftp/wire_bytes.h"

#include <algorithm>
#include <cstring>

namespace quillet {

bool ByteReader::readUint16(std::uint16_t& value) {
    if (remaining() < 2) {
        return false;
    }
    value = static_cast<std::uint16_t>((bytes_[position_] << 8) | bytes_[position_ + 1]);
    position_ += 2;
    return true;
}

bool ByteReader::readString(std::string& value) {
    const auto left = rest();
    // Look for the end of the string without running off the end of the datagram.
    const auto terminator = std::find(left.begin(), left.end(), std::uint8_t{0});
    if (terminator == left.end()) {
        return false;
    }
    const auto length = static_cast<std::size_t>(terminator - left.begin());
    value.assign(reinterpret_cast<const char*>(left.data()), length);
    position_ += length + 1;
    return true;
}

bool ByteWriter::writeUint16(std::uint16_t value) {
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value >> 8),
                                   static_cast<std::uint8_t>(value)};
    return writeBytes(bytes);
}

bool ByteWriter::writeBytes(std::span<const std::uint8_t> bytes) {
    if (buffer_.size() - position_ < bytes.size()) {
        return false;
    }
    if (!bytes.empty()) {
        std::memcpy(buffer_.data() + position_, bytes.data(), bytes.size());
    }
    position_ += bytes.size();
    return true;
}

bool ByteWriter::writeString(std::string_view text) {
    if (buffer_.size() - position_ < text.size() + 1) {
        return false;
    }
    writeBytes({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    buffer_[position_++] = 0;
    return true;
}

}  // namespace quillet
