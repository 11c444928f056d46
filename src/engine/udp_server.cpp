#include "engine/udp_server.h"

#include <cstdio>
#include <thread>

#include "log/event_sink.h"
#include "log/log_sink.h"

namespace quillet {

UdpServer::UdpServer(std::uint16_t port, const Clock& clock) : port_(port), clock_(clock) {
    dispatcher_.setTransport(this);
}

int UdpServer::run() {
    if (start() != StartResult::Started) {
        return kExitCannotStart;
    }
    receiveLoop();
    return 0;
}

UdpServer::StartResult UdpServer::start() {
    if (!socket_.open()) {
        char text[256];
        std::snprintf(text, sizeof text, "Socket Create Error: 0x%08X",
                      static_cast<unsigned>(net::lastError()));
        reportStartFailure(text);
        return StartResult::SocketFailed;
    }
    if (!socket_.bind(port_)) {
        const auto code = net::lastError();
        char text[256];
        std::snprintf(text, sizeof text, "Bind failed, Maybe Port %d already in use: 0x%08X",
                      int{port_}, static_cast<unsigned>(code));
        reportStartFailure(text);
        socket_.close();
        return StartResult::BindFailed;
    }
    writeFormatted(dispatcher_.logSink(), loglevel::kServerState, "Quillet Server Ready...");
    return StartResult::Started;
}

void UdpServer::reportStartFailure(const char* text) {
    writeFormatted(dispatcher_.logSink(), loglevel::kCannotStart, "%s", text);
    dispatcher_.events().serverError(text);
}

void UdpServer::receiveLoop() {
    std::time_t lastTick = clock_.wall();
    while (!stopRequested_.load()) {
        const auto waited = socket_.waitReadable(kWaitForDatagram);
        const std::time_t now = clock_.wall();
        if (waited == net::WaitResult::Failed) {
            // Never spin on a socket that keeps failing; the stop flag is still seen in time.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (waited == net::WaitResult::Readable) {
            ClientEndpoint from;
            const auto length = socket_.receive(receiveBuffer_, from);
            // A failed receive, an oversized datagram and an empty one are dropped silently.
            if (length > 0) {
                dispatcher_.dispatch(
                    from, std::span(receiveBuffer_.data(), static_cast<std::size_t>(length)), now);
            }
        }
        if (now - lastTick > kTickInterval) {
            lastTick = now;
            dispatcher_.tick(now);
        }
    }
    socket_.close();
}

std::ptrdiff_t UdpServer::sendTo(const ClientEndpoint& endpoint,
                                 std::span<const std::uint8_t> bytes) {
    return socket_.sendTo(endpoint, bytes);
}

}  // namespace quillet
