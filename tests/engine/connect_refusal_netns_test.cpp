// Connect refusal on the real kernel, inside private network namespaces: listed TCP connects fail
// with ECONNREFUSED before a SYN leaves, only in the loader's namespace, counted exactly; the
// layer is gone when detached or destroyed. Needs root and a build with the BPF programs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/wait.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/connect_refusal.h"
#include "platform/win32_error.h"
#include "private_network.h"

namespace corvane::platform {
namespace {

using namespace corvane::engine::testing;

constexpr char kListed[] = "127.0.0.2";
constexpr char kListedLater[] = "127.0.0.3";
constexpr char kUnlisted[] = "127.0.0.5";

std::uint32_t Address(const char* text) { return V4(text, 0).sin_addr.s_addr; }

// IPv4 addresses as prefixes of full length.
std::vector<IpPrefix4> Hosts(const std::vector<std::uint32_t>& addresses) {
    std::vector<IpPrefix4> prefixes;
    for (const std::uint32_t address : addresses) prefixes.push_back(IpPrefix4{address, 32});
    return prefixes;
}

// Connections waiting on a listener right now.
int Pending(int listener) {
    int accepted = 0;
    for (;;) {
        pollfd watch{listener, POLLIN, 0};
        if (::poll(&watch, 1, 0) != 1) return accepted;
        UniqueFd connection(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection.Valid()) return accepted;
        ++accepted;
    }
}

// In a child in a network namespace of its own: a listener at `address` and a connect to it. The
// child's exit status: 0 when the connect worked, else its error.
int ConnectFromAnotherNamespace(const char* address) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (!EnterPrivateNetwork().empty()) ::_exit(100);
        UniqueFd listener = Listen(address);
        if (!listener.Valid()) ::_exit(101);
        const int error = ConnectError(AF_INET, SOCK_STREAM, V4(address, LocalPort(listener.Get())));
        ::_exit(error == 0 ? 0 : (error > 0 && error < 100 ? error : 102));
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

class ConnectRefusal : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root (private network namespaces, BPF programs)";
        ASSERT_EQ(EnterPrivateNetwork(), "");
#if !CORVANE_HAVE_EVENT_ENGINE
        GTEST_SKIP() << "built without the BPF programs";
#endif
        ConnectRefusalLoad load = CreateSystemConnectRefusal(64);
        ASSERT_TRUE(load.service) << load.why;
        layer_ = std::move(load.service);
        ASSERT_EQ(layer_->SetRefused(Hosts({Address(kListed)}), {}), win32::kNoError);
    }

    void Attach(bool attached) {
        std::string why;
        ASSERT_EQ(layer_->SetAttached(attached, why), win32::kNoError) << why;
        EXPECT_EQ(layer_->Attached(), attached);
    }

    std::vector<RefusedConnect> Reports() {
        std::vector<RefusedConnect> reports;
        EXPECT_EQ(layer_->Drain([&](const RefusedConnect& report) { reports.push_back(report); }), win32::kNoError);
        return reports;
    }

    std::uint64_t Refusals() {
        std::uint64_t total = 0;
        EXPECT_EQ(layer_->ReadRefusals(total), win32::kNoError);
        return total;
    }

    std::unique_ptr<ConnectRefusalService> layer_;
};

