// A client's identity: stored as the socket layer delivers it, ordered by its stored bytes read
// little-endian, and written as "a.b.c.d (port)".
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <compare>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_support.h"
#include "tftp/client_endpoint.h"

namespace quillet {
namespace {

using testing::client;

TEST(ClientEndpoint, HoldsAddressAndPortInNetworkOrder) {
    const auto endpoint = client(0xC0A80001, 1069);  // 192.168.0.1
    EXPECT_EQ(endpoint.address, htonl(0xC0A80001));
    EXPECT_EQ(endpoint.port, htons(1069));
    EXPECT_EQ(endpoint.hostAddress(), 0xC0A80001u);
    EXPECT_EQ(endpoint.hostPort(), 1069);
}

TEST(ClientEndpoint, OrdersByStoredBytesReadLittleEndian) {
    struct Case {
        const char* name;
        ClientEndpoint a;
        ClientEndpoint b;
        std::strong_ordering expected;
    };
    const Case cases[] = {
        {"fourth octet decides first", client(0xC0A80001, 69), client(0x0A000002, 69),
         std::strong_ordering::less},
        {"then the third", client(0x01010201, 69), client(0xFFFF0101, 69),
         std::strong_ordering::greater},
        {"then the second", client(0x09010101, 69), client(0x01020101, 69),
         std::strong_ordering::less},
        {"the first octet last", client(0x02010101, 69), client(0x01010101, 69),
         std::strong_ordering::greater},
        {"port 256 before port 1", client(0x0A000001, 256), client(0x0A000001, 1),
         std::strong_ordering::less},
        {"low byte of the port first", client(0x0A000001, 0x01FF), client(0x0A000001, 0xFF00),
         std::strong_ordering::greater},
        {"address before port", client(0x0A000001, 65535), client(0x0A000002, 0),
         std::strong_ordering::less},
        {"equal", client(0x0A000001, 1069), client(0x0A000001, 1069), std::strong_ordering::equal},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.a <=> c.b, c.expected);
        EXPECT_EQ(c.b <=> c.a, 0 <=> (c.a <=> c.b));  // antisymmetric
        EXPECT_EQ(c.a == c.b, c.expected == 0);
    }
}

TEST(EndpointText, WritesDottedAddressAndHostOrderPort) {
    const std::vector<std::pair<ClientEndpoint, const char*>> cases = {
        {client(0x0A010203, 1069), "10.1.2.3 (1069)"},
        {client(0, 0), "0.0.0.0 (0)"},
        {client(0xFFFFFFFF, 65535), "255.255.255.255 (65535)"},
        {client(0x7F000001, 69), "127.0.0.1 (69)"},
        {client(0xC0A864C8, 256), "192.168.100.200 (256)"},
        {client(0x01000000, 1), "1.0.0.0 (1)"},
    };
    for (const auto& [endpoint, text] : cases) {
        EXPECT_EQ(endpointText(endpoint), text);
    }
}

TEST(EndpointText, TwoThreadsFormattingAtOnceEachGetTheirOwnText) {
    // A shared static buffer (as inet_ntoa has) would let one thread see the other's address.
    std::atomic<int> mismatches{0};
    const auto formatMany = [&](ClientEndpoint endpoint, const std::string& expected) {
        for (int i = 0; i < 20000; ++i) {
            if (endpointText(endpoint) != expected) {
                ++mismatches;
            }
        }
    };
    std::thread first(formatMany, client(0x0A000001, 1), "10.0.0.1 (1)");
    std::thread second(formatMany, client(0xC0A8FFFE, 65000), "192.168.255.254 (65000)");
    first.join();
    second.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace quillet
