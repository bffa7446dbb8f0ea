// What the count says on the real kernel, in both engines, inside a private network namespace: only
// connections the kernel confirms torn down count, each once; without CAP_NET_ADMIN nothing is torn
// down or counted and the engine says protection is not working, until the capability is back.
// Needs root (namespaces, capabilities, and BPF programs for the event engine).
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <poll.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/m_firewall.h"
#include "fake_services.h"
#include "platform/linux/sock_diag_tcp_table.h"
#include "private_network.h"

namespace corvane::engine {
namespace {

using namespace corvane::engine::testing;
using namespace std::chrono_literals;

constexpr char kListed[] = "127.0.0.2";

// Takes CAP_NET_ADMIN out of the calling thread's effective set while it lives. It stays permitted,
// so Restore (or the end of the object) puts it back.
class WithoutNetAdmin {
public:
    WithoutNetAdmin() { dropped_ = SetEffective(false); }
    ~WithoutNetAdmin() { static_cast<void>(Restore()); }
    WithoutNetAdmin(const WithoutNetAdmin&) = delete;
    WithoutNetAdmin& operator=(const WithoutNetAdmin&) = delete;

    bool Dropped() const { return dropped_; }
    bool Restore() {
        if (dropped_ && SetEffective(true)) dropped_ = false;
        return !dropped_;
    }

private:
    static bool SetEffective(bool on) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
        if (::syscall(SYS_capget, &header, data) != 0) return false;
        const std::uint32_t bit = 1U << (CAP_NET_ADMIN % 32);
        std::uint32_t& effective = data[CAP_NET_ADMIN / 32].effective;
        effective = on ? (effective | bit) : (effective & ~bit);
        return ::syscall(SYS_capset, &header, data) == 0;
    }

    bool dropped_ = false;
};

// What the kernel answered to the engine's teardowns, counted apart from the engine.
struct TeardownTally {
    int confirmed = 0;
    int refused = 0;
    int other = 0;
};

// The machine's table, with every teardown's answer counted.
class TallyingTable final : public platform::TcpTableService {
public:
    explicit TallyingTable(TeardownTally& tally) : tally_(tally) {}
    std::uint32_t GetTcpTable(platform::TcpTable& table) override { return table_.GetTcpTable(table); }
    std::uint32_t GetConnectingRows(platform::TcpTable& table) override { return table_.GetConnectingRows(table); }
    std::uint32_t GetTcpEntryState(const platform::TcpRow& row, std::uint32_t& state) override {
        return table_.GetTcpEntryState(row, state);
    }
    std::uint32_t SetTcpEntry(const platform::TcpRow& row) override {
        const std::uint32_t result = table_.SetTcpEntry(row);
        if (result == platform::win32::kNoError)
            ++tally_.confirmed;
        else if (result == platform::win32::kErrorAccessDenied)
            ++tally_.refused;
        else
            ++tally_.other;
        return result;
    }

private:
    platform::linux_impl::SockDiagTcpTable table_;
    TeardownTally& tally_;
};

std::uint64_t CookieOf(int fd) {
    std::uint64_t cookie = 0;
    socklen_t length = sizeof cookie;
    if (::getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &length) != 0) return 0;
    return cookie;
}

bool Closing(std::uint32_t state) {
    return state == platform::kTcpStateFinWait1 || state == platform::kTcpStateFinWait2 ||
           state == platform::kTcpStateTimeWait || state == platform::kTcpStateClosing ||
           state == platform::kTcpStateLastAck || state == platform::kTcpStateCloseWait;
}

// Holds connections to an address in a process of its own, round the given ports, until told to
// look: then says how many of them saw their teardown. Killed and reaped with the object.
class ConnectionHolder {
public:
    ConnectionHolder() = default;
    ConnectionHolder(const ConnectionHolder&) = delete;
    ConnectionHolder& operator=(const ConnectionHolder&) = delete;
    ~ConnectionHolder() {
        if (pid_ <= 0) return;
        static_cast<void>(::kill(pid_, SIGKILL));
        static_cast<void>(::waitpid(pid_, nullptr, 0));
    }

