// The engine with a real socket on loopback: the receive loop, what it drops, how it stops, how
// it fails to start; and the thread that runs it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "engine/engine_thread.h"
#include "engine/udp_server.h"
#include "fakes.h"
#include "test_support.h"

namespace quillet {
namespace {

using namespace std::chrono_literals;
using testing::ack;
using testing::Bytes;
using testing::LogEntry;
using testing::RecordedEvent;
using testing::rrq;
using testing::wire;
using testing::wireNumber;

// Generous, so that a loaded machine does not fail the tests; nothing waits this long when the
// engine works.
constexpr auto kAnswerLimit = 5s;

struct Received {
    Bytes bytes;
    std::uint16_t fromPort = 0;
};

// A plain UDP socket on 127.0.0.1, as a TFTP client would use.
class TestClient {
  public:
    TestClient() : descriptor_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(descriptor_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    ~TestClient() { ::close(descriptor_); }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    void sendTo(std::uint16_t port, const Bytes& datagram) const {
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        server.sin_port = htons(port);
        ASSERT_EQ(::sendto(descriptor_, datagram.data(), datagram.size(), 0,
                           reinterpret_cast<sockaddr*>(&server), sizeof server),
                  static_cast<ssize_t>(datagram.size()));
    }

    /// The next datagram, if one comes within limit.
    std::optional<Received> receive(std::chrono::milliseconds limit = kAnswerLimit) const {
        pollfd entry{descriptor_, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(limit.count())) != 1) {
            return std::nullopt;
        }
        Bytes buffer(65536);
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const auto count = ::recvfrom(descriptor_, buffer.data(), buffer.size(), 0,
                                      reinterpret_cast<sockaddr*>(&from), &length);
        if (count < 0) {
            return std::nullopt;
        }
        buffer.resize(static_cast<std::size_t>(count));
        return Received{std::move(buffer), ntohs(from.sin_port)};
    }

    /// Fetches name from the server at port, acknowledging each block; returns the bytes, or
    /// none when an answer is missing or out of order.
    std::optional<std::string> fetch(std::uint16_t port, const std::string& name) const {
        sendTo(port, rrq(name));
        std::string content;
        for (int block = 1;; ++block) {
            const auto data = receive();
            if (!data || data->fromPort != port || wireNumber(data->bytes, 0) != 3 ||
                wireNumber(data->bytes, 2) != block) {
                return std::nullopt;
            }
            content.append(data->bytes.begin() + 4, data->bytes.end());
            sendTo(port, ack(static_cast<std::uint16_t>(block)));
            if (data->bytes.size() < 516) {
                return content;
            }
        }
    }

  private:
    int descriptor_;
};

std::string contentOf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

class UdpServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server.setLog(&log);
        server.setEventSink(&events);
        ASSERT_EQ(server.start(), 0);
        port = server.boundPort();
        ASSERT_NE(port, 0);
        loop = std::thread([this] { loopResult = server.receiveLoop(); });
    }

    void TearDown() override { stop(); }

    void stop() {
        if (loop.joinable()) {
            server.requestStop();
            loop.join();
        }
    }

    // Sends a datagram that is logged and never answered, and waits until the engine has handled
    // it: everything sent before it has been handled too.
    void sendProbeAndWait(const TestClient& client) {
        client.sendTo(port, ack(7));
        ASSERT_TRUE(log.waitFor("Invalid ACK Packet Ignored", kAnswerLimit));
    }

    testing::RecordingLogSink log;
    testing::RecordingEventSink events;
    testing::ScratchDirectory files;
    UdpServer server{0};
    std::thread loop;
    std::uint16_t port = 0;
    int loopResult = -1;
};

TEST_F(UdpServerTest, StartLogsReadyAtLevelFive) {
    EXPECT_EQ(log.entries(), (std::vector<LogEntry>{{5, "Quillet Server Ready..."}}));
}

