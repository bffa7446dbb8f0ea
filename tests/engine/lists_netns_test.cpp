// The administrator's lists on the real kernel, in both engines, inside a private network namespace
// with IPv6 addresses of its own on lo: IPv6 connections listed by address and by prefix are torn
// down and counted once, the IPv4 lists take IPv4-mapped connections, what no list covers survives,
// listeners are never torn down, and each block names the list file that covered it. The lists are
// real files in a folder, read as the service reads them. Needs root (namespaces, and BPF programs
// for the event engine).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <libmnl/libmnl.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/address_lists.h"
#include "engine/block_log.h"
#include "engine/m_firewall.h"
#include "fake_services.h"
#include "platform/linux/sock_diag_tcp_table.h"
#include "ipv6_loopback.h"
#include "private_network.h"

namespace corvane::engine {
namespace {

using namespace corvane::engine::testing;
using namespace std::chrono_literals;

// On lo besides ::1: the first address of 2001:db8::/64 and its last, one just past the /64, and
// the address the IPv6 clients connect from (never listed).
constexpr char kInside6[] = "2001:db8::1";
constexpr char kLastInside6[] = "2001:db8::ffff:ffff:ffff:ffff";
constexpr char kNeighbour6[] = "2001:db8:0:1::1";
constexpr char kSource6[] = "fd00::5";

// A folder of list files only root can change, removed with the object.
class ListFolder {
public:
    ListFolder() {
        char name[] = "/tmp/corvane-lists-XXXXXX";
        if (::mkdtemp(name) != nullptr) path_ = name;
    }
    ~ListFolder() {
        if (path_.empty()) return;
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ListFolder(const ListFolder&) = delete;
    ListFolder& operator=(const ListFolder&) = delete;

    const std::string& Path() const { return path_; }
    // Writes a new file of the folder; its path, or empty on failure.
    std::string Write(const std::string& name, const std::string& content) const {
        const std::string file = path_ + "/" + name;
        UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!fd.Valid()) return {};
        if (::write(fd.Get(), content.data(), content.size()) != static_cast<ssize_t>(content.size())) return {};
        return file;
    }

private:
    std::string path_;
};

// A client connection and the server end the listener accepted for it.
struct Connection {
    UniqueFd client;
    UniqueFd server;
};

class Lists : public ::testing::TestWithParam<EngineKind> {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root (private network namespaces, BPF programs)";
#if !CORVANE_HAVE_EVENT_ENGINE
        if (GetParam() == EngineKind::kEvents) GTEST_SKIP() << "built without the event engine";
#endif
        ASSERT_EQ(EnterPrivateNetwork(), "");
        ASSERT_EQ(AddLoopbackAddress(kInside6, 64), "");
        for (const char* address : {kLastInside6, kNeighbour6, kSource6}) ASSERT_EQ(AddLoopbackAddress(address, 128), "");
        for (const char* address : {kInside6, kLastInside6, kNeighbour6, kSource6})
            ASSERT_TRUE(WaitUntilLocal(address)) << address;
        ASSERT_FALSE(folder_.Path().empty());
    }

    // A list file of the folder; its path.
    std::string WriteList(const std::string& name, const std::string& content) {
        const std::string path = folder_.Write(name, content);
        EXPECT_FALSE(path.empty()) << name;
        return path;
    }

    // The engine of this case on the machine's table, with qd.def and the folder's lists, protecting.
    void Make(const std::string& definitions = "") {
        firewall_ = mFirewall::CreateForSystem(
            host_, GetParam() == EngineKind::kTimer ? EngineChoice::kTimer : EngineChoice::kAuto);
        firewall_->SetNoticeSink([](const std::string&) {});
        firewall_->SetBlockLogSink([](const std::string&) {});
        firewall_->SetBlockObserver([this](const BlockRecord& record) { records_.push_back(record); });
        firewall_->SetDefinitions(ParseDefinitions(definitions));
        AddressLists lists = LoadListFolder(folder_.Path());
        ASSERT_EQ(lists.folderProblem, "");
        for (const ListSource& source : lists.sources) ASSERT_FALSE(source.refused) << source.path << ": " << source.why;
        ASSERT_TRUE(lists.problems.empty());
        firewall_->SetAddressLists(std::move(lists));
        ASSERT_EQ(firewall_->Engine(), GetParam()) << firewall_->EngineReason();
        firewall_->SetProtection(true);
    }

