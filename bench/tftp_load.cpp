// tftp_load: a TFTP read load generator. It runs N clients at once over raw UDP, each fetching
// FILE from HOST (an IPv4 or IPv6 address) PORT with a fresh socket (so a fresh client port) per
// transfer, until a fixed number of transfers has been made, and reports throughput, transfers
// per second and the retransmissions seen on both sides, and the median and 99th percentile of
// one transfer's time.
//
//   tftp_load HOST PORT FILE [-c CONCURRENCY] [-n TRANSFERS] [-t TIMEOUT_MS] [-s MAX_SECONDS]
//             [-b BLKSIZE] [-w WINDOWSIZE] [-q HOLD_SECONDS]
//
// Without -b and -w every client runs lock-step with 512-byte blocks and asks for no option. With
// either, each request asks for blksize (RFC 2348; -b, 8 to 65,464), windowsize (RFC 7440; -w, 1
// to 65,535) and always tsize 0 (RFC 2349), and the client takes what the server answers: an OACK
// (RFC 2347) gives the options it accepted, and the client starts the transfer with ACK 0; a
// server that answers with DATA 1 took none. Windows are acknowledged as RFC 7440 says: the last
// block of each complete window; on a gap (a block beyond the next one expected), the last block
// received in order, once per gap, and the blocks beyond the gap are dropped; after TIMEOUT_MS of
// silence the client acknowledges the last block received in order again. A DATA block received
// twice is counted and never answered. When the OACK carried tsize, the size received must match.
//
// With -q the transfers start and go quiet: each client takes DATA 1 and never acknowledges it,
// keeping its socket open (at most CONCURRENCY requests unanswered at a time), then all of them
// listen for HOLD_SECONDS. The server's resends of block 1 are stamped by the kernel as they
// arrive; the resends of one sweep over the quiet transfers arrive together, so the span of each
// burst is the time that sweep took to send them. (-q asks for no options.)
//
// The server's answers are accepted from the port of its first DATA or OACK (RFC 1350's transfer
// identifier), so a server that answers from port 69 and one that answers from a new port per
// transfer are both measured. A transfer fails on an ERROR, on a DATA larger than the block size,
// on a DATA beyond the window the client acknowledged, on an OACK with an option it did not ask for
// or a value above the one asked, on a size that differs from the OACK's tsize, or after five
// resends of one packet without an answer; the client sends the server an ERROR for the failures
// it finds itself. The run as a whole ends after MAX_SECONDS whatever happens. The exit status is
// 0 only when every transfer completed, all with the same size.
//
//   tftp_load HOST PORT -H DATAGRAMS [-c SOURCE_PORTS] [-r PER_SECOND] [-s MAX_SECONDS]
//
// The hostile mode sends DATAGRAMS datagrams that no well-behaved client sends, round-robin from
// SOURCE_PORTS sockets (64 by default) and at most PER_SECOND a second (20,000 by default): random
// bytes, truncated and oversized packets, read requests for missing and refused names, write
// requests, stray DATA, ACKs and ERRORs. It drains and counts the server's answers, and fails if
// one of them is DATA (a hostile datagram that started a transfer). The same datagrams every run.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kBlockSize = 512;  // without options, and what a server that took none sends
constexpr int kLargestBlockSize = 65464;
constexpr std::uint16_t kOpRrq = 1;
constexpr std::uint16_t kOpWrq = 2;
constexpr std::uint16_t kOpData = 3;
constexpr std::uint16_t kOpAck = 4;
constexpr std::uint16_t kOpError = 5;
constexpr std::uint16_t kOpOack = 6;
constexpr int kMaxResends = 5;

struct Options {
    std::string host;
    std::uint16_t port = 69;
    std::string file;
    int concurrency = 8;
    int transfers = 64;
    int timeoutMs = 500;
    int maxSeconds = 120;
    int blockSize = 0;   // -b: blksize asked for; 0 asks for none
    int windowSize = 0;  // -w: windowsize asked for; 0 asks for none
    int hostile = 0;     // the hostile mode's datagrams; 0 for the transfer mode
    int rate = 20000;
    int holdSeconds = 0;      // -q: quiet transfers, held this long
    int sourceAddresses = 1;  // -a: IPv4 clients spread over 127.0.0.1 up to 127.0.0.N
};

/// Why a transfer failed.
enum class Failure {
    None,
    ServerError,
    Timeout,
    Oversized,
    BeyondWindow,
    BadOack,
    WrongSize,
    Socket
};
constexpr std::array<const char*, 8> kFailureNames = {
    "none",         "server ERROR", "timeout",     "oversized DATA", "DATA beyond the window",
    "unasked OACK", "wrong size",   "socket error"};

