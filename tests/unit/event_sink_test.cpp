#include "log/event_sink.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "allocation_count.h"
#include "fakes.h"
#include "log/engine_messages.h"
#include "test_support.h"

// The test program's global allocation functions: the usual ones, counted per thread while an
// AllocationCount is alive (see allocation_count.h). Array and nothrow forms reach these.
void* operator new(std::size_t size) {
    namespace detail = quillet::testing::allocation_detail;
    if (detail::countingScopes > 0) {
        ++detail::allocations;
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
    namespace detail = quillet::testing::allocation_detail;
    if (memory != nullptr && detail::countingScopes > 0) {
        ++detail::releases;
    }
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    ::operator delete(memory);
}

namespace quillet {
namespace {

using testing::AllocationCount;
using testing::client;
using testing::RecordingMessageWindow;

const ClientEndpoint kClient = client(0x0A010203, 1069);  // "10.1.2.3 (1069)"

TEST(EngineMessageTest, EachMessageCarriesItsWindowMessageNumber) {
    struct Case {
        EngineMessage message;
        int expectedId;
    };
    Case cases[] = {
        {LogLineMessage{"line"}, 0x601},
        {TransferStartedMessage{kClient, std::make_unique<TransferRecord>()}, 0x611},
        {TransferProgressMessage{kClient, 10}, 0x612},
        {TransferDoneMessage{kClient}, 0x613},
        {TransferFailedMessage{kClient, "Socket Error"}, 0x614},
        {ServerErrorMessage{"Bind failed"}, 0x620},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(messageId(c.message), c.expectedId) << "message index " << c.message.index();
    }
}

class EventSinkTest : public ::testing::Test {
  protected:
    EventSinkTest() { sink_.attachWindow(&window_); }

    /// The one message posted so far; fails the test unless there is exactly one.
    std::unique_ptr<EngineMessage> onlyMessage() {
        auto messages = window_.take();
        EXPECT_EQ(messages.size(), 1u);
        return messages.empty() ? nullptr : std::move(messages.front());
    }

    RecordingMessageWindow window_;
    EventSink sink_;
};

TEST_F(EventSinkTest, TransferStartedPostsEndpointAndAFreshTransferRecord) {
    const std::time_t before = std::time(nullptr);
    EXPECT_TRUE(sink_.transferStarted(kClient, "boot/pxelinux.0", 33553920));
    const std::time_t after = std::time(nullptr);

    const auto message = onlyMessage();
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(messageId(*message), WM_TRANSFER_STARTED);
    const auto* started = std::get_if<TransferStartedMessage>(message.get());
    ASSERT_NE(started, nullptr);
    EXPECT_EQ(started->endpoint, kClient);
    ASSERT_NE(started->record, nullptr);
    EXPECT_EQ(started->record->endpoint, kClient);
    EXPECT_EQ(started->record->fileName, "boot/pxelinux.0");
    EXPECT_EQ(started->record->fileSize, 33553920);
    EXPECT_GE(started->record->startTime, before);
    EXPECT_LE(started->record->startTime, after);
    EXPECT_EQ(started->record->elapsedSeconds, 0u);
}

TEST_F(EventSinkTest, EachOperationPostsItsMessageWithItsPayload) {
    struct Case {
        const char* name;
        std::function<bool(EventSink&)> call;
        std::function<void(const EngineMessage&)> check;
    };
    const ClientEndpoint other = client(0xC0A80001, 65535);
    const Case cases[] = {
        {"progress", [&](EventSink& s) { return s.transferProgress(other, 20); },
         [&](const EngineMessage& m) {
             const auto& progress = std::get<TransferProgressMessage>(m);
             EXPECT_EQ(progress.endpoint, other);
             EXPECT_EQ(progress.blocksSent, 20);
         }},
        {"done", [&](EventSink& s) { return s.transferDone(other); },
         [&](const EngineMessage& m) {
             EXPECT_EQ(std::get<TransferDoneMessage>(m).endpoint, other);
         }},
        {"failed with socket error",
         [&](EventSink& s) { return s.transferFailed(other, "Socket Error"); },
         [&](const EngineMessage& m) {
             const auto& failed = std::get<TransferFailedMessage>(m);
             EXPECT_EQ(failed.endpoint, other);
             EXPECT_EQ(failed.reason, "Socket Error");
         }},
        {"failed with client error",
         [&](EventSink& s) { return s.transferFailed(kClient, "Client Error #1 \"gone\""); },
         [&](const EngineMessage& m) {
             EXPECT_EQ(std::get<TransferFailedMessage>(m).reason, "Client Error #1 \"gone\"");
         }},
        {"failed with empty reason", [&](EventSink& s) { return s.transferFailed(kClient, ""); },
         [&](const EngineMessage& m) {
             const auto& failed = std::get<TransferFailedMessage>(m);
             EXPECT_EQ(failed.endpoint, kClient);
             EXPECT_TRUE(failed.reason.empty());
         }},
        {"server error",
         [&](EventSink& s) {
             return s.serverError("Bind failed, Maybe Port 69 already in use: 0x00000062");
         },
         [&](const EngineMessage& m) {
             EXPECT_EQ(std::get<ServerErrorMessage>(m).text,
                       "Bind failed, Maybe Port 69 already in use: 0x00000062");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(c.call(sink_));
        const auto message = onlyMessage();
        ASSERT_NE(message, nullptr);
        c.check(*message);
    }
}

/// Calls every operation once with texts too long for any small-string buffer, so that each one
/// that makes its payload has to allocate; returns how many reported a post.
int callEveryOperation(EventSink& sink) {
    return int{sink.transferStarted(kClient, "a-name-too-long-for-any-small-string-buffer", 1)} +
           int{sink.transferProgress(kClient, 10)} + int{sink.transferDone(kClient)} +
           int{sink.transferFailed(kClient, "a reason too long for any small string buffer")} +
           int{sink.serverError("a server error too long for any small string buffer")};
}

TEST(EventSinkWithoutWindowTest, EveryOperationReturnsFalseAndAllocatesNothing) {
    EventSink sink;
    int posted = 0;
    std::int64_t allocations = 0;
    {
        const AllocationCount count;
        posted = callEveryOperation(sink);
        allocations = count.allocations();
    }
    EXPECT_EQ(posted, 0);
    EXPECT_EQ(allocations, 0);
}

TEST_F(EventSinkTest, RefusedPostReturnsFalseAndDestroysThePayloadBeforeReturning) {
    window_.refuse = true;
    int posted = 0;
    std::int64_t allocations = 0;
    std::int64_t releases = 0;
    {
        const AllocationCount count;
        posted = callEveryOperation(sink_);
        allocations = count.allocations();
        releases = count.releases();
    }
    EXPECT_EQ(posted, 0);
    EXPECT_GT(allocations, 0);
    EXPECT_EQ(releases, allocations) << "a refused payload was not destroyed";
    EXPECT_EQ(window_.count(), 0u);
}

TEST_F(EventSinkTest, PayloadsPostedOnTheEngineThreadOutliveItInPostingOrder) {
    std::thread engine([this] {
        sink_.transferStarted(kClient, "boot.bin", 12800);
        for (int blocks = 10; blocks <= 20; blocks += 10) {
            sink_.transferProgress(kClient, blocks);
        }
        sink_.transferFailed(kClient, "Socket Error");
    });
    engine.join();

    const auto messages = window_.take();
    ASSERT_EQ(messages.size(), 4u);
    const auto& started = std::get<TransferStartedMessage>(*messages[0]);
    ASSERT_NE(started.record, nullptr);
    EXPECT_EQ(started.record->fileName, "boot.bin");
    EXPECT_EQ(started.record->fileSize, 12800);
    EXPECT_EQ(std::get<TransferProgressMessage>(*messages[1]).blocksSent, 10);
    EXPECT_EQ(std::get<TransferProgressMessage>(*messages[2]).blocksSent, 20);
    EXPECT_EQ(std::get<TransferFailedMessage>(*messages[3]).reason, "Socket Error");
}

}  // namespace
}  // namespace quillet