    // One step of the engine, as its host would take it: a tick, or the reports waiting (if any come
    // within 10 ms).
    void Step() {
        if (GetParam() == EngineKind::kTimer) {
            firewall_->Tick();
            std::this_thread::sleep_for(1ms);
            return;
        }
        pollfd watched{host_.watchedFd, POLLIN, 0};
        if (::poll(&watched, 1, 10) > 0 && host_.onReadable) host_.onReadable();
    }
    // Steps until `count` blocks are counted (20 s at most), then 100 ms more for anything still on
    // its way.
    bool StepUntilCounted(int count) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (firewall_->BlockedCount() < count) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            Step();
        }
        const auto until = std::chrono::steady_clock::now() + 100ms;
        while (std::chrono::steady_clock::now() < until) Step();
        return true;
    }

    // A connection to `to` from `from` through `listener`, the server end accepted.
    template <typename Address>
    Connection Open(int listener, const Address& from, const Address& to) {
        Connection connection;
        connection.client = ConnectFrom(from, to);
        EXPECT_TRUE(connection.client.Valid()) << std::strerror(errno);
        connection.server = UniqueFd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        EXPECT_TRUE(connection.server.Valid()) << std::strerror(errno);
        return connection;
    }
    Connection Open6(int listener, std::uint16_t port, const char* to, const char* from = kSource6) {
        return Open(listener, V6(from, 0), V6(to, port));
    }

    // Both ends still work.
    static void ExpectAlive(const Connection& connection, const char* what) {
        EXPECT_EQ(ConnectionError(connection.client.Get()), 0) << what;
        EXPECT_EQ(ConnectionError(connection.server.Get()), 0) << what;
    }
    // The end the engine tore down sees the abort, its peer the reset (once it has come).
    static void ExpectTornDown(const Connection& connection, bool clientTorn, const char* what) {
        const int torn = clientTorn ? connection.client.Get() : connection.server.Get();
        EXPECT_EQ(ConnectionError(torn), ECONNABORTED) << what;
        const int peer = clientTorn ? connection.server.Get() : connection.client.Get();
        pollfd watch{peer, POLLIN, 0};
        EXPECT_EQ(::poll(&watch, 1, 10000), 1) << what;
        EXPECT_EQ(ConnectionError(peer), ECONNRESET) << what;
    }
    // Both ends are listed: the first torn down resets the other, so one of them sees the abort.
    static void ExpectOneEndTornDown(const Connection& connection, const char* what) {
        const int client = ConnectionError(connection.client.Get());
        const int server = ConnectionError(connection.server.Get());
        EXPECT_TRUE((client == ECONNABORTED && server == ECONNRESET) || (client == ECONNRESET && server == ECONNABORTED))
            << what << ": client " << client << ", server " << server;
    }

    // The lists the counted blocks named, in order.
    std::vector<std::string> RecordLists() const {
        std::vector<std::string> lists;
        for (const BlockRecord& record : records_) lists.push_back(record.list);
        return lists;
    }

    ListFolder folder_;
    RecordingHost host_;
    std::unique_ptr<mFirewall> firewall_;
    std::vector<BlockRecord> records_;
};

INSTANTIATE_TEST_SUITE_P(BothEngines, Lists, ::testing::Values(EngineKind::kTimer, EngineKind::kEvents),
                         [](const auto& info) {
                             return info.param == EngineKind::kTimer ? std::string("Timer") : std::string("Events");
                         });

TEST_P(Lists, AnIpv6AddressListedTearsDownItsConnectionsAndNoOthers) {
    const std::string list = WriteList("loopback6.list", "# IPv6 loopback\n::1\n");
    UniqueFd listener = Listen6("::", true);
    ASSERT_TRUE(listener.Valid());
    const std::uint16_t port = LocalPort(listener.Get());
    // Open before protection (found by the first look at the table) and after (as it opens).
    Connection early = Open6(listener.Get(), port, "::1");
    Connection unlisted6 = Open6(listener.Get(), port, kInside6);
    Connection self6 = Open6(listener.Get(), port, kSource6);
    Connection v4 = Open(listener.Get(), V4("127.0.0.1", 0), V4("127.0.0.1", port));
    Connection mapped = Open(listener.Get(), V6("::ffff:127.0.0.1", 0), V6("::ffff:127.0.0.1", port));
    ASSERT_NO_FATAL_FAILURE(Make());
    ASSERT_TRUE(StepUntilCounted(1));
    Connection late = Open6(listener.Get(), port, "::1");
    Connection lateUnlisted = Open6(listener.Get(), port, kNeighbour6);
    ASSERT_TRUE(StepUntilCounted(2)) << firewall_->BlockedCount();

    EXPECT_EQ(firewall_->BlockedCount(), 2);
    ExpectTornDown(early, true, "early ::1");
    ExpectTornDown(late, true, "late ::1");
    ExpectAlive(unlisted6, kInside6);
    ExpectAlive(self6, kSource6);
    ExpectAlive(v4, "127.0.0.1");
    ExpectAlive(mapped, "::ffff:127.0.0.1");
    ExpectAlive(lateUnlisted, kNeighbour6);
    EXPECT_EQ(RecordLists(), std::vector<std::string>(2, list));
    for (const BlockRecord& record : records_) {
        EXPECT_TRUE(record.native6);
        EXPECT_EQ(record.remoteAddress6, Bytes6("::1"));
        EXPECT_EQ(record.remotePort, port);
    }
    ASSERT_EQ(records_.size(), 2U);
    EXPECT_EQ(records_[0].localPort, LocalPort(early.client.Get()));
    EXPECT_EQ(records_[1].localPort, LocalPort(late.client.Get()));
}

