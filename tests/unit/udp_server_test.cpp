// The engine with a real socket on loopback and a clock the test sets: the receive loop, its
// ticks, what it drops and how it stops. Failures to start are end-to-end tests.
#include <gtest/gtest.h>
#ifdef __linux__
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <cerrno>
#endif

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
        ASSERT_TRUE(server.start());
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

    /// Makes the client an IPv6 one on ::1, which the server is sent to and answers at.
    void useIpv6Client() {
        ASSERT_TRUE(client.open(net::SocketFamily::DualStack) && client.bind(0));
        me = serverHost = ipv6Client({0, 0, 0, 0, 0, 0, 0, 1}, client.localPort());
    }

    void send(const Bytes& datagram, net::UdpSocket* from = nullptr, std::uint16_t port = 0) {
        auto to = from == nullptr ? serverHost : test::client(0x7F000001, 0);  // the waker: IPv4
        to.port = test::client(0, port != 0 ? port : server.boundPort()).port;
        ASSERT_EQ((from != nullptr ? *from : client).sendTo(to, datagram), net::SendResult::Sent);
    }

    /// The next datagram from the server, or none if nothing comes within limit.
    Bytes receive(std::chrono::milliseconds limit = 5s) {
        Bytes buffer(65536);
        const std::span<std::uint8_t> buffers[] = {buffer};
        net::ReceivedDatagram received[1];
        if (client.waitReadable(limit) == net::WaitResult::Readable &&
            client.receiveQueued(buffers, received) == 1) {
            EXPECT_EQ(received[0].from.hostPort(), server.boundPort());
        }
        buffer.resize(received[0].length.value_or(0));
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
    ClientEndpoint serverHost = test::client(0x7F000001, 0);
};

TEST_F(UdpServerTest, ResendTicksComeOnceMoreThanTenSecondsOfTheGivenClockHavePassed) {
    const Lines started = log.take();
    ASSERT_EQ(started.size(), 3u);
    EXPECT_EQ(Lines(started.begin(), started.begin() + 2),
              (Lines{"5 Quillet Server Ready...", "5 Serving " + files.root}));
    EXPECT_TRUE(started[2].starts_with("5 Addresses: ")) << started[2];
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
    // An IPv4 client, then an IPv6 one, whose ICMPv6 error is read the same way.
    for (const bool ipv6 : {false, true}) {
        SCOPED_TRACE(ipv6);
        if (ipv6) {
            useIpv6Client();
        }
        send(rrq(files.write("boot.bin", pattern(2000))));
        ASSERT_EQ(wireNumber(receive(), 2), 1);
        log.take();
        // Nothing listens at the client's port any more: the resend comes back unreachable.
        client.close();
        clock.now += 11;
        send({}, &waker);
        Lines lines;
        for (int i = 0; i < 100 && lines.empty(); ++i) {
            std::this_thread::sleep_for(50ms);
            lines = log.take();
        }
        EXPECT_EQ(lines, Lines{"4 client " + endpointText(me) + ": " + files.root +
                               "/boot.bin, Closed, Client Unreachable, 1 blocks sent."});
        EXPECT_EQ(lastOf(events.take()), event("Failed", "Unreachable", me));
    }
}
#endif

#ifdef __linux__
// Without IPv6 in the kernel (ipv6.disable=1; here a filter that refuses IPv6 sockets, in a child
// process) the server says so once and serves IPv4.
TEST(UdpServerFallback, WithoutIpv6TheServerSaysSoOnceAndServesIpv4) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    sock_filter rules[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                           BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 0, 3),
                           BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
                           BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET6, 0, 1),
                           BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAFNOSUPPORT),
                           BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    const sock_fprog program{static_cast<unsigned short>(std::size(rules)), rules};
    const auto served = [&] {
        Recorder log;
        ScratchDirectory files;
        FakeClock clock;
        UdpServer server{0, clock, files.root};
        server.setLog(&log);
        net::UdpSocket client;
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0 || !server.start() ||
            !client.open() || !client.bind(0)) {
            return false;
        }
        std::thread loop([&] { server.receiveLoop(); });
        client.sendTo(test::client(0x7F000001, server.boundPort()), rrq("missing"));
        const bool answered = client.waitReadable(5s) == net::WaitResult::Readable;
        server.requestStop();
        loop.join();
        return answered &&
               log.take().at(0) == "4 IPv6 Socket Create Error: 0x00000061, serving IPv4 only.";
    };
    EXPECT_EXIT(std::exit(served() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}
#endif

TEST_F(UdpServerTest, ABurstIsAnsweredInOrderWithoutDatagramsOver4096BytesOrEmptyAndStopEnds) {
    // A write request is answered whatever follows its opcode, so any handling of the 4097-byte
    // datagram would show as an answer.
    send(wire({0, 2, std::string(4095, 'w')}));
    send({});
    // Longer than one batch, each request for a name of its own.
    const auto burst = UdpServer::kReceiveBatch + 9;
    for (std::size_t i = 0; i < burst; ++i) {
        send(rrq("missing-" + std::to_string(i)));
    }
    // A read request whose mode ends in its last byte: cut short, it would have no terminator
    // and be ignored; whole, it is a request for a name that does not exist.
    send(rrq(std::string(4096 - 9, 'n')));
    for (std::size_t i = 0; i <= burst; ++i) {
        ASSERT_EQ(receive(), wire({0, 5, 0, 1, "File not found.", 0})) << i;
    }
    EXPECT_TRUE(receive(200ms).empty());  // and the loop has settled into its wait
    // The ready, serving and addresses lines, then the requests' lines, as many as one host may
    // have in a second (the fake clock stands still).
    const auto lines = log.take();
    const std::size_t logged = LineLimiter::kLinesPerHost;
    ASSERT_EQ(lines.size(), 3 + logged);
    for (std::size_t i = 0; i < logged; ++i) {
        EXPECT_NE(lines[3 + i].find("missing-" + std::to_string(i) + ","), std::string::npos)
            << lines[3 + i];
    }

    const auto asked = std::chrono::steady_clock::now();
    server.requestStop();
    loop.join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
    EXPECT_EQ(server.boundPort(), 0);  // the socket is closed
}

}  // namespace
}  // namespace quillet
