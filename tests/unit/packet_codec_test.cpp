// The wire format: what each datagram decodes to, what each packet encodes to, and what is refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"
#include "tftp/packets.h"

namespace quillet {
namespace {

using testing::Bytes;
using testing::wire;

const ClientEndpoint kPeer = testing::client(0x0A010203, 1069);

std::unique_ptr<TftpPacket> decode(const Bytes& datagram) {
    return decodePacket(kPeer, datagram);
}

template <typename Packet>
const Packet& as(const std::unique_ptr<TftpPacket>& packet) {
    const auto* typed = dynamic_cast<const Packet*>(packet.get());
    EXPECT_NE(typed, nullptr);
    static const Packet empty;
    return typed != nullptr ? *typed : empty;
}

// Encodes into a buffer of the given capacity that starts out dirty; returns the result and the
// whole buffer.
std::pair<int, Bytes> encodeDirty(const TftpPacket& packet, std::size_t capacity = 518) {
    Bytes buffer(capacity, 0xAA);
    const int length = packet.encode(buffer);
    return {length, buffer};
}

Bytes encoded(const TftpPacket& packet) {
    auto [length, buffer] = encodeDirty(packet);
    buffer.resize(static_cast<std::size_t>(std::max(length, 0)));
    return buffer;
}

TEST(PacketCodec, DatagramsWithoutAKnownOpcodeYieldNoPacket) {
    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"empty", {}},
        {"one byte", {0}},
        {"one byte of an RRQ opcode", {1}},
        {"opcode 0", wire({0, 0, "a", 0, "octet", 0})},
        {"opcode 6 (options acknowledgement)", wire({0, 6, "blksize", 0, "1024", 0})},
        {"opcode 0x0104", wire({1, 4, 0, 1})},
        {"opcode 65535", wire({0xFF, 0xFF})},
    };
    for (const auto& [name, datagram] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(decode(datagram), nullptr);
    }
}

