// The dispatcher: what it makes of each datagram, what it answers and logs, and how its session
// table keeps clients apart and sweeps silent ones away.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "tftp/packets.h"

namespace quillet {
namespace {

using testing::ack;
using testing::Bytes;
using testing::client;
using testing::clientLine;
using testing::errorDatagram;
using testing::kClient;
using testing::LogEntry;
using testing::RecordedEvent;
using testing::rrq;
using testing::wire;
using Kind = RecordedEvent::Kind;

class RequestDispatcherTest : public testing::EngineFixture {
  protected:
    // Starts serving a file of `size` bytes to `from`; returns the file's path.
    std::string serve(const ClientEndpoint& from, std::size_t size, std::time_t now = kStart) {
        const auto path = files.writePattern("file-" + std::to_string(from.hostPort()), size);
        EXPECT_EQ(dispatch(from, rrq(path), now), HandlerResult::Handled);
        return path;
    }
};

TEST(HandlerResult, KeepsTheNumbersCallersSee) {
    const std::vector<std::pair<HandlerResult, int>> cases = {
        {HandlerResult::Handled, 0},      {HandlerResult::Ignored, -1},
        {HandlerResult::SessionOver, -2}, {HandlerResult::Unusable, -3},
        {HandlerResult::Resent, -4},
    };
    for (const auto& [result, number] : cases) {
        EXPECT_EQ(static_cast<int>(result), number);
    }
}

TEST_F(RequestDispatcherTest, UnrecognisedDatagramsAreLoggedAndNeverAnswered) {
    const std::vector<Bytes> datagrams = {
        {}, {0x00}, {0x01}, wire({0, 0, "a", 0, "octet", 0}), wire({0, 6, 0, 0}), {0xFF, 0xFF},
    };
    for (const auto& datagram : datagrams) {
        SCOPED_TRACE(::testing::PrintToString(datagram));
        EXPECT_EQ(dispatch(kClient, datagram), HandlerResult::Unusable);
        EXPECT_EQ(takeLog(),
                  (std::vector<LogEntry>{{4, clientLine(kClient, "Invalid Packet Ignored.")}}));
    }
    EXPECT_TRUE(takeSent().empty());
    EXPECT_EQ(dispatcher.sessionCount(), 0u);
}

TEST_F(RequestDispatcherTest, InvalidPacketsAreLoggedWithTheirOpcodeAndNeverAnswered) {
    const std::vector<std::pair<Bytes, int>> cases = {
        {rrq("boot.bin", "binary"), 1},
        {wire({0, 1, 0, "octet", 0}), 1},
        {wire({0, 1, "boot.bin", 0, "octet"}), 1},
        {wire({0, 3, 0}), 3},
        {wire({0, 3}), 3},
        {wire({0, 3, 0, 1, std::string(1025, 'd')}), 3},
        {wire({0, 4, 0}), 4},
        {wire({0, 4}), 4},
        {wire({0, 5, 0}), 5},
        {wire({0, 5, 0, 1, "unterminated"}), 5},
    };
    for (const auto& [datagram, opcode] : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "opcode " << opcode << ", " << datagram.size() << " bytes");
        EXPECT_EQ(dispatch(kClient, datagram), HandlerResult::Unusable);
        EXPECT_EQ(takeLog(),
                  (std::vector<LogEntry>{
                      {4, clientLine(kClient, "Invalid Packet with OpCode " +
                                                  std::to_string(opcode) + " Ignored.")}}));
    }
    EXPECT_TRUE(takeSent().empty());
    EXPECT_EQ(dispatcher.sessionCount(), 0u);
}

TEST_F(RequestDispatcherTest, WriteRequestsAreRefusedWithTheTwentySevenByteError) {
    const auto other = client(0xC0A80001, 4000);
    const std::vector<std::pair<ClientEndpoint, Bytes>> cases = {
        {kClient, wire({0, 2, "upload.bin", 0, "octet", 0})},
        {kClient, wire({0, 2})},
        {other, wire({0, 2, 0xFF})},
    };
    for (const auto& [from, datagram] : cases) {
        SCOPED_TRACE(endpointText(from));
        EXPECT_EQ(dispatch(from, datagram), HandlerResult::SessionOver);
        const auto sent = takeSent();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].to, from);
        EXPECT_EQ(sent[0].bytes, wire({0, 5, 0, 4, "WRQ not supported yet.", 0}));
        EXPECT_EQ(sent[0].bytes.size(), 27u);
        EXPECT_EQ(takeLog(),
                  (std::vector<LogEntry>{{5, clientLine(from, "Write Request Ignored")}}));
        EXPECT_EQ(dispatcher.sessionCount(), 0u);
    }
}

