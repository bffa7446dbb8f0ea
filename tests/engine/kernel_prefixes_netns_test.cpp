// IPv6 and address prefixes on the real kernel, inside a private network namespace with IPv6
// addresses of its own on lo: the connection table's native IPv6 rows and their teardown, the
// event service's reports of connections its longest-prefix-match maps cover, and the refusal of
// IPv6 connects. Needs root and, for the BPF parts, a build with the BPF programs.
#include <gtest/gtest.h>

#include <libmnl/libmnl.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/connect_refusal.h"
#include "platform/connection_events.h"
#include "platform/linux/sock_diag_tcp_table.h"
#include "platform/win32_error.h"
#include "ipv6_loopback.h"
#include "private_network.h"

namespace corvane::platform {
namespace {

using namespace corvane::engine::testing;

// On lo besides ::1: a watched /64, its neighbour /64 and an address of neither.
constexpr char kInside6[] = "2001:db8::1";
constexpr char kNeighbour6[] = "2001:db8:0:1::1";
constexpr char kElsewhere6[] = "fd00::5";

std::uint32_t Address4(const char* text) { return V4(text, 0).sin_addr.s_addr; }

IpPrefix6 Prefix6(const char* text, std::uint8_t length) { return IpPrefix6{Bytes6(text), length}; }

// A listening dual-stack socket on [::] (IPv6, and IPv4 as ::ffff:a.b.c.d), any port.
UniqueFd ListenEverywhere() { return Listen6("::", true); }

UniqueFd Accept(int listener) { return UniqueFd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)); }

std::uint32_t Port(std::uint16_t hostOrder) { return htons(hostOrder); }

class KernelPrefixes : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root (private network namespaces, BPF programs)";
        ASSERT_EQ(EnterPrivateNetwork(), "");
        ASSERT_EQ(AddLoopbackAddress(kInside6, 64), "");
        ASSERT_EQ(AddLoopbackAddress(kNeighbour6, 64), "");
        ASSERT_EQ(AddLoopbackAddress(kElsewhere6, 128), "");
        for (const char* address : {kInside6, kNeighbour6, kElsewhere6})
            ASSERT_TRUE(WaitUntilLocal(address)) << address;
    }
};

