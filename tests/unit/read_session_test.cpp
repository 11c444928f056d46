// One client's read transfer: the state table, the shared resend budget, progress reports, the
// silence timer, and the files that are refused or fail while being read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "tftp/read_session.h"

namespace quillet {
namespace {

using testing::ack;
using testing::Bytes;
using testing::clientLine;
using testing::errorDatagram;
using testing::kClient;
using testing::LogEntry;
using testing::RecordedEvent;
using testing::rrq;
using testing::wire;
using State = ReadSession::State;
using Kind = RecordedEvent::Kind;

constexpr std::size_t kFourBlocks = 3 * 512 + 10;  // blocks 1-3 full, block 4 of 10 bytes

class ReadSessionTest : public testing::EngineFixture {
  protected:
    // One thing that reaches a session: a packet from its client, or the periodic tick.
    struct Step {
        enum class Kind { Rrq, Ack, Error, Tick };
        Kind kind;
        int value = 0;  // ACK block, ERROR code, or seconds of silence before a tick
    };

    HandlerResult apply(ReadSession& session, const Step& step) {
        switch (step.kind) {
            case Step::Kind::Rrq:
                return session.onReadRequest(ReadRequestPacket(kClient, rrq(path_)), now_);
            case Step::Kind::Ack:
                return session.onAck(AckPacket(kClient, ack(std::uint16_t(step.value))), now_);
            case Step::Kind::Error:
                return session.onError(ErrorPacket(kClient, errorDatagram(step.value, "Disk full")),
                                       now_);
            case Step::Kind::Tick:
                return session.tick(now_ + step.value);
        }
        return HandlerResult::Unusable;
    }

    // Serves a file of `size` bytes to kClient through the dispatcher, starting at now_.
    std::string start(std::size_t size, std::string_view mode = "octet") {
        path_ = files.writePattern("served.bin", size);
        EXPECT_EQ(dispatch(kClient, rrq(path_, mode), now_), HandlerResult::Handled);
        return path_;
    }

    HandlerResult ackNow(int block) { return dispatch(kClient, ack(std::uint16_t(block)), now_); }

    const ReadSession* session() { return dispatcher.findSession(kClient); }

