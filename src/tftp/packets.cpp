#include "tftp/packets.h"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

#include "tftp/packet_handler.h"
#include "tftp/wire_bytes.h"

namespace quillet {
namespace {

constexpr std::array<std::pair<std::string_view, TransferMode>, 3> kModes = {{
    {"netascii", TransferMode::Netascii},
    {"octet", TransferMode::Octet},
    {"mail", TransferMode::Mail},
}};

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

// Reads the opcode at the start of every datagram into the packet's field.
DecodeResult readOpcode(ByteReader& reader, std::uint16_t& opcode, std::uint16_t expected) {
    std::uint16_t decoded = 0;
    if (!reader.readUint16(decoded)) {
        return DecodeResult::Malformed;
    }
    opcode = decoded;
    return decoded == expected ? DecodeResult::Ok : DecodeResult::Malformed;
}

// The result of an encoder's checked writes: the length when every one of them fitted.
std::optional<std::size_t> encoded(bool allFitted, const ByteWriter& writer) {
    if (!allFitted) {
        return std::nullopt;
    }
    return writer.written();
}

// The value of an option, or none unless it is one or more decimal digits. Long values saturate
// above every bound we use, so no run of digits can overflow.
std::optional<std::int64_t> decimalValue(std::string_view text) {
    constexpr std::int64_t kSaturated = 1'000'000'000'000;
    if (text.empty()) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (const char digit : text) {
        if (digit < '0' || digit > '9') {
            return std::nullopt;
        }
        value = std::min(kSaturated, value * 10 + (digit - '0'));
    }
    return value;
}

constexpr std::string_view kBlockSizeName = "blksize";
constexpr std::string_view kTransferSizeName = "tsize";
constexpr std::string_view kWindowSizeName = "windowsize";

// Sets an option from the first value its name brings: none when that value is unusable or
// below smallest, largest when it is above.
template <typename Value>
void takeFirst(std::optional<Value>& option, bool& seen, std::optional<std::int64_t> value,
               std::int64_t smallest, std::int64_t largest) {
    if (std::exchange(seen, true) || !value || *value < smallest) {
        return;
    }
    option = static_cast<Value>(std::min(*value, largest));
}

DecodedPacket decodeInto(TftpPacket& packet, const ClientEndpoint& peer,
                         std::span<const std::uint8_t> datagram) {
    packet.peer = peer;
    const auto result = packet.decode(datagram);
    return {result, packet.opcode, result == DecodeResult::Ok ? &packet : nullptr};
}

}  // namespace

// --- RRQ ---

ReadRequestPacket::ReadRequestPacket(const ClientEndpoint& peer)
    : TftpPacket(peer, kOpReadRequest) {}

DecodeResult ReadRequestPacket::decode(std::span<const std::uint8_t> datagram) {
    ByteReader reader(datagram);
    if (const auto result = readOpcode(reader, opcode, kOpReadRequest);
        result != DecodeResult::Ok) {
        return result;
    }
    std::string name;
    std::string modeName;
    if (!reader.readString(name) || name.empty() || !reader.readString(modeName) ||
        modeName.empty()) {
        return DecodeResult::Malformed;
    }
    const auto known = std::find_if(kModes.begin(), kModes.end(), [&](const auto& entry) {
        return equalsIgnoringAsciiCase(modeName, entry.first);
    });
    if (known == kModes.end()) {
        return DecodeResult::Malformed;
    }
    fileName = std::move(name);
    mode = known->second;
    options = parseTransferOptions(reader.rest());
    return DecodeResult::Ok;
}

std::optional<std::size_t> ReadRequestPacket::encode(std::span<std::uint8_t> buffer) const {
    ByteWriter writer(buffer);
    const bool fitted = writer.writeUint16(kOpReadRequest) && writer.writeString(fileName) &&
                        writer.writeString(modeText(mode));
    return encoded(fitted, writer);
}

HandlerResult ReadRequestPacket::dispatchTo(PacketHandler& handler, std::time_t now) const {
    return handler.onReadRequest(*this, now);
}

// --- WRQ ---

WriteRequestPacket::WriteRequestPacket(const ClientEndpoint& peer)
    : TftpPacket(peer, kOpWriteRequest) {}

DecodeResult WriteRequestPacket::decode(std::span<const std::uint8_t> datagram) {
    ByteReader reader(datagram);
    // Write requests are refused whatever they ask for, so their body is never read.
    return readOpcode(reader, opcode, kOpWriteRequest);
}

std::optional<std::size_t> WriteRequestPacket::encode(std::span<std::uint8_t>) const {
    return std::nullopt;
}

HandlerResult WriteRequestPacket::dispatchTo(PacketHandler& handler, std::time_t now) const {
    return handler.onWriteRequest(*this, now);
}

// --- DATA ---

DataPacket::DataPacket(const ClientEndpoint& peer) : TftpPacket(peer, kOpData) {}

DataPacket DataPacket::withCapacity(std::size_t capacity) {
    DataPacket packet;
    packet.payload.assign(capacity, 0);
    return packet;
}

DecodeResult DataPacket::decode(std::span<const std::uint8_t> datagram) {
    ByteReader reader(datagram);
    if (const auto result = readOpcode(reader, opcode, kOpData); result != DecodeResult::Ok) {
        return result;
    }
    std::uint16_t number = 0;
    if (!reader.readUint16(number) || reader.remaining() > kPayloadCapacity) {
        return DecodeResult::Malformed;
    }
    const auto body = reader.rest();
    payload.assign(body.begin(), body.end());
    block = number;
    payloadLength = static_cast<std::int32_t>(body.size());
    return DecodeResult::Ok;
}

std::optional<std::size_t> DataPacket::encode(std::span<std::uint8_t> buffer) const {
    if (payloadLength < 0 || static_cast<std::size_t>(payloadLength) > payload.size()) {
        return std::nullopt;
    }
    return encodeBlock(block, payloadBytes(), buffer);
}

std::optional<std::size_t> DataPacket::encodeBlock(std::int32_t number,
                                                   std::span<const std::uint8_t> payload,
                                                   std::span<std::uint8_t> buffer) {
    ByteWriter writer(buffer);
    const bool fitted = writer.writeUint16(kOpData) &&
                        writer.writeUint16(static_cast<std::uint16_t>(number & 0xFFFF)) &&
                        writer.writeBytes(payload);
    return encoded(fitted, writer);
}

HandlerResult DataPacket::dispatchTo(PacketHandler& handler, std::time_t now) const {
    return handler.onData(*this, now);
}

// --- ACK ---

AckPacket::AckPacket(const ClientEndpoint& peer) : TftpPacket(peer, kOpAck) {}

DecodeResult AckPacket::decode(std::span<const std::uint8_t> datagram) {
    ByteReader reader(datagram);
    if (const auto result = readOpcode(reader, opcode, kOpAck); result != DecodeResult::Ok) {
        return result;
    }
    std::uint16_t number = 0;
    if (!reader.readUint16(number)) {
        return DecodeResult::Malformed;
    }
    block = number;
    return DecodeResult::Ok;
}

std::optional<std::size_t> AckPacket::encode(std::span<std::uint8_t> buffer) const {
    ByteWriter writer(buffer);
    const bool fitted = writer.writeUint16(kOpAck) &&
                        writer.writeUint16(static_cast<std::uint16_t>(block & 0xFFFF));
    return encoded(fitted, writer);
}

HandlerResult AckPacket::dispatchTo(PacketHandler& handler, std::time_t now) const {
    return handler.onAck(*this, now);
}

// --- ERROR ---

ErrorPacket::ErrorPacket(const ClientEndpoint& peer) : TftpPacket(peer, kOpError) {}

DecodeResult ErrorPacket::decode(std::span<const std::uint8_t> datagram) {
    if (datagram.size() < 4) {
        return DecodeResult::Malformed;
    }
    ByteReader reader(datagram);
    if (const auto result = readOpcode(reader, opcode, kOpError); result != DecodeResult::Ok) {
        return result;
    }
    std::uint16_t code = 0;
    reader.readUint16(code);
    std::string text;
    if (reader.remaining() > 0 && !reader.readString(text)) {
        return DecodeResult::Malformed;
    }
    errorCode = code;
    message = std::move(text);
    return DecodeResult::Ok;
}

std::optional<std::size_t> ErrorPacket::encode(std::span<std::uint8_t> buffer) const {
    ByteWriter writer(buffer);
    const bool fitted = writer.writeUint16(kOpError) &&
                        writer.writeUint16(static_cast<std::uint16_t>(errorCode & 0xFFFF)) &&
                        writer.writeString(message);
    return encoded(fitted, writer);
}

HandlerResult ErrorPacket::dispatchTo(PacketHandler& handler, std::time_t now) const {
    return handler.onError(*this, now);
}

// --- OACK ---

OptionAckPacket::OptionAckPacket(const ClientEndpoint& peer) : TftpPacket(peer, kOpOptionAck) {}

DecodeResult OptionAckPacket::decode(std::span<const std::uint8_t>) {
    return DecodeResult::UnknownOpcode;
}

std::optional<std::size_t> OptionAckPacket::encode(std::span<std::uint8_t> buffer) const {
    ByteWriter writer(buffer);
    bool fitted = writer.writeUint16(kOpOptionAck);
    const auto writeOption = [&](std::string_view name, const auto& value) {
        if (value) {
            fitted = fitted && writer.writeString(name) &&
                     writer.writeString(std::to_string(static_cast<long long>(*value)));
        }
    };
    writeOption(kBlockSizeName, options.blockSize);
    writeOption(kTransferSizeName, options.transferSize);
    writeOption(kWindowSizeName, options.windowSize);
    return encoded(fitted, writer);
}

HandlerResult OptionAckPacket::dispatchTo(PacketHandler&, std::time_t) const {
    return HandlerResult::Ignored;
}

// --- options ---

TransferOptions parseTransferOptions(std::span<const std::uint8_t> bytes) {
    TransferOptions options;
    bool seenBlockSize = false;
    bool seenTransferSize = false;
    bool seenWindowSize = false;
    ByteReader reader(bytes);
    std::string name;
    std::string text;
    // A name without a value, or a string without its terminator, ends the list.
    while (reader.remaining() > 0 && reader.readString(name) && reader.readString(text)) {
        const auto value = decimalValue(text);
        if (equalsIgnoringAsciiCase(name, kBlockSizeName)) {
            takeFirst(options.blockSize, seenBlockSize, value, kSmallestBlockSize,
                      kLargestBlockSize);
        } else if (equalsIgnoringAsciiCase(name, kTransferSizeName)) {
            takeFirst(options.transferSize, seenTransferSize, value, 0,
                      std::numeric_limits<std::int64_t>::max());
        } else if (equalsIgnoringAsciiCase(name, kWindowSizeName)) {
            takeFirst(options.windowSize, seenWindowSize, value, 1, kLargestWindowSize);
        }
    }
    return options;
}

// --- factory ---

DecodedPacket PacketDecoder::decode(const ClientEndpoint& peer,
                                    std::span<const std::uint8_t> datagram) {
    ByteReader reader(datagram);
    std::uint16_t opcode = 0;
    if (!reader.readUint16(opcode)) {
        return {};
    }
    switch (opcode) {
        case kOpReadRequest:
            return decodeInto(readRequest_, peer, datagram);
        case kOpWriteRequest:
            return decodeInto(writeRequest_, peer, datagram);
        case kOpData:
            return decodeInto(data_, peer, datagram);
        case kOpAck:
            return decodeInto(ack_, peer, datagram);
        case kOpError:
            return decodeInto(error_, peer, datagram);
        default:
            return {DecodeResult::UnknownOpcode, opcode, nullptr};
    }
}

std::string_view modeText(TransferMode mode) {
    switch (mode) {
        case TransferMode::Netascii:
            return "netascii";
        case TransferMode::Mail:
            return "mail";
        case TransferMode::Octet:
            break;
    }
    return "octet";
}

}  // namespace quillet
