#include "net/udp_socket.h"

#include <linux/errqueue.h>
#include <linux/sock_diag.h>
#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>
#include <netinet/udp.h>
#include <poll.h>
#include <cerrno>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>

#include "net/socket_address.h"
#include "net/socket_api_posix.h"

namespace quillet::net {
namespace {

// With IP_RECVERR (IPV6_RECVERR) every ICMP (ICMPv6) error that comes back about a datagram of
// ours, whichever its destination, also leaves a pending error on the socket that the next send
// returns instead of sending. Those errors are told apart from the destination's own (no route to
// it, say): they are on the error queue, and a second try goes out. Every ICMP error becomes one of
// these codes.
bool mayComeFromErrorQueue(int error) {
    switch (error) {
        case ECONNREFUSED:
        case EHOSTUNREACH:
        case ENETUNREACH:
        case EHOSTDOWN:
        case ENONET:
        case EACCES:  // ICMPv6 administratively prohibited
        case ENOPROTOOPT:
        case EOPNOTSUPP:
        case EMSGSIZE:
        case EPROTO:
            return true;
        default:
            return false;
    }
}

}  // namespace

std::uint32_t lastError() {
    return static_cast<std::uint32_t>(errno);
}

bool startup() {
    return true;
}

void cleanup() {}

bool UdpSocket::open(SocketFamily family) {
    close();
    const bool dualStack = family == SocketFamily::DualStack;
    handle_ = ::socket(dualStack ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (handle_ == kNoSocket) {
        return false;
    }
    family_ = family;
    const int on = 1;
    const int off = 0;
    if (dualStack && ::setsockopt(handle_, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
        const int error = errno;
        close();
        errno = error;
        return false;
    }
    // Keep ICMP errors for our sends on the error queue, with the address they were sent to and
    // the one they came from, so that a transfer to a port where nothing listens ends at once.
    // On the dual-stack socket Linux queues the errors about IPv4-mapped peers only with the IPv4
    // option and those about IPv6 peers only with the IPv6 one; both are read as IPV6_RECVERR.
    ::setsockopt(handle_, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    if (dualStack) {
        ::setsockopt(handle_, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
    }
    // Segmentation offload (Linux 4.18): the option reads as 0 where the kernel has it. It stays
    // 0, a size for every send; each segmented send names its own.
    int segmentSize = 0;
    socklen_t length = sizeof segmentSize;
    const bool segments = ::getsockopt(handle_, SOL_UDP, UDP_SEGMENT, &segmentSize, &length) == 0;
    segmentsRefusedFrom_ = segments ? SIZE_MAX : 0;
    return true;
}

WaitResult UdpSocket::waitReadable(std::chrono::milliseconds timeout) const {
    pollfd entry{handle_, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
    if (ready > 0) {
        return WaitResult::Readable;
    }
    if (ready == 0) {
        return WaitResult::TimedOut;
    }
    return errno == EINTR ? WaitResult::TimedOut : WaitResult::Failed;
}

std::size_t UdpSocket::receiveQueued(std::span<const std::span<std::uint8_t>> buffers,
                                     std::span<ReceivedDatagram> received) const {
    constexpr std::size_t kMostPerCall = 64;
    const std::size_t wanted = std::min({buffers.size(), received.size(), kMostPerCall});
    // Only the entries in use are set: a call for one datagram clears one entry, not 64.
    std::array<mmsghdr, kMostPerCall> messages;
    std::array<iovec, kMostPerCall> vectors;
    std::array<SocketAddress, kMostPerCall> sources;
    for (std::size_t i = 0; i < wanted; ++i) {
        vectors[i] = {buffers[i].data(), buffers[i].size()};
        sources[i] = {};
        messages[i] = {};
        messages[i].msg_hdr.msg_name = &sources[i].storage;
        messages[i].msg_hdr.msg_namelen = sources[i].length;
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    // One call takes every queued datagram up to the batch's size. A pending error for an earlier
    // send fails it like an empty queue; the error queue is read after the next wait or send.
    const int taken =
        ::recvmmsg(handle_, messages.data(), static_cast<unsigned>(wanted), MSG_DONTWAIT, nullptr);
    if (taken <= 0) {
        return 0;
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(taken); ++i) {
        // recvfrom would silently hand over the first bytes of an oversized datagram; MSG_TRUNC
        // tells us it happened, so that the datagram is dropped whole.
        sources[i].length = messages[i].msg_hdr.msg_namelen;
        const auto from = endpointOf(sources[i]);
        const bool whole = (messages[i].msg_hdr.msg_flags & MSG_TRUNC) == 0 && from.has_value();
        received[i].from = from.value_or(ClientEndpoint{});
        received[i].length = whole ? std::optional<std::size_t>(messages[i].msg_len) : std::nullopt;
    }
    return static_cast<std::size_t>(taken);
}

std::optional<SendResult> UdpSocket::sendSegmented(const ClientEndpoint& to,
                                                   std::span<const std::uint8_t> bytes,
                                                   std::size_t segmentSize) {
    SocketAddress destination = socketAddressOf(to, family_ == SocketFamily::DualStack);
    if (destination.length == 0) {
        return SendResult::Failed;
    }
    iovec vector{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
    msghdr message{};
    message.msg_name = destination.get();
    message.msg_namelen = destination.length;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_UDP;
    header->cmsg_type = UDP_SEGMENT;
    header->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    const auto size = static_cast<std::uint16_t>(segmentSize);
    std::memcpy(CMSG_DATA(header), &size, sizeof size);
    const auto result = sendRetrying(bytes.size(), [&] { return ::sendmsg(handle_, &message, 0); });
    // The kernel refuses a segmented send with EIO where the route cannot offload the checksum
    // and with EINVAL where a segment would not fit the route's MTU: nothing went out. Neither
    // code is one of the error queue's, so errno is still the send's own.
    if (result == SendResult::Failed && (errno == EIO || errno == EINVAL)) {
        return std::nullopt;
    }
    return result;
}

std::size_t UdpSocket::growReceiveBuffer(std::size_t bytes) {
    // Past net.core.rmem_max only with CAP_NET_ADMIN, which the programs hold until they drop
    // their privileges; otherwise up to that maximum.
    const int asked = static_cast<int>(std::min<std::size_t>(bytes, INT_MAX));
    if (::setsockopt(handle_, SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked) != 0) {
        ::setsockopt(handle_, SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked);
    }
    int size = 0;
    socklen_t length = sizeof size;
    ::getsockopt(handle_, SOL_SOCKET, SO_RCVBUF, &size, &length);
    return static_cast<std::size_t>(std::max(size, 0));
}

std::uint32_t UdpSocket::droppedDatagrams() const {
    // The socket's own count of drops, read once when asked rather than carried on every
    // datagram received (SO_RXQ_OVFL): the same counter.
    std::array<std::uint32_t, SK_MEMINFO_VARS> memory{};
    socklen_t length = sizeof memory;
    if (::getsockopt(handle_, SOL_SOCKET, SO_MEMINFO, memory.data(), &length) != 0 ||
        length < (SK_MEMINFO_DROPS + 1) * sizeof(std::uint32_t)) {
        return 0;
    }
    return memory[SK_MEMINFO_DROPS];
}

bool UdpSocket::readErrorQueue(int error) {
    // Enough to empty the queue of a flood between two waits; the kernel caps the rest.
    constexpr int kMostReadsPerCall = 1024;
    bool found = false;
    for (int read = 0; read < kMostReadsPerCall; ++read) {
        SocketAddress quoted;
        alignas(cmsghdr) char control[512];
        std::uint8_t ignored[1];
        iovec vector{ignored, sizeof ignored};
        msghdr message{};
        message.msg_name = &quoted.storage;
        message.msg_namelen = quoted.length;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (::recvmsg(handle_, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
            break;  // the queue is empty
        }
        quoted.length = message.msg_namelen;
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
             header = CMSG_NXTHDR(&message, header)) {
            // The dual-stack socket reports IPv4 and IPv6 errors alike as IPV6_RECVERR, with
            // IPv4-mapped addresses; an IPv4 socket as IP_RECVERR.
            const bool ipv4 = header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_RECVERR;
            const bool ipv6 =
                header->cmsg_level == IPPROTO_IPV6 && header->cmsg_type == IPV6_RECVERR;
            if (!ipv4 && !ipv6) {
                continue;
            }
            // SO_EE_OFFENDER, the reporter, follows the report: its length tells its family.
            SocketAddress reporter;
            sock_extended_err report{};
            const std::size_t dataLength = header->cmsg_len - CMSG_LEN(0);
            if (dataLength < sizeof report) {
                continue;
            }
            std::memcpy(&report, CMSG_DATA(header), sizeof report);
            reporter.length = static_cast<socklen_t>(
                std::min(dataLength - sizeof report, sizeof reporter.storage));
            std::memcpy(&reporter.storage, CMSG_DATA(header) + sizeof report, reporter.length);
            const bool icmp4 = report.ee_origin == SO_EE_ORIGIN_ICMP;
            const bool icmp6 = report.ee_origin == SO_EE_ORIGIN_ICMP6;
            found = found || ((icmp4 || icmp6) && static_cast<int>(report.ee_errno) == error);
            const auto about = endpointOf(quoted);
            if (queued_.size() >= kMostQueuedErrors || !about) {
                continue;
            }
            QueuedError entry;
            entry.about = *about;
            entry.reporter = endpointOf(reporter).value_or(ClientEndpoint{});
            entry.reporter.port = 0;
            entry.icmpType = icmp4 || icmp6 ? report.ee_type : 0;
            entry.icmpCode = icmp4 || icmp6 ? report.ee_code : 0;
            // Only the client's own host says that nothing listens at its port; anyone may
            // forge the rest, and the quoted datagram went from our port, as it is our queue.
            const bool portUnreachable = (icmp4 && report.ee_type == ICMP_DEST_UNREACH &&
                                          report.ee_code == ICMP_PORT_UNREACH) ||
                                         (icmp6 && report.ee_type == ICMP6_DST_UNREACH &&
                                          report.ee_code == ICMP6_DST_UNREACH_NOPORT);
            ClientEndpoint client = entry.about;
            client.port = 0;
            if (portUnreachable && entry.reporter == client) {
                entry.kind = QueuedError::Kind::PeerUnreachable;
            }
            queued_.push_back(entry);
        }
    }
    return found;
}

bool UdpSocket::failedForOthers(int error) {
    // A refused port is only ever reported from the queue; for the other codes the queue must
    // hold an error of that code, or the destination is at fault.
    return mayComeFromErrorQueue(error) && (readErrorQueue(error) || error == ECONNREFUSED);
}

}  // namespace quillet::net
