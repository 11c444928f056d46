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

// A server on a free port of its own, its receive loop on a thread, and two client sockets
// connected to it, which therefore take datagrams from the server's port only.
class UdpServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server.setLog(&log);
        server.setEventSink(&events);
        ASSERT_EQ(server.start(), UdpServer::StartResult::Started);
        loop = std::thread([this] { server.receiveLoop(); });
        sockaddr_in address{AF_INET, htons(server.boundPort()), {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        for (const int socket : {client, waker}) {
            ASSERT_EQ(::connect(socket, reinterpret_cast<sockaddr*>(&address), length), 0);
        }
        ::getsockname(client, reinterpret_cast<sockaddr*>(&address), &length);
        me = test::client(0x7F000001, ntohs(address.sin_port));
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
        ASSERT_EQ(::send(from < 0 ? client : from, datagram.data(), datagram.size(), 0),
                  static_cast<ssize_t>(datagram.size()));
    }

    /// The next datagram from the server, or none if nothing comes within limit.
    Bytes receive(std::chrono::milliseconds limit = 5s) {
        pollfd entry{client, POLLIN, 0};
        Bytes buffer(65536);
        const auto count = ::poll(&entry, 1, static_cast<int>(limit.count())) == 1
                               ? ::recv(client, buffer.data(), buffer.size(), 0)
                               : 0;
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
    ClientEndpoint me;
};

TEST_F(UdpServerTest, ResendTicksComeOnceMoreThanTenSecondsOfTheGivenClockHavePassed) {
    EXPECT_EQ(log.take(), Lines{"5 Quillet Server Ready..."});
    const auto path = files.write("boot.bin", pattern(2000));
    send(rrq(path));
    const auto first = receive();
    ASSERT_EQ(wireNumber(first, 2), 1);
    // The clock's time, passed on; the event went out before block 1.
    EXPECT_EQ(events.take(), Lines{event("Started", "2000 " + path + " at 1700000000", me)});
    // No tick at 10 s; one at 11 s, which resends; none 10 s after it; one at 22 s.
    const std::pair<std::time_t, bool> passes[] = {
        {10, false}, {11, true}, {21, false}, {22, true}};
    for (const auto& [seconds, resent] : passes) {
        SCOPED_TRACE(seconds);
        clock.now = kStart + seconds;
        send({}, waker);  // wakes the loop for one pass; an empty datagram is dropped
        EXPECT_EQ(receive(resent ? 5s : 300ms), resent ? first : Bytes{});
    }
    send(ack(1));
    EXPECT_EQ(wireNumber(receive(), 2), 2);  // and the transfer goes on
}

TEST_F(UdpServerTest, DatagramsOver4096BytesOrEmptyAreDroppedAndStopWhileIdleEndsTheLoop) {
    // A write request is answered whatever follows its opcode, so any handling of the 4097-byte
    // datagram would show as an answer.
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
