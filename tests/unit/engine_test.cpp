// The engine minus its socket, a dispatcher wired to recording fakes: what it makes of each
// datagram, how a read transfer runs, and how the session table keeps clients apart.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <cctype>
#include <functional>
#include <future>
#include <optional>
#include <tuple>

#include "dispatcher_rig.h"
#include "test_support.h"

namespace quillet {
namespace {

using namespace test;
using Blocks = std::vector<int>;
using enum HandlerResult;

constexpr std::size_t kFourBlocks = 3 * 512 + 10;  // blocks 1-3 full, block 4 of 10 bytes
constexpr std::time_t kStart = 1'700'000'000;

/// A log line about a client as recorded: "4 client 10.1.2.3 (1069): " and the rest.
std::string clientLine(int level, const std::string& rest, ClientEndpoint from = kClient) {
    return std::to_string(level) + " client " + endpointText(from) + ": " + rest;
}

/// Keeps every datagram it is asked to send, and reports what it is told to.
struct RecordingTransport final : PacketTransport {
    net::SendResult sendTo(const ClientEndpoint& to, std::span<const std::uint8_t> bytes) override {
        sent.push_back({to, {bytes.begin(), bytes.end()}});
        return result;
    }
    std::size_t sendSegments(const ClientEndpoint& to, std::span<const std::uint8_t> bytes,
                             std::size_t segmentSize) override {
        ++runs;
        return PacketTransport::sendSegments(to, bytes, segmentSize);
    }
    int runs = 0;
    net::SendResult result = net::SendResult::Sent;
    std::vector<std::pair<ClientEndpoint, Bytes>> sent;
};
using Sent = decltype(RecordingTransport::sent);

class EngineTest : public ::testing::Test {
  protected:
    EngineTest() { test::setUpDispatcher(dispatcher, transport, log, events, files.root); }

    HandlerResult dispatch(const ClientEndpoint& from, const Bytes& bytes,
                           std::time_t now = kStart) {
        return dispatcher.dispatch(from, bytes, now);
    }
    HandlerResult ackNow(int block) { return dispatch(kClient, ack(block)); }
    const ReadSession* session() { return dispatcher.findSession(kClient); }

    /// Starts serving a file of size bytes, named after the client's port; returns its path.
    std::string serve(const ClientEndpoint& from, std::size_t size, std::time_t now = kStart) {
        const auto path = files.write("file-" + std::to_string(from.hostPort()), pattern(size));
        EXPECT_EQ(dispatch(from, rrq(path), now), Handled);
        return path;
    }

    Sent takeSent() { return std::exchange(transport.sent, {}); }

    /// The DATA blocks sent since the last take; other datagrams show as minus their opcode.
    Blocks takeSentBlocks() {
        Blocks blocks;
        for (const auto& [to, bytes] : takeSent()) {
            const int opcode = wireNumber(bytes, 0);
            blocks.push_back(opcode == 3 ? wireNumber(bytes, 2) : -opcode);
        }
        return blocks;
    }

    void forget() { takeSent(), log.take(), events.take(); }

