// The window model that every view shows: row texts at the edges of their rules, rows as the
// engine's events change them, sorting and its arrows, clearing, the caps, the log's order, and
// the queue between the engine and the window under a flood.
#include <gtest/gtest.h>

#include <clocale>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "net/local_addresses.h"
#include "test_support.h"
#include "window/message_queue.h"
#include "window/window_model.h"

namespace quillet::window {
namespace {

using namespace test;

/// Client n: 10.0.0.(n % 10) port 1000 + n, so clients 1 and 11 share an address.
ClientEndpoint clientNumber(int n) {
    return client(0x0A000000 + n % 10, static_cast<std::uint16_t>(1000 + n));
}

EngineMessage started(const ClientEndpoint& from, std::int64_t size, std::string name = "f",
                      std::time_t start = 0, std::int32_t blockSize = 512) {
    return TransferStartedMessage{from, std::make_unique<TransferRecord>(
                                            TransferRecord{from, name, size, start, 0, blockSize})};
}

/// Notes every change the model reports: "+0-0" rows inserted, "-2-3" removed, "c1-4:4" cells
/// changed, "s2,0,1" sorted (each old row's new place), "l+5" and "l-0" log lines.
struct RecordingObserver final : WindowModelObserver {
    void note(std::string text) { changes += (changes.empty() ? "" : " ") + text; }
    static std::string span(std::size_t first, std::size_t last) {
        return std::to_string(first) + "-" + std::to_string(last);
    }
    void rowsInserting(std::size_t first, std::size_t last) override {
        note("+" + span(first, last));
    }
    void rowsInserted() override {}
    void rowsRemoving(std::size_t first, std::size_t last) override {
        note("-" + span(first, last));
    }
    void rowsRemoved() override {}
    void cellsChanged(std::size_t first, std::size_t last, int from, int to) override {
        note("c" + span(first, last) + ":" + std::to_string(from) +
             (from == to ? "" : "-" + std::to_string(to)));
    }
    void rowsReordering() override {}
    void rowsReordered(std::span<const std::size_t> newPositionOf) override {
        std::string moves = "s";
        for (const std::size_t to : newPositionOf) {
            moves += (moves.size() > 1 ? "," : "") + std::to_string(to);
        }
        note(moves);
    }
    void logLinesInserting(std::size_t first, std::size_t) override {
        note("l+" + std::to_string(first));
    }
    void logLinesInserted() override {}
    void logLinesRemoving(std::size_t first, std::size_t) override {
        note("l-" + std::to_string(first));
    }
    void logLinesRemoved() override {}
    std::string changes;
};

/// Plays steps "<letter><client>[=value]": S started (size[/block size]), P progress (blocks
/// sent), D done, F failed (reason); C clicks header <n>, X clears entries, T one elapsed pass.
void play(WindowModel& model, const std::string& script) {
    std::istringstream steps(script);
    for (std::string step; std::getline(steps, step, ',');) {
        const auto equals = step.find('=');
        const int n = step.size() > 1 ? std::stoi(step.substr(1, equals - 1)) : 0;
        const std::string value = equals == std::string::npos ? "" : step.substr(equals + 1);
        const ClientEndpoint from = clientNumber(n);
        EngineMessage message;
        switch (step[0]) {
            case 'X':
                model.clearEntries();
                continue;
            case 'T':
                model.elapsedPass();
                continue;
            case 'C':
                model.headerClicked(n);
                continue;
            case 'S': {
                const auto slash = value.find('/');
                message =
                    started(from, std::stoll(value.substr(0, slash)), "f", 0,
                            slash == std::string::npos ? 512 : std::stoi(value.substr(slash + 1)));
                break;
            }
            case 'P':
                message = TransferProgressMessage{from, std::stoi(value)};
                break;
            case 'D':
                message = TransferDoneMessage{from};
                break;
            default:
                message = TransferFailedMessage{from, value};
        }
        model.apply(message);
    }
}

/// The texts of a column, top to bottom; a running row's percentage and state must agree with
/// its progress text.
std::string column(const WindowModel& model, int index) {
    std::string texts;
    for (std::size_t position = 0; position < model.rowCount(); ++position) {
        const TransferRow& row = model.row(position);
        EXPECT_EQ(row.percent(), row.isRunning() ? std::stoi(row.text(kProgressColumn)) : -1);
        texts += (position == 0 ? "" : "|") + row.text(index);
    }
    return texts;
}

TEST(WindowModel, RowTextsAtTheEdgesOfEachRuleInAnyLocale) {
    useUtc();
    const std::string before = std::setlocale(LC_ALL, nullptr);
    for (const char* locale : {"C", "de_DE.UTF-8"}) {
        // Without the German locale, the C one alone is tried.
        if (std::setlocale(LC_ALL, locale) == nullptr) {
            continue;
        }
        SCOPED_TRACE(locale);
        const std::tuple<std::string, std::string> cases[] = {
            {sizeText(0), "0B"},
            {sizeText(1023), "1023B"},
            {sizeText(1024), "1.00kB"},
            {sizeText(1048575), "1024.00kB"},
            {sizeText(1048576), "1.00MB"},
            {sizeText(33553920), "32.00MB"},
            {elapsedText(59), "0:59"},
            {elapsedText(60), "1:00"},
            {elapsedText(3725), "62:05"},
            {startTimeText(1793404800 + 23 * 3600 + 59 * 60), "Oct-31 23:59:00"},
            {startTimeText(1767225600), "Jan-01 00:00:00"},
        };
        for (const auto& [text, expected] : cases) {
            EXPECT_EQ(text, expected);
        }
    }
    std::setlocale(LC_ALL, before.c_str());
}

// Blocks: 10 of 5000 bytes, 12 of 6000, 25 of 12800, 35,715 of 50 MB in blocks of 1468.
TEST(WindowModel, EventsChangeTheRowsAndTellTheView) {
    const std::tuple<const char*, int, std::string, std::string> cases[] = {
        {"S1=12800,P1=10,S2=52428800/1468,P2=17858", kProgressColumn, "40|50",
         "+0-0 c0-0:4 +1-1 c1-1:4"},
        // Above 100 (an empty last block) and a repeated percentage change nothing.
        {"S1=0,P1=1,S2=1536,P2=2,P2=2,P2=4", kProgressColumn, "100|66", "+0-0 c0-0:4 +1-1 c1-1:4"},
        {"S1=12800,P1=25,D1,P1=5,S2=5000,F2=Client Error #0 \"bye\",P2=1", kProgressColumn,
         "Done|Client Error #0 \"bye\"", "+0-0 c0-0:4 c0-0:4 +1-1 c1-1:4"},
        // Client 11 has the address of 1 and another port.
        {"S1=5000,P2=5,D2,F2=x,P11=5,D11", kProgressColumn, "0", "+0-0"},
        {"S1=5000,D1,S1=5000,S1=5000,P1=5", kProgressColumn, "Done|0|50",
         "+0-0 c0-0:4 +1-1 +2-2 c2-2:4"},
        // Runs of finished rows go from the bottom up.
        {"S1=5000,S2=5000,S3=5000,S4=5000,S5=5000,P2=2,P4=4,D1,F3=x,D5,X", kProgressColumn, "20|40",
         "+0-0 +1-1 +2-2 +3-3 +4-4 c1-1:4 c3-3:4 c0-0:4 c2-2:4 c4-4:4 -4-4 -2-2 -0-0"},
        {"S1=5000,D1,X,X", kProgressColumn, "", "+0-0 c0-0:4 -0-0"},
        // Sorted by size, descending: the finished row of the client goes below its running one.
        {"S1=5000,D1,S1=6000,C3,C3,P1=5,F1=Socket Error,P1=1,D1", kProgressColumn,
         "Socket Error|Done", "+0-0 c0-0:4 +1-1 s0,1 s1,0 c0-0:4 c0-0:4"},
        {"S1=5000,S2=5000,S3=5000,T,D2,F3=x,T,T", kElapsedColumn, "0:03|0:01|0:01",
         "+0-0 +1-1 +2-2 c0-2:5 c1-1:4 c2-2:4 c0-0:5 c0-0:5"},
        {"S1=5000,S2=5000", kClientColumn, "10.0.0.1 (1001)|10.0.0.2 (1002)", "+0-0 +1-1"},
        {"S1=1048576", kFileSizeColumn, "1.00MB", "+0-0"},
    };
    for (const auto& [script, index, texts, changes] : cases) {
        SCOPED_TRACE(script);
        WindowModel model;
        RecordingObserver observer;
        model.setObserver(&observer);
        play(model, script);
        EXPECT_EQ(column(model, index), texts);
        EXPECT_EQ(observer.changes, changes);
    }
}

TEST(WindowModel, HeaderClicksSortByTheSortableColumnsWithTheArrowUpWhileAscending) {
    const std::tuple<const char*, std::string, int, SortArrow> cases[] = {
        {"C4,C5", "c a d b", -1, SortArrow::None},  // progress and elapsed do not sort
        {"C3", "c b d a", 3, SortArrow::Up},        // by size
        {"C3,C3,C4,C5", "a d b c", 3, SortArrow::Down},
        {"C3,C3,C2", "a b c d", 2, SortArrow::Up},  // by name, ascending again
        {"C1", "c d a b", 1, SortArrow::Up},        // by start time
        // Endpoints: the fourth octet first, then the port's low byte before its high (256 < 1).
        {"C0", "b d c a", 0, SortArrow::Up},
        {"C0,C0", "a c d b", 0, SortArrow::Down},
    };
    for (const auto& [clicks, names, sorted, arrow] : cases) {
        SCOPED_TRACE(clicks);
        WindowModel model;
        for (auto [address, port, size, name, start] : {std::tuple{0x09000001u, 69, 1000, "c", 10},
                                                        {0x01000002u, 69, 4000, "a", 30},
                                                        {0x01000001u, 1, 3000, "d", 20},
                                                        {0x01000001u, 256, 2000, "b", 40}}) {
            auto message =
                started(client(address, static_cast<std::uint16_t>(port)), size, name, start);
            model.apply(message);
        }
        play(model, clicks);
        std::string order;
        for (std::size_t position = 0; position < model.rowCount(); ++position) {
            order += (position == 0 ? "" : " ") + model.row(position).text(kFileNameColumn);
        }
        EXPECT_EQ(order, names);
        EXPECT_EQ(model.sortColumn(), sorted);
        for (int index = 0; index < kTransferColumnCount; ++index) {
            EXPECT_EQ(model.sortArrow(index), index == sorted ? arrow : SortArrow::None) << index;
        }
    }
}

TEST(WindowModel, KeepsTheLatestLogLinesInArrivalOrderAndTheLatestFinishedRows) {
    WindowModel model;
    for (int line = 0; line <= 10'004; ++line) {
        // Lines of one second out of alphabetical order keep the order they came in.
        EngineMessage message =
            LogLineMessage{"2026-03-05 14:07:09    missing-" +
                           std::to_string(line % 2 == 0 ? 24 : 4) + " " + std::to_string(line)};
        model.apply(message);
    }
    ASSERT_EQ(model.logLineCount(), WindowModel::kMaxLogLines);
    EXPECT_EQ(model.logLine(0), "2026-03-05 14:07:09    missing-4 5");
    EXPECT_EQ(model.logLine(1), "2026-03-05 14:07:09    missing-24 6");

    // Client 1 runs throughout; 2 starts before 3 but finishes after it, then 9,999 more finish.
    play(model, "S1=5000,S2=5000,S3=5000,F3=x,D2");
    for (int transfer = 0; transfer < 9'999; ++transfer) {
        play(model, "S4=5000,D4");
    }
    ASSERT_EQ(model.rowCount(), WindowModel::kMaxFinishedRows + 1);
    EXPECT_EQ(model.row(0).text(kProgressColumn), "0");
    EXPECT_EQ(model.row(1).text(kClientColumn), endpointText(clientNumber(2)));
    EXPECT_EQ(model.row(2).text(kClientColumn), endpointText(clientNumber(4)));
}

struct CountingQueue final : MessageQueue {
    using MessageQueue::MessageQueue;
    void wake() override { ++wakes; }
    int wakes = 0;
};

bool post(MessageQueue& queue, EngineMessage message) {
    return queue.post(std::make_unique<EngineMessage>(std::move(message)));
}

// Under a flood the queue holds a bounded number of messages, and the window shows what it would
// have shown had it taken every message at once (only the log says how many lines it missed).
TEST(MessageQueue, StaysBoundedUnderAFloodAndChangesNothingTheWindowShows) {
    useUtc();
    FakeClock clock{1772719629};
    CountingQueue queue(clock);
    EXPECT_FALSE(post(queue, LogLineMessage{"closed"}));
    queue.open();
    WindowModel direct;  // given every message as it was posted
    const auto both = [&](auto make) {
        EngineMessage message = make();
        direct.apply(message);
        EXPECT_TRUE(post(queue, make()));
    };
    both([] { return started(clientNumber(1), 1'000'000); });
    for (int blocks = 1; blocks <= 1953; ++blocks) {
        both([&] { return TransferProgressMessage{clientNumber(1), blocks}; });
    }
    for (int line = 0; line < 20'000; ++line) {
        post(queue, LogLineMessage{"line " + std::to_string(line)});
    }
    for (int transfer = 0; transfer < 10'050; ++transfer) {
        both([] { return started(clientNumber(2), 5000); });
        both([] { return TransferProgressMessage{clientNumber(2), 5}; });
        both([&] { return TransferFailedMessage{clientNumber(2), std::to_string(transfer)}; });
    }
    both([] { return ServerErrorMessage{"error"}; });
    EXPECT_EQ(queue.queued(),
              2 + MessageQueue::kMaxQueuedLines + 3 * MessageQueue::kMaxQueuedFinished + 1);
    EXPECT_EQ(queue.wakes, 1);

    WindowModel shown;
    MessageBatch batch = queue.take();
    shown.apply(batch);
    ASSERT_EQ(shown.rowCount(), direct.rowCount());
    for (std::size_t position = 0; position < shown.rowCount(); ++position) {
        ASSERT_EQ(shown.row(position).copyText(), direct.row(position).copyText()) << position;
    }
    EXPECT_EQ(shown.row(0).text(kProgressColumn), "99");
    EXPECT_EQ(shown.takeServerError(), "error");
    ASSERT_EQ(shown.logLineCount(), WindowModel::kMaxLogLines);
    EXPECT_EQ(shown.logLine(0), "2026-03-05 14:07:09    10001 more lines not shown in the window.");
    EXPECT_EQ(shown.logLine(1), "line 10001");
    EXPECT_EQ(shown.logLine(shown.logLineCount() - 1), "line 19999");

    // Emptied, it wakes the window again; closed, it refuses and holds nothing.
    EXPECT_TRUE(post(queue, LogLineMessage{"again"}));
    EXPECT_EQ(queue.wakes, 2);
    queue.close();
    EXPECT_FALSE(post(queue, LogLineMessage{"late"}));
    EXPECT_EQ(queue.queued(), 0u);
}

TEST(LocalAddresses, AreThisMachinesOwnAndTheirListFitsItsLine) {
    const std::vector<std::string> four = {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"};
    const std::tuple<std::vector<std::string>, std::size_t, std::string> cases[] = {
        {{}, 30, "none"},
        {{"192.0.2.10", "2001:db8::10"}, 30, "192.0.2.10, 2001:db8::10"},
        {four, 38, "10.0.0.1, 10.0.0.2, 10.0.0.3, 10.0.0.4"},
        {four, 37, "10.0.0.1, 10.0.0.2, and 2 more"},
        {four, 30, "10.0.0.1, 10.0.0.2, and 2 more"},
        {four, 29, "10.0.0.1, and 3 more"},
        {four, 19, "and 4 more"},
    };
    for (const auto& [texts, capacity, expected] : cases) {
        EXPECT_EQ(net::addressListText(texts, capacity), expected) << capacity;
    }
    // Whatever this machine has: no loopback, each once, IPv4 first, a link-local IPv6 address
    // with its interface.
    bool ipv6Seen = false;
    std::vector<std::string> seen;
    for (const auto& address : net::localAddresses()) {
        SCOPED_TRACE(address.text);
        EXPECT_EQ(address.text.find(address.ipv6 ? ':' : '.') != std::string::npos, true);
        EXPECT_FALSE(address.text.starts_with("127.") || address.text == "::1");
        EXPECT_EQ(address.text.starts_with("fe80:"), address.text.find('%') != std::string::npos);
        EXPECT_TRUE(address.ipv6 || !ipv6Seen);
        ipv6Seen = ipv6Seen || address.ipv6;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), address.text), 0);
        seen.push_back(address.text);
    }
}

}  // namespace
}  // namespace quillet::window
