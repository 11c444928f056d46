// Recording stand-ins for the engine's collaborators: the log, the socket, the window's event
// sink, the window itself and the settings store. They keep what they are given so that tests can
// look at it afterwards; none of them does anything else.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/packet_transport.h"
#include "log/engine_messages.h"
#include "log/event_sink.h"
#include "log/file_level_store.h"
#include "log/log_sink.h"
#include "tftp/client_endpoint.h"

namespace quillet::testing {

/// One line as the log sink received it.
struct LogEntry {
    std::int32_t level = 0;
    std::string text;

    friend bool operator==(const LogEntry&, const LogEntry&) = default;
    friend std::ostream& operator<<(std::ostream& out, const LogEntry& entry) {
        return out << entry.level << " \"" << entry.text << '"';
    }
};

/// Keeps every line written to it. Safe to write from the engine thread while a test reads.
class RecordingLogSink final : public LogSink {
  public:
    /// Keeps the line and wakes anyone waiting for it.
    void write(std::int32_t level, std::string_view text) override {
        {
            std::lock_guard lock(mutex_);
            entries_.push_back({level, std::string(text)});
        }
        written_.notify_all();
    }

    /// A copy of every line so far, oldest first.
    std::vector<LogEntry> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }

    /// The texts of every line so far, oldest first.
    std::vector<std::string> texts() const {
        std::vector<std::string> result;
        for (auto& entry : entries()) {
            result.push_back(std::move(entry.text));
        }
        return result;
    }

    /// Waits until a line containing part has been written, for at most limit.
    std::optional<LogEntry> waitFor(std::string_view part, std::chrono::milliseconds limit) const {
        std::unique_lock lock(mutex_);
        written_.wait_for(lock, limit, [&] { return findLocked(part).has_value(); });
        return findLocked(part);
    }

    void clear() {
        std::lock_guard lock(mutex_);
        entries_.clear();
    }

  private:
    std::optional<LogEntry> findLocked(std::string_view part) const {
        const auto match = std::find_if(entries_.begin(), entries_.end(), [&](const LogEntry& e) {
            return e.text.find(part) != std::string::npos;
        });
        return match == entries_.end() ? std::nullopt : std::optional(*match);
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable written_;
    std::vector<LogEntry> entries_;
};

/// One datagram handed to the transport.
struct SentDatagram {
    ClientEndpoint to;
    std::vector<std::uint8_t> bytes;
};

/// Keeps every datagram it is asked to send; can be told to fail or to send short. Engine
/// thread only.
class RecordingTransport final : public PacketTransport {
  public:
    enum class Mode {
        Deliver,    // reports every byte sent
        Fail,       // reports the socket layer's failure value
        SendShort,  // reports one byte fewer than asked
    };

    /// Records the datagram (whatever the mode) and reports as the mode says.
    std::ptrdiff_t sendTo(const ClientEndpoint& endpoint,
                          std::span<const std::uint8_t> bytes) override {
        sent.push_back({endpoint, {bytes.begin(), bytes.end()}});
        switch (mode) {
            case Mode::Fail:
                return -1;
            case Mode::SendShort:
                return static_cast<std::ptrdiff_t>(bytes.size()) - 1;
            case Mode::Deliver:
                break;
        }
        return static_cast<std::ptrdiff_t>(bytes.size());
    }

    Mode mode = Mode::Deliver;
    std::vector<SentDatagram> sent;
};

/// One notification as the event sink received it.
struct RecordedEvent {
    enum class Kind { Started, Progress, Done, Failed, ServerError };

    Kind kind = Kind::Started;
    ClientEndpoint endpoint;
    std::int64_t number = 0;  // file size (Started) or blocks sent (Progress)
    std::string text;         // file name (Started), reason (Failed) or error text (ServerError)

    friend bool operator==(const RecordedEvent&, const RecordedEvent&) = default;
    friend std::ostream& operator<<(std::ostream& out, const RecordedEvent& event) {
        static constexpr const char* kNames[] = {"Started", "Progress", "Done", "Failed",
                                                 "ServerError"};
        return out << kNames[static_cast<int>(event.kind)] << " " << endpointText(event.endpoint)
                   << " " << event.number << " \"" << event.text << '"';
    }
};

/// Keeps every notification instead of posting it. Safe to call from the engine thread while a
/// test reads.
class RecordingEventSink : public EventSink {
  public:
    bool transferStarted(const ClientEndpoint& endpoint, std::string_view fileName,
                         std::int32_t fileSize) override {
        return record({RecordedEvent::Kind::Started, endpoint, fileSize, std::string(fileName)});
    }
    bool transferProgress(const ClientEndpoint& endpoint, std::int32_t blocksSent) override {
        return record({RecordedEvent::Kind::Progress, endpoint, blocksSent, {}});
    }
    bool transferDone(const ClientEndpoint& endpoint) override {
        return record({RecordedEvent::Kind::Done, endpoint, 0, {}});
    }
    bool transferFailed(const ClientEndpoint& endpoint, std::string_view reason) override {
        return record({RecordedEvent::Kind::Failed, endpoint, 0, std::string(reason)});
    }
    bool serverError(std::string_view text) override {
        return record({RecordedEvent::Kind::ServerError, {}, 0, std::string(text)});
    }

    /// A copy of every notification so far, oldest first.
    std::vector<RecordedEvent> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

    /// The notifications of one kind, oldest first.
    std::vector<RecordedEvent> eventsOf(RecordedEvent::Kind kind) const {
        auto all = events();
        std::erase_if(all, [kind](const RecordedEvent& e) { return e.kind != kind; });
        return all;
    }

    void clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

  private:
    bool record(RecordedEvent event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        return true;
    }

    mutable std::mutex mutex_;
    std::vector<RecordedEvent> events_;
};

/// Keeps the messages posted to it, or refuses them (destroying them, as a failed post does).
class RecordingMessageWindow final : public MessageWindow {
  public:
    bool post(std::unique_ptr<EngineMessage> message) override {
        std::lock_guard lock(mutex_);
        if (refuse) {
            return false;  // the message dies here, on the poster's thread
        }
        messages_.push_back(std::move(message));
        return true;
    }

    /// Takes the messages posted so far, oldest first.
    std::vector<std::unique_ptr<EngineMessage>> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(messages_, {});
    }

    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return messages_.size();
    }

    bool refuse = false;

  private:
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<EngineMessage>> messages_;
};

/// The log file's level kept in memory; counts the writes.
class MemoryFileLevelStore final : public FileLevelStore {
  public:
    MemoryFileLevelStore() = default;
    explicit MemoryFileLevelStore(std::optional<std::int32_t> initial) : level(initial) {}

    std::optional<std::int32_t> readFileLevel() override { return level; }
    void writeFileLevel(std::int32_t value) override {
        level = value;
        ++writes;
    }

    std::optional<std::int32_t> level;
    int writes = 0;
};

}  // namespace quillet::testing