    Recorder log;
    Recorder events;
    RecordingTransport transport;
    ScratchDirectory files;
    FakeClock clock;  // at kStart
    // Last: its sessions go before the fakes.
    RequestDispatcher dispatcher{RequestDispatcher::kMaxSessions, clock};
};

TEST_F(EngineTest, EachDatagramIsRoutedByItsKindAndMovesARunningTransferAlongItsStates) {
    using enum ReadSession::State;
    constexpr std::optional<ReadSession::State> Over;  // the session is gone, or never was
    constexpr std::size_t kNone = 0xFFFF;              // no transfer is running
    const auto unknown = clientLine(4, "Invalid Packet Ignored.");
    const auto invalid = [](int opcode) {
        return clientLine(4, "Invalid Packet with OpCode " + std::to_string(opcode) + " Ignored.");
    };
    const auto noSession = [](const std::string& kind) {
        return clientLine(4,
                          "Invalid " + kind + " Packet Ignored, no Session for this client yet.");
    };
    const auto writeRefused = clientLine(5, "Write Request Ignored");
    const auto path = files.path("file-1069");
    const auto again = rrq(path);  // a repeated request for the same file
    const auto other = files.write("other.bin", "two");
    const auto request = clientLine(6, "Duplicated Read Request.");
    const auto duplicate = clientLine(6, "Duplicated ACK.");
    const auto diskFull = [](int code) { return errorDatagram(code, "Disk full"); };
    const auto closed = [&](const std::string& how, int blocks) {
        return path + ", Closed " + how + ", " + std::to_string(blocks) + " blocks sent.";
    };
    const auto clientError = [&](int code, int blocks) {
        return clientLine(
            4, closed("with client Error #" + std::to_string(code) + " \"Disk full\"", blocks));
    };
    // The file's size, the ACKs (1, 2, ...) before the event, the event, its result, the state
    // it leads to, the blocks it sends (an ERROR as -5), and its log lines.
    using Row = std::tuple<std::size_t, int, Bytes, HandlerResult,
                           std::optional<ReadSession::State>, Blocks, Lines>;
    // clang-format off
    const Row rows[] = {
        // Without a transfer; the codec's own table has the rest.
        {kNone,       0, {},                 Unusable,    Over, {},   {unknown}},
        {kNone,       0, wire({0, 6, 0, 0}), Unusable,    Over, {},   {unknown}},
        {kNone,       0, rrq("a", "binary"), Unusable,    Over, {},   {invalid(1)}},
        {kNone,       0, wire({0, 5, 0}),    Unusable,    Over, {},   {invalid(5)}},
        {kNone,       0, wire({0, 2, "a", 0}), SessionOver, Over, {-5}, {writeRefused}},
        {kNone,       0, ack(1),             Ignored,     Over, {},   {noSession("ACK")}},
        {kNone,       0, diskFull(0),        Ignored,     Over, {},   {noSession("ERROR")}},
        {kNone,       0, wire({0, 3, 0, 1, "d"}), Ignored, Over, {},  {}},
        // A running transfer.
        {kFourBlocks, 0, again,       Handled,     Sending,       {1}, {}},  // block 1 may be lost
        {100,         0, again,       Handled,     LastBlockSent, {1}, {}},
        {kFourBlocks, 1, again,       Ignored,     Sending,       {},  {request}},
        {kFourBlocks, 3, again,       Ignored,     LastBlockSent, {},  {request}},
        {kFourBlocks, 2, ack(1),      Ignored,     Sending,       {},  {duplicate}},  // two behind
        {kFourBlocks, 2, ack(4),      Ignored,     Sending,       {},  {duplicate}},  // one ahead
        {kFourBlocks, 2, ack(2),      Handled,     Sending,       {3}, {}},  // previous: resend
        {kFourBlocks, 0, ack(0),      Handled,     Sending,       {1}, {}},
        {kFourBlocks, 1, ack(2),      Handled,     Sending,       {3}, {}},  // current: next
        {kFourBlocks, 2, ack(3),      Handled,     LastBlockSent, {4}, {}},
        {kFourBlocks, 3, ack(3),      Handled,     LastBlockSent, {4}, {}},
        {kFourBlocks, 3, ack(2),      Ignored,     LastBlockSent, {},  {duplicate}},
        {kFourBlocks, 3, ack(4),      SessionOver, Over,          {},
         {clientLine(6, path + ", Served with 4 blocks.")}},
        {100,         0, ack(1),      SessionOver, Over,          {},
         {clientLine(6, path + ", Served with 1 blocks.")}},
        {kFourBlocks, 1, diskFull(3), SessionOver, Over,          {},  {clientError(3, 2)}},
        {100,         0, diskFull(0), SessionOver, Over,          {},  {clientError(0, 1)}},
        // A request for another file replaces the transfer.
        {kFourBlocks, 1, rrq(other),  Handled,     LastBlockSent, {1},
         {clientLine(5, closed("by a new Read Request", 2)), clientLine(6, other + ", Connected.")}},
        // A write request or a DATA packet leaves a running read alone.
        {kFourBlocks, 1, wire({0, 2}), SessionOver, Sending,      {-5}, {writeRefused}},
        {kFourBlocks, 1, wire({0, 3, 0, 2, "d"}), Ignored, Sending, {}, {}},
    };
    // clang-format on
    for (const auto& [size, acksBefore, packet, result, next, sent, lines] : rows) {
        SCOPED_TRACE(::testing::Message() << size << " bytes, " << acksBefore << " ACKs, "
                                          << ::testing::PrintToString(packet));
        if (size != kNone) {
            serve(kClient, size);
        }
        for (int block = 1; block <= acksBefore; ++block) {
            ASSERT_EQ(ackNow(block), Handled);
        }
        forget();
        EXPECT_EQ(dispatch(kClient, packet), result);
        EXPECT_EQ(session() ? std::optional(session()->state()) : Over, next);
        EXPECT_EQ(takeSentBlocks(), sent);
        EXPECT_EQ(log.take(), lines);
        dispatcher.removeSession(kClient);
    }
    dispatch(kClient, wire({0, 2}));
    EXPECT_EQ(takeSent(), (Sent{{kClient, wire({0, 5, 0, 4, "WRQ not supported yet.", 0})}}));
}

TEST_F(EngineTest, FiveResendsPerBlockSharedByRequestsAcksAndTicksAndAFailedSendClose) {
    // The triggers: a repeated request (R), an ACK of the block before the current one (A), a
    // tick (T), an ACK of the current block (N), which sends the next block, and a stale ACK two
    // behind (O); F is an N whose send fails, L an A whose send is lost to errors about other
    // clients' datagrams, which is no failure: it counts as a resend. Each comes 11 to 13 s
    // after the one before, in lower case 5 s after it: progress renews the silence clock, and
    // packets that are only noted do not. Then the block each sends (- for none). Block 1 is the
    // last of the smaller file.
    const std::tuple<std::size_t, std::string, std::string> mixes[] = {
        {kFourBlocks, "TTTTTT", "11111-"},
        {kFourBlocks, "RTARTA", "11111-"},
        {100, "TAATRR", "11111-"},
        {kFourBlocks, "ARARRNAATTAA", "11111222222-"},
        {kFourBlocks, "NtrotTTTTT", "2---22222-"},
        {kFourBlocks, "NNF", "234"},
        {kFourBlocks, "NLLLLLL", "222222-"}};
    for (const auto& [size, triggers, expected] : mixes) {
        transport.result = net::SendResult::Sent;
        const auto path = serve(kClient, size);
        auto current = takeSent().at(0).second;
        forget();
        dispatcher.tick(kStart + 10);  // not more than 10 s of silence yet
        std::time_t now = kStart;
        int block = 1;
        for (std::size_t i = 0; i < triggers.size(); ++i) {
            SCOPED_TRACE(triggers.substr(0, i + 1));
            const bool soon = std::islower(triggers[i]);
            const char trigger = static_cast<char>(std::toupper(triggers[i]));
            now += soon ? 5 : 11 + static_cast<std::time_t>(i % 3);
            transport.result = trigger == 'F'   ? net::SendResult::Failed
                               : trigger == 'L' ? net::SendResult::LostToOthers
                                                : net::SendResult::Sent;
            if (trigger == 'T') {
                dispatcher.tick(now);
            } else {
                const int behind = trigger == 'O' ? 2 : trigger == 'A' || trigger == 'L';
                dispatch(kClient, trigger == 'R' ? rrq(path) : ack(block - behind), now);
            }
            block += trigger == 'N' || trigger == 'F';
            const auto sent = takeSent();
            ASSERT_EQ(sent.size(), expected[i] == '-' ? 0u : 1u);
            for (const auto& [to, bytes] : sent) {
                EXPECT_EQ(wireNumber(bytes, 2), expected[i] - '0');
                EXPECT_TRUE(trigger == 'N' || trigger == 'F' ||
                            bytes == current);  // resent as sent
                current = bytes;
            }
        }
        EXPECT_EQ(session(), nullptr);
        // Only the packets that are merely noted (r, o) leave lines of their own.
        auto lines = log.take();
        EXPECT_EQ(lines.size(), 1 + std::count_if(triggers.begin(), triggers.end(),
                                                  [](char c) { return c == 'r' || c == 'o'; }));
        EXPECT_EQ(lastOf(lines), clientLine(4, path + ", Closed with Socket Error, " +
                                                   std::to_string(block) + " blocks sent."));
        EXPECT_EQ(events.take(), Lines{event("Failed", "Socket Error")});
    }
}

TEST_F(EngineTest, WholeTransfersSendTheFileAndReportOnTheWay) {
    // The largest file ends with the empty block 65,536, sent as block 0 and acknowledged by ACK 0.
    const std::size_t sizes[] = {0, 512, 1000, 9 * 512 + 100, 400 * 512 + 1, 33'553'920};
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
        const auto size = sizes[i];
        const auto mode = std::array{"octet", "NetAscii", "mail"}[i % 3];
        SCOPED_TRACE(::testing::Message() << size << " bytes, " << mode);
        const auto path = files.write("file-1069", size < (1 << 20) ? pattern(size) : "", size);
        ASSERT_EQ(dispatch(kClient, rrq(path, mode)), Handled);
        const int blocks = static_cast<int>(size / 512) + 1;
        std::string received;
        for (int block = 1; block <= blocks; ++block) {
            const auto sent = takeSent();
            ASSERT_EQ(sent.size(), 1u);
            ASSERT_EQ(wireNumber(sent[0].second, 2), block & 0xFFFF);
            received.append(sent[0].second.begin() + 4, sent[0].second.end());
            ASSERT_EQ(ackNow(block), block == blocks ? SessionOver : Handled);
        }
        EXPECT_TRUE(takeSent().empty());
        EXPECT_EQ(received, contentOf(path));
        Lines lines{clientLine(6, path + ", Connected.")};
        Lines reported{event("Started", std::to_string(size) + " " + path + " at 1700000000")};
        for (int block = 10; block <= blocks; block += 10) {
            reported.push_back(event("Progress", std::to_string(block)));
            if (block % 200 == 0) {
                lines.push_back(clientLine(7, path + ", Transmit in Progress, " +
                                                  std::to_string(block) + " blocks sent..."));
            }
        }
        lines.push_back(
            clientLine(6, path + ", Served with " + std::to_string(blocks) + " blocks."));
        reported.push_back(event("Progress", std::to_string(blocks)));  // even a multiple of 10
        reported.push_back(event("Done"));
        EXPECT_EQ(log.take(), lines);
        EXPECT_EQ(events.take(), reported);
    }
}

TEST_F(EngineTest, ClientTextIsEscapedAndEachOfTwoIsCutSoThatTheLineKeepsItsOutcome) {
    // DEL: a control byte that Windows file names may hold too.
    const auto path = files.write(std::string(60, 'n') + "\x7f", pattern(kFourBlocks));
    const auto shown = path.substr(0, path.size() - 1) + "\\x7F";
    EXPECT_EQ(dispatch(kClient, rrq(path)), Handled);
    EXPECT_EQ(events.take(),
              Lines{event("Started", "1546 " + shown + " at 1700000000")});  // the whole name
    forget();
    const std::string message = "Disk\nfull" + std::string(2000, 'm');
    EXPECT_EQ(dispatch(kClient, errorDatagram(0x1234, message)), SessionOver);
    EXPECT_TRUE(takeSent().empty());
    // The reason is cut to fit its 1,024-byte buffer, each text in the line at 48 characters.
    const auto reason =
        ("Client Error #4660 \"Disk\\x0Afull" + std::string(2000, 'm')).substr(0, 1019) + "...\"";
    EXPECT_EQ(events.take(), Lines{event("Failed", reason)});
    EXPECT_EQ(log.take(),
              Lines{clientLine(4, shown.substr(0, 45) + "..., Closed with client Error " +
                                      "#4660 \"Disk\\x0Afull" + std::string(33, 'm') +
                                      "...\", 1 blocks sent.")});
}

// Links, FIFOs, sockets and /proc are POSIX's; the Windows names are in the end-to-end test.
#ifndef _WIN32
TEST_F(EngineTest, NamesResolveInsideTheServedFolderAndNothingElseIsOpenedOrBlocks) {
    const auto root = files.root;
    for (const auto* folder : {"etc", "sub", "dir"}) {
        std::filesystem::create_directories(files.path(folder));
    }
    files.write("etc/passwd", "the folder's own passwd");
    files.write("boot.bin", "boot");
    files.write("Quillet.log", "other clients' addresses");
    for (const auto& [target, link] : {std::pair{"/etc/passwd", "absolute-link"},
                                       {"../../../../../../etc/passwd", "relative-link"},
                                       {"../boot.bin", "sub/inner-link"},
                                       {"Quillet.log", "log-link"}}) {
        std::filesystem::create_symlink(target, files.path(link));
    }
    ASSERT_EQ(::mkfifo(files.path("fifo").c_str(), 0600), 0);
    const int unixSocket = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, files.path("socket").c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(unixSocket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    files.write("too-large.bin", "", 33'553'920 + 1);
    const std::string passwd = "the folder's own passwd", notFound = "File not found.",
                      refused = "Access violation.";
    // The requested name, the ERROR code (-1: served) with its text or the content served, and
    // the name as the log shows it (empty: as requested).
    const std::tuple<std::string, int, std::string, std::string> cases[] = {
        {"/etc/passwd", -1, passwd, ""},
        {"//etc/passwd", -1, passwd, ""},
        {root + "/etc/passwd", -1, passwd, ""},
        {"absolute-link", -1, passwd, ""},
        {"relative-link", -1, passwd, ""},
        {"/sub/inner-link", -1, "boot", ""},
        {root + "boot.bin", 1, notFound, ""},  // the folder's path, but not a folder of it
        {"/proc/self/environ", 1, notFound, ""},
        {"/dev/null", 1, notFound, ""},
        {"dir", 1, notFound, ""},
        {"fifo", 1, notFound, ""},
        {"socket", 1, notFound, ""},
        {"too-large.bin", 0, "File Too Large.", ""},
        {"a..b", 2, refused, ""},
        {"../etc/passwd", 2, refused, ""},
        {"Quillet.log", 2, refused, ""},
        {"/./Quillet.log", 2, refused, ""},
        {"Quillet.log.bak", 2, refused, ""},
        {"log-link", 2, refused, ""},
        {"forged\r\n\x1b[0m", 1, notFound, "forged\\x0D\\x0A\\x1B[0m"},
        {std::string(100, 'm'), 1, notFound, ""},  // as long as a logged name may be: whole
        {std::string(1000, 'n'), 1, notFound, std::string(97, 'n') + "..."},
    };
    for (const auto& [name, code, text, logged] : cases) {
        SCOPED_TRACE(name);
        auto result = std::async(std::launch::async,
                                 [&, datagram = rrq(name)] { return dispatch(kClient, datagram); });
        if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "the engine blocked";
            ::close(::open(files.path("fifo").c_str(), O_WRONLY | O_NONBLOCK));
        }
        const bool served = code < 0;
        EXPECT_EQ(result.get(), served ? Handled : SessionOver);
        const auto reply = served ? wire({0, 3, 0, 1, text}) : wire({0, 5, 0, code, text, 0});
        EXPECT_EQ(takeSent(), (Sent{{kClient, reply}}));
        const auto shown = (logged.empty() ? name : logged) + ", ";
        EXPECT_EQ(log.take(),
                  Lines{clientLine(served ? 6 : 5, shown + (served ? "Connected." : text))});
        EXPECT_EQ(dispatcher.sessionCount(), served ? 1u : 0u);
        dispatcher.removeSession(kClient);
    }
    ::close(unixSocket);
    // A dispatcher without a folder that names can be confined to serves nothing.
    RequestDispatcher unconfined;
    unconfined.setTransport(&transport);
    EXPECT_EQ(unconfined.dispatch(kClient, rrq("boot.bin"), kStart), SessionOver);
    EXPECT_EQ(takeSent().at(0).second, wire({0, 5, 0, 2, refused, 0}));
}
#else
// A drive root ("C:\") as the served folder, the names below it absolute or rooted.
TEST_F(EngineTest, ADriveRootServesAsTheFolder) {
    files.write("boot.bin", "boot");
    RequestDispatcher atRoot;
    atRoot.setTransport(&transport);
    atRoot.serveFolder(ServedFolder::open(files.root.substr(0, 3)));
    for (const auto& name : {files.root + "/boot.bin", files.root.substr(2) + "\\boot.bin"}) {
        EXPECT_EQ(atRoot.dispatch(kClient, rrq(name), kStart), Handled) << name;
        EXPECT_EQ(takeSent(), (Sent{{kClient, wire({0, 3, 0, 1, "boot"})}})) << name;
        atRoot.removeSession(kClient);
    }
}
#endif

TEST_F(EngineTest, RequestsOverTheSessionCapOrWithoutDescriptorsAreToldServerBusy) {
    RequestDispatcher capped(4);
    test::setUpDispatcher(capped, transport, log, events, files.root);
    const auto path = files.write("small.bin", "small");  // one block: ACK 1 ends its transfer
    const auto busy = wire({0, 5, 0, 0, "Server Busy.", 0});
    const auto v4 = [](std::uint32_t host, std::uint16_t port) {
        return client(0x0A000000 + host, port);
    };
    const auto v6 = [](std::uint16_t first, std::uint16_t net, std::uint16_t last, unsigned scope) {
        return ipv6Client({first, 0xDB8, 0, net, 0, 0, 0, last}, 7, scope);
    };
    // One host holds at most half the cap, all hosts the cap; a session that ends makes room.
    // IPv6 hosts count by their /64 (a link-local one with its interface); clients of either
    // family on the same port are told apart, and an IPv4-mapped one is its IPv4 self.
    // clang-format off
    const std::tuple<ClientEndpoint, Bytes, HandlerResult> rows[] = {
        {v4(1, 1), rrq(path), Handled},    {v4(1, 2), rrq(path), Handled},
        {v4(1, 3), rrq(path), SessionOver}, {v4(2, 1), rrq(path), Handled},
        {v4(3, 1), rrq(path), Handled},    {v4(4, 1), rrq(path), SessionOver},
        {v4(1, 1), ack(1), SessionOver},   {v4(1, 3), rrq(path), Handled},
        {v4(1, 2), ack(1), SessionOver},   {v4(2, 1), ack(1), SessionOver},
        {v4(3, 1), ack(1), SessionOver},   {v4(1, 3), ack(1), SessionOver},
        {v4(1, 7), rrq(path), Handled},    {v6(0x2001, 1, 7, 0), rrq(path), Handled},
        {v6(0x2001, 1, 8, 0), rrq(path), Handled}, {v6(0x2001, 1, 9, 0), rrq(path), SessionOver},
        {ipv6Client({0, 0, 0, 0, 0, 0xFFFF, 0x0A00, 1}, 7), ack(1), SessionOver},
        {v6(0x2001, 1, 7, 0), ack(1), SessionOver},
        {v6(0xFE80, 0, 1, 1), rrq(path), Handled}, {v6(0xFE80, 0, 2, 1), rrq(path), Handled},
        {v6(0xFE80, 0, 3, 1), rrq(path), SessionOver}, {v6(0xFE80, 0, 3, 2), rrq(path), Handled}};
    // clang-format on
    for (const auto& [from, datagram, result] : rows) {
        EXPECT_EQ(capped.dispatch(from, datagram, kStart), result) << endpointText(from);
        const auto sent = takeSent();
        if (datagram[1] == 1) {  // a request: block 1 or "Server Busy.", to its client
            ASSERT_EQ(sent.size(), 1u) << endpointText(from);
            EXPECT_EQ(sent[0].first, from);
            EXPECT_EQ(sent[0].second == busy, result == SessionOver) << endpointText(from);
        }
    }
    EXPECT_EQ(capped.sessionCount(), 4u);
#ifndef _WIN32
    // No descriptor left: a limit just below the lowest free one.
    capped.removeSession(v6(0xFE80, 0, 3, 2));
    log.take();
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit exhausted{static_cast<rlim_t>(lowestFree), saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &exhausted), 0);
    const auto result = capped.dispatch(v4(5, 1), rrq(path), kStart);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(result, SessionOver);
    EXPECT_EQ(lastOf(takeSent()).second, busy);
    EXPECT_EQ(log.take(), Lines{clientLine(4, path + ", Refused, Server Busy.", v4(5, 1))});
#endif
}