TEST_P(Lists, AnIpv6PrefixListedCoversItsAddressesToTheLastAndNotItsNeighbour) {
    const std::string list = WriteList("documentation.list", "2001:db8::/64\n");
    WriteList("other.list", "2001:db8:0:2::/64\n192.0.2.0/24\n");  // in force, covering nothing here
    UniqueFd listener = Listen6("::", true);
    ASSERT_TRUE(listener.Valid());
    const std::uint16_t port = LocalPort(listener.Get());
    Connection first = Open6(listener.Get(), port, kInside6);
    Connection neighbour = Open6(listener.Get(), port, kNeighbour6);
    Connection loopback = Open6(listener.Get(), port, "::1");
    Connection v4 = Open(listener.Get(), V4("127.0.0.1", 0), V4("127.0.0.1", port));
    ASSERT_NO_FATAL_FAILURE(Make());
    ASSERT_TRUE(StepUntilCounted(1));
    Connection last = Open6(listener.Get(), port, kLastInside6);
    // Inbound: a peer at a listed address connects in; this side's server end has it as its remote.
    Connection inbound = Open6(listener.Get(), port, kSource6, kInside6);
    ASSERT_TRUE(StepUntilCounted(3)) << firewall_->BlockedCount();

    EXPECT_EQ(firewall_->BlockedCount(), 3);
    ExpectTornDown(first, true, kInside6);
    ExpectTornDown(last, true, kLastInside6);
    ExpectTornDown(inbound, false, "inbound from 2001:db8::1");
    ExpectAlive(neighbour, kNeighbour6);
    ExpectAlive(loopback, "::1");
    ExpectAlive(v4, "127.0.0.1");
    EXPECT_EQ(RecordLists(), std::vector<std::string>(3, list));
    for (const BlockRecord& record : records_) {
        EXPECT_TRUE(record.native6);
        EXPECT_TRUE(std::equal(record.remoteAddress6.begin(), record.remoteAddress6.begin() + 8,
                               Bytes6(kInside6).begin()))
            << RemoteAddressText(record);
    }
}

