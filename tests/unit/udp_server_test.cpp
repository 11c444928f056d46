// The engine with a real socket on loopback and a clock the test sets: the receive loop, its
// ticks, what it drops and how it stops. Failures to start are end-to-end tests.
#include <gmock/gmock.h>
#ifdef __linux__
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/udp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <cerrno>
#endif

#include <thread>

#include "engine/udp_server.h"
#include "net/udp_socket.h"
#include "test_support.h"

namespace quillet {
namespace {

using namespace std::chrono_literals;
using namespace test;

/// The next datagram that reaches socket from port, or none if nothing comes within limit.
Bytes receiveAt(net::UdpSocket& socket, std::uint16_t port, std::chrono::milliseconds limit = 5s) {
    Bytes buffer(65536);
    const std::span<std::uint8_t> buffers[] = {buffer};
    net::ReceivedDatagram received[1];
    if (socket.waitReadable(limit) != net::WaitResult::Readable ||
        socket.receiveQueued(buffers, received) != 1 || received[0].from.hostPort() != port) {
        return {};
    }
    buffer.resize(received[0].length.value_or(0));
    return buffer;
}

// The socket layer (Winsock) is started first and cleaned up last.
struct SocketLayer {
    SocketLayer() { EXPECT_TRUE(net::startup()); }
    ~SocketLayer() { net::cleanup(); }
};

/// A server on a free port with its log, folder and clock (at 1,700,000,000), not yet started.
struct LoneServer : SocketLayer {
    LoneServer() { server.setLog(&log); }
    Recorder log;
    ScratchDirectory files;
    FakeClock clock;
    UdpServer server{0, clock, files.root};
};

// A started server, its receive loop on a thread, and two clients of it on loopback.
class UdpServerTest : public ::testing::Test, protected LoneServer {
  protected:
    void SetUp() override {
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
        return receiveAt(client, server.boundPort(), limit);
    }