struct Totals {
    int started = 0;
    int done = 0;
    int failed = 0;
    std::uint64_t bytes = 0;
    std::uint64_t clientResends = 0;  // our RRQ or ACK sent again after a silence
    std::uint64_t duplicateData = 0;  // a DATA block that had already arrived (server resend)
    std::uint64_t gapAcks = 0;        // ACKs of the last block in order, sent on a gap
    std::uint64_t droppedData = 0;    // DATA beyond a gap, dropped
    std::array<int, kFailureNames.size()> failures{};  // by Failure
    std::int64_t firstSize = -1;                       // the size of the first completed transfer
    int sizeMismatches = 0;               // completed transfers of another size than the first
    int held = 0;                         // -q: transfers that got DATA 1 and went quiet
    std::vector<double> transferSeconds;  // each completed transfer, request to last block
    // The options of the first transfer that got an answer, and whether another one got others.
    std::size_t blockSize = 0;
    std::uint16_t windowSize = 0;
    bool tsize = false;
    bool mixedOptions = false;
};

/// A file descriptor (a socket or the epoll instance), closed when the object goes.
class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);  // also takes it out of the epoll set
        }
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

/// A socket address of either family: the server's, or where a datagram came from.
struct Address {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;

    int family() const { return storage.ss_family; }
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }

    /// The host part's bytes (4 or 16) and the port, in network order.
    std::string_view host() const {
        const auto* bytes = reinterpret_cast<const char*>(&storage);
        return family() == AF_INET6
                   ? std::string_view(bytes + offsetof(sockaddr_in6, sin6_addr), 16)
                   : std::string_view(bytes + offsetof(sockaddr_in, sin_addr), 4);
    }
    std::uint16_t port() const {
        return family() == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port
                                    : reinterpret_cast<const sockaddr_in*>(&storage)->sin_port;
    }
};

bool sameHost(const Address& a, const Address& b) {
    return a.family() == b.family() && a.host() == b.host();
}

bool sameAddress(const Address& a, const Address& b) {
    return sameHost(a, b) && a.port() == b.port();
}

std::uint16_t readU16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

void putU16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