    std::string path_;
    std::time_t now_ = kStart;
};

TEST_F(ReadSessionTest, StateTableOfARunningTransfer) {
    using enum Step::Kind;
    using enum HandlerResult;
    using enum ReadSession::State;
    const LogEntry duplicateRequest{6, clientLine("Duplicated Read Request.")};
    const LogEntry duplicateAck{6, clientLine("Duplicated ACK.")};
    const LogEntry served{6, clientLine("{file}, Served with 4 blocks.")};
    const LogEntry errorAtBlock2{4, clientLine("{file}, Closed with client Error #3 \"Disk full\", "
                                               "2 blocks sent.")};
    const LogEntry errorAtBlock1{4, clientLine("{file}, Closed with client Error #0 \"Disk full\", "
                                               "1 blocks sent.")};
    struct Row {
        const char* name;
        std::size_t fileSize;
        int acksBefore;  // ACK 1, 2, ... sent before the event
        Step event;
        HandlerResult result;
        State next;
        std::vector<int> sent;         // DATA blocks the event sends
        std::optional<LogEntry> line;  // "{file}" stands for the served file's path
    };
    // clang-format off
    const Row rows[] = {
        {"Sending: RRQ while block 1 is out resends it",
         kFourBlocks, 0, {Rrq}, Handled, Sending, {1}, {}},
        {"LastBlockSent: RRQ while block 1 is out resends it",
         100, 0, {Rrq}, Handled, LastBlockSent, {1}, {}},
        {"Sending: RRQ once block 1 is acknowledged is a duplicate",
         kFourBlocks, 1, {Rrq}, Ignored, Sending, {}, duplicateRequest},
        {"LastBlockSent: RRQ is a duplicate",
         kFourBlocks, 3, {Rrq}, Ignored, LastBlockSent, {}, duplicateRequest},
        {"Sending: ACK two behind is a duplicate",
         kFourBlocks, 2, {Ack, 1}, Ignored, Sending, {}, duplicateAck},
        {"Sending: ACK one ahead is a duplicate",
         kFourBlocks, 2, {Ack, 4}, Ignored, Sending, {}, duplicateAck},
        {"Sending: ACK 65535 is a duplicate",
         kFourBlocks, 2, {Ack, 65535}, Ignored, Sending, {}, duplicateAck},
        {"Sending: ACK of the previous block resends the current",
         kFourBlocks, 2, {Ack, 2}, Handled, Sending, {3}, {}},
        {"Sending: ACK 0 while block 1 is out resends block 1",
         kFourBlocks, 0, {Ack, 0}, Handled, Sending, {1}, {}},
        {"Sending: ACK of the current block sends the next",
         kFourBlocks, 1, {Ack, 2}, Handled, Sending, {3}, {}},
        {"Sending: the short block that follows is the last",
         kFourBlocks, 2, {Ack, 3}, Handled, LastBlockSent, {4}, {}},
        {"LastBlockSent: ACK of the previous block resends the last",
         kFourBlocks, 3, {Ack, 3}, Handled, LastBlockSent, {4}, {}},
        {"LastBlockSent: ACK two behind is a duplicate",
         kFourBlocks, 3, {Ack, 2}, Ignored, LastBlockSent, {}, duplicateAck},
        {"LastBlockSent: ACK of the last block ends the transfer",
         kFourBlocks, 3, {Ack, 4}, SessionOver, Closed, {}, served},
        {"Sending: a client ERROR closes",
         kFourBlocks, 1, {Error, 3}, SessionOver, Closed, {}, errorAtBlock2},
        {"LastBlockSent: a client ERROR closes",
         100, 0, {Error, 0}, SessionOver, Closed, {}, errorAtBlock1},
        {"Sending: a tick after 10 s of silence does nothing",
         kFourBlocks, 1, {Tick, 10}, Handled, Sending, {}, {}},
        {"Sending: a tick after 11 s of silence resends",
         kFourBlocks, 1, {Tick, 11}, Resent, Sending, {2}, {}},
        {"LastBlockSent: a tick after 11 s of silence resends",
         100, 0, {Tick, 11}, Resent, LastBlockSent, {1}, {}},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        path_ = files.writePattern("row.bin", row.fileSize);
        ReadSession session(dispatcher);
        ASSERT_EQ(session.state(), State::Idle);
        ASSERT_EQ(apply(session, {Step::Kind::Rrq}), HandlerResult::Handled);
        for (int block = 1; block <= row.acksBefore; ++block) {
            ASSERT_EQ(apply(session, {Step::Kind::Ack, block}), HandlerResult::Handled);
        }
        takeSent();
        takeLog();

        EXPECT_EQ(apply(session, row.event), row.result);
        EXPECT_EQ(session.state(), row.next);
        EXPECT_EQ(takeSentBlocks(), row.sent);
        const auto lines = takeLog();
        if (row.line) {
            auto expected = *row.line;
            if (const auto at = expected.text.find("{file}"); at != std::string::npos) {
                expected.text.replace(at, 6, path_);
            }
            EXPECT_EQ(lines, (std::vector<LogEntry>{expected}));
        } else {
            EXPECT_TRUE(lines.empty()) << lines.front().text;
        }
    }
}

TEST_F(ReadSessionTest, RefusedRequestsGetOneErrorAndOneLine) {
    const int socketDescriptor = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un socketAddress{};
    socketAddress.sun_family = AF_UNIX;
    const auto socketPath = files.path("socket");
    std::strncpy(socketAddress.sun_path, socketPath.c_str(), sizeof socketAddress.sun_path - 1);
    ASSERT_EQ(
        ::bind(socketDescriptor, reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress),
        0);
    struct Case {
        std::string name;
        int code;
        const char* text;
    };
    const Case cases[] = {
        {"../etc/passwd", 2, "Access violation."},
        {"a..b", 2, "Access violation."},
        {files.path("dir/../x"), 2, "Access violation."},
        {files.path("missing.bin"), 1, "File not found."},
        {files.root().string(), 1, "File not found."},
        {"/dev/null", 1, "File not found."},
        {socketPath, 1, "File not found."},
        {files.sparse("too-large.bin", ReadSession::kLargestFile + 1), 0, "File Too Large."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(dispatch(kClient, rrq(c.name)), HandlerResult::SessionOver);
        EXPECT_EQ(dispatcher.sessionCount(), 0u);
        const auto sent = takeSent();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].to, kClient);
        EXPECT_EQ(sent[0].bytes, wire({0, 5, 0, c.code, c.text, 0}));
        EXPECT_EQ(takeLog(), (std::vector<LogEntry>{{5, clientLine(c.name + ", " + c.text)}}));
        EXPECT_TRUE(events.events().empty());
    }
    ::close(socketDescriptor);
}

TEST_F(ReadSessionTest, OpeningAFifoNeverBlocksTheEngine) {
    const auto fifo = files.path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto refused = std::async(std::launch::async, [&] { return dispatch(kClient, rrq(fifo)); });
    if (refused.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // A writer that comes and goes releases the blocked open (and any read after it), so
        // that the test ends; then fail.
        ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
        refused.wait();
        FAIL() << "opening a FIFO blocked the engine";
    }
    EXPECT_EQ(refused.get(), HandlerResult::SessionOver);
    const auto sent = takeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, wire({0, 5, 0, 1, "File not found.", 0}));
}