TEST_F(KernelPrefixes, TheTableHasNativeIpv6RowsAfterTheIpv4OnesAndTearsThemDown) {
    UniqueFd listener = ListenEverywhere();
    ASSERT_TRUE(listener.Valid());
    const std::uint16_t port = LocalPort(listener.Get());
    UniqueFd client6 = ConnectFrom(V6(kElsewhere6, 0), V6(kInside6, port));
    ASSERT_TRUE(client6.Valid()) << std::strerror(errno);
    UniqueFd server6 = Accept(listener.Get());
    UniqueFd client4 = Connect("127.0.0.1", port);
    ASSERT_TRUE(client4.Valid() && server6.Valid());
    UniqueFd serverMapped = Accept(listener.Get());  // an IPv6 socket talking IPv4
    ASSERT_TRUE(serverMapped.Valid());
    const std::uint16_t clientPort = LocalPort(client6.Get());

    for (const auto walk :
         {linux_impl::SockDiagTcpTable::Walk::kOneWalk, linux_impl::SockDiagTcpTable::Walk::kPerFamily}) {
        SCOPED_TRACE(walk == linux_impl::SockDiagTcpTable::Walk::kOneWalk ? "one walk" : "per family");
        linux_impl::SockDiagTcpTable table(walk);
        TcpTable rows;
        ASSERT_EQ(table.GetTcpTable(rows), win32::kNoError);
        // IPv4 sockets first, then the IPv6 ones.
        EXPECT_TRUE(std::is_partitioned(rows.rows.begin(), rows.rows.end(),
                                        [](const TcpRow& row) { return row.family == AF_INET; }));
        int listeners = 0, clients = 0, servers = 0, mapped = 0;
        for (const TcpRow& row : rows.rows) {
            if (row.family == AF_INET6 && !row.native6) {
                // The accepted IPv4 connection stays an IPv4 row.
                EXPECT_EQ(row.dwLocalAddr, Address4("127.0.0.1"));
                EXPECT_EQ(row.dwRemoteAddr, Address4("127.0.0.1"));
                EXPECT_EQ(row.dwLocalPort, Port(port));
                EXPECT_EQ(row.remoteAddr6, Address6{});
                ++mapped;
                continue;
            }
            if (!row.native6) continue;
            EXPECT_EQ(row.family, AF_INET6);
            EXPECT_EQ(row.dwLocalAddr, 0U);
            EXPECT_EQ(row.dwRemoteAddr, 0U);
            if (row.dwState == kTcpStateListen) {
                EXPECT_EQ(row.localAddr6, Address6{});
                EXPECT_EQ(row.remoteAddr6, Address6{});
                EXPECT_EQ(row.dwLocalPort, Port(port));
                ++listeners;
            } else if (row.cookie == CookieOf(client6.Get())) {
                EXPECT_EQ(row.dwState, kTcpStateEstab);
                EXPECT_EQ(row.localAddr6, Bytes6(kElsewhere6));
                EXPECT_EQ(row.dwLocalPort, Port(clientPort));
                EXPECT_EQ(row.remoteAddr6, Bytes6(kInside6));
                EXPECT_EQ(row.dwRemotePort, Port(port));
                ++clients;
            } else if (row.cookie == CookieOf(server6.Get())) {
                EXPECT_EQ(row.localAddr6, Bytes6(kInside6));
                EXPECT_EQ(row.dwLocalPort, Port(port));
                EXPECT_EQ(row.remoteAddr6, Bytes6(kElsewhere6));
                EXPECT_EQ(row.dwRemotePort, Port(clientPort));
                ++servers;
            }
        }
        EXPECT_EQ(listeners, 1);
        EXPECT_EQ(clients, 1);
        EXPECT_EQ(servers, 1);
        EXPECT_EQ(mapped, 1);
    }

    // The client's row, handed back for a teardown, finds the very socket by its IPv6 ends.
    linux_impl::SockDiagTcpTable table;
    TcpTable rows;
    ASSERT_EQ(table.GetTcpTable(rows), win32::kNoError);
    const auto found = std::find_if(rows.rows.begin(), rows.rows.end(),
                                    [&](const TcpRow& row) { return row.cookie == CookieOf(client6.Get()); });
    ASSERT_NE(found, rows.rows.end());
    TcpRow row = *found;
    std::uint32_t state = 0;
    ASSERT_EQ(table.GetTcpEntryState(row, state), win32::kNoError);
    EXPECT_EQ(state, kTcpStateEstab);
    row.dwState = kTcpStateDeleteTcb;
    ASSERT_EQ(table.SetTcpEntry(row), win32::kNoError);
    EXPECT_EQ(table.GetTcpEntryState(row, state), win32::kErrorNotFound);
    EXPECT_EQ(table.SetTcpEntry(row), win32::kErrorNotFound);
    EXPECT_EQ(ConnectionError(client6.Get()), ECONNABORTED);
    // The peer was sent a reset.
    pollfd watch{server6.Get(), POLLIN, 0};
    ASSERT_EQ(::poll(&watch, 1, 10000), 1);
    EXPECT_EQ(ConnectionError(server6.Get()), ECONNRESET);
    // The IPv4 connection through the same listener is untouched.
    EXPECT_EQ(ConnectionError(client4.Get()), 0);
    CloseWithReset(client4);
    CloseWithReset(serverMapped);
}

#if CORVANE_HAVE_EVENT_ENGINE

// Waits (10 s at most) for reports until `done` says enough came; all of them.
std::vector<ConnectionEvent> ReportsUntil(ConnectionEventService& events,
                                          const std::function<bool(const std::vector<ConnectionEvent>&)>& done) {
    std::vector<ConnectionEvent> reports;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done(reports) && std::chrono::steady_clock::now() < deadline) {
        pollfd watch{events.Descriptor(), POLLIN, 0};
        static_cast<void>(::poll(&watch, 1, 100));
        std::uint64_t lost = 0;
        EXPECT_EQ(events.Drain([&](const ConnectionEvent& event) { reports.push_back(event); }, lost), win32::kNoError);
        EXPECT_EQ(lost, 0U);
    }
    return reports;
}

// The reports about the socket of fd: its SYN_SENT one and its ESTABLISHED one.
std::vector<ConnectionEvent> AboutSocket(const std::vector<ConnectionEvent>& reports, int fd) {
    std::vector<ConnectionEvent> about;
    const std::uint64_t cookie = CookieOf(fd);
    for (const ConnectionEvent& report : reports) {
        if (report.row.cookie == cookie) about.push_back(report);
    }
    return about;
}

bool Established(const std::vector<ConnectionEvent>& reports, int fd) {
    const std::vector<ConnectionEvent> about = AboutSocket(reports, fd);
    return std::any_of(about.begin(), about.end(),
                       [](const ConnectionEvent& report) { return report.row.dwState == kTcpStateEstab; });
}