    bool Start(int count, const char* address, const std::vector<std::uint16_t>& ports) {
        int toChild[2] = {-1, -1};
        int toParent[2] = {-1, -1};
        if (::pipe2(toChild, O_CLOEXEC) != 0) return false;
        UniqueFd childReads(toChild[0]), parentWrites(toChild[1]);
        if (::pipe2(toParent, O_CLOEXEC) != 0) return false;
        UniqueFd parentReads(toParent[0]), childWrites(toParent[1]);
        pid_ = ::fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            std::vector<UniqueFd> held;
            held.reserve(static_cast<std::size_t>(count));
            int opened = 0;
            for (int i = 0; i < count; ++i) {
                held.push_back(Connect(address, ports[static_cast<std::size_t>(i) % ports.size()]));
                if (held.back().Valid()) ++opened;
            }
            static_cast<void>(!::write(childWrites.Get(), &opened, sizeof opened));
            char go = 0;
            int aborted = 0;
            if (::read(childReads.Get(), &go, 1) == 1) {
                for (const UniqueFd& fd : held) aborted += fd.Valid() && ConnectionError(fd.Get()) == ECONNABORTED;
            }
            static_cast<void>(!::write(childWrites.Get(), &aborted, sizeof aborted));
            ::_exit(0);
        }
        writes_ = std::move(parentWrites);
        reads_ = std::move(parentReads);
        return true;
    }
    // How many connections it holds, once all are made; -1 when it says nothing.
    int Opened() { return ReadNumber(); }
    // How many of them saw their teardown.
    int Aborted() {
        const char go = 1;
        if (::write(writes_.Get(), &go, 1) != 1) return -1;
        return ReadNumber();
    }

private:
    int ReadNumber() {
        int value = -1;
        return ::read(reads_.Get(), &value, sizeof value) == static_cast<ssize_t>(sizeof value) ? value : -1;
    }

    pid_t pid_ = -1;
    UniqueFd writes_;
    UniqueFd reads_;
};

class Teardowns : public ::testing::TestWithParam<EngineKind> {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root (private network namespaces, capabilities)";
#if !CORVANE_HAVE_EVENT_ENGINE
        if (GetParam() == EngineKind::kEvents) GTEST_SKIP() << "built without the event engine";
#endif
        const std::string why = EnterPrivateNetwork();
        ASSERT_TRUE(why.empty()) << why;
    }

    // The engine of this case on the machine's table, listing kListed, protecting.
    void Make() {
        auto table = std::make_unique<TallyingTable>(tally_);
        if (GetParam() == EngineKind::kEvents) {
            firewall_ = std::make_unique<mFirewall>(
                std::move(table), platform::CreateSystemOpenCounters(), host_,
                [](std::size_t capacity) { return platform::CreateSystemConnectionEvents(capacity); });
        } else {
            firewall_ = std::make_unique<mFirewall>(std::move(table), platform::CreateSystemOpenCounters(), host_);
        }
        firewall_->SetNoticeSink([this](const std::string& line) { notices_.push_back(line); });
        firewall_->SetBlockLogSink([](const std::string&) {});
        firewall_->SetDefinitions(ParseDefinitions(std::string(kListed) + "\r\n"));
        ASSERT_EQ(firewall_->Engine(), GetParam()) << firewall_->EngineReason();
        firewall_->SetProtection(true);
    }

    // One step of the engine, as its host would take it: a tick, or the reports waiting (if any
    // come within 10 ms).
    void Step() {
        if (GetParam() == EngineKind::kTimer) {
            firewall_->Tick();
            std::this_thread::sleep_for(1ms);  // the timer's period
            return;
        }
        pollfd watched{host_.watchedFd, POLLIN, 0};
        if (::poll(&watched, 1, 10) > 0 && host_.onReadable) host_.onReadable();
    }
    bool StepUntil(const std::function<bool()>& done, std::chrono::seconds limit = 60s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            Step();
        }
        return true;
    }
    // Steps for 100 ms: whatever was still on its way is handled.
    void StepAWhile() {
        const auto until = std::chrono::steady_clock::now() + 100ms;
        while (std::chrono::steady_clock::now() < until) Step();
    }
    int Said(const std::string& start) const {
        return static_cast<int>(std::count_if(notices_.begin(), notices_.end(),
                                              [&](const std::string& line) { return line.rfind(start, 0) == 0; }));
    }

    RecordingHost host_;
    TeardownTally tally_;
    std::unique_ptr<mFirewall> firewall_;
    std::vector<std::string> notices_;
};

