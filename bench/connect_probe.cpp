// corvane_connect_probe: the client side of bench/latency_and_cpu.sh.
//
//   corvane_connect_probe LISTED UNLISTED IDLE SAMPLES
//
// Opens IDLE connections to UNLISTED and keeps them; then, SAMPLES times, opens
// a connection to LISTED and waits until it is aborted, timing connect() to the
// abort. Prints the median and 90th percentile, then "READY" and holds the idle
// connections until its standard input closes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/linux/unique_fd.h"

namespace {

using corvane::platform::linux_impl::UniqueFd;
using Clock = std::chrono::steady_clock;

sockaddr_in V4(const char* address, std::uint16_t port) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(port);
    if (::inet_pton(AF_INET, address, &socketAddress.sin_addr) != 1) {
        std::fprintf(stderr, "bad address %s\n", address);
        std::exit(2);
    }
    return socketAddress;
}

UniqueFd Listen(const char* address, std::uint16_t& port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in local = V4(address, 0);
    socklen_t length = sizeof local;
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || ::listen(fd.Get(), 4096) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        std::perror("listen");
        std::exit(1);
    }
    port = ntohs(local.sin_port);
    return fd;
}

UniqueFd Connect(const char* address, std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in remote = V4(address, port);
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) return UniqueFd();
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s LISTED UNLISTED IDLE SAMPLES\n", argv[0]);
        return 2;
    }
    const char* listed = argv[1];
    const char* unlisted = argv[2];
    const int idle = std::atoi(argv[3]);
    const int samples = std::atoi(argv[4]);

    std::uint16_t listedPort = 0;
    std::uint16_t unlistedPort = 0;
    UniqueFd listedListener = Listen(listed, listedPort);
    UniqueFd unlistedListener = Listen(unlisted, unlistedPort);

    std::vector<UniqueFd> idleConnections;
    for (int i = 0; i < idle; ++i) {
        idleConnections.push_back(Connect(unlisted, unlistedPort));
        idleConnections.push_back(UniqueFd(::accept4(unlistedListener.Get(), nullptr, nullptr, SOCK_CLOEXEC)));
    }

    std::vector<double> milliseconds;
    int missed = 0;
    for (int i = 0; i < samples; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const Clock::time_point start = Clock::now();
        UniqueFd client = Connect(listed, listedPort);
        if (!client.Valid()) {
            // Torn down before connect() returned.
            milliseconds.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            continue;
        }
        pollfd wait{client.Get(), POLLIN, 0};
        const int ready = ::poll(&wait, 1, 2000);
        const Clock::time_point end = Clock::now();
        char byte = 0;
        if (ready == 1 && ::recv(client.Get(), &byte, 1, MSG_DONTWAIT) < 0 && errno == ECONNABORTED)
            milliseconds.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        else
            ++missed;
        UniqueFd server(::accept4(listedListener.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    if (milliseconds.empty()) {
        std::printf("LATENCY no connection was aborted (%d missed)\n", missed);
    } else {
        std::printf("LATENCY connect() to abort: median %.3f ms, p90 %.3f ms, %zu aborted, %d not aborted within 2 s\n",
                    milliseconds[milliseconds.size() / 2], milliseconds[milliseconds.size() * 9 / 10],
                    milliseconds.size(), missed);
    }
    std::printf("READY %d idle connections\n", idle);
    std::fflush(stdout);
    char byte = 0;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;
}
