// A dispatcher wired to recording fakes, with a scratch directory of files to serve: the engine
// as the receive loop sees it, minus the socket.
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "engine/request_dispatcher.h"
#include "fakes.h"
#include "test_support.h"

namespace quillet::testing {

class EngineFixture : public ::testing::Test {
  protected:
    static constexpr std::time_t kStart = 1'700'000'000;

    EngineFixture() {
        dispatcher.setLog(&log);
        dispatcher.setEventSink(&events);
        dispatcher.setTransport(&transport);
    }

    /// Hands one datagram from `from` to the dispatcher, as the receive loop does.
    HandlerResult dispatch(const ClientEndpoint& from, const Bytes& datagram,
                           std::time_t now = kStart) {
        return dispatcher.dispatch(from, datagram, now);
    }

    /// The datagrams sent since the last call.
    std::vector<SentDatagram> takeSent() { return std::exchange(transport.sent, {}); }

    /// The log lines written since the last call.
    std::vector<LogEntry> takeLog() {
        auto entries = log.entries();
        log.clear();
        return entries;
    }

    /// The block numbers of the DATA datagrams sent since the last call; any other datagram shows
    /// as minus its opcode.
    std::vector<int> takeSentBlocks() {
        std::vector<int> blocks;
        for (const auto& datagram : takeSent()) {
            const int opcode = wireNumber(datagram.bytes, 0);
            blocks.push_back(opcode == 3 ? wireNumber(datagram.bytes, 2) : -opcode);
        }
        return blocks;
    }

    RecordingLogSink log;
    RecordingEventSink events;
    RecordingTransport transport;
    ScratchDirectory files;
    RequestDispatcher dispatcher;  // last: its sessions go before the fakes they use
};

/// The client most tests talk as.
inline const ClientEndpoint kClient = client(0x0A010203, 1069);

/// A log line about a client: "client 10.1.2.3 (1069): " and the rest.
inline std::string clientLine(const ClientEndpoint& endpoint, const std::string& rest) {
    return "client " + endpointText(endpoint) + ": " + rest;
}

/// A log line about kClient.
inline std::string clientLine(const std::string& rest) {
    return clientLine(kClient, rest);
}

}  // namespace quillet::testing