TEST_F(EngineTest, LinesAboutClientsAreLimitedPerHostAndInAllEachSecondAndTheRestCounted) {
    const auto invalid = wire({0, 9}), refused = wire({0, 2}), missing = rrq("missing");
    const auto invalids = [](int n) {
        return "4 " + std::to_string(n) + " more Invalid Packets Ignored.";
    };
    const auto refusals = [](int n) {
        return "5 " + std::to_string(n) + " more lines about refused requests not written.";
    };
    // Hosts, the datagrams each sends in one second (the kinds in turn; ACK 3 is ahead of a
    // running transfer), the lines written in that second, and the counts written after it.
    const std::tuple<int, int, std::vector<Bytes>, std::size_t, Lines> rows[] = {
        {1, 30, {invalid, refused}, 20, {invalids(5), refusals(5)}},
        {1, 25, {missing}, 20, {refusals(5)}},
        {1, 25, {ack(3)}, 1 + 20, {refusals(5)}},  // and the transfer's Connected line
        {15, 20, {refused}, 200, {refusals(100)}},
        {12, 25, {invalid}, 200, {invalids(100)}},
    };
    std::time_t now = kStart;
    for (const auto& [hosts, each, kinds, written, counts] : rows) {
        if (kinds[0] == ack(3)) {
            serve(kClient, kFourBlocks, now);
        }
        for (int i = 0; i < hosts * each; ++i) {
            const auto from = hosts == 1 ? kClient : client(0x0A000100 + i / each, 1);
            dispatch(from, kinds[i % kinds.size()], now);
        }
        EXPECT_EQ(log.take().size(), written) << hosts;
        dispatcher.tick(now += 2);
        EXPECT_EQ(log.take(), counts);
    }
}