TEST_F(ReadSessionTest, RelativeNamesResolveAgainstTheWorkingDirectory) {
    files.write("boot.bin", "relative");
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(files.root());
    const auto result = dispatch(kClient, rrq("boot.bin"));
    std::filesystem::current_path(previous);
    EXPECT_EQ(result, HandlerResult::Handled);
    const auto sent = takeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, wire({0, 3, 0, 1, "relative"}));
}

TEST_F(ReadSessionTest, WholeTransfersSendTheFileByteForByteInEveryMode) {
    struct Case {
        std::size_t size;
        const char* mode;
        std::vector<int> payloadLengths;
    };
    const Case cases[] = {
        {0, "octet", {0}},
        {1, "netascii", {1}},
        {511, "mail", {511}},
        {512, "octet", {512, 0}},
        {1000, "netascii", {512, 488}},
        {1024, "octet", {512, 512, 0}},
        {kFourBlocks, "OCTET", {512, 512, 512, 10}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.size << " bytes, " << c.mode);
        const auto path = start(c.size, c.mode);
        std::string received;
        std::vector<int> lengths;
        for (int block = 1; !transport.sent.empty(); ++block) {
            const auto sent = takeSent();
            ASSERT_EQ(sent.size(), 1u);
            ASSERT_EQ(testing::wireNumber(sent[0].bytes, 2), block);
            received.append(sent[0].bytes.begin() + 4, sent[0].bytes.end());
            lengths.push_back(static_cast<int>(sent[0].bytes.size()) - 4);
            const auto result = ackNow(block);
            ASSERT_EQ(result, block == int(c.payloadLengths.size()) ? HandlerResult::SessionOver
                                                                    : HandlerResult::Handled);
        }
        EXPECT_EQ(lengths, c.payloadLengths);
        std::ifstream file(path, std::ios::binary);
        EXPECT_EQ(received, std::string(std::istreambuf_iterator<char>(file), {}));
        EXPECT_EQ(dispatcher.sessionCount(), 0u);

        const auto blocks = static_cast<std::int64_t>(c.payloadLengths.size());
        EXPECT_EQ(takeLog(),
                  (std::vector<LogEntry>{{6, clientLine(path + ", Connected.")},
                                         {6, clientLine(path + ", Served with " +
                                                        std::to_string(blocks) + " blocks.")}}));
        EXPECT_EQ(events.events(),
                  (std::vector<RecordedEvent>{{Kind::Started, kClient, std::int64_t(c.size), path},
                                              {Kind::Progress, kClient, blocks, {}},
                                              {Kind::Done, kClient, 0, {}}}));
        events.clear();
    }
}