TEST_F(RequestDispatcherTest, WriteRequestDuringAReadLeavesTheReadRunning) {
    serve(kClient, 2000);
    dispatch(kClient, ack(1));
    takeSent();
    EXPECT_EQ(dispatch(kClient, wire({0, 2, "x", 0, "octet", 0})), HandlerResult::SessionOver);
    EXPECT_EQ(takeSentBlocks(), (std::vector<int>{-5}));
    ASSERT_NE(dispatcher.findSession(kClient), nullptr);
    EXPECT_EQ(dispatch(kClient, ack(2)), HandlerResult::Handled);
    EXPECT_EQ(takeSentBlocks(), (std::vector<int>{3}));
}

TEST_F(RequestDispatcherTest, AckOrErrorWithoutASessionIsLoggedAndNeverAnswered) {
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {ack(1), "Invalid ACK Packet Ignored, no Session for this client yet."},
        {ack(0), "Invalid ACK Packet Ignored, no Session for this client yet."},
        {errorDatagram(0, "bye"), "Invalid ERROR Packet Ignored, no Session for this client yet."},
    };
    for (const auto& [datagram, text] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(dispatch(kClient, datagram), HandlerResult::Ignored);
        EXPECT_EQ(takeLog(), (std::vector<LogEntry>{{4, clientLine(kClient, text)}}));
        EXPECT_TRUE(takeSent().empty());
        EXPECT_EQ(dispatcher.sessionCount(), 0u);
    }
}

TEST_F(RequestDispatcherTest, DataPacketsAreIgnoredSilentlyEvenFromAClientWithASession) {
    EXPECT_EQ(dispatch(kClient, wire({0, 3, 0, 1, "data"})), HandlerResult::Ignored);
    serve(kClient, 2000);
    takeSent();
    takeLog();
    for (int block : {0, 1, 2}) {
        EXPECT_EQ(dispatch(kClient, wire({0, 3, 0, block}), kStart + 9), HandlerResult::Ignored);
    }
    EXPECT_TRUE(takeSent().empty());
    EXPECT_TRUE(takeLog().empty());
    const auto* session = dispatcher.findSession(kClient);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->blocksSent(), 1);
    EXPECT_EQ(session->retries(), 0);
    // DATA does not count as hearing from the client: the silence still ran from the request.
    dispatcher.tick(kStart + 11);
    EXPECT_EQ(takeSentBlocks(), (std::vector<int>{1}));
}

TEST_F(RequestDispatcherTest, RepeatedRequestGoesToTheExistingSession) {
    const auto first = serve(kClient, 2000);
    const auto firstBlock = takeSent();
    const auto otherFile = files.write("other.bin", "something else");
    EXPECT_EQ(dispatch(kClient, rrq(otherFile)), HandlerResult::Handled);
    EXPECT_EQ(dispatcher.sessionCount(), 1u);
    EXPECT_EQ(dispatcher.findSession(kClient)->fileName(), first);
    EXPECT_EQ(takeSent().at(0).bytes, firstBlock.at(0).bytes);  // block 1 of the first file
}

TEST_F(RequestDispatcherTest, LateAckAfterTheEndFindsNoSession) {
    serve(kClient, 100);
    EXPECT_EQ(dispatch(kClient, ack(1)), HandlerResult::SessionOver);
    EXPECT_EQ(dispatcher.sessionCount(), 0u);
    takeLog();
    EXPECT_EQ(dispatch(kClient, ack(1)), HandlerResult::Ignored);
    EXPECT_EQ(takeLog(),
              (std::vector<LogEntry>{
                  {4, clientLine(kClient,
                                 "Invalid ACK Packet Ignored, no Session for this client yet.")}}));
    // A new request after the end starts afresh.
    serve(kClient, 100);
    EXPECT_EQ(dispatcher.findSession(kClient)->blocksSent(), 1);
}

TEST_F(RequestDispatcherTest, LogLinesAreCutAt199Characters) {
    for (const std::size_t length : {0u, 198u, 199u, 200u, 1000u}) {
        SCOPED_TRACE(length);
        const std::string text(length, 'x');
        dispatcher.log(7, "%s", text.c_str());
        EXPECT_EQ(takeLog(), (std::vector<LogEntry>{{7, text.substr(0, 199)}}));
    }
    // A long requested name in a session's line.
    const std::string name(300, 'n');
    dispatch(kClient, rrq(name));
    const auto lines = takeLog();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, clientLine(kClient, name + ", File not found.").substr(0, 199));
}