TEST_F(EngineTest, AFileThatChangesDuringTheTransferEndsWithFileChanged) {
    using Change = std::function<void(const std::string&)>;
    const Change changes[] = {
        [](const std::string& path) { std::ofstream(path, std::ios::app) << "more"; },
        [](const std::string& path) { std::filesystem::resize_file(path, 700); },
        [](const std::string& path) {
            std::filesystem::last_write_time(
                path, std::filesystem::last_write_time(path) + std::chrono::seconds(1));
        },
#ifdef _WIN32
        // One tick of 100 ns: the times are compared as the file system keeps them.
        [](const std::string& path) {
            const HANDLE file = ::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                              nullptr, OPEN_EXISTING, 0, nullptr);
            FILETIME written{};
            ::GetFileTime(file, nullptr, nullptr, &written);
            written.dwLowDateTime ^= 1;
            ::SetFileTime(file, nullptr, nullptr, &written);
            ::CloseHandle(file);
        },
#endif
    };
    // Lock-step, and a window of two blocks of 600 whose second is read after the change.
    for (const auto& change : changes) {
        for (const bool windowed : {false, true}) {
            SCOPED_TRACE(::testing::Message()
                         << &change - changes << (windowed ? " windowed" : ""));
            dispatcher.setNegotiatesOptions(windowed);
            const auto path = files.write("file-1069", pattern(1000));
            dispatch(kClient, rrqWith(path, {"blksize", 0, "600", 0, "windowsize", 0, "2", 0}));
            forget();
            change(path);
            EXPECT_EQ(ackNow(windowed ? 0 : 1), SessionOver);
            EXPECT_EQ(lastOf(takeSent()).second, wire({0, 5, 0, 0, "File Changed.", 0}));
            EXPECT_EQ(log.take(), Lines{clientLine(4, path + ", Closed, File Changed during "
                                                             "Transfer, 1 blocks sent.")});
            EXPECT_EQ(events.take(), Lines{event("Failed", "File Changed")});
        }
    }
}

