#include "engine/udp_server.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "engine/privileges.h"
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
    if (!start()) {
        return kExitCannotStart;
    }
    receiveLoop();
    return 0;
}

void UdpServer::prepare() {
    prepared_ = true;
    socketState_ = SocketState::Bound;
    // One socket for both families; where IPv6 is not available, the IPv4 socket alone.
    ipv6Error_.reset();
    if (!socket_.open(net::SocketFamily::DualStack)) {
        ipv6Error_ = net::lastError();
    }
    if (ipv6Error_ && !socket_.open(net::SocketFamily::Ipv4)) {
        socketState_ = SocketState::NotCreated;
        prepareError_ = net::lastError();
    } else if (!socket_.bind(port_)) {
        socketState_ = SocketState::NotBound;
        prepareError_ = net::lastError();
        socket_.close();
    } else {
        // Room for a burst of every session's acknowledgements; done here, while the program may
        // still pass the system's maximum.
        socket_.growReceiveBuffer(kReceiveQueueBytes);
    }
    folder_ = ServedFolder::open(servedFolder_.empty() ? ServedFolder::workingDirectory()
                                                       : servedFolder_);
}

bool UdpServer::start() {
    if (!prepared_) {
        prepare();
    }
    char text[256];
    if (ipv6Error_) {
        writeFormatted(dispatcher_.logSink(), loglevel::kRefused,
                       "IPv6 Socket Create Error: 0x%08X, serving IPv4 only.",
                       static_cast<unsigned>(*ipv6Error_));
    }
    switch (socketState_) {
        case SocketState::NotCreated:
            std::snprintf(text, sizeof text, "Socket Create Error: 0x%08X",
                          static_cast<unsigned>(prepareError_));
            reportStartFailure(text);
            return false;
        case SocketState::NotBound:
            std::snprintf(text, sizeof text, "Bind failed, Maybe Port %d already in use: 0x%08X",
                          int{port_}, static_cast<unsigned>(prepareError_));
            reportStartFailure(text);
            return false;
        case SocketState::Bound:
            break;
    }
    writeFormatted(dispatcher_.logSink(), loglevel::kServerState, "Quillet Server Ready...");
    dropsReported_ = socket_.droppedDatagrams();
    serveFolder();
    // Every transfer holds a descriptor: cap them below what the process may open.
    dispatcher_.limitSessions(RequestDispatcher::sessionCapFor(raiseOpenFileLimit()));
    return true;
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
        const char* why = folder_.problem() == ServedFolder::Problem::NotConfined
                              ? "openat2 is not available (Linux 5.6 or later is needed)"
                              : "the served folder cannot be opened";
        writeFormatted(dispatcher_.logSink(), loglevel::kCannotStart,
                       "Every Read Request is refused: %s.", why);
    }
    dispatcher_.serveFolder(std::move(folder_));
}

