#include "engine/udp_server.h"

#include <cstdio>
#include <thread>

#include "log/event_sink.h"
#include "log/log_sink.h"
#include "net/local_addresses.h"

namespace quillet {

UdpServer::UdpServer(std::uint16_t port, const Clock& clock, std::string servedFolder)
    : dispatcher_(RequestDispatcher::kMaxSessions, clock),
      receiveStorage_(kReceiveBatch * kReceiveBufferCapacity),
      port_(port),
      clock_(clock),
      servedFolder_(std::move(servedFolder)) {
    for (std::size_t i = 0; i < kReceiveBatch; ++i) {
        receiveBuffers_[i] =
            std::span(receiveStorage_).subspan(i * kReceiveBufferCapacity, kReceiveBufferCapacity);
    }
    dispatcher_.setTransport(this);
}

int UdpServer::run() {
    if (start() != StartResult::Started) {
        return kExitCannotStart;
    }
    receiveLoop();
    return 0;
}

void UdpServer::prepare() {
    prepared_ = true;
    prepareResult_ = StartResult::Started;
    if (!socket_.open()) {
        prepareResult_ = StartResult::SocketFailed;
        prepareError_ = net::lastError();
    } else if (!socket_.bind(port_)) {
        prepareResult_ = StartResult::BindFailed;
        prepareError_ = net::lastError();
        socket_.close();
    }
    folder_ = ServedFolder::open(servedFolder_.empty() ? ServedFolder::workingDirectory()
                                                       : servedFolder_);
}

UdpServer::StartResult UdpServer::start() {
    if (!prepared_) {
        prepare();
    }
    char text[256];
    switch (prepareResult_) {
        case StartResult::SocketFailed:
            std::snprintf(text, sizeof text, "Socket Create Error: 0x%08X",
                          static_cast<unsigned>(prepareError_));
            reportStartFailure(text);
            return prepareResult_;
        case StartResult::BindFailed:
            std::snprintf(text, sizeof text, "Bind failed, Maybe Port %d already in use: 0x%08X",
                          int{port_}, static_cast<unsigned>(prepareError_));
            reportStartFailure(text);
            return prepareResult_;
        case StartResult::Started:
            break;
    }
    writeFormatted(dispatcher_.logSink(), loglevel::kServerState, "Quillet Server Ready...");
    serveFolder();
    // Every transfer holds a descriptor: cap them below what the process may open.
    dispatcher_.limitSessions(RequestDispatcher::sessionCapFor(raiseOpenFileLimit()));
    return StartResult::Started;
}

void UdpServer::serveFolder() {
    if (passedOverFolder_.empty()) {
        writeFormatted(dispatcher_.logSink(), loglevel::kServerState, "Serving %s",
                       folder_.path().c_str());
    } else {
        writeFormatted(dispatcher_.logSink(), loglevel::kServerState,
                       "Serving %s instead of %s, a program or Windows folder",
                       folder_.path().c_str(), passedOverFolder_.c_str());
    }
    logAddresses();
    if (!folder_.canServe()) {
        writeFormatted(dispatcher_.logSink(), loglevel::kCannotStart,
                       "Every Read Request is refused: %s.", folder_.problem().c_str());
    }
    dispatcher_.serveFolder(std::move(folder_));
}

void UdpServer::logAddresses() {
    static constexpr char kPrefix[] = "Addresses: ";
    std::vector<std::string> texts;
    for (net::LocalAddress& address : net::localAddresses()) {
        if (!address.ipv6) {  // the socket serves IPv4 only: an IPv6 address would not answer
            texts.push_back(std::move(address.text));
        }
    }
    const std::string list = net::addressListText(texts, kLogTextCapacity - sizeof kPrefix);
    writeFormatted(dispatcher_.logSink(), loglevel::kServerState, "%s%s", kPrefix, list.c_str());
}

void UdpServer::reportStartFailure(const char* text) {
    writeFormatted(dispatcher_.logSink(), loglevel::kCannotStart, "%s", text);
    dispatcher_.events().serverError(text);
}

// Resends and sweeps are timed in whole seconds of the monotonic clock, so that a step of the
// wall clock changes neither.
std::time_t UdpServer::monotonicSeconds() const {
    return std::chrono::duration_cast<std::chrono::seconds>(clock_.monotonic().time_since_epoch())
        .count();
}

void UdpServer::receiveLoop() {
    std::time_t lastTick = monotonicSeconds();
    while (!stopRequested_.load()) {
        const auto waited = socket_.waitReadable(kWaitForDatagram);
        const std::time_t now = monotonicSeconds();
        if (waited == net::WaitResult::Failed) {
            // Never spin on a socket that keeps failing; the stop flag is still seen in time.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (waited == net::WaitResult::Readable) {
            endUnreachableTransfers();
            dispatchQueued(now);
        }
        if (now - lastTick > kTickInterval) {
            lastTick = now;
            dispatcher_.tick(now);
        }
    }
    socket_.close();
}

void UdpServer::dispatchQueued(std::time_t now) {
    // Under load several datagrams wait at once: one call takes them all, and they are handled one
    // by one in the order they came. When the queue runs dry the loop keeps looking for a short
    // while before it waits again: the answer to a block just sent is often that close, and
    // catching it saves a sleep and a wake-up, which cost more than the looking. The pass is
    // bounded, so that the stop flag and the tick are still seen in time.
    std::size_t emptyInARow = 0;
    for (std::size_t call = 0; call < kMostReceivesPerPass; ++call) {
        const auto taken = socket_.receiveQueued(receiveBuffers_, received_);
        for (std::size_t i = 0; i < taken; ++i) {
            // A failed receive, an oversized datagram and an empty one are dropped silently.
            if (received_[i].length > 0) {
                dispatcher_.dispatch(
                    received_[i].from,
                    receiveBuffers_[i].first(static_cast<std::size_t>(received_[i].length)), now);
            }
        }
        emptyInARow = taken == 0 ? emptyInARow + 1 : 0;
        if (emptyInARow > kEmptyReceivesBeforeWaiting) {
            return;
        }
    }
}

void UdpServer::endUnreachableTransfers() {
    std::array<ClientEndpoint, 16> unreachable;
    const auto count = socket_.takeUnreachablePeers(unreachable);
    for (std::size_t i = 0; i < count; ++i) {
        dispatcher_.onUnreachable(unreachable[i]);
    }
}

std::ptrdiff_t UdpServer::sendTo(const ClientEndpoint& endpoint,
                                 std::span<const std::uint8_t> bytes) {
    return socket_.sendTo(endpoint, bytes);
}

}  // namespace quillet