TEST_F(EngineTest, WindowedTransferResendsFromTheBlockAfterTheLastAcknowledged) {
    dispatcher.setNegotiatesOptions(true);
    const auto path = files.write("windowed.bin", pattern(950));  // nine blocks of 100, one of 50
    const auto request =
        rrqWith(path, {"blksize", 0, "100", 0, "tsize", 0, "0", 0, "windowsize", 0, "4", 0});
    ASSERT_EQ(dispatch(kClient, request), Handled);
    EXPECT_EQ(takeSent(), (Sent{{kClient, wire({0, 6, "blksize", 0, "100", 0, "tsize", 0, "950", 0,
                                                "windowsize", 0, "4", 0})}}));
    EXPECT_EQ(log.take(), (Lines{clientLine(6, path + ", Connected."),
                                 clientLine(6, path + ", Options blksize=100 tsize=950 "
                                                      "windowsize=4.")}));
    EXPECT_EQ(events.take(), Lines{event("Started", "950 " + path + " at 1700000000 in 100")});
    const auto duplicate = clientLine(6, "Duplicated ACK.");
    // Each step: the seconds since the step before, the datagram (none: a tick), its result, the
    // blocks it sends (the OACK as -6), its log lines.
    const std::tuple<int, Bytes, HandlerResult, Blocks, Lines> steps[] = {
        {0, request, Handled, {-6}, {}},         // the OACK may be lost: sent again
        {0, ack(1), Ignored, {}, {duplicate}},   // the transfer waits for ACK 0
        {0, ack(0), Handled, {1, 2, 3, 4}, {}},  // the first window
        {0, ack(2), Handled, {3, 4, 5, 6}, {}},  // 3 lost: the window starts after 2
        {0, ack(2), Ignored, {}, {duplicate}},   // copies of the ACK that come as the window
        {1, ack(2), Ignored, {}, {duplicate}},   // goes out are only noted,
        {1, ack(2), Handled, {3, 4, 5, 6}, {}},  // a repeat more than a second later (a client's
        {0, ack(2), Ignored, {}, {duplicate}},   // retry) gets the window again, once
        {11, {}, Resent, {3}, {}},  // after 10 s of silence the tick resends its first block
        {0, ack(2), Ignored, {}, {duplicate}},
        {2, ack(2), Handled, {3, 4, 5, 6}, {}},
        {0, ack(1), Ignored, {}, {duplicate}},  // older than the last acknowledged
        {0, ack(9), Ignored, {}, {duplicate}},  // ahead of the window
        {0, request, Ignored, {}, {clientLine(6, "Duplicated Read Request.")}},
        {0, ack(6), Handled, {7, 8, 9, 10}, {}},  // the last window ends at block 10
        {0, ack(10), SessionOver, {}, {clientLine(6, path + ", Served with 10 blocks.")}},
    };
    std::string received(950, '?');
    std::time_t now = kStart;
    for (const auto& [seconds, datagram, result, blocks, lines] : steps) {
        SCOPED_TRACE(::testing::PrintToString(datagram));
        now += seconds;
        if (datagram.empty()) {
            dispatcher.tick(now);
        } else {
            EXPECT_EQ(dispatch(kClient, datagram, now), result);
        }
        for (const auto& [to, bytes] : transport.sent) {
            if (const auto block = wireNumber(bytes, 2); wireNumber(bytes, 0) == 3) {
                std::copy(bytes.begin() + 4, bytes.end(), received.begin() + (block - 1) * 100);
            }
        }
        EXPECT_EQ(takeSentBlocks(), blocks);
        EXPECT_EQ(log.take(), lines);
    }
    EXPECT_EQ(received, contentOf(path));
    EXPECT_EQ(transport.runs, 6);  // each window, or its first block, in one run
    EXPECT_EQ(events.take(), (Lines{event("Progress", "10"), event("Done")}));
    // The OACK has the same five resends as a block.
    dispatch(kClient, request);
    forget();
    for (int tick = 1; tick <= 6; ++tick) {
        dispatcher.tick(kStart + 11 * tick);
        EXPECT_EQ(takeSentBlocks(), tick <= 5 ? Blocks{-6} : Blocks{});
    }
    EXPECT_EQ(session(), nullptr);
}