TEST_F(ReadSessionTest, ProgressEveryTenBlocksAndALineEveryTwoHundred) {
    const auto path = start(400 * 512 + 1);  // blocks 1 to 401
    for (int block = 1; block <= 401; ++block) {
        ASSERT_EQ(ackNow(block),
                  block == 401 ? HandlerResult::SessionOver : HandlerResult::Handled);
    }
    std::vector<std::int64_t> progress;
    for (const auto& event : events.eventsOf(Kind::Progress)) {
        progress.push_back(event.number);
    }
    std::vector<std::int64_t> expected;
    for (int block = 10; block <= 400; block += 10) {
        expected.push_back(block);
    }
    expected.push_back(401);  // the end reports the total
    EXPECT_EQ(progress, expected);

    std::vector<LogEntry> detail;
    for (const auto& entry : log.entries()) {
        if (entry.level == 7) {
            detail.push_back(entry);
        }
    }
    EXPECT_EQ(detail, (std::vector<LogEntry>{
                          {7, clientLine(path + ", Transmit in Progress, 200 blocks sent...")},
                          {7, clientLine(path + ", Transmit in Progress, 400 blocks sent...")}}));
}

TEST_F(ReadSessionTest, LastBlockNumberThatIsAMultipleOfTenIsReportedTwice) {
    start(9 * 512 + 100);  // blocks 1 to 10
    for (int block = 1; block <= 10; ++block) {
        ackNow(block);
    }
    const auto progress = events.eventsOf(Kind::Progress);
    ASSERT_EQ(progress.size(), 2u);
    EXPECT_EQ(progress[0].number, 10);
    EXPECT_EQ(progress[1].number, 10);
}

TEST_F(ReadSessionTest, SixResendTriggersForOneBlockCloseTheSession) {
    // Repeated requests, duplicate ACKs and silent ticks draw on the same five resends.
    using enum Step::Kind;
    const std::vector<std::pair<const char*, std::vector<Step::Kind>>> mixes = {
        {"ACKs", {Ack, Ack, Ack, Ack, Ack, Ack}},
        {"requests", {Rrq, Rrq, Rrq, Rrq, Rrq, Rrq}},
        {"ticks", {Tick, Tick, Tick, Tick, Tick, Tick}},
        {"mixed, ending with an ACK", {Rrq, Tick, Ack, Rrq, Tick, Ack}},
        {"mixed, ending with a request", {Tick, Ack, Ack, Tick, Rrq, Rrq}},
        {"mixed, ending with a tick", {Ack, Rrq, Ack, Rrq, Rrq, Tick}},
    };
    for (const auto& [name, triggers] : mixes) {
        SCOPED_TRACE(name);
        now_ = kStart;
        const auto path = start(kFourBlocks);
        takeSent();
        takeLog();
        for (std::size_t i = 0; i < triggers.size(); ++i) {
            now_ += 11;
            HandlerResult result{};
            switch (triggers[i]) {
                case Rrq:
                    result = dispatch(kClient, rrq(path), now_);
                    break;
                case Ack:
                    result = ackNow(0);  // the block before block 1
                    break;
                default:
                    dispatcher.tick(now_);
                    result = session() ? HandlerResult::Resent : HandlerResult::SessionOver;
                    break;
            }
            if (i < 5) {
                EXPECT_NE(result, HandlerResult::SessionOver) << "trigger " << i;
                EXPECT_EQ(takeSentBlocks(), (std::vector<int>{1})) << "trigger " << i;
            }
        }
        EXPECT_EQ(session(), nullptr);
        EXPECT_TRUE(takeSent().empty());
        EXPECT_EQ(takeLog(),
                  (std::vector<LogEntry>{
                      {4, clientLine(path + ", Closed with Socket Error, 1 blocks sent.")}}));
        EXPECT_EQ(events.eventsOf(Kind::Failed),
                  (std::vector<RecordedEvent>{{Kind::Failed, kClient, 0, "Socket Error"}}));
        events.clear();
    }
}

TEST_F(ReadSessionTest, EachNewBlockGetsFiveResendsOfItsOwn) {
    start(kFourBlocks);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(ackNow(0), HandlerResult::Handled);
    }
    ASSERT_EQ(ackNow(1), HandlerResult::Handled);  // block 2 goes out; its count starts at 0
    EXPECT_EQ(session()->retries(), 0);
    takeSent();
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(ackNow(1), HandlerResult::Handled);
    }
    EXPECT_EQ(takeSentBlocks(), std::vector<int>(5, 2));
    EXPECT_EQ(ackNow(1), HandlerResult::SessionOver);
}

