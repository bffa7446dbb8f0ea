#pragma once
// Real TCP connections inside a private network namespace with loopback up.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "platform/unique_fd.h"

namespace corvane::engine::testing {

using platform::UniqueFd;

// Moves this process into a fresh network namespace and brings lo up. Empty
// on success, else why not.
inline std::string EnterPrivateNetwork() {
    if (::unshare(CLONE_NEWNET) != 0) return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
    UniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!control.Valid()) return std::string("socket: ") + std::strerror(errno);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(control.Get(), SIOCGIFFLAGS, &request) != 0)
        return std::string("SIOCGIFFLAGS: ") + std::strerror(errno);
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (::ioctl(control.Get(), SIOCSIFFLAGS, &request) != 0)
        return std::string("SIOCSIFFLAGS: ") + std::strerror(errno);
    return {};
}

inline sockaddr_in V4(const char* address, std::uint16_t port) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &socketAddress.sin_addr);
    return socketAddress;
}

inline sockaddr_in6 V6(const char* address, std::uint16_t port) {
    sockaddr_in6 socketAddress{};
    socketAddress.sin6_family = AF_INET6;
    socketAddress.sin6_port = htons(port);
    ::inet_pton(AF_INET6, address, &socketAddress.sin6_addr);
    return socketAddress;
}

inline std::uint16_t LocalPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
}

// A listening IPv4 socket on address, any port; invalid on failure.
inline UniqueFd Listen(const char* address, int backlog = 4096) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in local = V4(address, 0);
    if (!fd.Valid() || ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(fd.Get(), backlog) != 0)
        return UniqueFd();
    return fd;
}

template <typename Address>
inline UniqueFd ConnectTo(int family, const Address& remote) {
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) return fd;
    if (family == AF_INET6) {
        const int off = 0;
        if (::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) return UniqueFd();
    }
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) return UniqueFd();
    return fd;
}

// IPv4 client connection to address:port.
inline UniqueFd Connect(const char* address, std::uint16_t port) { return ConnectTo(AF_INET, V4(address, port)); }
// Dual-stack IPv6 client connection to ::ffff:address, port.
inline UniqueFd ConnectMapped(const char* address, std::uint16_t port) {
    return ConnectTo(AF_INET6, V6(("::ffff:" + std::string(address)).c_str(), port));
}

// Closes with a reset, so no TIME_WAIT socket stays behind.
inline void CloseWithReset(UniqueFd& fd) {
    const linger abortive{1, 0};
    static_cast<void>(::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive));
    fd.Reset();
}

// 0 when the connection still works (nothing to read yet), else the error it
// reports (ECONNABORTED after a teardown, ECONNRESET after the peer's).
inline int ConnectionError(int fd) {
    char byte = 0;
    const ssize_t got = ::recv(fd, &byte, 1, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    if (got == 0) return EPIPE;  // closed in order
    return got < 0 ? errno : 0;
}

// The counters of one group of this namespace's /proc/net/snmp ("Tcp", "Udp", "Icmp"), by name.
inline std::map<std::string, long long> SnmpCounters(const std::string& group) {
    std::ifstream file("/proc/net/snmp");
    const std::string prefix = group + ": ";
    std::string names;
    std::string values;
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind(prefix, 0) != 0) continue;
        if (names.empty())
            names = line;
        else
            values = line;
    }
    std::map<std::string, long long> counters;
    std::istringstream nameFields(names);
    std::istringstream valueFields(values);
    std::string name;
    std::string value;
    while (nameFields >> name && valueFields >> value) {
        if (name != group + ":") counters[name] = std::stoll(value);
    }
    return counters;
}

inline std::map<std::string, long long> TcpCounters() { return SnmpCounters("Tcp"); }

// connect() on a fresh socket of `type`: 0, or the error it failed with.
template <typename Remote>
inline int ConnectError(int family, int type, const Remote& remote) {
    UniqueFd fd(::socket(family, type | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) return -1;
    if (family == AF_INET6) {
        const int off = 0;
        static_cast<void>(::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off));
    }
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0) return 0;
    return errno;
}

}  // namespace corvane::engine::testing