TEST(PacketCodec, EachKindDecidesItsValidityFromItsOwnBody) {
    struct Case {
        const char* name;
        Bytes datagram;
        std::uint16_t opcode;
        bool valid;
    };
    const std::string payload1024(1024, 'x');
    const std::string payload1025(1025, 'x');
    const std::vector<Case> cases = {
        {"RRQ octet", testing::rrq("boot.bin"), 1, true},
        {"RRQ mail", testing::rrq("boot.bin", "mail"), 1, true},
        {"RRQ mode that is no mode", testing::rrq("boot.bin", "binary"), 1, false},
        {"RRQ mode that only starts like one", testing::rrq("boot.bin", "octets"), 1, false},
        {"RRQ empty file name", wire({0, 1, 0, "octet", 0}), 1, false},
        {"RRQ empty mode", wire({0, 1, "a", 0, 0}), 1, false},
        {"RRQ mode runs to the end", wire({0, 1, "a", 0, "octet"}), 1, false},
        {"RRQ name runs to the end", wire({0, 1, "boot.bin"}), 1, false},
        {"RRQ of only its opcode", wire({0, 1}), 1, false},
        {"RRQ options after the mode", wire({0, 1, "a", 0, "octet", 0, "blksize", 0, "1428", 0}), 1,
         true},
        {"RRQ unterminated bytes after the mode", wire({0, 1, "a", 0, "octet", 0, "tsize"}), 1,
         true},
        {"WRQ of only its opcode", wire({0, 2}), 2, true},
        {"WRQ with anything after", wire({0, 2, 0xFF, "no terminator"}), 2, true},
        {"DATA empty", wire({0, 3, 0, 1}), 3, true},
        {"DATA of 1024 payload bytes", wire({0, 3, 0, 1, payload1024}), 3, true},
        {"DATA of 1025 payload bytes", wire({0, 3, 0, 1, payload1025}), 3, false},
        {"DATA of 3 bytes", wire({0, 3, 0}), 3, false},
        {"DATA of 2 bytes", wire({0, 3}), 3, false},
        {"ACK", wire({0, 4, 0, 1}), 4, true},
        {"ACK with trailing bytes", wire({0, 4, 0, 1, 9, 9}), 4, true},
        {"ACK of 3 bytes", wire({0, 4, 0}), 4, false},
        {"ACK of 2 bytes", wire({0, 4}), 4, false},
        {"ERROR of 4 bytes", wire({0, 5, 0, 1}), 5, true},
        {"ERROR with message", testing::errorDatagram(2, "denied"), 5, true},
        {"ERROR message without terminator", wire({0, 5, 0, 1, "denied"}), 5, false},
        {"ERROR of 3 bytes", wire({0, 5, 0}), 5, false},
        {"ERROR of 2 bytes", wire({0, 5}), 5, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto packet = decode(c.datagram);
        ASSERT_NE(packet, nullptr);
        EXPECT_EQ(packet->opcode, c.opcode);
        EXPECT_EQ(packet->valid, c.valid);
        EXPECT_EQ(packet->peer, kPeer);
    }
}

TEST(PacketCodec, ReadRequestModesIgnoreAsciiCase) {
    const std::vector<std::pair<const char*, TransferMode>> cases = {
        {"octet", TransferMode::Octet},       {"OCTET", TransferMode::Octet},
        {"OcTeT", TransferMode::Octet},       {"netascii", TransferMode::Netascii},
        {"NetAscii", TransferMode::Netascii}, {"NETASCII", TransferMode::Netascii},
        {"mail", TransferMode::Mail},         {"MAIL", TransferMode::Mail},
    };
    for (const auto& [mode, expected] : cases) {
        SCOPED_TRACE(mode);
        const auto packet = decode(testing::rrq("dir/Boot.BIN", mode));
        ASSERT_TRUE(packet && packet->valid);
        EXPECT_EQ(as<ReadRequestPacket>(packet).mode, expected);
        EXPECT_EQ(as<ReadRequestPacket>(packet).fileName, "dir/Boot.BIN");  // name kept as sent
    }
}

TEST(PacketCodec, DecodeReportsWhyADatagramWasRefused) {
    struct Case {
        const char* name;
        std::unique_ptr<TftpPacket> packet;
        Bytes datagram;
        DecodeResult expected;
    };
    Case cases[] = {
        {"RRQ given an ACK", std::make_unique<ReadRequestPacket>(), testing::ack(1),
         DecodeResult::WrongOpcode},
        {"RRQ no terminator", std::make_unique<ReadRequestPacket>(), wire({0, 1, "a"}),
         DecodeResult::Malformed},
        {"RRQ unknown mode", std::make_unique<ReadRequestPacket>(), testing::rrq("a", "image"),
         DecodeResult::UnknownMode},
        {"WRQ given an RRQ", std::make_unique<WriteRequestPacket>(), testing::rrq("a"),
         DecodeResult::WrongOpcode},
        {"DATA given an ACK", std::make_unique<DataPacket>(), testing::ack(1),
         DecodeResult::WrongOpcode},
        {"DATA too long", std::make_unique<DataPacket>(),
         wire({0, 3, 0, 1, std::string(1025, 'x')}), DecodeResult::Malformed},
        {"ACK given DATA", std::make_unique<AckPacket>(), wire({0, 3, 0, 1}),
         DecodeResult::WrongOpcode},
        {"ACK short", std::make_unique<AckPacket>(), wire({0, 4, 1}), DecodeResult::Malformed},
        {"ERROR given an ACK", std::make_unique<ErrorPacket>(), testing::ack(1),
         DecodeResult::WrongOpcode},
        {"ERROR short", std::make_unique<ErrorPacket>(), wire({0, 5, 0}), DecodeResult::Malformed},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.packet->decode(c.datagram), c.expected);
        EXPECT_FALSE(c.packet->valid);
    }
}