TEST_F(EngineTest, NegotiationAnswersOnlyWithAcceptedOptionsWhenTurnedOn) {
    const auto path = files.write("f.bin", pattern(20 * 1024));
    const auto large = files.write("large.bin", "", 65535 * 8 + 1);
    // Negotiation on, the request, and the length of the one datagram sent (DATA 1 of 512: 516).
    const std::tuple<bool, Bytes, std::size_t> cases[] = {
        {false, rrqWith(path, {"blksize", 0, "1468", 0, "tsize", 0, "0", 0}), 516},
        {true, rrqWith(path, {"blksize", 0, "7", 0, "timeout", 0, "5", 0}), 516},
        {true, rrqWith(files.write("empty.bin", ""), {"tsize", 0, "0", 0}), 4},  // no tsize 0
        {true, rrqWith(path, {"windowsize", 0, "1", 0}), 15},
        {true, rrqWith(large, {"blksize", 0, "8", 0}), 20},  // ERROR 0 "File Too Large."
    };
    for (const auto& [negotiates, request, length] : cases) {
        dispatcher.setNegotiatesOptions(negotiates);
        dispatcher.removeSession(kClient);
        dispatch(kClient, request);
        const auto sent = takeSent();
        ASSERT_EQ(sent.size(), 1u) << ::testing::PrintToString(request);
        EXPECT_EQ(sent[0].second.size(), length) << ::testing::PrintToString(request);
    }
    // A window holds at most 65,468 bytes of DATA, one largest block; the OACK says so (one: none).
    const auto windowed = files.write("windowed.bin", pattern(200'000));
    for (const auto& [size, window] :
         {std::pair{"65464", "1"}, {"1468", "44"}, {"2048", "31"}, {"1091", "59"}, {"512", "64"}}) {
        dispatcher.removeSession(kClient);
        const auto oack = wire({0, 6, "blksize", 0, size, 0});
        dispatch(kClient, rrqWith(windowed, {"blksize", 0, size, 0, "windowsize", 0, "64", 0}));
        EXPECT_EQ(takeSent(), (Sent{{kClient, window == std::string_view("1")
                                                  ? oack
                                                  : wire({"windowsize", 0, window, 0}, oack)}}));
        ASSERT_EQ(ackNow(0), Handled);
        EXPECT_EQ(takeSent().size(), std::stoul(window)) << size;
    }
    // The largest block goes out whole, and progress follows bytes: every 5,120 of them.
    const auto big = files.write("big.bin", pattern(2 * 65464));
    dispatch(kClient, rrqWith(big, {"blksize", 0, "65464", 0}));
    ASSERT_EQ(ackNow(0), Handled);
    EXPECT_EQ(takeSent().at(1).second.size(), 4u + 65464u);  // after the OACK
    events.take();
    const auto other = client(0x0A010204, 1069);
    dispatch(other, rrqWith(path, {"blksize", 0, "1024", 0, "windowsize", 0, "64", 0}));
    ASSERT_EQ(dispatch(other, ack(0)), Handled);
    EXPECT_EQ(takeSentBlocks().size(), 1u + 21u);  // the OACK, blocks 1 to 21 of 20 KiB
    EXPECT_EQ(events.take(),
              (Lines{event("Started", "20480 " + path + " at 1700000000 in 1024", other),
                     event("Progress", "5", other), event("Progress", "10", other),
                     event("Progress", "15", other), event("Progress", "20", other)}));
}

}  // namespace
}  // namespace quillet
