// tftp_load: a TFTP read load generator. It runs N lock-step clients at once over raw UDP, each
// fetching FILE from HOST (an IPv4 or IPv6 address) PORT with a fresh socket (so a fresh client
// port) per transfer, until a fixed number of transfers has been made, and reports throughput,
// transfers per second and the retransmissions seen on both sides, and the median and 99th
// percentile of one transfer's time.
//
//   tftp_load HOST PORT FILE [-c CONCURRENCY] [-n TRANSFERS] [-t TIMEOUT_MS] [-s MAX_SECONDS]
//             [-q HOLD_SECONDS]
//
// With -q the transfers start and go quiet: each client takes DATA 1 and never acknowledges it,
// keeping its socket open (at most CONCURRENCY requests unanswered at a time), then all of them
// listen for HOLD_SECONDS. The server's resends of block 1 are stamped by the kernel as they
// arrive; the resends of one sweep over the quiet transfers arrive together, so the span of each
// burst is the time that sweep took to send them.
//
// The server's answers are accepted from the port of its first DATA (RFC 1350's transfer
// identifier), so a server that answers from port 69 and one that answers from a new port per
// transfer are both measured. A transfer fails on an ERROR, on a DATA of an unexpected size, or
// after five resends of one packet without an answer; the run as a whole ends after MAX_SECONDS
// whatever happens.
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

constexpr std::size_t kBlockSize = 512;
constexpr std::uint16_t kOpRrq = 1;
constexpr std::uint16_t kOpWrq = 2;
constexpr std::uint16_t kOpData = 3;
constexpr std::uint16_t kOpAck = 4;
constexpr std::uint16_t kOpError = 5;
constexpr int kMaxResends = 5;

struct Options {
    std::string host;
    std::uint16_t port = 69;
    std::string file;
    int concurrency = 8;
    int transfers = 64;
    int timeoutMs = 500;
    int maxSeconds = 120;
    int hostile = 0;  // the hostile mode's datagrams; 0 for the transfer mode
    int rate = 20000;
    int holdSeconds = 0;  // -q: quiet transfers, held this long
};

struct Totals {
    int started = 0;
    int done = 0;
    int failed = 0;
    std::uint64_t bytes = 0;
    std::uint64_t clientResends = 0;      // our RRQ or ACK sent again after a silence
    std::uint64_t duplicateData = 0;      // a DATA block that had already arrived (server resend)
    std::int64_t firstSize = -1;          // the size of the first completed transfer
    int sizeMismatches = 0;               // completed transfers of another size than the first
    int held = 0;                         // -q: transfers that got DATA 1 and went quiet
    std::vector<double> transferSeconds;  // each completed transfer, request to last block
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

/// One client slot: runs one transfer at a time, lock-step.
class Transfer {
  public:
    enum class Step { Running, Done, Failed, Held };

    /// Opens a fresh socket, adds it to the epoll set and sends the read request.
    bool start(int epoll, const Address& server, const std::string& file, Clock::time_point now,
               std::chrono::milliseconds timeout, bool quiet) {
        socket_ = Descriptor(
            ::socket(server.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP));
        epoll_event interest{};
        interest.events = EPOLLIN;
        interest.data.ptr = this;
        if (!socket_.valid() || ::epoll_ctl(epoll, EPOLL_CTL_ADD, socket_.fd(), &interest) != 0) {
            return false;
        }
        server_ = server;
        peer_.reset();
        expected_ = 1;
        bytes_ = 0;
        resends_ = 0;
        timeout_ = timeout;
        quiet_ = quiet;
        startedAt_ = now;
        lastSent_.clear();
        putU16(lastSent_, kOpRrq);
        lastSent_.insert(lastSent_.end(), file.begin(), file.end());
        lastSent_.push_back(0);
        for (const char c : std::string_view("octet")) {
            lastSent_.push_back(static_cast<std::uint8_t>(c));
        }
        lastSent_.push_back(0);
        active_ = true;
        return sendLast(server_, now);
    }

    /// Reads every datagram waiting on the socket.
    Step receive(Clock::time_point now, Totals& totals) {
        std::array<std::uint8_t, 4 + kBlockSize + 64> buffer{};
        while (true) {
            Address from;
            const ssize_t length =
                ::recvfrom(socket_.fd(), buffer.data(), buffer.size(), 0, from.get(), &from.length);
            if (length < 0) {
                return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? Step::Running
                                                                                   : Step::Failed;
            }
            const Step step =
                handle(buffer.data(), static_cast<std::size_t>(length), from, now, totals);
            if (step != Step::Running) {
                return step;
            }
        }
    }

