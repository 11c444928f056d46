// The engine with a real socket on loopback and a clock the test sets: the receive loop, its
// ticks, what it drops and how it stops. Failures to start are end-to-end tests.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "engine/udp_server.h"
#include "net/udp_socket.h"
#include "test_support.h"

namespace quillet {
namespace {

using namespace std::chrono_literals;
using namespace test;

// A server on a free port of its own, its receive loop on a thread, and two client sockets that
// take datagrams from the server's port only.
class UdpServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server.setLog(&log);
        server.setEventSink(&events);
        ASSERT_EQ(server.start(), UdpServer::StartResult::Started);
        loop = std::thread([this] { server.receiveLoop(); });
        for (auto* socket : {&client, &waker}) {
            ASSERT_TRUE(socket->open() && socket->bind(0));
        }
        me = test::client(0x7F000001, client.localPort());
    }

    void TearDown() override {
        if (loop.joinable()) {
            server.requestStop();
            loop.join();
        }
    }

    void send(const Bytes& datagram, const net::UdpSocket* from = nullptr) {
        const auto to = test::client(0x7F000001, server.boundPort());
        ASSERT_EQ((from != nullptr ? *from : client).sendTo(to, datagram),
                  static_cast<std::ptrdiff_t>(datagram.size()));
    }

    /// The next datagram from the server, or none if nothing comes within limit.
    Bytes receive(std::chrono::milliseconds limit = 5s) {
        Bytes buffer(65536);
        ClientEndpoint from;
        std::ptrdiff_t count = 0;
        if (client.waitReadable(limit) == net::WaitResult::Readable) {
            count = std::max<std::ptrdiff_t>(client.receive(buffer, from), 0);
            EXPECT_EQ(from.hostPort(), server.boundPort());
        }
        buffer.resize(static_cast<std::size_t>(count));
        return buffer;
    }

    // The socket layer (Winsock) is started first and cleaned up last.
    struct SocketLayer {
        SocketLayer() { EXPECT_TRUE(net::startup()); }
        ~SocketLayer() { net::cleanup(); }
    } socketLayer;
    static constexpr std::time_t kStart = 1'700'000'000;
    Recorder log;
    Recorder events;
    ScratchDirectory files;
    FakeClock clock;  // at kStart
    UdpServer server{0, clock, files.root};
    std::thread loop;
    net::UdpSocket client;
    net::UdpSocket waker;
    ClientEndpoint me;
};

TEST_F(UdpServerTest, ResendTicksComeOnceMoreThanTenSecondsOfTheGivenClockHavePassed) {
    EXPECT_EQ(log.take(), (Lines{"5 Quillet Server Ready...", "5 Serving " + files.root}));
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
        send({}, &waker);  // wakes the loop for one pass; an empty datagram is dropped
        EXPECT_EQ(receive(resent ? 5s : 300ms), resent ? first : Bytes{});
    }
    send(ack(1));
    EXPECT_EQ(wireNumber(receive(), 2), 2);  // and the transfer goes on
}

// Winsock keeps no queue of errors for earlier sends: there, such a transfer ends by its resends.
#ifndef _WIN32
TEST_F(UdpServerTest, AClientWhosePortAnswersUnreachableEndsAtOnce) {
    send(rrq(files.write("boot.bin", pattern(2000))));
    ASSERT_EQ(wireNumber(receive(), 2), 1);
    log.take();
    // Nothing listens at the client's port any more: the resend comes back unreachable.
    client.close();
    clock.now = kStart + 11;
    send({}, &waker);
    Lines lines;
    for (int i = 0; i < 100 && lines.empty(); ++i) {
        std::this_thread::sleep_for(50ms);
        lines = log.take();
    }
    EXPECT_EQ(lines, Lines{"4 client " + endpointText(me) + ": " + files.root +
                           "/boot.bin, Closed, Client Unreachable, 1 blocks sent."});
    EXPECT_EQ(events.take().back(), event("Failed", "Unreachable", me));
}
#endif

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
    EXPECT_EQ(log.take().size(), 3u);     // the ready and serving lines and the request's

    const auto asked = std::chrono::steady_clock::now();
    server.requestStop();
    loop.join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
    EXPECT_EQ(server.boundPort(), 0);  // the socket is closed
}

}  // namespace
}  // namespace quillet