void putText(std::vector<std::uint8_t>& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

/// Datagrams received with one recvmmsg call, into buffers that hold the largest UDP payload.
struct ReceiveBatch {
    static constexpr std::size_t kCount = 16;
    static constexpr std::size_t kSize = 65536;
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kCount * kSize);
    std::array<Address, kCount> from{};
    std::array<iovec, kCount> vectors{};
    std::array<mmsghdr, kCount> headers{};

    /// Receives up to kCount waiting datagrams; the count, or -1 with errno.
    int receive(int fd) {
        for (std::size_t i = 0; i < kCount; ++i) {
            vectors[i] = {bytes.data() + i * kSize, kSize};
            from[i].length = sizeof from[i].storage;
            headers[i] = {};
            headers[i].msg_hdr.msg_name = from[i].get();
            headers[i].msg_hdr.msg_namelen = from[i].length;
            headers[i].msg_hdr.msg_iov = &vectors[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        const int count = ::recvmmsg(fd, headers.data(), kCount, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < count; ++i) {
            from[static_cast<std::size_t>(i)].length =
                headers[static_cast<std::size_t>(i)].msg_hdr.msg_namelen;
        }
        return count;
    }
    const std::uint8_t* datagram(std::size_t i) const { return bytes.data() + i * kSize; }
    std::size_t length(std::size_t i) const { return headers[i].msg_len; }
};

/// One client slot: runs one transfer at a time, lock-step or in windows.
class Transfer {
  public:
    enum class Step { Running, Done, Failed, Held };

    /// Opens a fresh socket, adds it to the epoll set and sends the read request (with the
    /// options asked for, if any).
    bool start(int epoll, const Address& server, const Options& options, Clock::time_point now,
               bool quiet) {
        socket_ = Descriptor(
            ::socket(server.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP));
        // The server holds at most half its sessions for one address: many quiet transfers need
        // clients on more than one loopback address.
        static std::uint32_t started = 0;
        if (socket_.valid() && options.sourceAddresses > 1 && server.family() == AF_INET) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(
                INADDR_LOOPBACK + started++ % static_cast<std::uint32_t>(options.sourceAddresses));
            if (::bind(socket_.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) !=
                0) {
                return false;
            }
        }
        epoll_event interest{};
        interest.events = EPOLLIN;
        interest.data.ptr = this;
        if (!socket_.valid() || ::epoll_ctl(epoll, EPOLL_CTL_ADD, socket_.fd(), &interest) != 0) {
            return false;
        }
        server_ = server;
        peer_.reset();
        askedBlockSize_ = options.blockSize;
        askedWindowSize_ = options.windowSize;
        blockSize_ = kBlockSize;
        windowSize_ = 1;
        tsize_.reset();
        expected_ = 1;
        lastAcked_ = 0;
        gapAcknowledged_ = false;
        bytes_ = 0;
        resends_ = 0;
        failure_ = Failure::None;
        timeout_ = std::chrono::milliseconds(options.timeoutMs);
        quiet_ = quiet;
        startedAt_ = now;
        lastSent_.clear();
        putU16(lastSent_, kOpRrq);
        putText(lastSent_, options.file);
        putText(lastSent_, "octet");
        if (askedBlockSize_ > 0 || askedWindowSize_ > 0) {
            if (askedBlockSize_ > 0) {
                putText(lastSent_, "blksize");
                putText(lastSent_, std::to_string(askedBlockSize_));
            }
            putText(lastSent_, "tsize");
            putText(lastSent_, "0");
            if (askedWindowSize_ > 0) {
                putText(lastSent_, "windowsize");
                putText(lastSent_, std::to_string(askedWindowSize_));
            }
        }
        active_ = true;
        return sendLast(server_, now);
    }

    /// Reads every datagram waiting on the socket.
    Step receive(Clock::time_point now, Totals& totals, ReceiveBatch& batch) {
        while (true) {
            const int count = batch.receive(socket_.fd());
            if (count < 0) {
                return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                           ? Step::Running
                           : fail(Failure::Socket);
            }
            for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
                const Step step =
                    handle(batch.datagram(i), batch.length(i), batch.from[i], now, totals);
                if (step != Step::Running) {
                    return step;
                }
            }
            if (static_cast<std::size_t>(count) < ReceiveBatch::kCount) {
                return Step::Running;  // the queue was empty; epoll tells of the next ones
            }
        }
    }

    /// After a silence resends the request, or acknowledges the last block received in order
    /// again; fails after five resends without an answer.
    Step checkTimeout(Clock::time_point now, Totals& totals) {
        if (now < deadline_) {
            return Step::Running;
        }
        if (++resends_ > kMaxResends) {
            return fail(Failure::Timeout);
        }
        ++totals.clientResends;
        if (peer_) {
            gapAcknowledged_ = false;  // the window starts again after this ACK
            return acknowledge(static_cast<std::uint16_t>(expected_ - 1), now);
        }
        return sendLast(server_, now) ? Step::Running : fail(Failure::Socket);
    }

    void finish() {
        socket_.reset();
        active_ = false;
    }

    /// Hands the socket over (a quiet transfer keeps it open) and frees the slot.
    Descriptor release() {
        active_ = false;
        return std::move(socket_);
    }

    bool active() const { return active_; }
    bool answered() const { return peer_.has_value(); }
    int fd() const { return socket_.fd(); }
    Clock::time_point deadline() const { return deadline_; }
    std::uint64_t bytes() const { return bytes_; }
    Clock::time_point startedAt() const { return startedAt_; }
    Failure failure() const { return failure_; }
    std::size_t blockSize() const { return blockSize_; }
    std::uint16_t windowSize() const { return windowSize_; }
    bool hasTsize() const { return tsize_.has_value(); }

  private:
    Step handle(const std::uint8_t* datagram, std::size_t length, const Address& from,
                Clock::time_point now, Totals& totals) {
        if (length < 2 || !sameHost(from, server_)) {
            return Step::Running;  // not from the server: ignored, as RFC 1350 asks
        }
        if (peer_ && !sameAddress(*peer_, from)) {
            return Step::Running;  // another transfer identifier
        }
        const std::uint16_t opcode = readU16(datagram);
        if (opcode == kOpError) {
            return fail(Failure::ServerError);
        }
        if (opcode == kOpOack) {
            if (peer_) {
                return Step::Running;  // a repeated OACK: our own resend of ACK 0 answers it
            }
            peer_ = from;
            if (!takeOptions(datagram + 2, length - 2)) {
                sendError(8, "option not asked for");
                return fail(Failure::BadOack);
            }
            return acknowledge(0, now);
        }
        if (opcode != kOpData || length < 4) {
            return Step::Running;
        }
        if (!peer_) {
            peer_ = from;  // DATA 1 at once: the server took no option, the defaults hold
        }
        const std::uint16_t block = readU16(datagram + 2);
        const std::size_t payload = length - 4;
        if (block != expected_) {
            if (static_cast<std::uint16_t>(expected_ - block) <= 0x8000) {
                ++totals.duplicateData;  // never answered again: that would double every packet
                return Step::Running;
            }
            if (static_cast<std::uint16_t>(block - lastAcked_) > windowSize_) {
                sendError(0, "DATA beyond the window");
                return fail(Failure::BeyondWindow);
            }
            // A gap: a block before this one was lost. What follows it is dropped, and the last
            // block in order is acknowledged once, so that the server sends the window again from
            // the lost block.
            ++totals.droppedData;
            if (gapAcknowledged_) {
                return Step::Running;
            }
            gapAcknowledged_ = true;
            ++totals.gapAcks;
            return acknowledge(static_cast<std::uint16_t>(expected_ - 1), now);
        }
        if (payload > blockSize_) {
            sendError(0, "DATA larger than the block size");
            return fail(Failure::Oversized);
        }
        if (quiet_) {
            return Step::Held;  // DATA 1 is in; never acknowledged
        }
        bytes_ += payload;
        resends_ = 0;
        deadline_ = now + timeout_;  // the silence is counted from the last block in order
        gapAcknowledged_ = false;
        if (payload < blockSize_) {
            if (acknowledge(block, now) != Step::Running) {
                return Step::Failed;
            }
            if (tsize_ && *tsize_ != bytes_) {
                return fail(Failure::WrongSize);
            }
            return Step::Done;
        }
        ++expected_;  // wraps from 65535 to 0 as the block field does
        if (static_cast<std::uint16_t>(block - lastAcked_) >= windowSize_) {
            return acknowledge(block, now);  // the last block of a complete window
        }
        return Step::Running;
    }

    /// Takes the options of an OACK: each one must have been asked for, with a value no larger.
    bool takeOptions(const std::uint8_t* bytes, std::size_t length) {
        const std::string_view text(reinterpret_cast<const char*>(bytes), length);
        std::size_t blockSize = kBlockSize;
        std::uint16_t windowSize = 1;
        std::optional<std::uint64_t> tsize;
        std::size_t at = 0;
        while (at < text.size()) {
            const std::size_t nameEnd = text.find('\0', at);
            const std::size_t valueEnd =
                nameEnd == std::string_view::npos ? nameEnd : text.find('\0', nameEnd + 1);
            if (valueEnd == std::string_view::npos) {
                return false;
            }
            std::string name(text.substr(at, nameEnd - at));
            std::transform(name.begin(), name.end(), name.begin(),
                           [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
            const std::string_view value = text.substr(nameEnd + 1, valueEnd - nameEnd - 1);
            std::uint64_t number = 0;
            const auto [end, error] =
                std::from_chars(value.data(), value.data() + value.size(), number);
            if (error != std::errc() || end != value.data() + value.size()) {
                return false;
            }
            if (name == "blksize" && askedBlockSize_ > 0 && number >= 8 &&
                number <= static_cast<std::uint64_t>(askedBlockSize_)) {
                blockSize = number;
            } else if (name == "windowsize" && askedWindowSize_ > 0 && number >= 1 &&
                       number <= static_cast<std::uint64_t>(askedWindowSize_)) {
                windowSize = static_cast<std::uint16_t>(number);
            } else if (name == "tsize") {
                tsize = number;
            } else {
                return false;
            }
            at = valueEnd + 1;
        }
        blockSize_ = blockSize;
        windowSize_ = windowSize;
        tsize_ = tsize;
        return true;
    }

    Step acknowledge(std::uint16_t block, Clock::time_point now) {
        lastSent_.clear();
        putU16(lastSent_, kOpAck);
        putU16(lastSent_, block);
        lastAcked_ = block;
        return sendLast(*peer_, now) ? Step::Running : fail(Failure::Socket);
    }

    /// Tells the server that this client gives the transfer up (best effort).
    void sendError(std::uint16_t code, std::string_view text) {
        std::vector<std::uint8_t> packet;
        putU16(packet, kOpError);
        putU16(packet, code);
        putText(packet, text);
        ::sendto(socket_.fd(), packet.data(), packet.size(), 0, peer_->get(), peer_->length);
    }

    Step fail(Failure why) {
        failure_ = why;
        return Step::Failed;
    }

    bool sendLast(const Address& to, Clock::time_point now) {
        deadline_ = now + timeout_;
        return ::sendto(socket_.fd(), lastSent_.data(), lastSent_.size(), 0, to.get(), to.length) ==
               static_cast<ssize_t>(lastSent_.size());
    }

    Descriptor socket_;
    Address server_;
    std::optional<Address> peer_;
    int askedBlockSize_ = 0;
    int askedWindowSize_ = 0;
    std::size_t blockSize_ = kBlockSize;  // as negotiated
    std::uint16_t windowSize_ = 1;        // as negotiated
    std::optional<std::uint64_t> tsize_;  // the OACK's, when it carried one
    std::uint16_t expected_ = 1;          // the next block in order
    std::uint16_t lastAcked_ = 0;         // the window runs from the block after it
    bool gapAcknowledged_ = false;        // the current gap has had its ACK
    std::uint64_t bytes_ = 0;
    int resends_ = 0;
    Failure failure_ = Failure::None;
    std::chrono::milliseconds timeout_{500};
    Clock::time_point deadline_{};
    std::vector<std::uint8_t> lastSent_;
    bool active_ = false;
    bool quiet_ = false;
    Clock::time_point startedAt_{};
};

/// The datagrams of the hostile mode, drawn from a fixed seed.
class HostileDatagrams {
  public:
    std::vector<std::uint8_t> next() {
        std::vector<std::uint8_t> out;
        switch (pick(8)) {
            case 0:  // random bytes, the empty datagram included
                appendRandom(out, pick(65));
                break;
            case 1:  // oversized: a known opcode, then up to 9,000 random bytes
                putU16(out, static_cast<std::uint16_t>(1 + pick(5)));
                appendRandom(out, 513 + pick(8488));
                break;
            case 2:  // a read request cut short
                appendRequest(out, kOpRrq, "missing.bin", "octet");
                out.resize(pick(out.size()));
                break;
            case 3:  // a missing name, in a known or an unknown mode
                appendRequest(out, kOpRrq, "missing-" + std::to_string(pick(1000)),
                              pick(4) == 0 ? "bogus" : "octet");
                break;
            case 4: {  // a name that is refused
                static const std::array<std::string, 10> kRefused = {
                    "../etc/passwd", "/etc/passwd",
                    "//etc/passwd",  "/proc/self/environ",
                    "Quillet.log",   "Quillet.log.bak",
                    "a..b",          "x\r\n2020-01-01 00:00:00    forged",
                    "\x1b[2Jx",      std::string(1000, 'n')};
                appendRequest(out, pick(5) == 0 ? kOpWrq : kOpRrq, kRefused[pick(kRefused.size())],
                              "octet");
                break;
            }
            case 5:  // a stray ACK, now and then a short or a long one
                putU16(out, kOpAck);
                appendRandom(out, pick(8) == 0 ? pick(6) : 2);
                break;
            case 6:  // a stray ERROR, its text with control bytes and not always terminated
                putU16(out, kOpError);
                appendRandom(out, 2 + pick(40));
                break;
            default:  // stray DATA
                putU16(out, kOpData);
                appendRandom(out, pick(520));
                break;
        }
        return out;
    }

  private:
    std::size_t pick(std::size_t bound) {
        return bound == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_);
    }
    void appendRandom(std::vector<std::uint8_t>& out, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            out.push_back(static_cast<std::uint8_t>(pick(256)));
        }
    }
    static void appendRequest(std::vector<std::uint8_t>& out, std::uint16_t opcode,
                              std::string_view name, std::string_view mode) {
        putU16(out, opcode);
        putText(out, name);
        putText(out, mode);
    }

    std::mt19937 random_{20261207};
};

