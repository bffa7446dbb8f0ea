// The real TCP table service and the real engine, on real loopback connections
// inside a private network namespace (needs root; skipped otherwise).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <vector>

#include "engine/m_firewall.h"
#include "fake_services.h"
#include "platform/linux/proc_net_snmp_counters.h"
#include "platform/linux/sock_diag_tcp_table.h"
#include "private_network.h"

namespace corvane::engine {
namespace {

using namespace corvane::engine::testing;
using platform::TcpRow;
using platform::TcpTable;

class PrivateNetwork : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = EnterPrivateNetwork();
        if (why.empty()) return;
        if (::geteuid() == 0) FAIL() << why;
        GTEST_SKIP() << "needs a private network namespace: " << why;
    }

    static std::uint64_t CookieOf(int fd) {
        std::uint64_t cookie = 0;
        socklen_t length = sizeof cookie;
        if (::getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &length) != 0 || cookie == 0)
            ADD_FAILURE() << "no socket cookie for fd " << fd;
        return cookie;
    }
    static const TcpRow* FindByCookie(const TcpTable& table, std::uint64_t cookie) {
        const auto row =
            std::find_if(table.rows.begin(), table.rows.end(), [&](const TcpRow& r) { return r.cookie == cookie; });
        return row == table.rows.end() ? nullptr : &*row;
    }
};

class TableRead : public PrivateNetwork,
                  public ::testing::WithParamInterface<platform::linux_impl::SockDiagTcpTable::Walk> {};

INSTANTIATE_TEST_SUITE_P(BothWalks, TableRead,
                         ::testing::Values(platform::linux_impl::SockDiagTcpTable::Walk::kOneWalk,
                                           platform::linux_impl::SockDiagTcpTable::Walk::kPerFamily),
                         [](const auto& info) {
                             return info.param == platform::linux_impl::SockDiagTcpTable::Walk::kOneWalk
                                        ? std::string("OneWalk")
                                        : std::string("PerFamily");
                         });

