// The wire format: what each datagram decodes to (the byte reader's bounds with it), what is
// refused, and which transfer options a request carries. What each packet encodes to shows in the
// engine's tests, which compare the bytes sent.
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "test_support.h"
#include "tftp/packets.h"
#include "tftp/wire_bytes.h"

namespace quillet {
namespace {

using namespace test;

// A read that fails leaves the reader where it was and the output untouched, so a decoder can
// try another reading or give up without having consumed half a field.
TEST(ByteReader, FailedReadsLeaveThePositionUnchanged) {
    const auto bytes = wire({0, 7, 'a', 'b'});  // a number, then a string without terminator
    ByteReader reader(bytes);
    std::uint16_t number = 0;
    std::string text = "kept";
    ASSERT_TRUE(reader.readUint16(number));
    EXPECT_FALSE(reader.readString(text));
    EXPECT_EQ(text, "kept");
    EXPECT_EQ(reader.remaining(), 2u);
    ByteReader single(std::span<const std::uint8_t>(bytes).first(1));
    EXPECT_FALSE(single.readUint16(number));
    EXPECT_EQ(single.remaining(), 1u);
    EXPECT_EQ(number, 7);
}

// One decoder for every table here, as the server has, so that the tables also show that nothing
// of an earlier datagram (payload, text, options) stays in its reused packets.
PacketDecoder decoder;

// A decoded datagram as text: "none", "ACK invalid", "RRQ boot.bin octet", "DATA 7 <payload>",
// "ACK 7", "ERROR 2 \"denied\"", "WRQ".
std::string describe(const Bytes& datagram) {
    const auto decoded = decoder.decode(kClient, datagram);
    static const char* const kKinds[] = {"", "RRQ", "WRQ", "DATA", "ACK", "ERROR"};
    if (decoded.result == DecodeResult::UnknownOpcode) {
        return "none";
    }
    const std::string kind = kKinds[decoded.opcode];
    if (decoded.result != DecodeResult::Ok) {
        return kind + " invalid";
    }
    const auto* packet = decoded.packet;
    if (const auto* request = dynamic_cast<const ReadRequestPacket*>(packet)) {
        return kind + " " + request->fileName + " " + std::string(modeText(request->mode));
    }
    if (const auto* data = dynamic_cast<const DataPacket*>(packet)) {
        return kind + " " + std::to_string(data->block) + " " +
               std::string(data->payloadBytes().begin(), data->payloadBytes().end());
    }
    if (const auto* acknowledgement = dynamic_cast<const AckPacket*>(packet)) {
        return kind + " " + std::to_string(acknowledgement->block);
    }
    if (const auto* error = dynamic_cast<const ErrorPacket*>(packet)) {
        return kind + " " + std::to_string(error->errorCode) + " \"" + error->message + "\"";
    }
    return kind;
}

TEST(PacketCodec, DatagramsDecodeToTheirKindAndFieldsOrAreRefused) {
    const std::string k1024(1024, 'x');
    const std::vector<std::pair<std::string, std::vector<Bytes>>> cases = {
        {"none",
         {wire({}), wire({0}), wire({1}), wire({0, 0, "a", 0, "octet", 0}),
          wire({0, 6, "blksize", 0}), wire({0xFF, 0xFF})}},
        {"RRQ dir/Boot.BIN octet", {rrq("dir/Boot.BIN")}},
        {"RRQ a octet",
         {rrq("a", "OCTET"), wire({0, 1, "a", 0, "octet", 0, "blksize", 0, "8", 0}),
          wire({0, 1, "a", 0, "octet", 0, "tsize"})}},
        {"RRQ a netascii", {rrq("a", "NetAscii")}},
        {"RRQ a mail", {rrq("a", "mail")}},
        {"RRQ invalid",
         {rrq("a", "binary"), rrq("a", "octets"), rrq("", "octet"), rrq("a", ""),
          wire({0, 1, "a", 0, "octet"}), wire({0, 1, "a"}), wire({0, 1})}},
        {"WRQ", {wire({0, 2}), wire({0, 2, 0xFF, "no terminator"})}},
        {"DATA 65534 " + std::string("\x80\0\xFF", 3), {wire({0, 3, 0xFF, 0xFE, 0x80, 0, 0xFF})}},
        {"DATA 1 " + k1024, {wire({0, 3, 0, 1, k1024})}},
        {"DATA 1 ", {wire({0, 3, 0, 1})}},
        {"DATA invalid", {wire({0, 3, 0, 1, k1024 + "x"}), wire({0, 3, 0}), wire({0, 3})}},
        {"ACK 65535", {wire({0, 4, 0xFF, 0xFF})}},
        {"ACK 1", {wire({0, 4, 0, 1, 9, 9})}},
        {"ACK invalid", {wire({0, 4, 0}), wire({0, 4})}},
        {"ERROR 65535 \"Disk full\"", {errorDatagram(0xFFFF, "Disk full")}},
        {"ERROR 3 \"\"", {wire({0, 5, 0, 3})}},
        {"ERROR invalid", {wire({0, 5, 0, 1, "denied"}), wire({0, 5, 0}), wire({0, 5})}},
    };
    for (const auto& [expected, datagrams] : cases) {
        for (const auto& datagram : datagrams) {
            EXPECT_EQ(describe(datagram), expected) << ::testing::PrintToString(datagram);
        }
    }
}

// The options a request asks for, as text: "blksize=1468 tsize=0 windowsize=8", "" for none.
std::string requestedOptions(std::initializer_list<Part> optionParts) {
    const auto decoded = decoder.decode(kClient, wire(optionParts, rrq("a")));
    if (decoded.result != DecodeResult::Ok) {
        return "invalid";  // options never make a request invalid
    }
    const auto& options = static_cast<const ReadRequestPacket&>(*decoded.packet).options;
    std::string text;
    const auto add = [&](const char* name, const auto& value) {
        if (value) {
            text += (text.empty() ? "" : " ") + std::string(name) + "=" + std::to_string(*value);
        }
    };
    add("blksize", options.blockSize);
    add("tsize", options.transferSize);
    add("windowsize", options.windowSize);
    return text;
}

TEST(TransferOptions, KnownOptionsAreReadBoundedAndTheFirstOfANameCounts) {
    const std::string huge(3000, '9');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {requestedOptions({"blksize", 0, "1468", 0, "tsize", 0, "0", 0, "windowsize", 0, "8", 0}),
         "blksize=1468 tsize=0 windowsize=8"},
        {requestedOptions({"BlkSize", 0, "0001024", 0, "TSIZE", 0, "00", 0}),
         "blksize=1024 tsize=0"},
        // Above the largest: lowered to it, however many digits.
        {requestedOptions({"blksize", 0, "65465", 0, "windowsize", 0, "65535", 0}),
         "blksize=65464 windowsize=64"},
        {requestedOptions({"blksize", 0, huge, 0, "windowsize", 0, huge, 0}),
         "blksize=65464 windowsize=64"},
        // Below the smallest, not decimal, empty, signed: left out.
        {requestedOptions({"blksize", 0, "7", 0, "windowsize", 0, "0", 0}), ""},
        {requestedOptions({"blksize", 0, "8", 0, "windowsize", 0, "1", 0}),
         "blksize=8 windowsize=1"},
        {requestedOptions({"blksize", 0, "1468x", 0, "tsize", 0, "", 0}), ""},
        {requestedOptions({"blksize", 0, "-512", 0, "windowsize", 0, "+8", 0}), ""},
        // Repeated names: the first counts, even when it is unusable.
        {requestedOptions({"blksize", 0, "1024", 0, "BLKSIZE", 0, "2048", 0}), "blksize=1024"},
        {requestedOptions({"windowsize", 0, "x", 0, "windowsize", 0, "4", 0}), ""},
        // Unknown options are skipped; the timeout option is not one we take.
        {requestedOptions({"timeout", 0, "5", 0, "multicast", 0, "", 0, "tsize", 0, "7", 0}),
         "tsize=7"},
        // A name without a value, or a missing terminator, ends the list.
        {requestedOptions({"tsize", 0, "0", 0, "blksize", 0, "1468"}), "tsize=0"},
        {requestedOptions({"tsize", 0, "0", 0, "blksize", 0}), "tsize=0"},
        {requestedOptions({0, "blksize", 0, "1024", 0}), ""},  // an empty name is not known
    };
    for (const auto& [got, expected] : cases) {
        EXPECT_EQ(got, expected);
    }
}

}  // namespace
}  // namespace quillet