TEST_F(ReadSessionTest, AResentBlockCarriesTheSamePayload) {
    start(kFourBlocks);
    takeSent();
    ackNow(1);
    const auto original = takeSent();
    ackNow(1);
    dispatcher.tick(now_ + 11);
    const auto resent = takeSent();
    ASSERT_EQ(original.size(), 1u);
    ASSERT_EQ(resent.size(), 2u);
    EXPECT_EQ(resent[0].bytes, original[0].bytes);
    EXPECT_EQ(resent[1].bytes, original[0].bytes);
}

TEST_F(ReadSessionTest, TickResendsOnlyAfterMoreThanTenSecondsOfSilence) {
    const std::vector<std::pair<int, HandlerResult>> cases = {
        {0, HandlerResult::Handled},
        {10, HandlerResult::Handled},
        {11, HandlerResult::Resent},
        {3600, HandlerResult::Resent},
    };
    for (const auto& [silence, expected] : cases) {
        SCOPED_TRACE(silence);
        path_ = files.writePattern("tick.bin", kFourBlocks);
        ReadSession session(dispatcher);
        session.onReadRequest(ReadRequestPacket(kClient, rrq(path_)), kStart);
        takeSent();
        EXPECT_EQ(session.tick(kStart + silence), expected);
        EXPECT_EQ(takeSentBlocks().size(), expected == HandlerResult::Resent ? 1u : 0u);
    }
}

TEST_F(ReadSessionTest, EveryPacketFromTheClientRestartsTheSilence) {
    using enum Step::Kind;
    const std::vector<std::pair<const char*, Step>> packets = {
        {"stale ACK", {Ack, 1}},
        {"ACK of the previous block", {Ack, 2}},
        {"repeated request", {Rrq}},
    };
    for (const auto& [name, packet] : packets) {
        SCOPED_TRACE(name);
        path_ = files.writePattern("silence.bin", kFourBlocks);
        ReadSession session(dispatcher);
        now_ = kStart;
        apply(session, {Rrq});
        apply(session, {Ack, 1});
        apply(session, {Ack, 2});  // block 3 is out
        now_ = kStart + 9;
        apply(session, packet);
        EXPECT_EQ(session.tick(kStart + 19), HandlerResult::Handled);
        EXPECT_EQ(session.tick(kStart + 20), HandlerResult::Resent);
    }
}

TEST_F(ReadSessionTest, FailedSendsCloseWithSocketError) {
    using Mode = testing::RecordingTransport::Mode;
    struct Case {
        const char* name;
        int acksBefore;
        int trigger;  // the ACK that makes the send, or -1 for the request itself
        int blocksInLine;
    };
    const Case cases[] = {
        {"block 1 never leaves", 0, -1, 1},
        {"the next block never leaves", 1, 2, 3},
        {"a resend never leaves", 1, 1, 2},
    };
    for (const auto mode : {Mode::Fail, Mode::SendShort}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(::testing::Message()
                         << c.name << (mode == Mode::Fail ? ", failed" : ", short"));
            path_ = files.writePattern("send.bin", kFourBlocks);
            takeLog();
            events.clear();
            HandlerResult result{};
            if (c.trigger < 0) {
                transport.mode = mode;
                result = dispatch(kClient, rrq(path_));
            } else {
                dispatch(kClient, rrq(path_));
                for (int block = 1; block <= c.acksBefore; ++block) {
                    ackNow(block);
                }
                takeLog();
                events.clear();
                transport.mode = mode;
                result = ackNow(c.trigger);
            }
            EXPECT_EQ(result, HandlerResult::SessionOver);
            EXPECT_EQ(session(), nullptr);
            const auto lines = takeLog();
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines.back(),
                      (LogEntry{4, clientLine(path_ + ", Closed with Socket Error, " +
                                              std::to_string(c.blocksInLine) + " blocks sent.")}));
            EXPECT_EQ(events.eventsOf(Kind::Failed),
                      (std::vector<RecordedEvent>{{Kind::Failed, kClient, 0, "Socket Error"}}));
            transport.mode = Mode::Deliver;
            takeSent();
        }
    }
}

