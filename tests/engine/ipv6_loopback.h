#pragma once
// IPv6 on lo in a private network namespace: addresses of its own beside ::1, and connections from
// and to them. Root only (rtnetlink), inside the namespace (private_network.h).
#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "private_network.h"

namespace corvane::engine::testing {

using Address6 = std::array<std::uint8_t, 16>;

inline Address6 Bytes6(const char* text) {
    Address6 bytes{};
    static_cast<void>(::inet_pton(AF_INET6, text, bytes.data()));
    return bytes;
}

// Gives lo the IPv6 address text/length, usable at once (no duplicate address detection), over
// rtnetlink. Empty on success, else why not.
inline std::string AddLoopbackAddress(const char* text, std::uint8_t length) {
    struct Closer {
        void operator()(mnl_socket* socket) const noexcept { static_cast<void>(mnl_socket_close(socket)); }
    };
    std::unique_ptr<mnl_socket, Closer> socket(mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC));
    if (!socket || mnl_socket_bind(socket.get(), 0, MNL_SOCKET_AUTOPID) < 0)
        return std::string("rtnetlink: ") + std::strerror(errno);
    std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr* header = mnl_nlmsg_put_header(buffer.data());
    header->nlmsg_type = RTM_NEWADDR;
    header->nlmsg_flags = NLM_F_REQUEST | NLM_F_CREATE | NLM_F_EXCL | NLM_F_ACK;
    header->nlmsg_seq = 1;
    auto* request = static_cast<ifaddrmsg*>(mnl_nlmsg_put_extra_header(header, sizeof(ifaddrmsg)));
    request->ifa_family = AF_INET6;
    request->ifa_prefixlen = length;
    request->ifa_flags = IFA_F_NODAD;
    request->ifa_scope = RT_SCOPE_UNIVERSE;
    request->ifa_index = ::if_nametoindex("lo");
    const Address6 address = Bytes6(text);
    mnl_attr_put(header, IFA_LOCAL, address.size(), address.data());
    mnl_attr_put(header, IFA_ADDRESS, address.size(), address.data());
    if (mnl_socket_sendto(socket.get(), header, header->nlmsg_len) < 0)
        return std::string("RTM_NEWADDR: ") + std::strerror(errno);
    const ssize_t received = mnl_socket_recvfrom(socket.get(), buffer.data(), buffer.size());
    if (received < 0 || mnl_cb_run(buffer.data(), static_cast<std::size_t>(received), 1,
                                   mnl_socket_get_portid(socket.get()), nullptr, nullptr) < 0)
        return std::string("RTM_NEWADDR ") + text + ": " + std::strerror(errno);
    return {};
}

// Waits (10 s at most) until the IPv6 address text of lo takes packets: the kernel adds the local
// route of a new address only after acknowledging it. False when it never did.
inline bool WaitUntilLocal(const char* text) {
    UniqueFd fd(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in6 local = V6(text, 0);
    if (!fd.Valid() || ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return false;
    const sockaddr_in6 self = V6(text, LocalPort(fd.Get()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        // Until then a datagram to itself goes nowhere, or cannot be sent.
        static_cast<void>(::sendto(fd.Get(), "x", 1, 0, reinterpret_cast<const sockaddr*>(&self), sizeof self));
        pollfd watch{fd.Get(), POLLIN, 0};
        if (::poll(&watch, 1, 10) == 1) return true;
    }
    return false;
}

// A listening IPv6 socket on address, any port: dual-stack (IPv4 too, as ::ffff:a.b.c.d) or not.
inline UniqueFd Listen6(const char* address, bool dualStack) {
    UniqueFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int only = dualStack ? 0 : 1;
    const sockaddr_in6 local = V6(address, 0);
    if (!fd.Valid() || ::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only) != 0 ||
        ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 || ::listen(fd.Get(), 64) != 0)
        return UniqueFd();
    return fd;
}

// A connection from `from` to `to` (both of one family), bound to its source first; invalid on
// failure.
template <typename Address>
inline UniqueFd ConnectFrom(const Address& from, const Address& to) {
    const int family = reinterpret_cast<const sockaddr*>(&from)->sa_family;
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) return fd;
    if (family == AF_INET6) {
        const int off = 0;
        if (::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) return UniqueFd();
    }
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        return UniqueFd();
    return fd;
}

inline std::uint64_t CookieOf(int fd) {
    std::uint64_t cookie = 0;
    socklen_t length = sizeof cookie;
    if (::getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &length) != 0) return 0;
    return cookie;
}

}  // namespace corvane::engine::testing
