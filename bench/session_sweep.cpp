// session_sweep: the cost of the engine's periodic sweep over many quiet transfers, measured on
// the engine's own dispatcher and sessions. It opens N transfers of one 1 MiB file from N client
// endpoints (127.0.x.y, all on one port where a sink socket takes the datagrams), so that each
// session has sent DATA 1 and waits, then times sweeps: one where nobody is due yet, and the five
// that resend block 1 to every session through a real loopback socket. Also prints the resident
// memory that the sessions added.
//
//   session_sweep [SESSIONS]          (10000 by default)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/packet_transport.h"
#include "engine/request_dispatcher.h"
#include "net/udp_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

/// Sends through a real UDP socket, as the engine does.
class SocketTransport final : public quillet::PacketTransport {
  public:
    explicit SocketTransport(quillet::net::UdpSocket& socket) : socket_(socket) {}
    quillet::net::SendResult sendTo(const quillet::ClientEndpoint& endpoint,
                                    std::span<const std::uint8_t> bytes) override {
        ++sent;
        return socket_.sendTo(endpoint, bytes);
    }
    std::size_t sendSegments(const quillet::ClientEndpoint& endpoint,
                             std::span<const std::uint8_t> bytes,
                             std::size_t segmentSize) override {
        const auto count = socket_.sendSegments(endpoint, bytes, segmentSize);
        sent += count;
        return count;
    }
    std::size_t sent = 0;

  private:
    quillet::net::UdpSocket& socket_;
};

long residentKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
        status.ignore(4096, '\n');
    }
    return 0;
}

/// Times one sweep at now, in milliseconds.
double timedSweep(quillet::RequestDispatcher& dispatcher, std::time_t now) {
    const auto begin = Clock::now();
    dispatcher.tick(now);
    return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int sessions = argc > 1 ? std::atoi(argv[1]) : 10000;
    if (sessions < 1 || sessions > 60000) {
        std::fprintf(stderr, "usage: session_sweep [SESSIONS (1 to 60000)]\n");
        return 2;
    }
    // Every session holds its file open.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    const auto folder =
        std::filesystem::temp_directory_path() / ("quillet-sweep-" + std::to_string(::getpid()));
    std::filesystem::create_directory(folder);
    std::filesystem::current_path(folder);
    {
        std::ofstream file("sweep.bin", std::ios::binary);
        const std::string block(512, 'x');
        for (int i = 0; i < 2048; ++i) {
            file << block;
        }
    }

    quillet::net::UdpSocket sink;
    quillet::net::UdpSocket server;
    if (!sink.open() || !sink.bind(0) || !server.open() || !server.bind(0)) {
        std::perror("session_sweep: socket");
        return 1;
    }
    const auto sinkPort = htons(sink.localPort());
    SocketTransport transport(server);
    quillet::RequestDispatcher dispatcher;
    dispatcher.setTransport(&transport);
    dispatcher.serveFolder(quillet::ServedFolder::open(folder.string()));

    static constexpr std::array<std::uint8_t, 17> kRequest = {
        0, 1, 's', 'w', 'e', 'e', 'p', '.', 'b', 'i', 'n', 0, 'o', 'c', 't', 'e', 't'};
    std::array<std::uint8_t, kRequest.size() + 1> request{};
    std::copy(kRequest.begin(), kRequest.end(), request.begin());

    const std::time_t start = 1'000'000;
    const long before = residentKilobytes();
    for (int i = 0; i < sessions; ++i) {
        const auto address = (127u << 24) | (static_cast<std::uint32_t>(i / 250) << 8) |
                             static_cast<std::uint32_t>(i % 250 + 1);
        dispatcher.dispatch(quillet::ClientEndpoint{htonl(address), sinkPort}, request, start);
    }
    const long after = residentKilobytes();
    std::printf("sessions:        %zu open, %zu DATA 1 sent\n", dispatcher.sessionCount(),
                transport.sent);
    std::printf("memory:          %ld kB more resident, %.0f bytes per session\n", after - before,
                static_cast<double>(after - before) * 1024.0 / sessions);

    std::vector<double> idle;
    for (int i = 0; i < 5; ++i) {
        idle.push_back(timedSweep(dispatcher, start + 5));
    }
    std::vector<double> resending;
    transport.sent = 0;
    for (int i = 0; i < 5; ++i) {
        resending.push_back(timedSweep(dispatcher, start + 11 + 11 * i));
    }
    std::sort(idle.begin(), idle.end());
    std::sort(resending.begin(), resending.end());
    std::printf("sweep, none due: median %.3f ms, slowest %.3f ms (of 5)\n", idle[2], idle[4]);
    std::printf(
        "sweep, resending block 1 to every session: median %.3f ms, slowest %.3f ms "
        "(of 5, %zu sends)\n",
        resending[2], resending[4], transport.sent);
    std::printf("summary sweep sessions=%d bytes_per_session=%.0f idle_ms=%.3f resend_ms=%.3f\n",
                sessions, static_cast<double>(after - before) * 1024.0 / sessions, idle[2],
                resending[2]);

    std::filesystem::current_path(folder.parent_path());
    std::filesystem::remove_all(folder);
    return 0;
}
