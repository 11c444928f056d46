// udp_delay: a UDP relay that holds every datagram for a fixed time each way, to give loopback
// the round trip of a real network (the kernel here has no netem). One client at a time: the
// client talks to LISTEN_PORT; the relay talks to the server from a socket of its own and
// follows the port the server answers from (its transfer identifier), falling back to
// TARGET_PORT on each new request.
//
//   udp_delay LISTEN_PORT TARGET_HOST TARGET_PORT DELAY_MICROSECONDS [MAX_SECONDS]
//
// It ends by itself after MAX_SECONDS (600 by default) or on SIGTERM/SIGINT. At most kMaxHeld
// datagrams wait at a time; more are dropped, as a full queue in a router would.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kMaxHeld = 4096;
constexpr std::size_t kMaxDatagram = 65536;
volatile std::sig_atomic_t stopRequested = 0;

struct Held {
    Clock::time_point due;
    int socket;  // the socket it leaves from
    sockaddr_in to;
    std::vector<unsigned char> bytes;
};

int boundSocket(std::uint16_t port) {
    const int handle = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (handle < 0 || ::bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("udp_delay: socket");
        std::exit(1);
    }
    return handle;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr,
                     "usage: udp_delay LISTEN_PORT TARGET_HOST TARGET_PORT DELAY_US [MAX_S]\n");
        return 2;
    }
    const auto delay = std::chrono::microseconds(std::atol(argv[4]));
    const auto deadline = Clock::now() + std::chrono::seconds(argc > 5 ? std::atol(argv[5]) : 600);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[3])));
    if (::inet_pton(AF_INET, argv[2], &target.sin_addr) != 1) {
        std::fprintf(stderr, "udp_delay: bad address %s\n", argv[2]);
        return 2;
    }
    std::signal(SIGTERM, [](int) { stopRequested = 1; });
    std::signal(SIGINT, [](int) { stopRequested = 1; });
    ::prctl(PR_SET_TIMERSLACK, 1UL);  // wake within microseconds, not the default 50

    const int clientSide = boundSocket(static_cast<std::uint16_t>(std::atoi(argv[1])));
    const int serverSide = boundSocket(0);
    sockaddr_in client{};
    sockaddr_in server = target;
    std::deque<Held> held;
    std::vector<unsigned char> buffer(kMaxDatagram);
    while (stopRequested == 0 && Clock::now() < deadline) {
        const auto now = Clock::now();
        while (!held.empty() && held.front().due <= now) {
            const auto& next = held.front();
            ::sendto(next.socket, next.bytes.data(), next.bytes.size(), 0,
                     reinterpret_cast<const sockaddr*>(&next.to), sizeof next.to);
            held.pop_front();
        }
        const auto wait = held.empty() ? std::chrono::nanoseconds(std::chrono::milliseconds(100))
                                       : held.front().due - now;
        const timespec timeout{0, static_cast<long>(std::max<std::int64_t>(0, wait.count()))};
        pollfd sockets[2] = {{clientSide, POLLIN, 0}, {serverSide, POLLIN, 0}};
        if (::ppoll(sockets, 2, &timeout, nullptr) <= 0) {
            continue;
        }
        for (const auto& polled : sockets) {
            if ((polled.revents & POLLIN) == 0) {
                continue;
            }
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t length = ::recvfrom(polled.fd, buffer.data(), buffer.size(), 0,
                                              reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (length < 0 || held.size() >= kMaxHeld) {
                continue;
            }
            Held datagram{Clock::now() + delay, 0, {}, {buffer.begin(), buffer.begin() + length}};
            if (polled.fd == clientSide) {
                client = from;
                if (length >= 2 && buffer[0] == 0 && buffer[1] == 1) {
                    server = target;  // a new request goes to the server's well-known port
                }
                datagram.socket = serverSide;
                datagram.to = server;
            } else {
                server = from;  // the server's transfer identifier
                datagram.socket = clientSide;
                datagram.to = client;
            }
            held.push_back(std::move(datagram));
        }
    }
    return 0;
}