void UdpServer::logAddresses() {
    static constexpr char kPrefix[] = "Addresses: ";
    std::vector<std::string> texts;
    for (net::LocalAddress& address : net::localAddresses()) {
        // An IPv4 socket would not answer at an IPv6 address.
        if (!address.ipv6 || socket_.family() == net::SocketFamily::DualStack) {
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
        const auto waitStarted = std::chrono::steady_clock::now();
        const auto waited = socket_.waitReadable(kWaitForDatagram);
        adaptLook(std::chrono::steady_clock::now() - waitStarted);
        const std::time_t now = monotonicSeconds();
        if (waited == net::WaitResult::Failed) {
            // Never spin on a socket that keeps failing; the stop flag is still seen in time.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (waited == net::WaitResult::Readable) {
            actOnQueuedErrors(now);
            dispatchQueued(now);
        }
        if (now - lastTick > kTickInterval) {
            lastTick = now;
            dispatcher_.tick(now);
            actOnQueuedErrors(now);
            reportDrops();
        }
    }
    socket_.close();
}

void UdpServer::dispatchQueued(std::time_t now) {
    // Under load several datagrams wait at once: one call takes them all, and they are handled one
    // by one in the order they came. When the queue runs dry the loop may keep looking for a short
    // while before it waits again: when the answer to a block just sent comes that soon, catching
    // it saves a sleep and a wake-up, which cost more than the looking; when it comes later, the
    // look is wasted on top of them (adaptLook). The pass is bounded, so that the stop flag and
    // the tick are still seen in time.
    std::optional<std::chrono::steady_clock::time_point> dryAt;
    for (std::size_t call = 0; call < kMostReceivesPerPass; ++call) {
        const auto taken = socket_.receiveQueued(receiveBuffers_, received_);
        for (std::size_t i = 0; i < taken; ++i) {
            // A failed receive, an oversized datagram and an empty one are dropped silently.
            if (const auto length = received_[i].length.value_or(0); length > 0) {
                dispatcher_.dispatch(received_[i].from, receiveBuffers_[i].first(length), now);
            }
            // Errors that a send read on the way are acted on between datagrams, never inside
            // a session's own call.
            if (socket_.holdsQueuedErrors()) {
                actOnQueuedErrors(now);
            }
        }
        // A batch taken short found the queue dry.
        if (taken < received_.size()) {
            if (lookBudget_ == std::chrono::steady_clock::duration::zero()) {
                return;
            }
            const auto at = std::chrono::steady_clock::now();
            if (taken > 0 || !dryAt) {
                dryAt = at;
            } else if (at - *dryAt >= lookBudget_) {
                return;
            }
        }
    }
}

void UdpServer::adaptLook(std::chrono::steady_clock::duration waited) {
    // As a hypervisor tunes how long an idle processor polls before it halts: a wait that a look
    // of at most kLongestLook would have covered doubles the look (from an eighth of that); one
    // longer than any look halves it, down to none, so that a client in lock-step whose answers
    // take longer than that costs a sleep and a wake-up per block and no looking.
    const std::chrono::steady_clock::duration longest = kLongestLook;
    if (lookBudget_ + waited <= longest) {
        lookBudget_ = std::clamp(2 * lookBudget_, longest / 8, longest);
    } else if (waited > longest) {
        lookBudget_ = lookBudget_ < longest / 8 ? lookBudget_.zero() : lookBudget_ / 2;
    }
}

void UdpServer::reportDrops() {
    const std::uint32_t dropped = socket_.droppedDatagrams();
    if (dropped != dropsReported_) {
        // The count runs on and may wrap; the difference is what is new.
        writeFormatted(dispatcher_.logSink(), loglevel::kRefused,
                       "%u Datagrams Dropped, Receive Queue Full.",
                       static_cast<unsigned>(dropped - dropsReported_));
        dropsReported_ = dropped;
    }
}

void UdpServer::actOnQueuedErrors(std::time_t now) {
    std::array<net::QueuedError, 16> errors;
    // Bounded like the receives of a pass; what is left waits for the next.
    for (std::size_t round = 0; round < kMostReceivesPerPass; ++round) {
        const auto count = socket_.takeQueuedErrors(errors);
        if (count == 0) {
            break;
        }
        for (const auto& error : std::span(errors).first(count)) {
            if (error.kind == net::QueuedError::Kind::PeerUnreachable) {
                dispatcher_.onUnreachable(error.about, now);
            } else if (errorLines_.admit(dispatcher_.logSink(), error.about,
                                         LineLimiter::Topic::IgnoredError, now)) {
                writeAboutClient(dispatcher_.logSink(), loglevel::kProgressDetail, error.about,
                                 "ICMP Error (type %d, code %d) from %s Ignored.",
                                 int{error.icmpType}, int{error.icmpCode},
                                 addressText(error.reporter).c_str());
            }
        }
    }
    errorLines_.reportHeldBack(dispatcher_.logSink(), now);
}

net::SendResult UdpServer::sendTo(const ClientEndpoint& endpoint,
                                  std::span<const std::uint8_t> bytes) {
    return socket_.sendTo(endpoint, bytes);
}

std::size_t UdpServer::sendSegments(const ClientEndpoint& endpoint,
                                    std::span<const std::uint8_t> bytes, std::size_t segmentSize) {
    return socket_.sendSegments(endpoint, bytes, segmentSize);
}

}  // namespace quillet