TEST(SocketState, IsTheKernelsOwnAtTheMomentOfAsking) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (private network namespaces)";
    const std::string why = EnterPrivateNetwork();
    ASSERT_TRUE(why.empty()) << why;
    UniqueFd listener = Listen(kListed);
    const std::uint16_t port = LocalPort(listener.Get());
    UniqueFd v4 = Connect(kListed, port);
    UniqueFd mapped = ConnectMapped(kListed, port);
    ASSERT_TRUE(v4.Valid() && mapped.Valid());
    platform::linux_impl::SockDiagTcpTable service;
    platform::TcpTable table;
    ASSERT_EQ(service.GetTcpTable(table), 0U);
    auto rowOf = [&](int fd) {
        const std::uint64_t cookie = CookieOf(fd);
        const auto row = std::find_if(table.rows.begin(), table.rows.end(),
                                      [&](const platform::TcpRow& r) { return r.cookie == cookie; });
        return row == table.rows.end() ? platform::TcpRow{} : *row;
    };
    const platform::TcpRow v4Row = rowOf(v4.Get());
    const platform::TcpRow mappedRow = rowOf(mapped.Get());
    ASSERT_NE(v4Row.cookie, 0U);
    ASSERT_NE(mappedRow.cookie, 0U);

    std::uint32_t state = 0;
    EXPECT_EQ(service.GetTcpEntryState(v4Row, state), 0U);
    EXPECT_EQ(state, platform::kTcpStateEstab);
    EXPECT_EQ(service.GetTcpEntryState(mappedRow, state), 0U);
    EXPECT_EQ(state, platform::kTcpStateEstab);
    // Another socket's cookie on the same addresses is not this socket.
    platform::TcpRow stale = v4Row;
    stale.cookie += 1000;
    EXPECT_EQ(service.GetTcpEntryState(stale, state), platform::win32::kErrorNotFound);

    // Closed by its owner: on its way out, whatever the row read a moment ago says.
    const char byte = 'x';
    ASSERT_EQ(::send(v4.Get(), &byte, 1, MSG_NOSIGNAL), 1);
    v4.Reset();
    EXPECT_EQ(service.GetTcpEntryState(v4Row, state), 0U);
    EXPECT_TRUE(Closing(state)) << state;
    // Torn down: gone.
    platform::TcpRow teardown = mappedRow;
    teardown.dwState = platform::kTcpStateDeleteTcb;
    ASSERT_EQ(service.SetTcpEntry(teardown), 0U);
    EXPECT_EQ(service.GetTcpEntryState(mappedRow, state), platform::win32::kErrorNotFound);
    // The service still answers after a socket that was not there.
    UniqueFd next = Connect(kListed, port);
    ASSERT_EQ(service.GetTcpTable(table), 0U);
    EXPECT_EQ(service.GetTcpEntryState(rowOf(next.Get()), state), 0U);
    EXPECT_EQ(state, platform::kTcpStateEstab);
}

INSTANTIATE_TEST_SUITE_P(BothEngines, Teardowns, ::testing::Values(EngineKind::kTimer, EngineKind::kEvents),
                         [](const auto& info) {
                             return info.param == EngineKind::kTimer ? std::string("Timer") : std::string("Events");
                         });

TEST_P(Teardowns, WithoutTheCapabilityNothingIsCountedAndProtectionSaysItIsNotWorking) {
    UniqueFd listener = Listen(kListed);
    ASSERT_TRUE(listener.Valid());
    const std::uint16_t port = LocalPort(listener.Get());
    ASSERT_NO_FATAL_FAILURE(Make());
    firewall_->SetBlockedCount(12);
    std::vector<UniqueFd> clients;
    {
        WithoutNetAdmin dropped;
        ASSERT_TRUE(dropped.Dropped());
        for (int i = 0; i < 3; ++i) {
            clients.push_back(Connect(kListed, port));
            ASSERT_TRUE(clients.back().Valid());
        }
        ASSERT_TRUE(StepUntil([&] { return tally_.refused >= 3; }));
        StepAWhile();
        for (const UniqueFd& client : clients) EXPECT_EQ(ConnectionError(client.Get()), 0);
        EXPECT_EQ(firewall_->BlockedCount(), 12);
        EXPECT_EQ(tally_.confirmed, 0);
        EXPECT_TRUE(host_.counts.empty());
        EXPECT_NE(firewall_->Problem().find("CAP_NET_ADMIN"), std::string::npos) << firewall_->Problem();
        EXPECT_EQ(Said("protection is not working: "), 1);
        ASSERT_TRUE(dropped.Restore());
    }

    // With it again: the next listed connection goes, so do the ones that survived meanwhile, and
    // each counts once.
    clients.push_back(Connect(kListed, port));
    ASSERT_TRUE(clients.back().Valid());
    ASSERT_TRUE(StepUntil([&] { return firewall_->BlockedCount() >= 16; }));
    StepAWhile();
    for (const UniqueFd& client : clients) EXPECT_EQ(ConnectionError(client.Get()), ECONNABORTED);
    EXPECT_EQ(firewall_->BlockedCount(), 16);
    EXPECT_EQ(tally_.confirmed, 4);
    EXPECT_TRUE(firewall_->Problem().empty()) << firewall_->Problem();
    EXPECT_EQ(Said("connections are torn down again"), 1);
    EXPECT_EQ(Said("protection is not working: "), 1);
}