TEST_F(RequestDispatcherTest, TransfersRunWithoutLogOrEventSink) {
    dispatcher.setLog(nullptr);
    dispatcher.setEventSink(nullptr);
    dispatcher.log(3, "dropped");
    EXPECT_EQ(dispatch(kClient, {0x00}), HandlerResult::Unusable);
    serve(kClient, 600);
    EXPECT_EQ(dispatch(kClient, ack(1)), HandlerResult::Handled);
    EXPECT_EQ(dispatch(kClient, ack(2)), HandlerResult::SessionOver);
    EXPECT_EQ(takeSentBlocks(), (std::vector<int>{1, 2}));
    EXPECT_TRUE(log.entries().empty());
    EXPECT_TRUE(events.events().empty());
}

TEST_F(RequestDispatcherTest, SendIsTrueOnlyWhenTheWholeDatagramLeaves) {
    using Mode = testing::RecordingTransport::Mode;
    const auto reply = ErrorPacket::reply(kClient, 1, "File not found.");
    ErrorPacket unmarked(kClient);
    unmarked.message = "not marked";
    const WriteRequestPacket neverSent(kClient);
    struct Case {
        const char* name;
        const TftpPacket& packet;
        Mode mode;
        bool result;
        std::size_t datagrams;
        int lastLength;
    };
    const Case cases[] = {
        {"delivered", reply, Mode::Deliver, true, 1, 20},
        {"send failed", reply, Mode::Fail, false, 1, 20},
        {"sent short", reply, Mode::SendShort, false, 1, 20},
        {"not marked valid", unmarked, Mode::Deliver, false, 0, kEncodeNotValid},
        {"a kind that is never sent", neverSent, Mode::Deliver, false, 0, kEncodeUnsupported},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        transport.mode = c.mode;
        EXPECT_EQ(dispatcher.send(c.packet), c.result);
        EXPECT_EQ(takeSent().size(), c.datagrams);
        EXPECT_EQ(dispatcher.lastSendLength(), c.lastLength);
    }
}

TEST_F(RequestDispatcherTest, SilentClientGetsFiveResendsAtTicksThenLosesItsSession) {
    const auto path = serve(kClient, 2000);
    takeSent();
    takeLog();
    dispatcher.tick(kStart + 5);
    EXPECT_TRUE(takeSent().empty());
    // Ticks come 11 to 13 seconds apart.
    const std::time_t ticks[] = {11, 23, 36, 47, 59};
    for (const auto at : ticks) {
        SCOPED_TRACE(at);
        dispatcher.tick(kStart + at);
        const auto sent = takeSent();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].to, kClient);
        EXPECT_EQ(testing::wireNumber(sent[0].bytes, 2), 1);
    }
    EXPECT_TRUE(takeLog().empty());
    dispatcher.tick(kStart + 72);
    EXPECT_TRUE(takeSent().empty());
    EXPECT_EQ(dispatcher.sessionCount(), 0u);
    EXPECT_EQ(takeLog(),
              (std::vector<LogEntry>{
                  {4, clientLine(kClient, path + ", Closed with Socket Error, 1 blocks sent.")}}));
    EXPECT_EQ(events.eventsOf(Kind::Failed),
              (std::vector<RecordedEvent>{{Kind::Failed, kClient, 0, "Socket Error"}}));
}

// Notes how many sessions the table holds at each failure, to show when removal happens.
class TableWatchingEventSink final : public testing::RecordingEventSink {
  public:
    explicit TableWatchingEventSink(const RequestDispatcher& dispatcher)
        : dispatcher_(dispatcher) {}

    bool transferFailed(const ClientEndpoint& endpoint, std::string_view reason) override {
        sessionsAtFailure.push_back(dispatcher_.sessionCount());
        return RecordingEventSink::transferFailed(endpoint, reason);
    }

    std::vector<std::size_t> sessionsAtFailure;

  private:
    const RequestDispatcher& dispatcher_;
};

