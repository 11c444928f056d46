#include "engine/udp_server.h"

#include <cstdio>
#include <ctime>
#include <thread>

#include "log/event_sink.h"
#include "log/log_sink.h"

namespace quillet {

UdpServer::UdpServer(std::uint16_t port, std::string servedFolder, MonotonicClock clock)
    : port_(port), servedFolder_(std::move(servedFolder)), clock_(clock) {
    dispatcher_.setTransport(this);
}

std::time_t UdpServer::steadySeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int UdpServer::run() {
    const int started = start();
    if (started != 0) {
        return started;
    }
    return receiveLoop();
}

int UdpServer::start() {
    if (!socket_.open()) {
        char text[256];
        std::snprintf(text, sizeof text, "Socket Create Error: 0x%08X",
                      static_cast<unsigned>(net::lastError()));
        reportStartFailure(text);
        return -1;
    }
    if (!socket_.bind(port_)) {
        const auto code = net::lastError();
        char text[256];
        std::snprintf(text, sizeof text, "Bind failed, Maybe Port %d already in use: 0x%08X",
                      int{port_}, static_cast<unsigned>(code));
        reportStartFailure(text);
        socket_.close();
        return code != 0 ? static_cast<int>(code) : -1;
    }
    dispatcher_.log(loglevel::kServerState, "Quillet Server Ready...");
    openServedFolder();
    // Every transfer holds a descriptor: cap them below what the process may open.
    dispatcher_.limitSessions(RequestDispatcher::sessionCapFor(raiseOpenFileLimit()));
    return 0;
}

void UdpServer::openServedFolder() {
    auto folder = ServedFolder::open(servedFolder_.empty() ? ServedFolder::workingDirectory()
                                                           : servedFolder_);
    dispatcher_.log(loglevel::kServerState, "Serving %s", folder.path().c_str());
    if (!folder.canServe()) {
        dispatcher_.log(loglevel::kCannotStart, "Every Read Request is refused: %s.",
                        folder.problem().c_str());
    }
    dispatcher_.serveFolder(std::move(folder));
}

void UdpServer::reportStartFailure(const char* text) {
    dispatcher_.log(loglevel::kCannotStart, "%s", text);
    if (auto* events = dispatcher_.eventSink()) {
        events->serverError(text);
    }
}

int UdpServer::receiveLoop() {
    std::time_t lastTick = clock_();
    while (!stopRequested_.load()) {
        const auto waited = socket_.waitReadable(kWaitForDatagram);
        const std::time_t now = clock_();
        if (waited == net::WaitResult::Failed) {
            // Never spin on a socket that keeps failing; the stop flag is still seen in time.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (waited == net::WaitResult::Readable) {
            endUnreachableTransfers();
            net::RawPeer from;
            const auto length = socket_.receive(receiveBuffer_, from);
            // A failed receive, an oversized datagram and an empty one are dropped silently.
            if (length > 0) {
                const ClientEndpoint endpoint{from.address, from.port};
                dispatcher_.dispatch(
                    endpoint, std::span(receiveBuffer_.data(), static_cast<std::size_t>(length)),
                    now);
            }
        }
        if (now - lastTick > kTickInterval) {
            lastTick = now;
            dispatcher_.tick(now);
        }
    }
    socket_.close();
    return 0;
}

void UdpServer::endUnreachableTransfers() {
    std::array<net::RawPeer, 16> unreachable;
    const auto count = socket_.takeUnreachablePeers(unreachable);
    for (std::size_t i = 0; i < count; ++i) {
        dispatcher_.onUnreachable(ClientEndpoint{unreachable[i].address, unreachable[i].port});
    }
}

std::ptrdiff_t UdpServer::sendTo(const ClientEndpoint& endpoint,
                                 std::span<const std::uint8_t> bytes) {
    return socket_.sendTo(net::RawPeer{endpoint.address, endpoint.port}, bytes);
}

}  // namespace quillet