    static constexpr std::time_t kStart = 1'700'000'000;
    Recorder events;
    std::thread loop;
    net::UdpSocket client;
    net::UdpSocket waker;
    ClientEndpoint me;
    ClientEndpoint serverHost = test::client(0x7F000001, 0);
};

TEST_F(UdpServerTest, ResendTicksComeOnceMoreThanTenSecondsOfTheGivenClockHavePassed) {
    EXPECT_THAT(log.take(),
                ::testing::ElementsAre("5 Quillet Server Ready...", "5 Serving " + files.root,
                                       ::testing::StartsWith("5 Addresses: ")));
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
/// A system call that fails: its number, an argument's index and the value that fails, the error
/// (sendmsg's flags, argument 2, are always 0; getsockopt at level SOL_UDP probes segmentation).
using Refusal = std::array<std::uint32_t, 4>;

/// Makes system calls fail as refusals say, as a kernel without a feature would; for a child
/// process only, as it lasts.
bool refuse(const std::vector<Refusal>& refusals) {
    std::vector<sock_filter> rules;
    for (const auto& [call, argument, value, error] : refusals) {
        const auto offset = static_cast<std::uint32_t>(offsetof(seccomp_data, args) + 8 * argument);
        rules.insert(rules.end(), {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                                   BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 3),
                                   BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset),
                                   BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, 0, 1),
                                   BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | error)});
    }
    rules.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const sock_fprog program{static_cast<unsigned short>(rules.size()), rules.data()};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Without IPv6 in the kernel (ipv6.disable=1; here a filter that refuses IPv6 sockets, in a child
// process) the server says so once and serves IPv4.
TEST(UdpServerFallback, WithoutIpv6TheServerSaysSoOnceAndServesIpv4) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto served = [&] {
        LoneServer lone;
        net::UdpSocket client;
        if (!refuse({{SYS_socket, 0, AF_INET6, EAFNOSUPPORT}}) || !lone.server.start() ||
            !client.open() || !client.bind(0)) {
            return false;
        }
        std::thread loop([&] { lone.server.receiveLoop(); });
        client.sendTo(test::client(0x7F000001, lone.server.boundPort()), rrq("missing"));
        const bool answered = client.waitReadable(5s) == net::WaitResult::Readable;
        lone.server.requestStop();
        loop.join();
        return answered && lone.log.take().at(0) ==
                               "4 IPv6 Socket Create Error: 0x00000061, serving IPv4 only.";
    };
    EXPECT_EXIT(std::exit(served() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

// A window goes out in one segmented send, or block by block where the kernel refuses that (EIO,
// EINVAL) or has none: the same datagrams either way, the window resent after a lost block too.
TEST(UdpServerFallback, AWindowArrivesAsTheSameDatagramsSegmentedOrBlockByBlock) {
    const std::vector<Refusal> rows[] = {
        {},
        {{SYS_sendmsg, 2, 0, EINVAL}},
        {{SYS_sendmsg, 2, 0, EIO}},
        {{SYS_getsockopt, 1, SOL_UDP, ENOPROTOOPT}, {SYS_sendmsg, 2, 0, EPERM}}};
    const auto content = pattern(750);  // seven blocks of 100, one of 50
    std::vector<Bytes> expected{wire({0, 6, "blksize", 0, "100", 0, "windowsize", 0, "8", 0})};
    for (const int block : {1, 2, 3, 4, 5, 6, 7, 8, 6, 7, 8}) {
        expected.push_back(wire({0, 3, 0, block, content.substr((block - 1) * 100, 100)}));
    }
    const auto arrives = [&](const std::vector<Refusal>& refusals) {
        LoneServer lone;
        lone.server.setNegotiatesOptions(true);
        const auto options = rrqWith(lone.files.write("window.bin", content),
                                     {"blksize", 0, "100", 0, "windowsize", 0, "8", 0});
        net::UdpSocket client;
        if (!refuse(refusals) || !lone.server.start() || !client.open() || !client.bind(0)) {
            return false;
        }
        std::thread loop([&] { lone.server.receiveLoop(); });
        std::vector<Bytes> got;
        // The OACK; ACK 0: blocks 1 to 8; ACK 5 (block 6 lost): 6 to 8 again.
        for (const auto& datagram : {options, ack(0), ack(5)}) {
            client.sendTo(test::client(0x7F000001, lone.server.boundPort()), datagram);
            for (Bytes next; !(next = receiveAt(client, lone.server.boundPort(), 300ms)).empty();) {
                got.push_back(next);
            }
        }
        lone.server.requestStop();
        loop.join();
        return got == expected;
    };
    for (const auto& refusals : rows) {
        EXPECT_EXIT(std::exit(arrives(refusals) ? 0 : 1), ::testing::ExitedWithCode(0), "")
            << refusals.size();
    }
}

// Datagrams that the kernel drops for a full receive queue are counted in one line at the next
// tick, and only new ones at later ticks (here none).
TEST(UdpServerDrops, DatagramsDroppedForAFullQueueAreLoggedOnceAtTheNextTick) {
    LoneServer lone;
    net::UdpSocket client;
    ASSERT_TRUE(lone.server.start() && client.open() && client.bind(0));
    // More than the queue holds (8 MiB of 832 bytes each), before the loop takes any.
    const auto to = test::client(0x7F000001, lone.server.boundPort());
    for (int i = 0; i < 12'000; ++i) {
        client.sendTo(to, {});
    }
    std::thread loop([&] { lone.server.receiveLoop(); });
    for (int tick = 0; tick < 8; ++tick) {  // the first may come before the loop reads the clock
        lone.clock.now += 11;
        client.sendTo(to, {});  // wakes the loop
        std::this_thread::sleep_for(100ms);
    }
    lone.server.requestStop();
    loop.join();
    EXPECT_THAT(lone.log.take(),  // the three lines of the start, then the count
                ::testing::ElementsAre("5 Quillet Server Ready...", ::testing::_, ::testing::_,
                                       ::testing::MatchesRegex("4 [1-9][0-9]* Datagrams Dropped, "
                                                               "Receive Queue Full\\.")));
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
    // The three start lines, then as many requests' lines as one host may have in a second.
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