TEST_P(TableRead, HoldsEveryIPv4ConnectionIncludingDualStackOnes) {
    UniqueFd listener = Listen("127.0.0.2");
    ASSERT_TRUE(listener.Valid());
    const std::uint16_t port = LocalPort(listener.Get());
    std::vector<UniqueFd> clients;
    for (int i = 0; i < 300; ++i) {
        clients.push_back(Connect("127.0.0.2", port));
        ASSERT_TRUE(clients.back().Valid());
    }
    UniqueFd mapped = ConnectMapped("127.0.0.2", port);
    ASSERT_TRUE(mapped.Valid());
    // Taking every connection off the accept queue makes sure the server ends are whole sockets: under
    // load the kernel may still be turning a pending request into one while the table is read.
    std::vector<UniqueFd> accepted;
    for (int i = 0; i < 301; ++i) {
        accepted.emplace_back(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_TRUE(accepted.back().Valid());
    }
    // A plain IPv6 connection: native IPv6 rows, after the IPv4 ones.
    UniqueFd v6Listener(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in6 v6Local = V6("::1", 0);
    ASSERT_EQ(::bind(v6Listener.Get(), reinterpret_cast<const sockaddr*>(&v6Local), sizeof v6Local), 0);
    ASSERT_EQ(::listen(v6Listener.Get(), 8), 0);
    UniqueFd v6Client = ConnectTo(AF_INET6, V6("::1", LocalPort(v6Listener.Get())));
    ASSERT_TRUE(v6Client.Valid());
    UniqueFd v6Accepted(::accept4(v6Listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(v6Accepted.Valid());
    // A dual-stack listener bound to an IPv4-mapped address is an IPv4 listener.
    UniqueFd mappedListener(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in6 mappedLocal = V6("::ffff:127.0.0.5", 0);
    ASSERT_EQ(::bind(mappedListener.Get(), reinterpret_cast<const sockaddr*>(&mappedLocal), sizeof mappedLocal), 0);
    ASSERT_EQ(::listen(mappedListener.Get(), 8), 0);

    platform::linux_impl::SockDiagTcpTable service(GetParam());
    TcpTable table;
    ASSERT_EQ(service.GetTcpTable(table), 0U);
    // Two IPv4 listeners + 301 clients + their 301 accepted ends, and the IPv6 listener, client and
    // accepted end, nothing more.
    EXPECT_EQ(table.rows.size(), 2U + 2U * 301U + 3U);
    const TcpRow* mappedListening = FindByCookie(table, CookieOf(mappedListener.Get()));
    ASSERT_NE(mappedListening, nullptr);
    EXPECT_EQ(mappedListening->dwState, platform::kTcpStateListen);
    EXPECT_EQ(mappedListening->dwLocalAddr, Address("127.0.0.5"));
    EXPECT_EQ(mappedListening->dwRemoteAddr, 0U);

    // Accepted ends share the listener's local port; the listener is the LISTEN one.
    const auto listenerRow = std::find_if(table.rows.begin(), table.rows.end(), [&](const TcpRow& row) {
        return row.dwState == platform::kTcpStateListen && row.dwLocalPort == htons(port);
    });
    ASSERT_NE(listenerRow, table.rows.end());
    EXPECT_EQ(listenerRow->dwLocalAddr, Address("127.0.0.2"));
    EXPECT_EQ(listenerRow->dwRemoteAddr, 0U);
    EXPECT_EQ(listenerRow->dwLocalPort, htons(port));

    const TcpRow* client = FindByCookie(table, CookieOf(clients[123].Get()));
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->dwState, platform::kTcpStateEstab);
    EXPECT_EQ(client->family, AF_INET);
    EXPECT_EQ(client->dwLocalAddr, Address("127.0.0.1"));
    EXPECT_EQ(client->dwRemoteAddr, Address("127.0.0.2"));
    EXPECT_EQ(client->dwRemotePort, htons(port));
    EXPECT_NE(client->cookie, 0U);

    const TcpRow* dualStack = FindByCookie(table, CookieOf(mapped.Get()));
    ASSERT_NE(dualStack, nullptr);
    EXPECT_EQ(dualStack->family, AF_INET6);
    EXPECT_EQ(dualStack->dwRemoteAddr, Address("127.0.0.2"));
    EXPECT_EQ(dualStack->dwLocalAddr, Address("127.0.0.1"));

    // Told apart by the kernel's cookie, not the port: an IPv4 client may get the same port number.
    const TcpRow* v6Row = FindByCookie(table, CookieOf(v6Client.Get()));
    ASSERT_NE(v6Row, nullptr);
    EXPECT_TRUE(v6Row->native6);
    EXPECT_EQ(v6Row->dwRemoteAddr, 0U);
    const TcpRow* v6Listening = FindByCookie(table, CookieOf(v6Listener.Get()));
    ASSERT_NE(v6Listening, nullptr);
    EXPECT_TRUE(v6Listening->native6);
    EXPECT_EQ(v6Listening->dwState, platform::kTcpStateListen);
    EXPECT_FALSE(dualStack->native6);

    // Cookies tell sockets apart.
    std::vector<std::uint64_t> cookies;
    for (const TcpRow& row : table.rows) cookies.push_back(row.cookie);
    std::sort(cookies.begin(), cookies.end());
    EXPECT_EQ(std::adjacent_find(cookies.begin(), cookies.end()), cookies.end());

    EXPECT_EQ(service.walk(), GetParam());  // this kernel answers the one-walk request

    // Read again into the same table: the same rows, none left over.
    const std::size_t rows = table.rows.size();
    ASSERT_EQ(service.GetTcpTable(table), 0U);
    EXPECT_EQ(table.rows.size(), rows);
}

TEST_P(TableRead, BoundSocketsThatNeitherListenNorConnectAreNotRows) {
    // Bound only: to an address, to any address, and a dual-stack one to any address.
    UniqueFd boundV4(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in v4Local = V4("127.0.0.7", 0);
    ASSERT_EQ(::bind(boundV4.Get(), reinterpret_cast<const sockaddr*>(&v4Local), sizeof v4Local), 0);
    UniqueFd boundAny(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in anyLocal = V4("0.0.0.0", 0);
    ASSERT_EQ(::bind(boundAny.Get(), reinterpret_cast<const sockaddr*>(&anyLocal), sizeof anyLocal), 0);
    UniqueFd boundDual(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in6 dualLocal = V6("::ffff:127.0.0.7", 0);
    ASSERT_EQ(::bind(boundDual.Get(), reinterpret_cast<const sockaddr*>(&dualLocal), sizeof dualLocal), 0);
    UniqueFd listener = Listen("127.0.0.2");
    UniqueFd client = Connect("127.0.0.2", LocalPort(listener.Get()));
    ASSERT_TRUE(client.Valid());

    platform::linux_impl::SockDiagTcpTable service(GetParam());
    TcpTable table;
    ASSERT_EQ(service.GetTcpTable(table), 0U);
    EXPECT_EQ(FindByCookie(table, CookieOf(boundV4.Get())), nullptr);
    EXPECT_EQ(FindByCookie(table, CookieOf(boundAny.Get())), nullptr);
    EXPECT_EQ(FindByCookie(table, CookieOf(boundDual.Get())), nullptr);
    EXPECT_NE(FindByCookie(table, CookieOf(client.Get())), nullptr);
    EXPECT_EQ(table.rows.size(), 3U);  // listener, client, its queued server end
    for (const TcpRow& row : table.rows)
        EXPECT_TRUE(row.dwState >= platform::kTcpStateClosed && row.dwState <= platform::kTcpStateDeleteTcb);

    // With the unspecified address listed, the bound sockets are no attempts.
    RecordingHost host;
    std::unique_ptr<mFirewall> firewall = mFirewall::CreateForSystem(host);
    firewall->SetDefinitions(ParseDefinitions("0.0.0.0\r\n127.0.0.7\r\n"));
    firewall->Tick();
    firewall->Tick();
    EXPECT_EQ(firewall->BlockedCount(), 0);
    EXPECT_TRUE(host.counts.empty());
    EXPECT_EQ(ConnectionError(client.Get()), 0);
}

TEST_F(PrivateNetwork, TeardownReportsItsResult) {
    UniqueFd listener = Listen("127.0.0.2");
    const std::uint16_t port = LocalPort(listener.Get());
    UniqueFd first = Connect("127.0.0.2", port);
    UniqueFd second = ConnectMapped("127.0.0.2", port);
    ASSERT_TRUE(first.Valid() && second.Valid());

    platform::linux_impl::SockDiagTcpTable service;
    TcpTable table;
    ASSERT_EQ(service.GetTcpTable(table), 0U);
    const TcpRow* firstRow = FindByCookie(table, CookieOf(first.Get()));
    const TcpRow* secondRow = FindByCookie(table, CookieOf(second.Get()));
    ASSERT_TRUE(firstRow && secondRow);
    TcpRow row = *firstRow;
    TcpRow mappedRow = *secondRow;

    // Only DELETE_TCB is a request to tear down.
    EXPECT_EQ(service.SetTcpEntry(row), platform::win32::kErrorInvalidParameter);
    EXPECT_EQ(ConnectionError(first.Get()), 0);

    // Without CAP_NET_ADMIN: access denied, and the connection lives on.
    row.dwState = platform::kTcpStateDeleteTcb;
    int results[2] = {-1, -1};
    ASSERT_EQ(::pipe(results), 0);
    UniqueFd readEnd(results[0]);
    UniqueFd writeEnd(results[1]);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::uint32_t result = 0xffffffffU;
        if (::setresgid(65534, 65534, 65534) == 0 && ::setresuid(65534, 65534, 65534) == 0) {
            platform::linux_impl::SockDiagTcpTable unprivileged;
            result = unprivileged.SetTcpEntry(row);
        }
        static_cast<void>(!::write(writeEnd.Get(), &result, sizeof result));
        ::_exit(0);
    }
    writeEnd.Reset();
    std::uint32_t childResult = 0;
    EXPECT_EQ(::read(readEnd.Get(), &childResult, sizeof childResult), static_cast<ssize_t>(sizeof childResult));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(childResult, platform::win32::kErrorAccessDenied);
    EXPECT_EQ(ConnectionError(first.Get()), 0);

    // With it: gone, the client sees the abort; a second try finds nothing.
    EXPECT_EQ(service.SetTcpEntry(row), platform::win32::kNoError);
    EXPECT_EQ(ConnectionError(first.Get()), ECONNABORTED);
    EXPECT_EQ(service.SetTcpEntry(row), platform::win32::kErrorNotFound);

    // A dual-stack socket goes the same way.
    mappedRow.dwState = platform::kTcpStateDeleteTcb;
    EXPECT_EQ(service.SetTcpEntry(mappedRow), platform::win32::kNoError);
    EXPECT_EQ(ConnectionError(second.Get()), ECONNABORTED);

    // A row whose cookie is not the socket's (the address pair reused) is not it.
    UniqueFd third = Connect("127.0.0.2", port);
    ASSERT_EQ(service.GetTcpTable(table), 0U);
    const TcpRow* thirdRow = FindByCookie(table, CookieOf(third.Get()));
    ASSERT_NE(thirdRow, nullptr);
    TcpRow stale = *thirdRow;
    stale.dwState = platform::kTcpStateDeleteTcb;
    stale.cookie += 1000;
    EXPECT_EQ(service.SetTcpEntry(stale), platform::win32::kErrorNotFound);
    EXPECT_EQ(ConnectionError(third.Get()), 0);
}

TEST_F(PrivateNetwork, OpenCountersMoveWithEveryConnection) {
    platform::linux_impl::ProcNetSnmpCounters counters;
    std::uint64_t before = 0;
    ASSERT_EQ(counters.ReadOpens(before), 0U);
    UniqueFd listener = Listen("127.0.0.3");
    UniqueFd client = Connect("127.0.0.3", LocalPort(listener.Get()));
    ASSERT_TRUE(client.Valid());
    std::uint64_t after = 0;
    ASSERT_EQ(counters.ReadOpens(after), 0U);
    EXPECT_EQ(after - before, 2U);  // one active open, one passive open
    // Nothing opened: nothing moves.
    std::uint64_t again = 0;
    ASSERT_EQ(counters.ReadOpens(again), 0U);
    EXPECT_EQ(again, after);
}

TEST_F(PrivateNetwork, EngineBlocksListedConnectionsAndSparesTheRest) {
    UniqueFd listedListener = Listen("127.0.0.2");
    UniqueFd otherListener = Listen("127.0.0.3");
    ASSERT_TRUE(listedListener.Valid() && otherListener.Valid());
    const std::uint16_t listedPort = LocalPort(listedListener.Get());
    const std::uint16_t otherPort = LocalPort(otherListener.Get());
    UniqueFd listedV4 = Connect("127.0.0.2", listedPort);
    UniqueFd listedMapped = ConnectMapped("127.0.0.2", listedPort);
    UniqueFd otherV4 = Connect("127.0.0.3", otherPort);
    UniqueFd otherMapped = ConnectMapped("127.0.0.3", otherPort);
    ASSERT_TRUE(listedV4.Valid() && listedMapped.Valid() && otherV4.Valid() && otherMapped.Valid());
    UniqueFd otherAccepted(::accept4(otherListener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(otherAccepted.Valid());

    RecordingHost host;
    std::unique_ptr<mFirewall> firewall = mFirewall::CreateForSystem(host);
    firewall->SetDefinitions(ParseDefinitions("V200\r\n127.0.0.2\r\n0.0.0.0\r\n127.0.0.2\r\n127.0.0.9\r\n"));
    firewall->SetBlockedCount(41);
    firewall->Tick();

    EXPECT_EQ(ConnectionError(listedV4.Get()), ECONNABORTED);
    EXPECT_EQ(ConnectionError(listedMapped.Get()), ECONNABORTED);
    EXPECT_EQ(ConnectionError(otherV4.Get()), 0);
    EXPECT_EQ(ConnectionError(otherMapped.Get()), 0);
    EXPECT_EQ(ConnectionError(otherAccepted.Get()), 0);
    EXPECT_EQ(firewall->BlockedCount(), 43);
    ASSERT_EQ(host.counts.size(), 2U);
    EXPECT_EQ(host.counts.back(), 43);

    // The listener on the listed address still listens and still accepts.
    int error = -1;
    socklen_t length = sizeof error;
    ASSERT_EQ(::getsockopt(listedListener.Get(), SOL_SOCKET, SO_ERROR, &error, &length), 0);
    EXPECT_EQ(error, 0);
    // Nothing opened since: later ticks leave everything alone.
    firewall->Tick();
    firewall->Tick();
    EXPECT_EQ(firewall->BlockedCount(), 43);

    // A new listed connection while an unlisted one closes: torn down at the next tick.
    UniqueFd late = Connect("127.0.0.2", listedPort);
    ASSERT_TRUE(late.Valid());
    CloseWithReset(otherMapped);
    firewall->Tick();
    EXPECT_EQ(ConnectionError(late.Get()), ECONNABORTED);
    EXPECT_EQ(ConnectionError(otherV4.Get()), 0);
    EXPECT_EQ(firewall->BlockedCount(), 44);
    EXPECT_EQ(host.counts.back(), 44);
    UniqueFd accepted(::accept4(listedListener.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    EXPECT_TRUE(accepted.Valid());  // the listener kept its queue
}

}  // namespace
}  // namespace corvane::engine