TEST_P(Lists, AnIpv4PrefixTearsDownIpv4AndMappedConnectionsAndQdDefNamesItsOwn) {
    // 127.0.0.0/8 covers both ends of every loopback IPv4 connection: whichever end goes first, its
    // peer is reset, so each connection counts once.
    const std::string list = WriteList("loopback4.list", "127.0.0.0/8\n");
    UniqueFd listener = Listen6("::", true);
    ASSERT_TRUE(listener.Valid());
    const std::uint16_t port = LocalPort(listener.Get());
    Connection mapped = Open(listener.Get(), V6("::ffff:127.0.0.1", 0), V6("::ffff:127.0.0.1", port));
    Connection v6 = Open6(listener.Get(), port, "::1");
    Connection prefixed6 = Open6(listener.Get(), port, kInside6);
    ASSERT_NO_FATAL_FAILURE(Make());
    ASSERT_TRUE(StepUntilCounted(1));
    Connection lateMapped = Open(listener.Get(), V6("::ffff:127.0.0.1", 0), V6("::ffff:127.0.0.9", port));
    Connection v4 = Open(listener.Get(), V4("127.0.0.1", 0), V4("127.0.0.1", port));
    ASSERT_TRUE(StepUntilCounted(3)) << firewall_->BlockedCount();

    EXPECT_EQ(firewall_->BlockedCount(), 3);
    ExpectOneEndTornDown(mapped, "mapped");
    ExpectOneEndTornDown(lateMapped, "late mapped");
    ExpectOneEndTornDown(v4, "127.0.0.1");
    // An IPv4 list is no business of IPv6 connections.
    ExpectAlive(v6, "::1");
    ExpectAlive(prefixed6, kInside6);
    EXPECT_EQ(RecordLists(), std::vector<std::string>(3, list));
    for (const BlockRecord& record : records_) {
        EXPECT_FALSE(record.native6);
        EXPECT_EQ(ntohl(record.remoteAddress) >> 24, 127U) << RemoteAddressText(record);
    }

    // With qd.def naming the client's remote address too, qd.def wins; the list keeps the rest.
    records_.clear();
    UniqueFd listener4 = Listen("127.0.0.2");
    ASSERT_TRUE(listener4.Valid());
    const std::uint16_t port4 = LocalPort(listener4.Get());
    ASSERT_NO_FATAL_FAILURE(Make("127.0.0.2\r\n"));
    const int before = firewall_->BlockedCount();
    Connection byDefinitions = Open(listener4.Get(), V4("127.0.0.1", 0), V4("127.0.0.2", port4));
    ASSERT_TRUE(StepUntilCounted(before + 1));
    EXPECT_EQ(firewall_->BlockedCount(), before + 1);
    ExpectOneEndTornDown(byDefinitions, "127.0.0.2");
    ASSERT_EQ(records_.size(), 1U);
    // Whichever end went: the client's remote is qd.def's, the server end's (127.0.0.1) the list's.
    if (records_[0].remoteAddress == V4("127.0.0.2", 0).sin_addr.s_addr)
        EXPECT_EQ(records_[0].list, kDefinitionsListName);
    else
        EXPECT_EQ(records_[0].list, list) << RemoteAddressText(records_[0]);
}

TEST_P(Lists, ListenersAreNeverTornDownEvenWhenEverythingIsListed) {
    const std::string list = WriteList("everything.list", "0.0.0.0/0\n::/0\n");
    UniqueFd listener4 = Listen("127.0.0.1");
    UniqueFd listener6 = Listen6("::1", false);
    UniqueFd everywhere = Listen6("::", true);
    ASSERT_TRUE(listener4.Valid() && listener6.Valid() && everywhere.Valid());
    const std::vector<std::uint64_t> listeners = {CookieOf(listener4.Get()), CookieOf(listener6.Get()),
                                                  CookieOf(everywhere.Get())};
    Connection v4 = Open(listener4.Get(), V4("127.0.0.1", 0), V4("127.0.0.1", LocalPort(listener4.Get())));
    ASSERT_NO_FATAL_FAILURE(Make());
    ASSERT_TRUE(StepUntilCounted(1));
    Connection v6 = Open6(listener6.Get(), LocalPort(listener6.Get()), "::1", "::1");
    Connection mapped =
        Open(everywhere.Get(), V6("::ffff:127.0.0.1", 0), V6("::ffff:127.0.0.1", LocalPort(everywhere.Get())));
    ASSERT_TRUE(StepUntilCounted(3)) << firewall_->BlockedCount();
    EXPECT_EQ(firewall_->BlockedCount(), 3);
    ExpectOneEndTornDown(v4, "IPv4");
    ExpectOneEndTornDown(v6, "IPv6");
    ExpectOneEndTornDown(mapped, "mapped");
    EXPECT_EQ(RecordLists(), std::vector<std::string>(3, list));

    // The listeners are there, listening, without an error, and take the next connection.
    platform::linux_impl::SockDiagTcpTable service;
    platform::TcpTable table;
    ASSERT_EQ(service.GetTcpTable(table), 0U);
    for (const std::uint64_t cookie : listeners) {
        const auto row = std::find_if(table.rows.begin(), table.rows.end(),
                                      [&](const platform::TcpRow& r) { return r.cookie == cookie; });
        ASSERT_NE(row, table.rows.end()) << "a listener was torn down";
        EXPECT_EQ(row->dwState, platform::kTcpStateListen);
    }
    for (const UniqueFd* listener : {&listener4, &listener6, &everywhere}) {
        int error = -1;
        socklen_t length = sizeof error;
        ASSERT_EQ(::getsockopt(listener->Get(), SOL_SOCKET, SO_ERROR, &error, &length), 0);
        EXPECT_EQ(error, 0);
    }
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, V4("127.0.0.1", LocalPort(listener4.Get()))), 0);
    EXPECT_EQ(ConnectError(AF_INET6, SOCK_STREAM, V6("::1", LocalPort(listener6.Get()))), 0);
}

}  // namespace
}  // namespace corvane::engine