/// The hostile mode: sends the datagrams round-robin from the sockets at the rate asked for, and
/// counts the answers. Returns the exit status.
int runHostile(const Options& options, const Address& server) {
    std::vector<Descriptor> sockets;
    for (int i = 0; i < options.concurrency; ++i) {
        sockets.emplace_back(
            ::socket(server.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!sockets.back().valid()) {
            std::perror("tftp_load: socket");
            return 1;
        }
    }
    HostileDatagrams datagrams;
    std::array<std::uint64_t, 6> answers{};  // by opcode; [0] for anything else
    int sent = 0;
    auto drain = [&](const Descriptor& socket) {
        std::array<std::uint8_t, 600> buffer{};
        ssize_t length = 0;
        while ((length = ::recv(socket.fd(), buffer.data(), buffer.size(), 0)) >= 0) {
            const std::size_t opcode = length >= 2 ? readU16(buffer.data()) : 0;
            ++answers[opcode < answers.size() ? opcode : 0];
        }
    };
    const auto begin = Clock::now();
    const auto giveUp = begin + std::chrono::seconds(options.maxSeconds);
    while (sent < options.hostile && Clock::now() < giveUp) {
        const auto due = begin + std::chrono::microseconds(1'000'000LL * sent / options.rate);
        std::this_thread::sleep_until(due);
        const auto& socket = sockets[static_cast<std::size_t>(sent) % sockets.size()];
        const auto bytes = datagrams.next();
        ::sendto(socket.fd(), bytes.data(), bytes.size(), 0, server.get(), server.length);
        ++sent;
        drain(socket);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the last answers
    for (const auto& socket : sockets) {
        drain(socket);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    std::printf("hostile datagrams: %d sent from %d ports in %.3f s\n", sent, options.concurrency,
                seconds);
    std::printf(
        "answers:           %llu ERROR, %llu DATA, %llu other\n",
        static_cast<unsigned long long>(answers[kOpError]),
        static_cast<unsigned long long>(answers[kOpData]),
        static_cast<unsigned long long>(answers[0] + answers[1] + answers[2] + answers[kOpAck]));
    return sent == options.hostile && answers[kOpData] == 0 ? 0 : 1;
}

bool parseInt(std::string_view text, int& value, int lowest) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= lowest;
}

void usage() {
    std::fprintf(
        stderr,
        "usage: tftp_load HOST PORT FILE [-c CONCURRENCY] [-n TRANSFERS] "
        "[-t TIMEOUT_MS] [-s MAX_SECONDS]\n"
        "                 [-b BLKSIZE] [-w WINDOWSIZE] [-q HOLD_SECONDS] [-a SOURCE_ADDRESSES]\n"
        "       tftp_load HOST PORT -H DATAGRAMS [-c SOURCE_PORTS] [-r PER_SECOND] "
        "[-s MAX_SECONDS]\n");
}

std::optional<Options> parseOptions(int argc, char** argv) {
    if (argc < 4) {
        return std::nullopt;
    }
    Options options;
    options.host = argv[1];
    int port = 0;
    if (!parseInt(argv[2], port, 1) || port > 65535) {
        return std::nullopt;
    }
    options.port = static_cast<std::uint16_t>(port);
    const int firstFlag = std::string_view(argv[3]) == "-H" ? 3 : 4;
    if (firstFlag == 4) {
        options.file = argv[3];
    } else {
        options.concurrency = 64;
    }
    for (int i = firstFlag; i + 1 < argc; i += 2) {
        const std::string_view flag = argv[i];
        int* target = flag == "-c"   ? &options.concurrency
                      : flag == "-n" ? &options.transfers
                      : flag == "-t" ? &options.timeoutMs
                      : flag == "-s" ? &options.maxSeconds
                      : flag == "-H" ? &options.hostile
                      : flag == "-r" ? &options.rate
                      : flag == "-q" ? &options.holdSeconds
                      : flag == "-b" ? &options.blockSize
                      : flag == "-w" ? &options.windowSize
                      : flag == "-a" ? &options.sourceAddresses
                                     : nullptr;
        if (target == nullptr || !parseInt(argv[i + 1], *target, 1)) {
            return std::nullopt;
        }
    }
    if ((argc - firstFlag) % 2 != 0 || (options.hostile > 0) == (firstFlag == 4)) {
        return std::nullopt;
    }
    const bool asksOptions = options.blockSize > 0 || options.windowSize > 0;
    if ((options.blockSize > 0 &&
         (options.blockSize < 8 || options.blockSize > kLargestBlockSize)) ||
        options.windowSize > 65535 || (asksOptions && options.holdSeconds > 0)) {
        return std::nullopt;
    }
    return options;
}

/// The value below which the given fraction of the sorted values lies (nearest rank).
double percentile(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) {
        return 0.0;
    }
    const auto rank =
        static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(rank, sorted.size() - 1)];
}