    /// Resends the last packet after a silence; fails after five resends.
    Step checkTimeout(Clock::time_point now, Totals& totals) {
        if (now < deadline_) {
            return Step::Running;
        }
        if (++resends_ > kMaxResends) {
            return Step::Failed;
        }
        ++totals.clientResends;
        return sendLast(peer_ ? *peer_ : server_, now) ? Step::Running : Step::Failed;
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
    int fd() const { return socket_.fd(); }
    Clock::time_point deadline() const { return deadline_; }
    std::uint64_t bytes() const { return bytes_; }
    Clock::time_point startedAt() const { return startedAt_; }

  private:
    Step handle(const std::uint8_t* datagram, std::size_t length, const Address& from,
                Clock::time_point now, Totals& totals) {
        if (length < 4 || !sameHost(from, server_)) {
            return Step::Running;  // not from the server: ignored, as RFC 1350 asks
        }
        if (peer_ && !sameAddress(*peer_, from)) {
            return Step::Running;  // another transfer identifier
        }
        const std::uint16_t opcode = readU16(datagram);
        if (opcode == kOpError) {
            return Step::Failed;
        }
        if (opcode != kOpData) {
            return Step::Running;
        }
        if (!peer_) {
            peer_ = from;  // the first DATA fixes the server's transfer identifier
        }
        const std::uint16_t block = readU16(datagram + 2);
        const std::size_t payload = length - 4;
        if (block != expected_) {
            if (block == static_cast<std::uint16_t>(expected_ - 1)) {
                ++totals.duplicateData;  // never answered again: that would double every packet
            }
            return Step::Running;
        }
        if (payload > kBlockSize) {
            return Step::Failed;
        }
        if (quiet_) {
            return Step::Held;  // DATA 1 is in; never acknowledged
        }
        bytes_ += payload;
        lastSent_.clear();
        putU16(lastSent_, kOpAck);
        putU16(lastSent_, block);
        resends_ = 0;
        if (!sendLast(*peer_, now)) {
            return Step::Failed;
        }
        if (payload < kBlockSize) {
            return Step::Done;
        }
        ++expected_;  // wraps from 65535 to 0 as the block field does
        return Step::Running;
    }

    bool sendLast(const Address& to, Clock::time_point now) {
        deadline_ = now + timeout_;
        return ::sendto(socket_.fd(), lastSent_.data(), lastSent_.size(), 0, to.get(), to.length) ==
               static_cast<ssize_t>(lastSent_.size());
    }

    Descriptor socket_;
    Address server_;
    std::optional<Address> peer_;
    std::uint16_t expected_ = 1;
    std::uint64_t bytes_ = 0;
    int resends_ = 0;
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
        for (const std::string_view text : {name, mode}) {
            out.insert(out.end(), text.begin(), text.end());
            out.push_back(0);
        }
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
    std::fprintf(stderr,
                 "usage: tftp_load HOST PORT FILE [-c CONCURRENCY] [-n TRANSFERS] "
                 "[-t TIMEOUT_MS] [-s MAX_SECONDS] [-q HOLD_SECONDS]\n"
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
                                     : nullptr;
        if (target == nullptr || !parseInt(argv[i + 1], *target, 1)) {
            return std::nullopt;
        }
    }
    if ((argc - firstFlag) % 2 != 0 || (options.hostile > 0) == (firstFlag == 4)) {
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

    const auto timeout = std::chrono::milliseconds(options->timeoutMs);
    std::vector<Transfer> slots(static_cast<std::size_t>(options->concurrency));
    Totals totals;
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
                if (!slot.start(epoll.fd(), server, options->file, now, timeout, quiet)) {
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
            if (const auto step = slot.receive(after, totals); step != Transfer::Step::Running) {
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
    std::printf("retransmissions: %llu client resends, %llu duplicate DATA from the server\n",
                static_cast<unsigned long long>(totals.clientResends),
                static_cast<unsigned long long>(totals.duplicateData));
    const bool clean = totals.failed == 0 && unfinished == 0 && totals.sizeMismatches == 0 &&
                       totals.started == options->transfers;
    // One line for scripts: bench/run.sh reads it.
    std::printf(
        "summary done=%d failed=%d bytes=%llu seconds=%.6f mbps=%.3f median_ms=%.3f p99_ms=%.3f "
        "client_resends=%llu duplicate_data=%llu clean=%d\n",
        totals.done, totals.failed + unfinished + (options->transfers - totals.started),
        static_cast<unsigned long long>(totals.bytes), seconds, megabytesPerSecond, medianMs, p99Ms,
        static_cast<unsigned long long>(totals.clientResends),
        static_cast<unsigned long long>(totals.duplicateData), clean ? 1 : 0);
    return clean ? 0 : 1;
}
