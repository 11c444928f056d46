// The window model every view shows: row texts, rows as events change them, sorting, clearing,
// the caps, and the queue between the engine and the window under a flood, the log's order with it.
#include <clocale>
#include <sstream>
#include <string_view>
#include <tuple>

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

/// Notes the changes the model reports about rows: "+0-0" inserted, "-2-3" removed, "c1-4:4"
/// cells changed in column 4, "s2,0,1" sorted (each old row's new place).
struct RecordingObserver final : WindowModelObserver {
    // Appended piece by piece: "literal" + a temporary string trips a false -Wrestrict of g++ 12.
    void note(const char* kind, std::size_t first, std::size_t last, int column = -1) {
        changes.append(changes.empty() ? "" : " ").append(kind).append(std::to_string(first));
        changes.append("-").append(std::to_string(last));
        if (column >= 0) {
            changes.append(":").append(std::to_string(column));
        }
    }
    void rowsInserting(std::size_t first, std::size_t last) override { note("+", first, last); }
    void rowsRemoving(std::size_t first, std::size_t last) override { note("-", first, last); }
    void cellsChanged(std::size_t first, std::size_t last, int column, int) override {
        note("c", first, last, column);
    }
    void rowsReordered(std::span<const std::size_t> newPositionOf) override {
        changes.append(changes.empty() ? "s" : " s");
        for (std::size_t i = 0; i < newPositionOf.size(); ++i) {
            changes.append(i == 0 ? "" : ",").append(std::to_string(newPositionOf[i]));
        }
    }
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
        const auto slash = value.find('/');
        const ClientEndpoint from = clientNumber(n);
        const char kind = step[0];
        if (kind == 'X' || kind == 'T' || kind == 'C') {
            kind == 'X' ? void(model.clearEntries())
                        : (kind == 'T' ? model.elapsedPass() : model.headerClicked(n));
            continue;
        }
        EngineMessage message =
            kind == 'S'
                ? started(from, std::stoll(value.substr(0, slash)), "f", 0,
                          slash == std::string::npos ? 512 : std::stoi(value.substr(slash + 1)))
            : kind == 'P' ? EngineMessage{TransferProgressMessage{from, std::stoi(value)}}
            : kind == 'D' ? EngineMessage{TransferDoneMessage{from}}
                          : EngineMessage{TransferFailedMessage{from, value}};
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
    // Without the German locale (its decimal comma, its month names), the C one alone is tried.
    for (const char* locale : {"C", "de_DE.UTF-8"}) {
        if (std::setlocale(LC_ALL, locale) != nullptr) {
            const std::string texts =
                sizeText(0) + "|" + sizeText(1023) + "|" + sizeText(1024) + "|" +
                sizeText(1048575) + "|" + sizeText(1048576) + "|" + sizeText(33553920) + "|" +
                elapsedText(59) + "|" + elapsedText(60) + "|" + elapsedText(3725) + "|" +
                startTimeText(1793404800 + 23 * 3600 + 59 * 60) + "|" + startTimeText(1767225600);
            EXPECT_EQ(texts,
                      "0B|1023B|1.00kB|1024.00kB|1.00MB|32.00MB|0:59|1:00|62:05|"
                      "Oct-31 23:59:00|Jan-01 00:00:00")
                << locale;
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
        {"S1=0,P1=1,S2=51200,P2=50,P2=50,P2=101", kProgressColumn, "100|50",
         "+0-0 c0-0:4 +1-1 c1-1:4"},
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
        // No running row: a pass changes no cell, and names no row where there is none.
        {"T,S1=5000,D1,T", kElapsedColumn, "0:00", "+0-0 c0-0:4"},
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
        {"C4,C5", "c|a|d|b", -1, SortArrow::None},  // progress and elapsed do not sort
        {"C3", "c|b|d|a", 3, SortArrow::Up},        // by size
        {"C3,C3,C4,C5", "a|d|b|c", 3, SortArrow::Down},
        {"C3,C3,C2", "a|b|c|d", 2, SortArrow::Up},  // by name, ascending again
        {"C1", "c|d|a|b", 1, SortArrow::Up},        // by start time
        // Endpoints: the fourth octet first, then the port's low byte before its high (256 < 1).
        {"C0", "b|d|c|a", 0, SortArrow::Up},
        {"C0,C0", "a|c|d|b", 0, SortArrow::Down},
    };
    for (const auto& [clicks, names, sorted, arrow] : cases) {
        SCOPED_TRACE(clicks);
        WindowModel model;
        for (auto [address, port, size, name, start] :
             {std::tuple{0x09000001u, std::uint16_t{69}, 1000, "c", 10},
              {0x01000002u, 69, 4000, "a", 30},
              {0x01000001u, 1, 3000, "d", 20},
              {0x01000001u, 256, 2000, "b", 40}}) {
            auto message = started(client(address, port), size, name, start);
            model.apply(message);
        }
        play(model, clicks);
        EXPECT_EQ(column(model, kFileNameColumn), names);
        EXPECT_EQ(model.sortColumn(), sorted);
        for (int index = 0; index < kTransferColumnCount; ++index) {
            EXPECT_EQ(model.sortArrow(index), index == sorted ? arrow : SortArrow::None) << index;
        }
    }
}

TEST(WindowModel, KeepsTheLatestFinishedRowsAndEveryRunningOne) {
    WindowModel model;
    // Client 1 runs throughout; 2 starts before 3 but finishes after it, then 9,999 more finish.
    play(model, "S1=5000,S2=5000,S3=5000,F3=x,D2");
    for (int transfer = 0; transfer < 9'999; ++transfer) {
        play(model, "S4=5000,D4");
    }
    ASSERT_EQ(model.rowCount(), WindowModel::kMaxFinishedRows + 1);
    useUtc();  // Copy's texts: the start time at 0
    EXPECT_EQ(model.row(0).copyText(), "10.0.0.1 (1001)\tJan-01 00:00:00\tf\t4.88kB\t0\t0:00");
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
    WindowModel shown;
    MessageBatch batch = queue.take();
    shown.apply(batch);
    EXPECT_EQ(shown.row(0).text(kProgressColumn), "99");  // one progress message, the latest
    // Its end comes in the next batch, before everything that would push it out.
    both([] { return TransferDoneMessage{clientNumber(1)}; });
    // Lines in arrival order, which is not their alphabetical order.
    for (int line = 20'000; line > 0; --line) {
        post(queue, LogLineMessage{"line " + std::to_string(line)});
    }
    for (int transfer = 0; transfer < 10'050; ++transfer) {
        both([] { return started(clientNumber(2), 5000); });
        both([] { return TransferProgressMessage{clientNumber(2), 5}; });
        both([&] { return TransferFailedMessage{clientNumber(2), std::to_string(transfer)}; });
    }
    both([] { return ServerErrorMessage{"error"}; });
    EXPECT_EQ(queue.queued(),
              1 + MessageQueue::kMaxQueuedLines + 3 * MessageQueue::kMaxQueuedFinished + 1);
    EXPECT_EQ(queue.wakes, 2);
    batch = queue.take();
    shown.apply(batch);
    ASSERT_EQ(shown.rowCount(), direct.rowCount());
    for (std::size_t position = 0; position < shown.rowCount(); ++position) {
        ASSERT_EQ(shown.row(position).copyText(), direct.row(position).copyText()) << position;
    }
    EXPECT_EQ(shown.rowCount(), WindowModel::kMaxFinishedRows);  // client 1's row ended first
    EXPECT_EQ(shown.takeServerError(), "error");
    ASSERT_EQ(shown.logLineCount(), WindowModel::kMaxLogLines);
    EXPECT_EQ(shown.logLine(0), "2026-03-05 14:07:09    10001 more lines not shown in the window.");
    EXPECT_EQ(shown.logLine(1), "line 9999");
    EXPECT_EQ(shown.logLine(shown.logLineCount() - 1), "line 1");
    // Emptied, it wakes the window again; closed, it refuses and holds nothing.
    EXPECT_TRUE(post(queue, LogLineMessage{"again"}));
    EXPECT_EQ(queue.wakes, 3);
    queue.close();
    EXPECT_FALSE(post(queue, LogLineMessage{"late"}));
    EXPECT_EQ(queue.queued(), 0u);
}

TEST(LocalAddresses, TheirListFitsItsLine) {
    const std::vector<std::string> four = {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"};
    const std::tuple<std::vector<std::string>, std::size_t, std::string> cases[] = {
        {{}, 30, "none"},
        {four, 38, "10.0.0.1, 10.0.0.2, 10.0.0.3, 10.0.0.4"},
        {four, 37, "10.0.0.1, 10.0.0.2, and 2 more"},
        {four, 30, "10.0.0.1, 10.0.0.2, and 2 more"},
        {four, 29, "10.0.0.1, and 3 more"},
        {four, 19, "and 4 more"},
    };
    for (const auto& [texts, capacity, expected] : cases) {
        EXPECT_EQ(net::addressListText(texts, capacity), expected) << capacity;
    }
}

}  // namespace
}  // namespace quillet::window
