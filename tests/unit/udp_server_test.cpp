// The engine with a real socket on loopback: the receive loop, what it drops, how it stops, how
// it fails to start; and the thread that runs it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "engine/engine_thread.h"
#include "engine/udp_server.h"
#include "test_support.h"

namespace quillet {
namespace {

using namespace std::chrono_literals;
using namespace testing;

constexpr auto kAnswerLimit = 5s;  // generous: nothing waits this long when the engine works

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// The receive loop's monotonic clock, moved by the tests.
std::atomic<std::time_t> monotonicSeconds{1000};

// A server on a free port of its own, its receive loop on a thread, and a client socket.
class UdpServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server.setLog(&log);
        server.setEventSink(&events);
        ASSERT_EQ(server.start(), 0);
        loop = std::thread([this] { loopResult = server.receiveLoop(); });
        const auto local = loopback(0);
        ::bind(client, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    }

    void TearDown() override {
        if (loop.joinable()) {
            server.requestStop();
            loop.join();
        }
        ::close(client);
    }

    void send(const Bytes& datagram) {
        const auto to = loopback(server.boundPort());
        ASSERT_EQ(::sendto(client, datagram.data(), datagram.size(), 0,
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

    RecordingLogSink log;
    RecordingEventSink events;
    ScratchDirectory files;
    UdpServer server{0, files.root().string(), [] { return monotonicSeconds.load(); }};
    std::thread loop;
    int loopResult = -1;
    int client = ::socket(AF_INET, SOCK_DGRAM, 0);
};

TEST_F(UdpServerTest, ReadyLineThenAWholeFileFromItsOnePort) {
    EXPECT_EQ(log.take(),
              (Lines{"5 Quillet Server Ready...", "5 Serving " + files.root().string()}));
    const auto path = files.write("boot.bin", pattern(3000));
    send(rrq(path));
    std::string content;
    for (int block = 1; content.size() < 3000; ++block) {
        const auto data = receive();
        ASSERT_EQ(wireNumber(data, 0), 3) << "block " << block;
        ASSERT_EQ(wireNumber(data, 2), block);
        content.append(data.begin() + 4, data.end());
        send(ack(static_cast<std::uint16_t>(block)));
    }
    EXPECT_EQ(content, contentOf(path));
    EXPECT_TRUE(log.waitFor("Served with 6 blocks.", kAnswerLimit));
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
    EXPECT_EQ(log.take().size(), 3u);     // the ready and serving lines and the request's

    const auto asked = std::chrono::steady_clock::now();
    server.requestStop();
    loop.join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
    EXPECT_EQ(loopResult, 0);
    EXPECT_EQ(server.boundPort(), 0);  // the socket is closed
}

TEST_F(UdpServerTest, ResendsFollowTheMonotonicClockAndAnUnreachableClientEndsAtOnce) {
    send(rrq(files.write("boot.bin", pattern(3000))));
    const auto block = receive();
    ASSERT_EQ(wireNumber(block, 2), 1);
    monotonicSeconds += 11;  // the tick after more than 10 s of silence resends
    EXPECT_EQ(receive(), block);
    // Nothing listens at the client's port any more: the next resend comes back unreachable.
    ::close(std::exchange(client, -1));
    monotonicSeconds += 11;
    EXPECT_TRUE(log.waitFor("boot.bin, Closed, Client Unreachable, 1 blocks sent.", kAnswerLimit));
    EXPECT_TRUE(events.waitFor("Unreachable", kAnswerLimit));
}

TEST(UdpServerStart, FailuresAreLoggedAtLevelThreeAndReportedAsServerErrors) {
    UdpServer holder(0);  // holds a port, so that binding it again fails
    ASSERT_EQ(holder.start(), 0);
    // The bind failure comes first: it also lets the sanitizers meet the sinks, which takes them
    // a descriptor, before the socket cannot be made for want of descriptors (EADDRINUSE is 98
    // and EMFILE 24 on Linux).
    const std::tuple<std::uint16_t, rlim_t, int, std::string> cases[] = {
        {holder.boundPort(), RLIM_INFINITY, EADDRINUSE,
         "Bind failed, Maybe Port " + std::to_string(holder.boundPort()) +
             " already in use: 0x00000062"},
        {0, 0, -1, "Socket Create Error: 0x00000018"}};
    for (const auto& [port, descriptors, result, text] : cases) {
        RecordingLogSink log;
        RecordingEventSink events;
        UdpServer server(port);
        server.setLog(&log);
        server.setEventSink(&events);
        rlimit saved{};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit limited{std::min(descriptors, saved.rlim_cur), saved.rlim_max};
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limited), 0);
        EXPECT_EQ(server.run(), result);  // returns at once: the loop is never entered
        ::setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_EQ(log.take(), Lines{"3 " + text});
        EXPECT_EQ(events.take(), Lines{"ServerError " + text});
        EXPECT_EQ(server.boundPort(), 0);
    }
}

TEST(EngineThread, WaitIsTrueOnceTheBodyHasEndedAndLetsGoOfABodyThatDoesNot) {
    auto ended = std::make_shared<int>(0);
    EXPECT_TRUE(EngineThread([ended] { *ended = 1; }).waitFor(5s));
    EXPECT_EQ(*ended, 1);
    EXPECT_EQ(ended.use_count(), 1);  // the body's captures are gone

    // Everything the body uses is its own (shared), so the thread may outlive the EngineThread.
    std::promise<void> release;
    auto token = std::make_shared<std::shared_future<void>>(release.get_future().share());
    auto thread = std::make_unique<EngineThread>([token] { token->wait(); });
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_FALSE(thread->waitFor(100ms));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
    EXPECT_FALSE(thread->isRunning());
    thread.reset();  // gone while its thread still runs
    release.set_value();
    for (int i = 0; i < 500 && token.use_count() > 1; ++i) {
        std::this_thread::sleep_for(10ms);  // until the body's captures are gone
    }
    EXPECT_EQ(token.use_count(), 1);
    // The thread's last step comes after that; let it run before the test ends, so that a touch
    // of the destroyed EngineThread shows under AddressSanitizer.
    std::this_thread::sleep_for(50ms);
}

}  // namespace
}  // namespace quillet