/// Quiet transfers: sockets that got DATA 1 and stay open, answering nothing.
struct QuietHold {
    Descriptor epoll{::epoll_create1(EPOLL_CLOEXEC)};
    std::vector<Descriptor> sockets;
    std::vector<std::int64_t> resendArrivals;  // kernel receive stamps, ns
    int errors = 0;                            // ERROR packets from the server meanwhile

    bool add(Descriptor socket) {
        const int on = 1;
        ::setsockopt(socket.fd(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        epoll_event interest{};
        interest.events = EPOLLIN;
        interest.data.u64 = sockets.size();
        if (::epoll_ctl(epoll.fd(), EPOLL_CTL_ADD, socket.fd(), &interest) != 0) {
            return false;
        }
        sockets.push_back(std::move(socket));
        return true;
    }

    /// Reads every waiting datagram of one socket, noting when each resent DATA arrived.
    void drain(int fd) {
        std::array<std::uint8_t, 4 + kBlockSize + 64> buffer{};
        alignas(cmsghdr) std::array<char, 256> control{};
        while (true) {
            iovec vector{buffer.data(), buffer.size()};
            msghdr message{};
            message.msg_iov = &vector;
            message.msg_iovlen = 1;
            message.msg_control = control.data();
            message.msg_controllen = control.size();
            const ssize_t length = ::recvmsg(fd, &message, MSG_DONTWAIT);
            if (length < 4) {
                return;
            }
            const std::uint16_t opcode = readU16(buffer.data());
            if (opcode == kOpError) {
                ++errors;
                continue;
            }
            for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
                 header = CMSG_NXTHDR(&message, header)) {
                if (opcode == kOpData && header->cmsg_level == SOL_SOCKET &&
                    header->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec stamp{};
                    std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
                    resendArrivals.push_back(std::int64_t{stamp.tv_sec} * 1000000000 +
                                             stamp.tv_nsec);
                }
            }
        }
    }

    /// Listens on every held socket until the deadline.
    void listenUntil(Clock::time_point deadline) {
        std::vector<epoll_event> events(256);
        while (Clock::now() < deadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            const int ready =
                ::epoll_wait(epoll.fd(), events.data(), static_cast<int>(events.size()),
                             static_cast<int>(std::clamp<long long>(left + 1, 0, 1000)));
            for (int i = 0; i < ready; ++i) {
                drain(sockets[events[static_cast<std::size_t>(i)].data.u64].fd());
            }
        }
    }

    /// Prints the resends in bursts (arrivals less than a second apart belong to one sweep).
    void report() {
        std::sort(resendArrivals.begin(), resendArrivals.end());
        std::printf("quiet transfers: %zu held, %zu resent DATA seen, %d ERROR packets\n",
                    sockets.size(), resendArrivals.size(), errors);
        double largestSpanMs = 0;
        std::size_t largestCount = 0;
        std::size_t first = 0;
        for (std::size_t i = 1; i <= resendArrivals.size(); ++i) {
            if (i == resendArrivals.size() ||
                resendArrivals[i] - resendArrivals[i - 1] > 1000000000) {
                const std::size_t count = i - first;
                const double spanMs =
                    static_cast<double>(resendArrivals[i - 1] - resendArrivals[first]) / 1e6;
                std::printf("sweep:           %zu resends within %.3f ms\n", count, spanMs);
                if (count > largestCount) {
                    largestCount = count;
                    largestSpanMs = spanMs;
                }
                first = i;
            }
        }
        std::printf(
            "summary quiet held=%zu resends=%zu errors=%d largest_sweep=%zu sweep_ms=%.3f\n",
            sockets.size(), resendArrivals.size(), errors, largestCount, largestSpanMs);
    }
};

/// Lets this process hold as many sockets as its hard limit allows (quiet transfers keep theirs).
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parseOptions(argc, argv);
    if (!options) {
        usage();
        return 2;
    }
    // HOST is an IPv4 address or an IPv6 one ("::1").
    Address server;
    sockaddr_in ipv4{};
    sockaddr_in6 ipv6{};
    if (::inet_pton(AF_INET, options->host.c_str(), &ipv4.sin_addr) == 1) {
        ipv4.sin_family = AF_INET;
        ipv4.sin_port = htons(options->port);
        std::memcpy(&server.storage, &ipv4, sizeof ipv4);
        server.length = sizeof ipv4;
    } else if (::inet_pton(AF_INET6, options->host.c_str(), &ipv6.sin6_addr) == 1) {
        ipv6.sin6_family = AF_INET6;
        ipv6.sin6_port = htons(options->port);
        std::memcpy(&server.storage, &ipv6, sizeof ipv6);
        server.length = sizeof ipv6;
    } else {
        std::fprintf(stderr, "tftp_load: %s is not an IPv4 or IPv6 address\n",
                     options->host.c_str());
        return 2;
    }
    if (options->hostile > 0) {
        return runHostile(*options, server);
    }
    const bool quiet = options->holdSeconds > 0;
    if (quiet) {
        raiseDescriptorLimit();
    }

