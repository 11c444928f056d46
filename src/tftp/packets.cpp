#include "tftp/packets.h"

#include <algorithm>
#include <array>

#include "engine/packet_handler.h"
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
    return decoded == expected ? DecodeResult::Ok : DecodeResult::WrongOpcode;
}

std::span<const std::uint8_t> textBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

template <typename Packet>
std::unique_ptr<TftpPacket> makeDecoded(const ClientEndpoint& peer,
                                        std::span<const std::uint8_t> datagram) {
    return std::make_unique<Packet>(peer, datagram);
}

}  // namespace

int TftpPacket::prepareEncode(std::span<std::uint8_t> buffer, std::size_t encodedLength) const {
    if (!valid) {
        return kEncodeNotValid;
    }
    if (encodedLength > buffer.size()) {
        return kEncodeTooLarge;
    }
    std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
    return 0;
}

// --- RRQ ---

ReadRequestPacket::ReadRequestPacket(const ClientEndpoint& peer)
    : TftpPacket(peer, kOpReadRequest) {}

ReadRequestPacket::ReadRequestPacket(const ClientEndpoint& peer,
                                     std::span<const std::uint8_t> datagram)
    : ReadRequestPacket(peer) {
    decode(datagram);
}

DecodeResult ReadRequestPacket::decode(std::span<const std::uint8_t> datagram) {
    valid = false;
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
    // Options after the mode (RFC 2347) are not read: the transfer always uses 512-byte blocks.
    const auto known = std::find_if(kModes.begin(), kModes.end(), [&](const auto& entry) {
        return equalsIgnoringAsciiCase(modeName, entry.first);
    });
    if (known == kModes.end()) {
        return DecodeResult::UnknownMode;
    }
    fileName = std::move(name);
    mode = known->second;
    valid = true;
    return DecodeResult::Ok;
}

int ReadRequestPacket::encode(std::span<std::uint8_t> buffer) const {
    const auto modeName = modeText(mode);
    const std::size_t length = fileName.size() + modeName.size() + 4;
    if (const int refused = prepareEncode(buffer, length); refused != 0) {
        return refused;
    }
    ByteWriter writer(buffer);
    writer.writeUint16(kOpReadRequest);
    writer.writeString(fileName);
    writer.writeString(modeName);
    return static_cast<int>(writer.written());
}

HandlerResult ReadRequestPacket::dispatchTo(PacketHandler& handler, std::time_t now) const {
    return handler.onReadRequest(*this, now);
}

// --- WRQ ---

WriteRequestPacket::WriteRequestPacket(const ClientEndpoint& peer)
    : TftpPacket(peer, kOpWriteRequest) {}

WriteRequestPacket::WriteRequestPacket(const ClientEndpoint& peer,
                                       std::span<const std::uint8_t> datagram)
    : WriteRequestPacket(peer) {
    decode(datagram);
}

DecodeResult WriteRequestPacket::decode(std::span<const std::uint8_t> datagram) {
    valid = false;
    ByteReader reader(datagram);
    if (const auto result = readOpcode(reader, opcode, kOpWriteRequest);
        result != DecodeResult::Ok) {
        return result;
    }
    // Write requests are refused whatever they ask for, so their body is never read.
    valid = true;
    return DecodeResult::Ok;
}

int WriteRequestPacket::encode(std::span<std::uint8_t>) const {
    return kEncodeUnsupported;
}

HandlerResult WriteRequestPacket::dispatchTo(PacketHandler& handler, std::time_t now) const {
    return handler.onWriteRequest(*this, now);
}

// --- DATA ---

DataPacket::DataPacket(const ClientEndpoint& peer) : TftpPacket(peer, kOpData) {}

DataPacket::DataPacket(const ClientEndpoint& peer, std::span<const std::uint8_t> datagram)
    : DataPacket(peer) {
    decode(datagram);
}

DecodeResult DataPacket::decode(std::span<const std::uint8_t> datagram) {
    valid = false;
    ByteReader reader(datagram);
    if (const auto result = readOpcode(reader, opcode, kOpData); result != DecodeResult::Ok) {
        return result;
    }
    std::uint16_t number = 0;
    if (!reader.readUint16(number) || reader.remaining() > kPayloadCapacity) {
        return DecodeResult::Malformed;
    }
    const auto body = reader.rest();
    std::copy(body.begin(), body.end(), payload.begin());
    block = number;
    payloadLength = static_cast<std::int32_t>(body.size());
    valid = true;
    return DecodeResult::Ok;
}