TEST(PacketCodec, DataDecodesBlockAndPayloadWithoutSignExtension) {
    std::string payload(512, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>(i * 13);
    }
    const auto packet = decode(wire({0, 3, 0xFF, 0xFE, payload}));
    ASSERT_TRUE(packet && packet->valid);
    const auto& data = as<DataPacket>(packet);
    EXPECT_EQ(data.block, 65534);
    ASSERT_EQ(data.payloadLength, 512);
    EXPECT_TRUE(
        std::equal(payload.begin(), payload.end(), data.payload.begin(),
                   [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
}

TEST(PacketCodec, AckAndErrorDecodeTheirNumbersAndText) {
    for (const std::uint32_t block : {0u, 1u, 0x1234u, 0x8000u, 65535u}) {
        SCOPED_TRACE(block);
        const auto packet = decode(testing::ack(static_cast<std::uint16_t>(block)));
        EXPECT_EQ(as<AckPacket>(packet).block, block);
    }
    const auto withText = decode(testing::errorDatagram(0xFFFF, "Disk full"));
    EXPECT_EQ(as<ErrorPacket>(withText).errorCode, 65535);
    EXPECT_EQ(as<ErrorPacket>(withText).message, "Disk full");
    const auto bare = decode(wire({0, 5, 0, 3}));
    EXPECT_EQ(as<ErrorPacket>(bare).errorCode, 3);
    EXPECT_EQ(as<ErrorPacket>(bare).message, "");
}

TEST(PacketCodec, PacketsEncodeToTheirExactBytes) {
    ReadRequestPacket request(kPeer);
    request.fileName = "pxelinux.0";
    request.mode = TransferMode::Netascii;
    request.valid = true;

    DataPacket emptyData(kPeer);
    emptyData.block = 7;
    emptyData.valid = true;

    DataPacket wrapped(kPeer);
    wrapped.block = 65536;
    wrapped.payloadLength = 3;
    wrapped.payload[0] = 'a';
    wrapped.payload[1] = 0;
    wrapped.payload[2] = 0xFF;
    wrapped.valid = true;

    AckPacket acknowledgement(kPeer);
    acknowledgement.block = 0x1FF02;  // only the low 16 bits travel
    acknowledgement.valid = true;

    const std::vector<std::tuple<const char*, Bytes, Bytes>> cases = {
        {"RRQ", encoded(request), wire({0, 1, "pxelinux.0", 0, "netascii", 0})},
        {"DATA with empty payload", encoded(emptyData), wire({0, 3, 0, 7})},
        {"DATA block 65536 travels as 0", encoded(wrapped), wire({0, 3, 0, 0, 'a', 0, 0xFF})},
        {"ACK", encoded(acknowledgement), wire({0, 4, 0xFF, 0x02})},
        {"File not found.", encoded(ErrorPacket::reply(kPeer, 1, "File not found.")),
         wire({0, 5, 0, 1, "File not found.", 0})},
        {"WRQ refusal", encoded(ErrorPacket::reply(kPeer, 4, "WRQ not supported yet.")),
         wire({0, 5, 0, 4, "WRQ not supported yet.", 0})},
        {"error code 65537 travels as 1", encoded(ErrorPacket::reply(kPeer, 65537, "")),
         wire({0, 5, 0, 1, 0})},
    };
    for (const auto& [name, actual, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(actual, expected);
    }
    EXPECT_EQ(encoded(ErrorPacket::reply(kPeer, 1, "File not found.")).size(), 20u);
    EXPECT_EQ(encoded(ErrorPacket::reply(kPeer, 4, "WRQ not supported yet.")).size(), 27u);
}

TEST(PacketCodec, EncodeZeroFillsTheWholeCapacity) {
    const auto [length, buffer] = encodeDirty(ErrorPacket::reply(kPeer, 2, "Access violation."));
    ASSERT_EQ(length, 22);
    EXPECT_TRUE(std::all_of(buffer.begin() + length - 1, buffer.end(),
                            [](std::uint8_t b) { return b == 0; }));
}

TEST(PacketCodec, EncodeRefusesWithoutTouchingTheBuffer) {
    ReadRequestPacket unmarked(kPeer);
    unmarked.fileName = "a";
    AckPacket unmarkedAck(kPeer);
    DataPacket fullData(kPeer);
    fullData.payloadLength = 512;
    fullData.valid = true;
    DataPacket overlong(kPeer);
    overlong.payloadLength = 1025;
    overlong.valid = true;
    DataPacket negative(kPeer);
    negative.payloadLength = -1;
    negative.valid = true;
    ReadRequestPacket longName(kPeer);
    longName.fileName = std::string(600, 'n');
    longName.valid = true;
    const WriteRequestPacket writeRequest(kPeer);
    const auto longError = ErrorPacket::reply(kPeer, 0, std::string(514, 'e'));
    AckPacket validAck(kPeer);
    validAck.valid = true;

    struct Case {
        const char* name;
        const TftpPacket& packet;
        std::size_t capacity;
        int expected;
    };
    const Case cases[] = {
        {"RRQ not marked valid", unmarked, 518, kEncodeNotValid},
        {"ACK not marked valid", unmarkedAck, 518, kEncodeNotValid},
        {"WRQ is never sent", writeRequest, 518, kEncodeUnsupported},
        {"DATA one byte over capacity", fullData, 515, kEncodeTooLarge},
        {"DATA payload over its buffer", overlong, 2048, kEncodeTooLarge},
        {"DATA negative payload length", negative, 518, kEncodeTooLarge},
        {"RRQ name over capacity", longName, 518, kEncodeTooLarge},
        {"ERROR over capacity", longError, 518, kEncodeTooLarge},
        {"ACK into three bytes", validAck, 3, kEncodeTooLarge},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto [length, buffer] = encodeDirty(c.packet, c.capacity);
        EXPECT_EQ(length, c.expected);
        EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](auto b) { return b == 0xAA; }));
    }
}

TEST(PacketCodec, EncodeNeverWritesPastTheCapacity) {
    // Each packet is encoded into buffers from one byte short of its length upwards; the bytes
    // after the capacity are guards that must survive.
    DataPacket data(kPeer);
    data.block = 2;
    data.payloadLength = 512;
    data.payload.fill(0x5A);
    data.valid = true;
    AckPacket acknowledgement(kPeer);
    acknowledgement.valid = true;
    ReadRequestPacket request(kPeer);
    request.fileName = "x";
    request.valid = true;
    const auto errorReply = ErrorPacket::reply(kPeer, 1, "File not found.");

    for (const TftpPacket* packet :
         {static_cast<const TftpPacket*>(&data), static_cast<const TftpPacket*>(&acknowledgement),
          static_cast<const TftpPacket*>(&request), static_cast<const TftpPacket*>(&errorReply)}) {
        const auto fullLength = static_cast<std::size_t>(encodeDirty(*packet).first);
        for (std::size_t capacity = fullLength - 1; capacity <= fullLength + 1; ++capacity) {
            SCOPED_TRACE(::testing::Message()
                         << "opcode " << packet->opcode << " capacity " << capacity);
            Bytes storage(capacity + 16, 0xAA);
            const int length = packet->encode(std::span(storage.data(), capacity));
            EXPECT_EQ(length, capacity < fullLength ? kEncodeTooLarge : int(fullLength));
            EXPECT_TRUE(std::all_of(storage.begin() + capacity, storage.end(),
                                    [](auto b) { return b == 0xAA; }));
        }
    }
}

TEST(PacketCodec, EveryBlockNumberSurvivesEncodeAndDecode) {
    AckPacket acknowledgement(kPeer);
    DataPacket data(kPeer);
    acknowledgement.valid = data.valid = true;
    for (std::uint32_t block = 0; block <= 0xFFFF; ++block) {
        acknowledgement.block = block;
        data.block = static_cast<std::int32_t>(block);
        const auto ackBack = decode(encoded(acknowledgement));
        const auto dataBack = decode(encoded(data));
        if (as<AckPacket>(ackBack).block != block ||
            as<DataPacket>(dataBack).block != std::int32_t(block)) {
            FAIL() << "block " << block << " changed on the way";
        }
    }
}

}  // namespace
}  // namespace quillet