TEST_F(UdpServerTest, ServesAWholeFileFromItsOnePort) {
    const auto path = files.writePattern("boot.bin", 3000);
    TestClient client;
    EXPECT_EQ(client.fetch(port, path), contentOf(path));
    EXPECT_TRUE(log.waitFor("Served with 6 blocks.", kAnswerLimit));
    EXPECT_EQ(events.eventsOf(RecordedEvent::Kind::Done).size(), 1u);
}

TEST_F(UdpServerTest, DatagramOf4096BytesIsHandledWhole) {
    // A read request whose mode ends in the last byte: cut short, it would have no terminator
    // and be ignored; whole, it is a request for a name that does not exist.
    const auto datagram = rrq(std::string(4096 - 9, 'n'));
    ASSERT_EQ(datagram.size(), 4096u);
    TestClient client;
    client.sendTo(port, datagram);
    const auto answer = client.receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes, wire({0, 5, 0, 1, "File not found.", 0}));
    EXPECT_EQ(answer->fromPort, port);
}

TEST_F(UdpServerTest, OversizedAndEmptyDatagramsAreDroppedWithoutATrace) {
    // A write request is answered whatever follows its opcode, so any handling of the 4097-byte
    // datagram, whole or cut short, would show as an answer.
    TestClient client;
    client.sendTo(port, wire({0, 2, std::string(4095, 'w')}));
    client.sendTo(port, {});
    sendProbeAndWait(client);
    EXPECT_FALSE(client.receive(200ms));
    const auto lines = log.entries();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "Quillet Server Ready...");
    EXPECT_NE(lines[1].text.find("Invalid ACK Packet Ignored"), std::string::npos);

    // The loop goes on serving.
    client.sendTo(port, wire({0, 2}));
    const auto answer = client.receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(wireNumber(answer->bytes, 2), 4);
}

TEST_F(UdpServerTest, TwoClientSocketsAreServedIndependently) {
    const auto firstPath = files.writePattern("first.bin", 1300);
    const auto secondPath = files.write("second.bin", std::string(1100, 'b'));
    TestClient first;
    TestClient second;
    first.sendTo(port, rrq(firstPath));
    second.sendTo(port, rrq(secondPath));
    const auto firstContent = contentOf(firstPath);
    const auto secondContent = contentOf(secondPath);
    // Lock-step for both, interleaved: each client only ever sees its own file.
    for (int block = 1; block <= 3; ++block) {
        for (const auto* client : {&first, &second}) {
            const auto& content = client == &first ? firstContent : secondContent;
            const auto data = client->receive();
            ASSERT_TRUE(data) << "block " << block;
            EXPECT_EQ(data->fromPort, port);
            ASSERT_EQ(wireNumber(data->bytes, 2), block);
            const auto offset = static_cast<std::size_t>(block - 1) * 512;
            EXPECT_EQ(std::string(data->bytes.begin() + 4, data->bytes.end()),
                      content.substr(offset, 512));
            client->sendTo(port, ack(static_cast<std::uint16_t>(block)));
        }
    }
    EXPECT_TRUE(log.waitFor("first.bin, Served with 3 blocks.", kAnswerLimit));
    EXPECT_TRUE(log.waitFor("second.bin, Served with 3 blocks.", kAnswerLimit));
    EXPECT_FALSE(first.receive(100ms));
    EXPECT_FALSE(second.receive(100ms));
}

TEST_F(UdpServerTest, StopWhileIdleEndsTheLoopWithinAboutTwoSeconds) {
    std::this_thread::sleep_for(100ms);  // let the loop settle into its wait
    const auto asked = std::chrono::steady_clock::now();
    stop();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
    EXPECT_EQ(loopResult, 0);
    EXPECT_EQ(server.boundPort(), 0);  // the loop closed the socket
}