TEST_P(Teardowns, AConnectionThatStartsClosingBeforeItsTeardownIsLeftAlone) {
    UniqueFd listener = Listen(kListed);
    ASSERT_TRUE(listener.Valid());
    const std::uint16_t port = LocalPort(listener.Get());
    ASSERT_NO_FATAL_FAILURE(Make());
    UniqueFd closing = Connect(kListed, port);
    UniqueFd open = Connect(kListed, port);
    ASSERT_TRUE(closing.Valid() && open.Valid());
    const std::uint64_t closingCookie = CookieOf(closing.Get());
    auto close = [&] {
        if (!closing.Valid()) return;
        const char byte = 'x';
        static_cast<void>(::send(closing.Get(), &byte, 1, MSG_NOSIGNAL));
        closing.Reset();
    };
    if (GetParam() == EngineKind::kTimer) {
        host_.onYield = close;  // read as established, closed while the scan goes through the table
    } else {
        close();  // reported as established, closed while the report waits
    }
    // Reports come in order and a scan goes through the whole table: once the open one is counted,
    // the closing one has been looked at.
    ASSERT_TRUE(StepUntil([&] { return firewall_->BlockedCount() >= 1; }));
    host_.onYield = nullptr;
    StepAWhile();
    EXPECT_FALSE(closing.Valid());
    EXPECT_EQ(ConnectionError(open.Get()), ECONNABORTED);
    EXPECT_EQ(firewall_->BlockedCount(), 1);
    EXPECT_EQ(tally_.confirmed, 1);
    platform::linux_impl::SockDiagTcpTable table;
    platform::TcpTable rows;
    ASSERT_EQ(table.GetTcpTable(rows), 0U);
    const auto row = std::find_if(rows.rows.begin(), rows.rows.end(),
                                  [&](const platform::TcpRow& r) { return r.cookie == closingCookie; });
    ASSERT_NE(row, rows.rows.end()) << "the closing connection was torn down";
    EXPECT_TRUE(Closing(row->dwState)) << row->dwState;
}

TEST_P(Teardowns, ABurstOfTwentyThousandHeldOpenConnectionsCountsExactly) {
    constexpr int kBurst = 20000;
    constexpr int kHolders = 2;    // a process may hold fewer descriptors than the burst needs
    constexpr int kListeners = 5;  // each queue holds 4,000 of them unaccepted
    std::vector<UniqueFd> listeners;
    std::vector<std::uint16_t> ports;
    for (int i = 0; i < kListeners; ++i) {
        listeners.push_back(Listen(kListed));
        ASSERT_TRUE(listeners.back().Valid());
        ports.push_back(LocalPort(listeners.back().Get()));
    }
    ASSERT_NO_FATAL_FAILURE(Make());

    // Every connection first (reports pile up, or are lost and make a scan), then the engine.
    std::vector<ConnectionHolder> holders(kHolders);
    for (ConnectionHolder& holder : holders) ASSERT_TRUE(holder.Start(kBurst / kHolders, kListed, ports));
    for (ConnectionHolder& holder : holders) ASSERT_EQ(holder.Opened(), kBurst / kHolders);
    ASSERT_TRUE(StepUntil([&] { return firewall_->BlockedCount() >= kBurst; }, 240s))
        << firewall_->BlockedCount() << " counted";
    StepAWhile();
    EXPECT_EQ(firewall_->BlockedCount(), kBurst);
    EXPECT_EQ(tally_.confirmed, kBurst);
    EXPECT_EQ(tally_.refused, 0);
    int aborted = 0;
    for (ConnectionHolder& holder : holders) aborted += holder.Aborted();
    EXPECT_EQ(aborted, kBurst);
    EXPECT_TRUE(firewall_->Problem().empty());
}