    std::vector<Transfer> slots(static_cast<std::size_t>(options->concurrency));
    Totals totals;
    ReceiveBatch batch;
    totals.transferSeconds.reserve(static_cast<std::size_t>(options->transfers));
    QuietHold hold;
    const auto begin = Clock::now();
    const auto giveUp = begin + std::chrono::seconds(options->maxSeconds);

    const Descriptor epoll(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll.valid() || !hold.epoll.valid()) {
        std::perror("tftp_load: epoll_create1");
        return 1;
    }
    auto settle = [&](Transfer& slot, Transfer::Step step, Clock::time_point now) {
        if (slot.answered()) {
            if (totals.blockSize == 0) {
                totals.blockSize = slot.blockSize();
                totals.windowSize = slot.windowSize();
                totals.tsize = slot.hasTsize();
            } else if (totals.blockSize != slot.blockSize() ||
                       totals.windowSize != slot.windowSize() || totals.tsize != slot.hasTsize()) {
                totals.mixedOptions = true;
            }
        }
        if (step == Transfer::Step::Held) {
            ::epoll_ctl(epoll.fd(), EPOLL_CTL_DEL, slot.fd(), nullptr);
            if (hold.add(slot.release())) {
                ++totals.held;
            } else {
                ++totals.failed;
            }
            return;
        }
        if (step == Transfer::Step::Done) {
            ++totals.done;
            totals.bytes += slot.bytes();
            totals.transferSeconds.push_back(
                std::chrono::duration<double>(now - slot.startedAt()).count());
            const auto size = static_cast<std::int64_t>(slot.bytes());
            if (totals.firstSize < 0) {
                totals.firstSize = size;
            } else if (size != totals.firstSize) {
                ++totals.sizeMismatches;
            }
        } else {
            ++totals.failed;
            ++totals.failures[static_cast<std::size_t>(slot.failure())];
        }
        slot.finish();
    };