TEST_F(KernelPrefixes, EventsReportTheConnectionsTheWatchedPrefixesCoverAndNoOthers) {
    ConnectionEventsLoad load = CreateSystemConnectionEvents(16);
    ASSERT_TRUE(load.service) << load.why;
    ConnectionEventService& events = *load.service;
    const std::vector<IpPrefix4> watched4 = {{Address4("127.0.1.0"), 24}, {Address4("127.0.0.2"), 32}};
    const std::vector<IpPrefix6> watched6 = {Prefix6("2001:db8::", 64)};
    ASSERT_EQ(events.SetWatched(watched4, watched6), win32::kNoError);
    ASSERT_EQ(events.SetActive(true), win32::kNoError);

    UniqueFd listener = ListenEverywhere();
    ASSERT_TRUE(listener.Valid());
    const std::uint16_t port = LocalPort(listener.Get());
    // Every client binds to an unwatched source, so only client sockets can be reported. The
    // uncovered ones first: their reports would come before those of the covered ones.
    std::vector<UniqueFd> sockets;
    const auto open = [&](UniqueFd client) {
        EXPECT_TRUE(client.Valid()) << std::strerror(errno);
        sockets.push_back(Accept(listener.Get()));
        sockets.push_back(std::move(client));
        return sockets.back().Get();
    };
    open(ConnectFrom(V6(kElsewhere6, 0), V6(kNeighbour6, port)));  // the neighbouring /64
    open(ConnectFrom(V6("::1", 0), V6(kElsewhere6, port)));        // no prefix at all
    open(ConnectFrom(V4("127.0.0.1", 0), V4("127.0.0.3", port)));  // beside the /32
    open(ConnectFrom(V4("127.0.0.1", 0), V4("127.0.2.1", port)));  // beside the /24
    open(ConnectFrom(V6("::ffff:127.0.0.1", 0), V6("::ffff:127.0.0.3", port)));
    const int native = open(ConnectFrom(V6(kElsewhere6, 0), V6(kInside6, port)));
    const int plain = open(ConnectFrom(V4("127.0.0.1", 0), V4("127.0.1.7", port)));
    const int host = open(ConnectFrom(V4("127.0.0.1", 0), V4("127.0.0.2", port)));
    const int mapped = open(ConnectFrom(V6("::ffff:127.0.0.1", 0), V6("::ffff:127.0.1.7", port)));
    const std::vector<ConnectionEvent> reports =
        ReportsUntil(events, [&](const std::vector<ConnectionEvent>& got) { return Established(got, mapped); });

    // Each covered connection twice (connecting, then established), nothing else.
    EXPECT_EQ(reports.size(), 8U);
    for (const int fd : {native, plain, host, mapped}) {
        const std::vector<ConnectionEvent> about = AboutSocket(reports, fd);
        ASSERT_EQ(about.size(), 2U);
        EXPECT_TRUE(about[0].outbound);
        EXPECT_EQ(about[0].row.dwState, kTcpStateSynSent);
        EXPECT_EQ(about[0].pid, static_cast<std::uint32_t>(::getpid()));
        EXPECT_EQ(about[1].row.dwState, kTcpStateEstab);
        EXPECT_EQ(about[1].row.dwLocalPort, Port(LocalPort(fd)));
        for (const ConnectionEvent& report : about) EXPECT_EQ(report.row.dwRemotePort, Port(port));
    }
    for (const ConnectionEvent& report : AboutSocket(reports, native)) {
        EXPECT_TRUE(report.row.native6);
        EXPECT_EQ(report.row.family, AF_INET6);
        EXPECT_EQ(report.row.remoteAddr6, Bytes6(kInside6));
        EXPECT_EQ(report.row.dwRemoteAddr, 0U);
    }
    EXPECT_EQ(AboutSocket(reports, native)[1].row.localAddr6, Bytes6(kElsewhere6));
    for (const ConnectionEvent& report : AboutSocket(reports, mapped)) {
        EXPECT_FALSE(report.row.native6);
        EXPECT_EQ(report.row.family, AF_INET6);
        EXPECT_EQ(report.row.dwRemoteAddr, Address4("127.0.1.7"));
    }
    EXPECT_EQ(AboutSocket(reports, plain)[1].row.dwRemoteAddr, Address4("127.0.1.7"));
    EXPECT_EQ(AboutSocket(reports, host)[1].row.dwLocalAddr, Address4("127.0.0.1"));

    // A set that cannot go in leaves the one in force.
    std::vector<IpPrefix6> tooMany;
    for (std::uint8_t i = 0; i < 17; ++i) tooMany.push_back(Prefix6("fd00:1::", 48 + i));
    EXPECT_EQ(events.SetWatched({}, tooMany), win32::kErrorNotEnoughMemory);
    const std::vector<IpPrefix4> tooLong = {{Address4("127.0.0.2"), 33}};
    EXPECT_EQ(events.SetWatched(tooLong, {}), win32::kErrorInvalidParameter);
    // The next set follows at once: the neighbouring /64 in, the first one out; bits past a
    // prefix's length do not count.
    const std::vector<IpPrefix6> next6 = {Prefix6("2001:db8:0:1::ffff", 64)};
    const int underOldSet = open(ConnectFrom(V6(kElsewhere6, 0), V6(kInside6, port)));
    ASSERT_EQ(events.SetWatched({}, next6), win32::kNoError);
    const int nowUnwatched = open(ConnectFrom(V6(kElsewhere6, 0), V6(kInside6, port)));
    const int nowWatched = open(ConnectFrom(V6(kElsewhere6, 0), V6(kNeighbour6, port)));
    const int nowPlain = open(ConnectFrom(V4("127.0.0.1", 0), V4("127.0.1.7", port)));
    const std::vector<ConnectionEvent> later =
        ReportsUntil(events, [&](const std::vector<ConnectionEvent>& got) { return Established(got, nowWatched); });
    EXPECT_EQ(AboutSocket(later, underOldSet).size(), 2U);
    EXPECT_EQ(AboutSocket(later, nowUnwatched).size(), 0U);
    EXPECT_EQ(AboutSocket(later, nowPlain).size(), 0U);
    ASSERT_EQ(AboutSocket(later, nowWatched).size(), 2U);
    EXPECT_EQ(AboutSocket(later, nowWatched)[0].row.remoteAddr6, Bytes6(kNeighbour6));
    EXPECT_EQ(later.size(), 4U);
}