TEST_F(ReadSessionTest, ClientErrorEndsTheTransferWithoutAReply) {
    const auto path = start(kFourBlocks);
    takeSent();
    takeLog();
    const std::string message(2000, 'm');
    EXPECT_EQ(dispatch(kClient, errorDatagram(0x1234, message)), HandlerResult::SessionOver);
    EXPECT_TRUE(takeSent().empty());
    EXPECT_EQ(session(), nullptr);
    const auto failed = events.eventsOf(Kind::Failed);
    ASSERT_EQ(failed.size(), 1u);
    // The reason is cut at its 1,024-byte buffer, the log line at 199 characters.
    EXPECT_EQ(failed[0].text, ("Client Error #4660 \"" + message).substr(0, 1023));
    const auto lines = takeLog();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 4);
    EXPECT_EQ(lines[0].text,
              clientLine(path + ", Closed with client Error #4660 \"" + message).substr(0, 199));
}

TEST_F(ReadSessionTest, ReadErrorEndsTheSessionWithAnErrorToTheClient) {
    // /proc/self/mem is a regular file of size 0 whose read at offset 0 fails (nothing is mapped
    // there): a real read error.
    struct stat status {};
    char probe[1];
    const int descriptor = ::open("/proc/self/mem", O_RDONLY);
    const bool readFails = descriptor >= 0 && ::read(descriptor, probe, 1) < 0;
    if (descriptor >= 0) {
        ::close(descriptor);
    }
    if (::stat("/proc/self/mem", &status) != 0 || !S_ISREG(status.st_mode) || !readFails) {
        GTEST_SKIP() << "/proc/self/mem does not fail to read here";
    }

    EXPECT_EQ(dispatch(kClient, rrq("/proc/self/mem")), HandlerResult::SessionOver);
    EXPECT_EQ(dispatcher.sessionCount(), 0u);
    const auto sent = takeSent();
    ASSERT_EQ(sent.size(), 1u);  // no DATA block for the failed read
    EXPECT_EQ(sent[0].bytes, wire({0, 5, 0, 0, "File Read Error.", 0}));
    EXPECT_EQ(takeLog(),
              (std::vector<LogEntry>{
                  {6, clientLine("/proc/self/mem, Connected.")},
                  {4, clientLine("/proc/self/mem, Closed with Read Error, 0 blocks sent.")}}));
    EXPECT_EQ(events.events(),
              (std::vector<RecordedEvent>{{Kind::Started, kClient, 0, "/proc/self/mem"},
                                          {Kind::Failed, kClient, 0, "Read Error"}}));
}

TEST_F(ReadSessionTest, LargestFileEndsWithEmptyBlockZeroAndAckZeroCompletesIt) {
    // 65,535 full blocks, then the empty block 65,536, whose low 16 bits are 0.
    path_ = files.sparse("largest.bin", ReadSession::kLargestFile);
    ASSERT_EQ(dispatch(kClient, rrq(path_)), HandlerResult::Handled);
    for (int block = 1; block <= 65535; ++block) {
        const auto sent = takeSent();
        ASSERT_EQ(sent.size(), 1u);
        ASSERT_EQ(testing::wireNumber(sent[0].bytes, 2), block);
        ASSERT_EQ(sent[0].bytes.size(), 516u);
        ASSERT_EQ(ackNow(block), HandlerResult::Handled) << "block " << block;
    }
    EXPECT_EQ(takeSent().at(0).bytes, wire({0, 3, 0, 0}));
    EXPECT_EQ(session()->state(), State::LastBlockSent);

    EXPECT_EQ(ackNow(65535), HandlerResult::Handled);  // the previous block: resend block 0
    EXPECT_EQ(takeSent().at(0).bytes, wire({0, 3, 0, 0}));
    EXPECT_EQ(ackNow(0), HandlerResult::SessionOver);
    EXPECT_EQ(log.entries().back(),
              (LogEntry{6, clientLine(path_ + ", Served with 65536 blocks.")}));
    const auto all = events.events();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all.front(),
              (RecordedEvent{Kind::Started, kClient, ReadSession::kLargestFile, path_}));
    EXPECT_EQ(all[all.size() - 2], (RecordedEvent{Kind::Progress, kClient, 65536, {}}));
    EXPECT_EQ(all.back(), (RecordedEvent{Kind::Done, kClient, 0, {}}));
}

}  // namespace
}  // namespace quillet
