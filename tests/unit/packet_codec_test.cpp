// The wire format: what each datagram decodes to (the byte reader's bounds with it), what is
// refused, and which transfer options a request carries. What each packet encodes to shows in the
// engine's tests, which compare the bytes sent.
#include <span>
#include <utility>

#include "net/local_addresses.h"
#include "test_support.h"
#include "tftp/packets.h"
#include "tftp/wire_bytes.h"

namespace quillet {
namespace {

using namespace test;

// A write takes the room left to the last byte, its terminator counted, and never more.
TEST(ByteWriter, WritesFitToTheLastByte) {
    Bytes written(6, 0xEE);
    ByteWriter writer(written);
    EXPECT_FALSE(writer.writeString("abcdef"));  // no room for the terminator
    EXPECT_TRUE(writer.writeString("ab"));
    EXPECT_TRUE(writer.writeBytes(wire({"cde"})));  // exactly the room left
    EXPECT_FALSE(writer.writeUint16(1));
    EXPECT_EQ(written, wire({"ab", 0, "cde"}));
}

// One decoder for the whole table, as the server has, so that the table also shows that nothing
// of an earlier datagram (payload, text, options) stays in its reused packets.
PacketDecoder decoder;

// A decoded datagram as text: "none", "ACK invalid", "RRQ boot.bin octet blksize=1468 tsize=0",
// "DATA 7 <payload>", "ACK 7", "ERROR 2 \"denied\"", "WRQ".
std::string describe(const Bytes& datagram) {
    const auto decoded = decoder.decode(kClient, datagram);
    if (decoded.result == DecodeResult::UnknownOpcode) {
        return "none";
    }
    std::string text = std::array{"", "RRQ", "WRQ", "DATA", "ACK", "ERROR"}[decoded.opcode];
    if (decoded.result != DecodeResult::Ok) {
        return text + " invalid";
    }
    const auto option = [](const char* name, const auto& value) {
        return value ? std::string(" ") + name + "=" + std::to_string(*value) : std::string();
    };
    if (const auto* request = dynamic_cast<const ReadRequestPacket*>(decoded.packet)) {
        const auto& options = request->options;
        text += " " + request->fileName + " " + std::string(modeText(request->mode)) +
                option("blksize", options.blockSize) + option("tsize", options.transferSize) +
                option("windowsize", options.windowSize);
    } else if (const auto* data = dynamic_cast<const DataPacket*>(decoded.packet)) {
        const auto payload = data->payloadBytes();
        // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on " " + a temporary.
        text.append(" ").append(std::to_string(data->block)).append(" ");
        text.append(payload.begin(), payload.end());
    } else if (const auto* acknowledgement = dynamic_cast<const AckPacket*>(decoded.packet)) {
        text.append(" ").append(std::to_string(acknowledgement->block));
    } else if (const auto* error = dynamic_cast<const ErrorPacket*>(decoded.packet)) {
        text += " " + std::to_string(error->errorCode) + " \"" + error->message + "\"";
    }
    return text;
}

TEST(PacketCodec, DatagramsDecodeToTheirKindFieldsAndBoundedOptionsOrAreRefused) {
    const std::string k1024(1024, 'x'), huge(3000, '9');
    const std::vector<std::pair<std::string, std::vector<Bytes>>> cases = {
        {"none",
         {wire({}), wire({0}), wire({1}), wire({0, 0, "a", 0, "octet", 0}),
          wire({0, 6, "blksize", 0}), wire({0xFF, 0xFF})}},
        {"RRQ dir/Boot.BIN octet", {rrq("dir/Boot.BIN")}},
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
        // Options never make a request invalid. Names are matched ignoring case.
        {"RRQ a octet blksize=1468 tsize=0 windowsize=8",
         {rrqWith("a", {"blksize", 0, "1468", 0, "tsize", 0, "0", 0, "windowsize", 0, "8", 0})}},
        {"RRQ a octet blksize=1024 tsize=0",
         {rrqWith("a", {"BlkSize", 0, "0001024", 0, "TSIZE", 0, "00", 0})}},
        // Above the largest: lowered to it, however many digits.
        {"RRQ a octet blksize=65464 windowsize=64",
         {rrqWith("a", {"blksize", 0, "65465", 0, "windowsize", 0, "65535", 0}),
          rrqWith("a", {"blksize", 0, huge, 0, "windowsize", 0, huge, 0})}},
        {"RRQ a octet blksize=8 windowsize=1",
         {rrqWith("a", {"blksize", 0, "8", 0, "windowsize", 0, "1", 0})}},
        // Below the smallest, not decimal, empty, signed: left out; an empty name is not known.
        // Repeated names: the first counts, even when it is unusable.
        {"RRQ a octet",
         {rrq("a", "OCTET"), rrqWith("a", {"blksize", 0, "7", 0, "windowsize", 0, "0", 0}),
          rrqWith("a", {"blksize", 0, "1468x", 0, "tsize", 0, "", 0}),
          rrqWith("a", {"blksize", 0, "-512", 0, "windowsize", 0, "+8", 0}),
          rrqWith("a", {"windowsize", 0, "x", 0, "windowsize", 0, "4", 0}),
          rrqWith("a", {0, "blksize", 0, "1024", 0}), wire({0, 1, "a", 0, "octet", 0, "tsize"})}},
        {"RRQ a octet blksize=1024",
         {rrqWith("a", {"blksize", 0, "1024", 0, "BLKSIZE", 0, "2048", 0})}},
        // Unknown options are skipped; the timeout option is not one we take.
        {"RRQ a octet tsize=7",
         {rrqWith("a", {"timeout", 0, "5", 0, "multicast", 0, "", 0, "tsize", 0, "7", 0})}},
        // A name without a value, or a missing terminator, ends the list.
        {"RRQ a octet tsize=0",
         {rrqWith("a", {"tsize", 0, "0", 0, "blksize", 0, "1468"}),
          rrqWith("a", {"tsize", 0, "0", 0, "blksize", 0})}},
    };
    for (const auto& [expected, datagrams] : cases) {
        for (const auto& datagram : datagrams) {
            EXPECT_EQ(describe(datagram), expected) << ::testing::PrintToString(datagram);
        }
    }
}

// IPv4 endpoints keep their dotted text and byte-swapped order, also when they came IPv4-mapped;
// IPv6 ones follow every IPv4 one, in the RFC 5952 text, ordered by address, scope, then port.
TEST(ClientEndpoint, TextsAndOrderPerFamilyWithEveryIpv4EndpointFirst) {
    const auto mapped = ipv6Client({0, 0, 0, 0, 0, 0xFFFF, 0x0A01, 0x0204}, 1069);
    EXPECT_EQ(mapped, client(0x0A010204, 1069));
    const std::pair<ClientEndpoint, std::string> ascending[] = {
        {client(0x0A010203, 1069), "10.1.2.3 (1069)"},
        {mapped, "10.1.2.4 (1069)"},
        {client(0xFFFFFFFF, 65535), "255.255.255.255 (65535)"},
        {ipv6Client({0, 0, 0, 0, 0, 0, 0, 1}, 69), "::1 (69)"},
        {ipv6Client({0x2001, 0xDB8, 0, 0, 0, 0, 0, 7}, 1), "2001:db8::7 (1)"},
        {ipv6Client({0x2001, 0xDB8, 0, 0, 0, 0, 0, 7}, 256), "2001:db8::7 (256)"},
        {ipv6Client({0x2001, 0xDB8, 0, 0, 1, 0, 0, 1}, 1), "2001:db8::1:0:0:1 (1)"},
        {ipv6Client({0x2001, 0xDB8, 0, 1, 0, 0, 0, 1}, 1), "2001:db8:0:1::1 (1)"},
        {ipv6Client({0x2001, 0xDB8, 1, 0xABCD, 1, 1, 1, 0}, 1), "2001:db8:1:abcd:1:1:1:0 (1)"},
        {ipv6Client({0xFE80, 0, 0, 0, 0, 0, 0, 1}, 2, 1),
         "fe80::1%" + net::interfaceText(1) + " (2)"},
        {ipv6Client({0xFE80, 0, 0, 0, 0, 0, 0, 1}, 1, 2),
         "fe80::1%" + net::interfaceText(2) + " (1)"},
    };
    for (std::size_t i = 0; i < std::size(ascending); ++i) {
        EXPECT_EQ(endpointText(ascending[i].first), ascending[i].second);
        for (std::size_t j = 0; j < std::size(ascending); ++j) {
            EXPECT_EQ(ascending[i].first <=> ascending[j].first, i <=> j)
                << ascending[i].second << " vs " << ascending[j].second;
        }
    }
}

}  // namespace
}  // namespace quillet
