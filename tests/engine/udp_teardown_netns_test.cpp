// Connected UDP sockets disconnected on the real kernel, inside a private network namespace: the
// ones connected to a listed address (IPv4, IPv6, IPv4-mapped) are reported and send nothing more;
// the others, and sockets only bound, go on as before. Needs root (namespaces, CAP_NET_ADMIN).
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "ipv6_loopback.h"
#include "platform/udp_teardown.h"
#include "platform/win32_error.h"

namespace corvane::platform {
namespace {

using namespace corvane::engine::testing;

constexpr char kListed[] = "127.0.0.2";
constexpr char kListed6[] = "fd00::2";

// A UDP socket of `family` bound to `address`, or connected to it (connectTo); invalid on failure.
template <typename Address>
UniqueFd Udp(int family, const Address& address, bool connectTo) {
    UniqueFd fd(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const auto* end = reinterpret_cast<const sockaddr*>(&address);
    const int done = connectTo ? ::connect(fd.Get(), end, sizeof address) : ::bind(fd.Get(), end, sizeof address);
    return done == 0 ? std::move(fd) : UniqueFd();
}

// One datagram waiting at fd (within 5 s when waitFor, else already there), taken.
bool Received(int fd, bool waitFor) {
    pollfd watch{fd, POLLIN, 0};
    return ::poll(&watch, 1, waitFor ? 5000 : 0) == 1 && ::recv(fd, nullptr, 0, MSG_DONTWAIT) == 0;
}

TEST(UdpTeardown, DisconnectsTheSocketsConnectedToAListedAddressAndNoOther) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (private network namespaces, CAP_NET_ADMIN)";
    ASSERT_EQ(EnterPrivateNetwork(), "");
    ASSERT_EQ(AddLoopbackAddress(kListed6, 128), "");
    ASSERT_TRUE(WaitUntilLocal(kListed6));
    // Receivers, only bound: never disconnected, whatever their address.
    UniqueFd at4 = Udp(AF_INET, V4(kListed, 0), false), away4 = Udp(AF_INET, V4("127.0.0.3", 0), false);
    UniqueFd at6 = Udp(AF_INET6, V6(kListed6, 0), false), away6 = Udp(AF_INET6, V6("::1", 0), false);
    const auto port = [](const UniqueFd& fd) { return LocalPort(fd.Get()); };
    struct Sender {
        UniqueFd fd;
        int receiver;
        bool listed, native6, mapped;
    } senders[] = {
        {Udp(AF_INET, V4(kListed, port(at4)), true), at4.Get(), true, false, false},
        {Udp(AF_INET, V4("127.0.0.3", port(away4)), true), away4.Get(), false, false, false},
        {Udp(AF_INET6, V6(kListed6, port(at6)), true), at6.Get(), true, true, false},
        {Udp(AF_INET6, V6("::1", port(away6)), true), away6.Get(), false, true, false},
        {Udp(AF_INET6, V6("::ffff:127.0.0.2", port(at4)), true), at4.Get(), true, false, true},
        {Udp(AF_INET6, V6("::ffff:127.0.0.3", port(away4)), true), away4.Get(), false, false, true},
    };
    std::vector<std::uint16_t> localPorts;  // a disconnected socket gives its chosen port up
    for (const Sender& sender : senders) localPorts.push_back(port(sender.fd));

    const auto listed = [](const DestroyedUdp& socket) {
        return socket.native6 ? socket.remoteAddress6 == Bytes6(kListed6)
                              : socket.remoteAddress == V4(kListed, 0).sin_addr.s_addr;
    };
    std::vector<DestroyedUdp> destroyed;
    std::string why;
    ASSERT_EQ(DestroyConnectedUdp(listed, destroyed, why), win32::kNoError) << why;
    EXPECT_EQ(destroyed.size(), 3U);
    for (std::size_t i = 0; i < std::size(senders); ++i) {
        const Sender& sender = senders[i];
        struct stat status {};
        ASSERT_EQ(::fstat(sender.fd.Get(), &status), 0);
        const auto found = std::find_if(destroyed.begin(), destroyed.end(),
                                        [&](const DestroyedUdp& socket) { return socket.inode == status.st_ino; });
        ASSERT_EQ(found != destroyed.end(), sender.listed) << "sender " << i;
        const ssize_t sent = ::send(sender.fd.Get(), "x", 1, 0);
        if (!sender.listed) {
            EXPECT_TRUE(sent == 1 && Received(sender.receiver, true)) << "sender " << i;
            continue;
        }
        EXPECT_TRUE(sent == -1 && errno == EDESTADDRREQ) << "sender " << i;
        EXPECT_TRUE(::recv(sender.fd.Get(), nullptr, 0, MSG_DONTWAIT) == -1 && errno == ECONNABORTED) << i;
        EXPECT_TRUE(listed(*found)) << "sender " << i;
        EXPECT_EQ(std::tuple(found->native6, found->mapped, found->remotePort, found->localPort, found->uid),
                  std::tuple(sender.native6, sender.mapped, LocalPort(sender.receiver), localPorts[i], 0U))
            << "sender " << i;
    }
    // Nothing was sent to the listed addresses.
    EXPECT_FALSE(Received(at4.Get(), false));
    EXPECT_FALSE(Received(at6.Get(), false));

    // Disconnected sockets are connected to nothing any more.
    ASSERT_EQ(DestroyConnectedUdp(listed, destroyed, why), win32::kNoError) << why;
    EXPECT_TRUE(destroyed.empty());
}

}  // namespace
}  // namespace corvane::platform