int DataPacket::encode(std::span<std::uint8_t> buffer) const {
    if (payloadLength < 0 || static_cast<std::size_t>(payloadLength) > kPayloadCapacity) {
        return valid ? kEncodeTooLarge : kEncodeNotValid;
    }
    const std::size_t length = static_cast<std::size_t>(payloadLength) + 4;
    if (const int refused = prepareEncode(buffer, length); refused != 0) {
        return refused;
    }
    ByteWriter writer(buffer);
    writer.writeUint16(kOpData);
    writer.writeUint16(static_cast<std::uint16_t>(block & 0xFFFF));
    writer.writeBytes(payloadBytes());
    return static_cast<int>(writer.written());
}

HandlerResult DataPacket::dispatchTo(PacketHandler& handler, std::time_t now) const {
    return handler.onData(*this, now);
}

// --- ACK ---

AckPacket::AckPacket(const ClientEndpoint& peer) : TftpPacket(peer, kOpAck) {}

AckPacket::AckPacket(const ClientEndpoint& peer, std::span<const std::uint8_t> datagram)
    : AckPacket(peer) {
    decode(datagram);
}

DecodeResult AckPacket::decode(std::span<const std::uint8_t> datagram) {
    valid = false;
    ByteReader reader(datagram);
    if (const auto result = readOpcode(reader, opcode, kOpAck); result != DecodeResult::Ok) {
        return result;
    }
    std::uint16_t number = 0;
    if (!reader.readUint16(number)) {
        return DecodeResult::Malformed;
    }
    block = number;
    valid = true;
    return DecodeResult::Ok;
}

int AckPacket::encode(std::span<std::uint8_t> buffer) const {
    if (const int refused = prepareEncode(buffer, 4); refused != 0) {
        return refused;
    }
    ByteWriter writer(buffer);
    writer.writeUint16(kOpAck);
    writer.writeUint16(static_cast<std::uint16_t>(block & 0xFFFF));
    return static_cast<int>(writer.written());
}

HandlerResult AckPacket::dispatchTo(PacketHandler& handler, std::time_t now) const {
    return handler.onAck(*this, now);
}

// --- ERROR ---

ErrorPacket::ErrorPacket(const ClientEndpoint& peer) : TftpPacket(peer, kOpError) {}

ErrorPacket::ErrorPacket(const ClientEndpoint& peer, std::span<const std::uint8_t> datagram)
    : ErrorPacket(peer) {
    decode(datagram);
}

ErrorPacket ErrorPacket::reply(const ClientEndpoint& peer, std::int32_t code,
                               std::string_view text) {
    ErrorPacket packet(peer);
    packet.errorCode = code;
    packet.message = text;
    packet.valid = true;
    return packet;
}

DecodeResult ErrorPacket::decode(std::span<const std::uint8_t> datagram) {
    valid = false;
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
    valid = true;
    return DecodeResult::Ok;
}

int ErrorPacket::encode(std::span<std::uint8_t> buffer) const {
    if (const int refused = prepareEncode(buffer, message.size() + 5); refused != 0) {
        return refused;
    }
    ByteWriter writer(buffer);
    writer.writeUint16(kOpError);
    writer.writeUint16(static_cast<std::uint16_t>(errorCode & 0xFFFF));
    writer.writeBytes(textBytes(message));
    // The terminating 0 is already there from the zero fill.
    return static_cast<int>(writer.written() + 1);
}

HandlerResult ErrorPacket::dispatchTo(PacketHandler& handler, std::time_t now) const {
    return handler.onError(*this, now);
}

// --- factory ---

std::unique_ptr<TftpPacket> decodePacket(const ClientEndpoint& peer,
                                         std::span<const std::uint8_t> datagram) {
    ByteReader reader(datagram);
    std::uint16_t opcode = 0;
    if (!reader.readUint16(opcode)) {
        return nullptr;
    }
    switch (opcode) {
        case kOpReadRequest:
            return makeDecoded<ReadRequestPacket>(peer, datagram);
        case kOpWriteRequest:
            return makeDecoded<WriteRequestPacket>(peer, datagram);
        case kOpData:
            return makeDecoded<DataPacket>(peer, datagram);
        case kOpAck:
            return makeDecoded<AckPacket>(peer, datagram);
        case kOpError:
            return makeDecoded<ErrorPacket>(peer, datagram);
        default:
            return nullptr;
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