TEST_F(KernelPrefixes, WatchedMemoryFollowsTheNumberOfPrefixes) {
    ConnectionEventsLoad load = CreateSystemConnectionEvents(20000);
    ASSERT_TRUE(load.service) << load.why;
    ConnectionEventService& events = *load.service;
    const auto set = [&](std::size_t count4, std::size_t count6) {
        std::vector<IpPrefix4> v4;
        for (std::uint32_t i = 0; i < count4; ++i) v4.push_back({htonl(0x0a000000U + (i << 8)), 24});
        std::vector<IpPrefix6> v6;
        for (std::uint32_t i = 0; i < count6; ++i) {
            IpPrefix6 prefix = Prefix6("2001:db8::", 64);
            prefix.address[6] = static_cast<std::uint8_t>(i >> 8);
            prefix.address[7] = static_cast<std::uint8_t>(i);
            v6.push_back(prefix);
        }
        return events.SetWatched(v4, v6);
    };
    const std::uint64_t empty = events.WatchedMemory();
    ASSERT_EQ(set(1000, 0), win32::kNoError);
    const std::uint64_t thousand = events.WatchedMemory();
    ASSERT_EQ(set(10000, 0), win32::kNoError);
    const std::uint64_t tenThousand = events.WatchedMemory();
    ASSERT_EQ(set(10000, 5000), win32::kNoError);
    const std::uint64_t withIpv6 = events.WatchedMemory();
    EXPECT_LT(empty, thousand);
    EXPECT_LT(thousand, tenThousand);
    EXPECT_LT(tenThousand, withIpv6);
    // At least as much a prefix as its key.
    EXPECT_GE(tenThousand - thousand, 9000U * 8);
    EXPECT_GE(withIpv6 - tenThousand, 5000U * 20);
    // Refused sets change nothing; smaller ones give memory back.
    EXPECT_EQ(set(20001, 0), win32::kErrorNotEnoughMemory);
    EXPECT_EQ(events.WatchedMemory(), withIpv6);
    ASSERT_EQ(set(10, 0), win32::kNoError);
    EXPECT_LT(events.WatchedMemory(), thousand);
}