TEST(UdpServerStart, BindFailureOnAHeldPortIsLoggedAndReported) {
    const int held = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(held, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(held, reinterpret_cast<sockaddr*>(&address), &length);
    const int heldPort = ntohs(address.sin_port);

    testing::RecordingLogSink log;
    testing::RecordingEventSink events;
    UdpServer server(static_cast<std::uint16_t>(heldPort));
    server.setLog(&log);
    server.setEventSink(&events);
    EXPECT_EQ(server.run(), EADDRINUSE);  // returns at once: the loop is never entered
    ::close(held);

    char expected[128];
    std::snprintf(expected, sizeof expected, "Bind failed, Maybe Port %d already in use: 0x%08X",
                  heldPort, static_cast<unsigned>(EADDRINUSE));
    EXPECT_EQ(log.entries(), (std::vector<LogEntry>{{3, expected}}));
    EXPECT_EQ(events.events(),
              (std::vector<RecordedEvent>{{RecordedEvent::Kind::ServerError, {}, 0, expected}}));
    EXPECT_EQ(server.boundPort(), 0);
}

TEST(UdpServerStart, SocketCreateFailureIsLoggedAndReported) {
    testing::RecordingLogSink log;
    testing::RecordingEventSink events;
    UdpServer server(0);
    server.setLog(&log);
    server.setEventSink(&events);
    // The sanitizers' type check needs a descriptor the first time it meets a type through a
    // base: let it meet both sinks before the limit.
    static_cast<LogSink&>(log).write(0, "warm-up");
    static_cast<EventSink&>(events).serverError("warm-up");
    log.clear();
    events.clear();
    // With no descriptors left to the process, the socket cannot be made.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit none = saved;
    none.rlim_cur = 0;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
    const int result = server.run();
    ::setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_EQ(result, -1);
    char expected[64];
    std::snprintf(expected, sizeof expected, "Socket Create Error: 0x%08X",
                  static_cast<unsigned>(EMFILE));
    EXPECT_EQ(log.entries(), (std::vector<LogEntry>{{3, expected}}));
    EXPECT_EQ(events.events(),
              (std::vector<RecordedEvent>{{RecordedEvent::Kind::ServerError, {}, 0, expected}}));
}

TEST(EngineThread, WaitReturnsTrueOnceTheBodyHasEndedAndItsCapturesAreGone) {
    auto shared = std::make_shared<int>(0);
    EngineThread thread([shared] { *shared = 1; });
    EXPECT_TRUE(thread.waitFor(5s));
    EXPECT_FALSE(thread.isRunning());
    EXPECT_EQ(*shared, 1);
    EXPECT_EQ(shared.use_count(), 1);  // the body no longer holds it
    EXPECT_TRUE(thread.waitFor(0ms));  // waiting again is harmless
}

TEST(EngineThread, WaitLetsGoOfABodyThatDoesNotEnd) {
    // Everything the body uses is its own (shared), so the thread may outlive the EngineThread.
    struct Shared {
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::promise<void> finished;
    };
    auto shared = std::make_shared<Shared>();
    std::future<void> finished = shared->finished.get_future();
    {
        // The body's end is signalled when its captures go, after the body has returned.
        struct SignalOnDestruction {
            explicit SignalOnDestruction(std::shared_ptr<Shared> owner)
                : shared(std::move(owner)) {}
            SignalOnDestruction(const SignalOnDestruction&) = delete;
            SignalOnDestruction& operator=(const SignalOnDestruction&) = delete;
            ~SignalOnDestruction() { shared->finished.set_value(); }
            std::shared_ptr<Shared> shared;
        };
        auto signal = std::make_shared<SignalOnDestruction>(shared);
        auto thread = std::make_unique<EngineThread>([shared, signal] { shared->released.wait(); });
        signal.reset();
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_FALSE(thread->waitFor(100ms));
        EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
        EXPECT_FALSE(thread->isRunning());
        thread.reset();  // gone while its thread still runs
    }
    shared->release.set_value();
    EXPECT_EQ(finished.wait_for(kAnswerLimit), std::future_status::ready);
    // The thread's last step comes after that signal; let it run before the test ends, so that a
    // touch of the destroyed EngineThread shows under AddressSanitizer.
    std::this_thread::sleep_for(50ms);
}

}  // namespace
}  // namespace quillet
