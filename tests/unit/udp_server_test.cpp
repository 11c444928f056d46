// The engine with a real socket on loopback and a clock the test sets: the receive loop, its
// ticks, what it drops and how it stops. Failures to start are end-to-end tests.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "engine/udp_server.h"
#include "test_support.h"

namespace quillet {
namespace {

using namespace std::chrono_literals;
using namespace test;

constexpr auto kAnswerLimit = 5s;  // generous: nothing waits this long when the engine works

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A server on a free port of its own, its receive loop on a thread, and a client socket.
class UdpServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server.setLog(&log);
        server.setEventSink(&events);
        ASSERT_EQ(server.start(), UdpServer::StartResult::Started);
        loop = std::thread([this] { server.receiveLoop(); });
        const auto local = loopback(0);
        ::bind(client, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    }

    void TearDown() override {
        if (loop.joinable()) {
            server.requestStop();
            loop.join();
        }
        ::close(client);
        ::close(waker);
    }

    void send(const Bytes& datagram, int from = -1) {
        const auto to = loopback(server.boundPort());
        ASSERT_EQ(::sendto(from < 0 ? client : from, datagram.data(), datagram.size(), 0,
                           reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(datagram.size()));
    }

    /// The next datagram from the server's port, or none if nothing comes within limit.
    Bytes receive(std::chrono::milliseconds limit = kAnswerLimit) {
        pollfd entry{client, POLLIN, 0};
        Bytes buffer(65536);
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const auto count = ::poll(&entry, 1, static_cast<int>(limit.count())) != 1
                               ? 0
                               : ::recvfrom(client, buffer.data(), buffer.size(), 0,
                                            reinterpret_cast<sockaddr*>(&from), &length);
        EXPECT_TRUE(count <= 0 || ntohs(from.sin_port) == server.boundPort());
        buffer.resize(static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
        return buffer;
    }

    static constexpr std::time_t kStart = 1'700'000'000;
    RecordingLogSink log;
    RecordingEventSink events;
    ScratchDirectory files;
    FakeClock clock;  // at kStart
    UdpServer server{0, clock};
    std::thread loop;
    int client = ::socket(AF_INET, SOCK_DGRAM, 0);
    int waker = ::socket(AF_INET, SOCK_DGRAM, 0);
};

TEST_F(UdpServerTest, AWholeFileFromOnePortWithTicksOnceMoreThanTenSecondsHavePassed) {
    EXPECT_EQ(log.take(), Lines{"5 Quillet Server Ready..."});
    const auto path = files.write("boot.bin", pattern(2000));
    send(rrq(path));
    const auto first = receive();
    ASSERT_EQ(wireNumber(first, 2), 1);
    EXPECT_TRUE(events.waitFor(" at 1700000000", kAnswerLimit));  // the clock's time, passed on
    // No tick at 10 s; one at 11 s, which resends; none 10 s after it; one at 22 s.
    const std::pair<std::time_t, bool> passes[] = {
        {10, false}, {11, true}, {21, false}, {22, true}};
    for (const auto& [seconds, resent] : passes) {
        SCOPED_TRACE(seconds);
        clock.now = kStart + seconds;
        send({}, waker);  // wakes the loop for one pass; an empty datagram is dropped
        EXPECT_EQ(receive(resent ? kAnswerLimit : 300ms), resent ? first : Bytes{});
    }
    std::string content(first.begin() + 4, first.end());
    for (int block = 1; content.size() < 2000; ++block) {
        send(ack(block));
        const auto data = receive();
        ASSERT_EQ(wireNumber(data, 2), block + 1);
        content.append(data.begin() + 4, data.end());
    }
    send(ack(4));
    EXPECT_EQ(content, contentOf(path));
    EXPECT_TRUE(log.waitFor("Served with 4 blocks.", kAnswerLimit));
}

TEST_F(UdpServerTest, DatagramsOver4096BytesOrEmptyAreDroppedAndStopWhileIdleEndsTheLoop) {
    // A write request is answered whatever follows its opcode, so any handling of the 4097-byte
    // datagram would show as an answer; an empty one would show in the log.
    send(wire({0, 2, std::string(4095, 'w')}));
    send({});
    // A read request whose mode ends in its last byte: cut short, it would have no terminator
    // and be ignored; whole, it is a request for a name that does not exist.
    send(rrq(std::string(4096 - 9, 'n')));
    EXPECT_EQ(receive(), wire({0, 5, 0, 1, "File not found.", 0}));
    EXPECT_TRUE(receive(200ms).empty());  // and the loop has settled into its wait
    EXPECT_EQ(log.take().size(), 2u);     // the ready line and the request's

    const auto asked = std::chrono::steady_clock::now();
    server.requestStop();
    loop.join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
    EXPECT_EQ(server.boundPort(), 0);  // the socket is closed
}

}  // namespace
}  // namespace quillet