    std::vector<epoll_event> events(slots.size());
    while (Clock::now() < giveUp) {
        const auto now = Clock::now();
        auto nextDeadline = giveUp;
        bool anyActive = false;
        for (auto& slot : slots) {
            if (!slot.active() && totals.started < options->transfers) {
                ++totals.started;
                if (!slot.start(epoll.fd(), server, *options, now, quiet)) {
                    settle(slot, Transfer::Step::Failed, now);
                }
            }
            if (slot.active()) {
                anyActive = true;
                nextDeadline = std::min(nextDeadline, slot.deadline());
            }
        }
        if (!anyActive) {
            break;  // every transfer has been made
        }
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextDeadline - now).count() + 1;
        const int ready = ::epoll_wait(epoll.fd(), events.data(), static_cast<int>(events.size()),
                                       static_cast<int>(std::clamp<long long>(wait, 0, 1000)));
        if (ready < 0 && errno != EINTR) {
            std::perror("tftp_load: epoll_wait");
            return 1;
        }
        const auto after = Clock::now();
        for (int i = 0; i < ready; ++i) {
            auto& slot = *static_cast<Transfer*>(events[static_cast<std::size_t>(i)].data.ptr);
            if (!slot.active()) {
                continue;
            }
            if (const auto step = slot.receive(after, totals, batch);
                step != Transfer::Step::Running) {
                settle(slot, step, after);
            }
        }
        if (after >= nextDeadline) {
            for (auto& slot : slots) {
                if (!slot.active()) {
                    continue;
                }
                if (const auto step = slot.checkTimeout(after, totals);
                    step != Transfer::Step::Running) {
                    settle(slot, step, after);
                }
            }
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    const int unfinished = totals.started - totals.done - totals.failed - totals.held;

    std::printf(
        "transfers:       %d done, %d failed, %d unfinished, %d not started "
        "(concurrency %d)\n",
        totals.done, totals.failed, unfinished, options->transfers - totals.started,
        options->concurrency);
    if (quiet) {
        std::printf("elapsed:         %.3f s to start %d quiet transfers; holding them %d s\n",
                    seconds, totals.held, options->holdSeconds);
        std::fflush(stdout);
        hold.listenUntil(Clock::now() + std::chrono::seconds(options->holdSeconds));
        hold.report();
        return totals.held == options->transfers ? 0 : 1;
    }
    std::sort(totals.transferSeconds.begin(), totals.transferSeconds.end());
    const double medianMs = percentile(totals.transferSeconds, 0.5) * 1e3;
    const double p99Ms = percentile(totals.transferSeconds, 0.99) * 1e3;
    const double megabytesPerSecond = static_cast<double>(totals.bytes) / 1e6 / seconds;
    std::printf("file size:       %lld bytes%s\n", static_cast<long long>(totals.firstSize),
                totals.sizeMismatches > 0 ? " (some transfers got another size!)" : "");
    std::printf("elapsed:         %.3f s\n", seconds);
    std::printf("throughput:      %.1f MB/s\n", megabytesPerSecond);
    std::printf("transfers/s:     %.1f\n", totals.done / seconds);
    std::printf("per transfer:    median %.1f ms, p99 %.1f ms\n", medianMs, p99Ms);
    std::printf(
        "retransmissions: %llu client resends, %llu duplicate DATA from the server, "
        "%llu ACKs on a gap (%llu DATA beyond a gap dropped)\n",
        static_cast<unsigned long long>(totals.clientResends),
        static_cast<unsigned long long>(totals.duplicateData),
        static_cast<unsigned long long>(totals.gapAcks),
        static_cast<unsigned long long>(totals.droppedData));
    std::printf("options:         blksize %zu, windowsize %u, tsize %s%s\n", totals.blockSize,
                static_cast<unsigned>(totals.windowSize),
                totals.tsize ? "answered" : "not answered",
                totals.mixedOptions ? " (other transfers got other options!)" : "");
    for (std::size_t why = 1; why < kFailureNames.size(); ++why) {
        if (totals.failures[why] > 0) {
            std::printf("failed:          %d by %s\n", totals.failures[why], kFailureNames[why]);
        }
    }
    const bool clean = totals.failed == 0 && unfinished == 0 && totals.sizeMismatches == 0 &&
                       totals.started == options->transfers;
    // One line for scripts: bench/run.sh reads it.
    std::printf(
        "summary done=%d failed=%d bytes=%llu seconds=%.6f mbps=%.3f median_ms=%.3f p99_ms=%.3f "
        "client_resends=%llu duplicate_data=%llu clean=%d gap_acks=%llu blksize=%zu windowsize=%u "
        "tsize=%d options_mixed=%d beyond_window=%d wrong_size=%d\n",
        totals.done, totals.failed + unfinished + (options->transfers - totals.started),
        static_cast<unsigned long long>(totals.bytes), seconds, megabytesPerSecond, medianMs, p99Ms,
        static_cast<unsigned long long>(totals.clientResends),
        static_cast<unsigned long long>(totals.duplicateData), clean ? 1 : 0,
        static_cast<unsigned long long>(totals.gapAcks), totals.blockSize,
        static_cast<unsigned>(totals.windowSize), totals.tsize ? 1 : 0, totals.mixedOptions ? 1 : 0,
        totals.failures[static_cast<std::size_t>(Failure::BeyondWindow)],
        totals.failures[static_cast<std::size_t>(Failure::WrongSize)] + totals.sizeMismatches);
    return clean ? 0 : 1;
}