TEST_P(Teardowns, AStormOfShortConnectionsCountsExactlyWhatTheKernelTore) {
    constexpr int kStorm = 2000;
    constexpr int kHeldEvery = 40;  // these stay open: the engine gets them for certain
    constexpr int kClosedEarly = 20;
    UniqueFd listener = Listen(kListed);  // never accepts: the server ends wait in its queue
    ASSERT_TRUE(listener.Valid());
    const std::uint16_t port = LocalPort(listener.Get());
    const sockaddr_in remote = V4(kListed, port);

    // Connections closed before protection starts: on their way out (FIN_WAIT2, the server never
    // closing its end), they are no teardown's business at any time.
    std::vector<std::uint64_t> closedEarly;
    for (int i = 0; i < kClosedEarly; ++i) {
        UniqueFd client = Connect(kListed, port);
        ASSERT_TRUE(client.Valid());
        const char byte = 'x';
        ASSERT_EQ(::send(client.Get(), &byte, 1, MSG_NOSIGNAL), 1);
        closedEarly.push_back(CookieOf(client.Get()));
        client.Reset();
    }
    ASSERT_NO_FATAL_FAILURE(Make());

    std::atomic<bool> stop{false};
    std::thread engine([&] {
        while (!stop.load()) Step();
    });
    int abortedSeen = 0;  // clients that saw the teardown: each of them must be counted
    int otherErrors = 0;
    std::vector<UniqueFd> held;
    for (int i = 0; i < kStorm; ++i) {
        UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!client.Valid()) {
            ++otherErrors;
            continue;
        }
        if (::connect(client.Get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
            (errno == ECONNABORTED ? abortedSeen : otherErrors) += 1;
            continue;
        }
        if (i % kHeldEvery == 0) {
            held.push_back(std::move(client));
            continue;
        }
        const char byte = 'x';
        if (::send(client.Get(), &byte, 1, MSG_NOSIGNAL) < 0 && errno == ECONNABORTED) ++abortedSeen;
        client.Reset();
    }
    // The first error each held connection reports (a later read only finds it closed).
    std::vector<int> heldErrors(held.size(), 0);
    auto allHeldGone = [&] {
        bool all = true;
        for (std::size_t i = 0; i < held.size(); ++i) {
            if (heldErrors[i] == 0) heldErrors[i] = ConnectionError(held[i].Get());
            all = all && heldErrors[i] != 0;
        }
        return all;
    };
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!allHeldGone() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    stop.store(true);
    engine.join();

    EXPECT_EQ(otherErrors, 0);
    for (const int error : heldErrors) {
        EXPECT_EQ(error, ECONNABORTED);
        if (error == ECONNABORTED) ++abortedSeen;
    }
    const int counted = firewall_->BlockedCount();
    EXPECT_EQ(counted, tally_.confirmed);
    EXPECT_GE(counted, abortedSeen);
    EXPECT_GE(abortedSeen, static_cast<int>(held.size()));
    EXPECT_LE(counted, kStorm);
    EXPECT_EQ(tally_.refused, 0);

    // One more look at the whole table (the event engine's at turning on again, the timer's after a
    // connection elsewhere opened) leaves the early ones on their way out, uncounted.
    UniqueFd elsewhere = Listen("127.0.0.3");
    UniqueFd unlisted = Connect("127.0.0.3", LocalPort(elsewhere.Get()));
    ASSERT_TRUE(unlisted.Valid());
    const int confirmed = tally_.confirmed;
    firewall_->SetProtection(true);
    StepAWhile();
    EXPECT_EQ(tally_.confirmed, confirmed);
    EXPECT_EQ(firewall_->BlockedCount(), counted);
    EXPECT_EQ(ConnectionError(unlisted.Get()), 0);
    platform::linux_impl::SockDiagTcpTable table;
    platform::TcpTable rows;
    ASSERT_EQ(table.GetTcpTable(rows), 0U);
    for (const std::uint64_t cookie : closedEarly) {
        const auto row = std::find_if(rows.rows.begin(), rows.rows.end(),
                                      [&](const platform::TcpRow& r) { return r.cookie == cookie; });
        ASSERT_NE(row, rows.rows.end()) << "a connection on its way out was torn down";
        EXPECT_TRUE(Closing(row->dwState)) << row->dwState;
    }
}

}  // namespace
}  // namespace corvane::engine