TEST_F(KernelPrefixes, RefusalCoversIpv6ConnectsByPrefixAndLetsTheRestThrough) {
    ConnectRefusalLoad load = CreateSystemConnectRefusal(16);
    ASSERT_TRUE(load.service) << load.why;
    ConnectRefusalService& layer = *load.service;
    const std::vector<IpPrefix4> refused4 = {{Address4("127.0.1.0"), 24}};
    const std::vector<IpPrefix6> refused6 = {Prefix6("2001:db8::", 64)};
    ASSERT_EQ(layer.SetRefused(refused4, refused6), win32::kNoError);
    std::string why;
    ASSERT_EQ(layer.SetAttached(true, why), win32::kNoError) << why;

    UniqueFd listener = ListenEverywhere();
    ASSERT_TRUE(listener.Valid());
    const std::uint16_t port = LocalPort(listener.Get());
    EXPECT_EQ(ConnectError(AF_INET6, SOCK_STREAM, V6(kInside6, port)), ECONNREFUSED);
    EXPECT_EQ(ConnectError(AF_INET6, SOCK_STREAM, V6("2001:db8::abcd", port)), ECONNREFUSED);
    EXPECT_EQ(ConnectError(AF_INET6, SOCK_STREAM, V6("::ffff:127.0.1.7", port)), ECONNREFUSED);
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, V4("127.0.1.7", port)), ECONNREFUSED);
    // Beside the prefixes, and the mapped form of an IPv6 prefix's first bits, go through.
    EXPECT_EQ(ConnectError(AF_INET6, SOCK_STREAM, V6(kNeighbour6, port)), 0);
    EXPECT_EQ(ConnectError(AF_INET6, SOCK_STREAM, V6(kElsewhere6, port)), 0);
    EXPECT_EQ(ConnectError(AF_INET6, SOCK_STREAM, V6("::1", port)), 0);
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, V4("127.0.2.1", port)), 0);
    EXPECT_EQ(ConnectError(AF_INET6, SOCK_STREAM, V6("::ffff:127.0.0.1", port)), 0);

    std::uint64_t total = 0;
    ASSERT_EQ(layer.ReadRefusals(total), win32::kNoError);
    EXPECT_EQ(total, 4U);
    std::vector<RefusedConnect> reports;
    ASSERT_EQ(layer.Drain([&](const RefusedConnect& report) { reports.push_back(report); }), win32::kNoError);
    ASSERT_EQ(reports.size(), 4U);
    for (const RefusedConnect& report : reports) EXPECT_EQ(report.remotePort, port);
    EXPECT_TRUE(reports[0].native6);
    EXPECT_FALSE(reports[0].mapped);
    EXPECT_EQ(reports[0].remoteAddress6, Bytes6(kInside6));
    EXPECT_EQ(reports[0].remoteAddress, 0U);
    EXPECT_EQ(reports[1].remoteAddress6, Bytes6("2001:db8::abcd"));
    EXPECT_TRUE(reports[2].mapped);
    EXPECT_FALSE(reports[2].native6);
    EXPECT_EQ(reports[2].remoteAddress, Address4("127.0.1.7"));
    EXPECT_EQ(reports[2].remoteAddress6, Address6{});
    EXPECT_FALSE(reports[3].mapped || reports[3].native6);

    // Replaced: the old prefixes go, a single IPv6 address and all of IPv4 come.
    const std::vector<IpPrefix4> everything4 = {{0, 0}};
    const std::vector<IpPrefix6> one6 = {Prefix6(kElsewhere6, 128)};
    ASSERT_EQ(layer.SetRefused(everything4, one6), win32::kNoError);
    EXPECT_EQ(ConnectError(AF_INET6, SOCK_STREAM, V6(kInside6, port)), 0);
    EXPECT_EQ(ConnectError(AF_INET6, SOCK_STREAM, V6(kElsewhere6, port)), ECONNREFUSED);
    EXPECT_EQ(ConnectError(AF_INET6, SOCK_STREAM, V6("fd00::6", port)), ENETUNREACH);  // not refused: no route
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, V4("127.0.0.1", port)), ECONNREFUSED);
    EXPECT_EQ(ConnectError(AF_INET6, SOCK_STREAM, V6("::ffff:127.0.0.1", port)), ECONNREFUSED);
    // The accepted ones, for the record: the five that went through before and the one now.
    int accepted = 0;
    for (;;) {
        pollfd watch{listener.Get(), POLLIN, 0};
        if (::poll(&watch, 1, 0) != 1) break;
        UniqueFd connection = Accept(listener.Get());
        if (!connection.Valid()) break;
        ++accepted;
    }
    EXPECT_EQ(accepted, 6);
}

#endif

}  // namespace
}  // namespace corvane::platform