TEST_F(ConnectRefusal, RefusesListedTcpConnectsOfItsNamespaceBeforeAnySynAndReportsWhoTried) {
    Attach(true);
    UniqueFd listed = Listen(kListed);
    UniqueFd unlisted = Listen(kUnlisted);
    ASSERT_TRUE(listed.Valid() && unlisted.Valid());
    const std::uint16_t port = LocalPort(listed.Get());

    const std::map<std::string, long long> before = TcpCounters();
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, V4(kListed, port)), ECONNREFUSED);
    EXPECT_EQ(ConnectError(AF_INET6, SOCK_STREAM, V6("::ffff:127.0.0.2", port)), ECONNREFUSED);
    {
        // TCP Fast Open: the connect that sendto makes is refused the same way.
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in remote = V4(kListed, port);
        const ssize_t sent = ::sendto(fd.Get(), "x", 1, MSG_FASTOPEN, reinterpret_cast<const sockaddr*>(&remote),
                                      sizeof remote);
        EXPECT_EQ(sent, -1);
        EXPECT_EQ(errno, ECONNREFUSED);
    }
    const std::map<std::string, long long> after = TcpCounters();
    // No SYN was sent: nothing opened, no segment out, nothing reached the listener.
    EXPECT_EQ(after.at("ActiveOpens"), before.at("ActiveOpens"));
    EXPECT_EQ(after.at("OutSegs"), before.at("OutSegs"));
    EXPECT_EQ(Pending(listed.Get()), 0);

    // UDP connects are refused as well, and reported as UDP.
    EXPECT_EQ(ConnectError(AF_INET, SOCK_DGRAM, V4(kListed, port)), ECONNREFUSED);
    EXPECT_EQ(ConnectError(AF_INET6, SOCK_DGRAM, V6("::ffff:127.0.0.2", port)), ECONNREFUSED);
    // Everything else goes through: another address, and the same address from another namespace
    // (the programs run for every connect on the host).
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, V4(kUnlisted, LocalPort(unlisted.Get()))), 0);
    EXPECT_EQ(ConnectError(AF_INET6, SOCK_STREAM, V6("::ffff:127.0.0.5", LocalPort(unlisted.Get()))), 0);
    EXPECT_EQ(Pending(unlisted.Get()), 2);
    EXPECT_EQ(ConnectError(AF_INET, SOCK_DGRAM, V4(kUnlisted, 53)), 0);
    EXPECT_EQ(ConnectFromAnotherNamespace(kListed), 0);

    EXPECT_EQ(Refusals(), 5U);
    const std::vector<RefusedConnect> reports = Reports();
    ASSERT_EQ(reports.size(), 5U);
    EXPECT_EQ(reports[3].protocol, IPPROTO_UDP);
    EXPECT_TRUE(reports[4].mapped);
    for (const RefusedConnect& report : reports) {
        EXPECT_EQ(report.remoteAddress, Address(kListed));
        EXPECT_EQ(report.remotePort, port);
        EXPECT_EQ(report.pid, static_cast<std::uint32_t>(::getpid()));
        EXPECT_STREQ(report.command, "test_engine");
    }
    EXPECT_FALSE(reports[0].mapped);
    EXPECT_TRUE(reports[1].mapped);
    EXPECT_TRUE(Reports().empty());
}

TEST_F(ConnectRefusal, RefusesOnlyWhileAttachedFollowsTheListAtOnceAndLeavesNothingBehind) {
    UniqueFd first = Listen(kListed);
    UniqueFd later = Listen(kListedLater);
    ASSERT_TRUE(first.Valid() && later.Valid());
    const sockaddr_in toFirst = V4(kListed, LocalPort(first.Get()));
    const sockaddr_in toLater = V4(kListedLater, LocalPort(later.Get()));

    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, toFirst), 0);  // made, not attached
    Attach(true);
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, toFirst), ECONNREFUSED);
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, toLater), 0);

    ASSERT_EQ(layer_->SetRefused(Hosts({Address(kListedLater)}), {}), win32::kNoError);
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, toFirst), 0);
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, toLater), ECONNREFUSED);
    std::vector<std::uint32_t> tooMany;  // room was made for 64
    for (std::uint32_t i = 0; i < 65; ++i) tooMany.push_back(htonl(0x0a000000U + i));
    EXPECT_EQ(layer_->SetRefused(Hosts(tooMany), {}), win32::kErrorNotEnoughMemory);
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, toLater), ECONNREFUSED);  // the old list stays

    Attach(false);
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, toLater), 0);
    Attach(true);
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, toLater), ECONNREFUSED);
    EXPECT_EQ(Refusals(), 4U);

    // Destroyed while attached: nothing of it stays in the kernel.
    layer_.reset();
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, toLater), 0);
    EXPECT_EQ(Pending(first.Get()), 2);
    EXPECT_EQ(Pending(later.Get()), 3);
}

TEST_F(ConnectRefusal, CountsEveryRefusalOfAStormExactlyWhileReportsAreLeftOut) {
    Attach(true);
    const sockaddr_in remote = V4(kListed, 9);
    constexpr int kConnects = 20000;
    // One socket: a refused connect leaves it unconnected, ready for the next.
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(fd.Valid());
    int refused = 0;
    for (int i = 0; i < kConnects; ++i) {
        if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0 &&
            errno == ECONNREFUSED)
            ++refused;
    }
    EXPECT_EQ(refused, kConnects);
    EXPECT_EQ(Refusals(), static_cast<std::uint64_t>(kConnects));
    // Nobody read meanwhile: the reports stopped once a backlog waited.
    const std::size_t reported = Reports().size();
    EXPECT_GT(reported, 0U);
    EXPECT_LT(reported, 1000U);
    // Read again, the next refusal is reported again.
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, remote), ECONNREFUSED);
    EXPECT_EQ(Reports().size(), 1U);
    EXPECT_EQ(Refusals(), static_cast<std::uint64_t>(kConnects) + 1);
}

}  // namespace
}  // namespace corvane::platform
