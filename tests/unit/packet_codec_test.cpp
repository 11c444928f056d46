// The wire format: what each datagram decodes to, what each packet encodes to, what is refused;
// and the client endpoint's key order and text.
#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#endif
#include <gtest/gtest.h>

#include <algorithm>
#include <compare>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "test_support.h"
#include "tftp/packets.h"

namespace quillet {
namespace {

using namespace testing;

const ClientEndpoint kPeer = client(0x0A010203, 1069);

// A decoded datagram as text: "none", "ACK invalid", "RRQ boot.bin octet", "DATA 7 <payload>",
// "ACK 7", "ERROR 2 \"denied\"", "WRQ".
std::string describe(const Bytes& datagram) {
    const auto packet = decodePacket(kPeer, datagram);
    if (!packet) {
        return "none";
    }
    static const char* const kKinds[] = {"", "RRQ", "WRQ", "DATA", "ACK", "ERROR"};
    const std::string kind = kKinds[packet->opcode];
    if (!packet->valid) {
        return kind + " invalid";
    }
    if (const auto* request = dynamic_cast<const ReadRequestPacket*>(packet.get())) {
        return kind + " " + request->fileName + " " + std::string(modeText(request->mode));
    }
    if (const auto* data = dynamic_cast<const DataPacket*>(packet.get())) {
        return kind + " " + std::to_string(data->block) + " " +
               std::string(data->payloadBytes().begin(), data->payloadBytes().end());
    }
    if (const auto* acknowledgement = dynamic_cast<const AckPacket*>(packet.get())) {
        return kind + " " + std::to_string(acknowledgement->block);
    }
    if (const auto* error = dynamic_cast<const ErrorPacket*>(packet.get())) {
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
        {"DATA 1 ", {wire({0, 3, 0, 1})}},
        {"DATA 65534 " + std::string("\x80\0\xFF", 3), {wire({0, 3, 0xFF, 0xFE, 0x80, 0, 0xFF})}},
        {"DATA 1 " + k1024, {wire({0, 3, 0, 1, k1024})}},
        {"DATA invalid", {wire({0, 3, 0, 1, k1024 + "x"}), wire({0, 3, 0}), wire({0, 3})}},
        {"ACK 65535", {wire({0, 4, 0xFF, 0xFF})}},
        {"ACK 1", {wire({0, 4, 0, 1, 9, 9})}},
        {"ACK invalid", {wire({0, 4, 0}), wire({0, 4})}},
        {"ERROR 3 \"\"", {wire({0, 5, 0, 3})}},
        {"ERROR 65535 \"Disk full\"", {errorDatagram(0xFFFF, "Disk full")}},
        {"ERROR invalid", {wire({0, 5, 0, 1, "denied"}), wire({0, 5, 0}), wire({0, 5})}},
    };
    for (const auto& [expected, datagrams] : cases) {
        for (const auto& datagram : datagrams) {
            EXPECT_EQ(describe(datagram), expected) << ::testing::PrintToString(datagram);
        }
    }
}

template <typename Packet>
std::shared_ptr<const TftpPacket> share(Packet packet) {
    return std::make_shared<Packet>(std::move(packet));
}

TEST(PacketCodec, EncodeWritesExactBytesOrRefusesAndNeverWritesPastTheCapacity) {
    const auto full = wire({0, 3, 0, 2, std::string(512, 'z')});
    DataPacket wrapped(kPeer, wire({0, 3, 0, 9, 'a', 0, 0xFF}));
    wrapped.block = 65536;
    DataPacket overlong(kPeer, full);
    overlong.payloadLength = 1025;
    ReadRequestPacket unmarked(kPeer, rrq("a"));
    unmarked.valid = false;
    const auto notFound = ErrorPacket::reply(kPeer, 1, "File not found.");
    // A name, the packet, the buffer's capacity, the bytes written (none when refused) and the
    // result when refused.
    const std::tuple<const char*, std::shared_ptr<const TftpPacket>, std::size_t, Bytes, int>
        cases[] = {
            {"RRQ", share(ReadRequestPacket(kPeer, rrq("pxelinux.0", "netascii"))), 518,
             wire({0, 1, "pxelinux.0", 0, "netascii", 0}), 0},
            {"DATA empty", share(DataPacket(kPeer, wire({0, 3, 0, 7}))), 518, wire({0, 3, 0, 7}),
             0},
            {"DATA 65536 travels as 0", share(wrapped), 518, wire({0, 3, 0, 0, 'a', 0, 0xFF}), 0},
            {"DATA filling the capacity", share(DataPacket(kPeer, full)), 516, full, 0},
            {"ACK", share(AckPacket(kPeer, wire({0, 4, 0xFF, 2}))), 4, wire({0, 4, 0xFF, 2}), 0},
            {"File not found.", share(notFound), 20, wire({0, 5, 0, 1, "File not found.", 0}), 0},
            {"WRQ refusal", share(ErrorPacket::reply(kPeer, 4, "WRQ not supported yet.")), 518,
             wire({0, 5, 0, 4, "WRQ not supported yet.", 0}), 0},
            {"not valid", share(unmarked), 518, {}, kEncodeNotValid},
            {"WRQ", share(WriteRequestPacket(kPeer, wire({0, 2}))), 518, {}, kEncodeUnsupported},
            {"DATA one byte over", share(DataPacket(kPeer, full)), 515, {}, kEncodeTooLarge},
            {"DATA payload over its buffer", share(overlong), 2048, {}, kEncodeTooLarge},
            {"ERROR one byte over", share(notFound), 19, {}, kEncodeTooLarge},
            {"ACK one byte over",
             share(AckPacket(kPeer, wire({0, 4, 0, 1}))),
             3,
             {},
             kEncodeTooLarge},
        };
    for (const auto& [name, packet, capacity, bytes, refusal] : cases) {
        SCOPED_TRACE(name);
        Bytes storage(capacity + 16, 0xAA);  // dirty, with guard bytes past the capacity
        const int length = packet->encode(std::span(storage.data(), capacity));
        ASSERT_EQ(length, bytes.empty() ? refusal : int(bytes.size()));
        EXPECT_EQ(Bytes(storage.begin(), storage.begin() + std::max(length, 0)), bytes);
        const auto guards = storage.begin() + (length > 0 ? capacity : 0);
        EXPECT_TRUE(std::all_of(guards, storage.end(), [](auto b) { return b == 0xAA; }));
    }
}

TEST(ClientEndpoint, StoresNetworkOrderSortsByStoredBytesReadLittleEndianAndReadsAsText) {
    EXPECT_EQ(client(0xC0A80001, 1069).address, htonl(0xC0A80001));
    EXPECT_EQ(client(0xC0A80001, 1069).port, htons(1069));
    const std::pair<ClientEndpoint, ClientEndpoint> ascending[] = {
        {client(0xC0A80001, 69), client(0x0A000002, 69)},  // the fourth octet decides first
        {client(0xFFFF0101, 69), client(0x01010201, 69)},
        {client(0x0A000001, 256), client(0x0A000001, 1)},    // the low byte of the port first
        {client(0x0A000001, 65535), client(0x0A000002, 0)},  // the address before the port
    };
    for (const auto& [a, b] : ascending) {
        EXPECT_TRUE(a < b && b > a && a != b) << endpointText(a) << " vs " << endpointText(b);
    }
    EXPECT_EQ(client(0x0A000001, 1069) <=> client(0x0A000001, 1069), std::strong_ordering::equal);
    EXPECT_EQ(endpointText(client(0x0A010203, 1069)), "10.1.2.3 (1069)");
    EXPECT_EQ(endpointText(client(0xFFFFFFFF, 65535)), "255.255.255.255 (65535)");
}

}  // namespace
}  // namespace quillet