TEST_F(RequestDispatcherTest, SweepTicksInKeyOrderAndRemovesAfterTheWalk) {
    TableWatchingEventSink watcher(dispatcher);
    dispatcher.setEventSink(&watcher);
    dispatcher.tick(kStart);  // an empty table: nothing happens

    const std::vector<ClientEndpoint> inserted = {client(0x0A000002, 69), client(0xC0A80001, 1),
                                                  client(0xC0A80001, 256), client(0x0A000001, 69)};
    for (const auto& endpoint : inserted) {
        serve(endpoint, 2000);
    }
    for (int tick = 1; tick <= 5; ++tick) {
        dispatcher.tick(kStart + 11 * tick);
    }
    const auto fresh = client(0x0A000003, 69);
    serve(fresh, 2000, kStart + 60);  // heard from recently: kept
    takeSent();
    takeLog();

    dispatcher.tick(kStart + 66);
    const std::vector<ClientEndpoint> keyOrder = {client(0x0A000001, 69), client(0xC0A80001, 256),
                                                  client(0xC0A80001, 1), client(0x0A000002, 69)};
    std::vector<ClientEndpoint> failed;
    for (const auto& event : watcher.eventsOf(Kind::Failed)) {
        failed.push_back(event.endpoint);
    }
    EXPECT_EQ(failed, keyOrder);
    std::vector<std::string> expectedLines;
    for (const auto& endpoint : keyOrder) {
        expectedLines.push_back(
            clientLine(endpoint, files.path("file-" + std::to_string(endpoint.hostPort())) +
                                     ", Closed with Socket Error, 1 blocks sent."));
    }
    EXPECT_EQ(log.texts(), expectedLines);
    EXPECT_EQ(watcher.sessionsAtFailure, std::vector<std::size_t>(4, 5));
    EXPECT_EQ(dispatcher.sessionCount(), 1u);
    EXPECT_NE(dispatcher.findSession(fresh), nullptr);
}

TEST_F(RequestDispatcherTest, ClientsBehindOneAddressAreKeptApart) {
    const auto first = client(0xC0A80A0A, 5000);
    const auto second = client(0xC0A80A0A, 5001);
    const auto firstPath = files.writePattern("first.bin", 1500);
    const auto secondPath = files.write("second.bin", std::string(700, 's'));
    dispatch(first, rrq(firstPath));
    dispatch(second, rrq(secondPath));
    ASSERT_EQ(dispatcher.sessionCount(), 2u);
    takeSent();

    EXPECT_EQ(dispatch(second, ack(1)), HandlerResult::Handled);
    auto sent = takeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to, second);
    EXPECT_EQ(sent[0].bytes, wire({0, 3, 0, 2, std::string(188, 's')}));
    EXPECT_EQ(dispatcher.findSession(first)->blocksSent(), 1);

    EXPECT_EQ(dispatch(first, errorDatagram(0, "cancelled")), HandlerResult::SessionOver);
    EXPECT_EQ(dispatcher.findSession(first), nullptr);
    EXPECT_EQ(dispatch(second, ack(2)), HandlerResult::SessionOver);
    EXPECT_EQ(events.eventsOf(Kind::Failed).at(0).endpoint, first);
    EXPECT_EQ(events.eventsOf(Kind::Done).at(0).endpoint, second);
    EXPECT_TRUE(takeSent().empty());
}

TEST_F(RequestDispatcherTest, ClientRestartingFromANewPortGetsANewSession) {
    const auto oldPort = client(0x0A000005, 3000);
    const auto newPort = client(0x0A000005, 3001);
    serve(oldPort, 100);
    serve(newPort, 100, kStart + 30);
    EXPECT_EQ(dispatcher.sessionCount(), 2u);
    EXPECT_EQ(dispatch(newPort, ack(1), kStart + 31), HandlerResult::SessionOver);
    for (int tick = 1; tick <= 6; ++tick) {
        EXPECT_NE(dispatcher.findSession(oldPort), nullptr) << "tick " << tick;
        dispatcher.tick(kStart + 11 * tick);
    }
    EXPECT_EQ(dispatcher.sessionCount(), 0u);
    EXPECT_EQ(events.eventsOf(Kind::Failed).at(0).endpoint, oldPort);
}

std::size_t openDescriptors() {
    const std::filesystem::directory_iterator entries("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

TEST_F(RequestDispatcherTest, DestroyingTheDispatcherClosesTheFilesOfOpenSessions) {
    const auto path = files.writePattern("open.bin", 5000);
    const auto before = openDescriptors();
    {
        RequestDispatcher engine;
        engine.setTransport(&transport);
        engine.dispatch(client(0x0A000001, 1), rrq(path), kStart);
        engine.dispatch(client(0x0A000002, 2), rrq(path), kStart);
        ASSERT_EQ(engine.sessionCount(), 2u);
        EXPECT_EQ(openDescriptors(), before + 2);
    }
    EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace quillet
