// The event engine with a scripted kernel side: which engine runs, what the kernel is told, how
// reports are torn down and counted, and that both engines block exactly the same connections.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/block_log.h"
#include "engine/m_firewall.h"
#include "fake_services.h"
#include "platform/unique_fd.h"

namespace corvane::engine {
namespace {

using testing::Address;
using testing::FakeConnectionEvents;
using testing::FakeCounters;
using testing::FakeTcpTable;
using testing::RecordingHost;
using testing::Row;

platform::ConnectionEvent Report(const char* remote, std::uint64_t cookie, std::uint32_t state,
                                 std::uint16_t localPort = 40000) {
    platform::ConnectionEvent event;
    event.row = Row(remote, cookie, state);
    event.row.dwLocalPort = htons(localPort);
    event.outbound = state == platform::kTcpStateSynSent;
    return event;
}

class EventEngine : public ::testing::Test {
protected:
    void Make(bool withEvents = true, EventsLoading loading = EventsLoading::kWhenAsked) {
        auto table = std::make_unique<FakeTcpTable>();
        table_ = table.get();
        mFirewall::EventsFactory factory;
        if (withEvents) {
            factory = [this](std::size_t capacity) {
                if (gate_.valid()) gate_.wait();  // a load in the background waits for the test
                ++loads_;
                capacities_.push_back(capacity);
                platform::ConnectionEventsLoad load;
                if (!loadFails_.empty()) {
                    load.why = loadFails_;
                    return load;
                }
                load.service = std::make_unique<FakeConnectionEvents>(kernel_, capacity);
                return load;
            };
        }
        firewall_ = std::make_unique<mFirewall>(std::move(table), std::make_unique<FakeCounters>(), host_,
                                                std::move(factory), loading);
        firewall_->SetNoticeSink([this](const std::string& line) { notices_.push_back(line); });
        firewall_->SetBlockLogSink([this](const std::string& line) { blockLines_.push_back(line); });
    }
    void List(const std::string& file) { firewall_->SetDefinitions(ParseDefinitions(file)); }
    void Deliver(std::vector<platform::ConnectionEvent> events) {
        kernel_.queued = std::move(events);
        ASSERT_TRUE(host_.onReadable);
        host_.onReadable();
    }
    std::vector<std::uint64_t> TornDownCookies() const {
        std::vector<std::uint64_t> cookies;
        for (const platform::TcpRow& row : table_->tornDown) cookies.push_back(row.cookie);
        return cookies;
    }

    // Takes a step a millisecond (a tick, as the window's timer would) until `done` holds; gives up
    // after about ten seconds.
    bool StepUntil(const std::function<bool()>& done, const std::function<void()>& step) {
        for (int i = 0; i < 10000; ++i) {
            step();
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
    bool TickUntil(const std::function<bool()>& done) {
        return StepUntil(done, [this] { firewall_->Tick(); });
    }

    std::shared_future<void> gate_;
    RecordingHost host_;
    FakeConnectionEvents::State kernel_;
    FakeTcpTable* table_ = nullptr;
    std::unique_ptr<mFirewall> firewall_;
    int loads_ = 0;
    std::vector<std::size_t> capacities_;
    std::string loadFails_;
    std::vector<std::string> notices_;
    std::vector<std::string> blockLines_;
};

TEST_F(EventEngine, RunsWhenItLoadsAndSaysSoOnce) {
    Make();
    List("1.2.3.4\r\n");
    EXPECT_EQ(firewall_->Engine(), EngineKind::kEvents);
    EXPECT_FALSE(firewall_->UsesTimer());
    EXPECT_EQ(firewall_->Engine(), EngineKind::kEvents);
    EXPECT_EQ(loads_, 1);
    EXPECT_EQ(host_.watchedFd, 99);
    ASSERT_EQ(notices_.size(), 1U);
    EXPECT_EQ(notices_[0].rfind("event engine runs: ", 0), 0U) << notices_[0];
    EXPECT_EQ(kernel_.addresses, std::vector<std::uint32_t>{Address("1.2.3.4")});

    // Ticks of a timer that should not run do nothing.
    firewall_->Tick();
    EXPECT_EQ(table_->reads, 0);
}

TEST_F(EventEngine, FallsBackToTheTimerAndSaysWhy) {
    // Forced: no reports asked for at all.
    Make(false);
    EXPECT_TRUE(firewall_->UsesTimer());
    ASSERT_EQ(notices_.size(), 1U);
    EXPECT_EQ(notices_[0].rfind("timer engine (1 ms) runs: ", 0), 0U) << notices_[0];
    EXPECT_EQ(host_.watchedFd, -1);

    // The kernel side does not load.
    notices_.clear();
    loadFails_ = "load BPF program: Operation not permitted";
    Make();
    EXPECT_TRUE(firewall_->UsesTimer());
    EXPECT_EQ(firewall_->EngineReason(), loadFails_);
    ASSERT_EQ(notices_.size(), 1U);
    EXPECT_NE(notices_[0].find(loadFails_), std::string::npos);
    loadFails_.clear();

    // The host's loop cannot watch the reports.
    host_.canWatch = false;
    Make();
    EXPECT_TRUE(firewall_->UsesTimer());
    host_.canWatch = true;

    // The kernel refuses the list.
    kernel_.setResult = platform::win32::kErrorNotEnoughMemory;
    Make();
    List("1.2.3.4\r\n");
    EXPECT_TRUE(firewall_->UsesTimer());
    EXPECT_NE(firewall_->EngineReason().find("refused"), std::string::npos);
    kernel_.setResult = platform::win32::kNoError;

    // The timer engine then blocks as always.
    table_->rows = {Row("1.2.3.4", 1)};
    firewall_->SetProtection(true);
    firewall_->Tick();
    EXPECT_EQ(TornDownCookies(), std::vector<std::uint64_t>{1});
}

TEST_F(EventEngine, TurningOnScansOnceAndListensOnlyWhileOn) {
    Make();
    List("1.2.3.4\r\n");
    table_->rows = {Row("1.2.3.4", 1), Row("1.2.3.4", 2, platform::kTcpStateListen), Row("9.9.9.9", 3)};
    firewall_->SetProtection(true);
    EXPECT_TRUE(kernel_.active);
    EXPECT_EQ(table_->reads, 1);
    EXPECT_EQ(TornDownCookies(), std::vector<std::uint64_t>{1});
    EXPECT_EQ(firewall_->BlockedCount(), 1);

    // Off: the kernel stops reporting, and reports still queued are left alone.
    firewall_->SetProtection(false);
    EXPECT_FALSE(kernel_.active);
    Deliver({Report("1.2.3.4", 5, platform::kTcpStateEstab)});
    EXPECT_EQ(firewall_->BlockedCount(), 1);
    EXPECT_EQ(table_->tornDown.size(), 1U);

    // On again: one more full scan (the blocked row is still in this fake's table, and is not
    // counted twice).
    firewall_->SetProtection(true);
    EXPECT_EQ(table_->reads, 2);
    EXPECT_EQ(firewall_->BlockedCount(), 1);
}

TEST_F(EventEngine, EachConnectionIsCountedOnceAndTornDownByItsTuple) {
    Make();
    List("1.2.3.4\r\n");
    firewall_->SetBlockedCount(10);
    firewall_->SetProtection(true);
    ASSERT_TRUE(table_->tornDown.empty());

    // A connect: SYN_SENT without a local port yet, not torn down and so not counted yet.
    platform::ConnectionEvent connecting = Report("1.2.3.4", 7, platform::kTcpStateSynSent, 0);
    connecting.pid = 4242;
    std::copy_n("curl", 5, connecting.command);
    Deliver({connecting});
    EXPECT_EQ(firewall_->BlockedCount(), 10);
    EXPECT_TRUE(table_->tornDown.empty());
    EXPECT_TRUE(host_.counts.empty());
    EXPECT_TRUE(blockLines_.empty());

    // Torn down when ESTABLISHED, and counted then, with what its first report said.
    Deliver({Report("1.2.3.4", 7, platform::kTcpStateEstab, 40001)});
    ASSERT_EQ(table_->tornDown.size(), 1U);
    const platform::TcpRow& torn = table_->tornDown[0];
    EXPECT_EQ(torn.cookie, 7U);
    EXPECT_EQ(torn.dwState, platform::kTcpStateDeleteTcb);
    EXPECT_EQ(torn.dwLocalPort, htons(40001));
    EXPECT_EQ(torn.dwRemoteAddr, Address("1.2.3.4"));
    EXPECT_EQ(firewall_->BlockedCount(), 11);
    EXPECT_EQ(host_.counts, std::vector<std::int32_t>{11});
    ASSERT_EQ(blockLines_.size(), 1U);
    EXPECT_NE(blockLines_[0].find("1.2.3.4:443"), std::string::npos);
    EXPECT_NE(blockLines_[0].find("outbound"), std::string::npos);
    EXPECT_NE(blockLines_[0].find("4242 (curl)"), std::string::npos);

    // A connect whose local port is chosen by the time its report is read is found among the
    // connecting sockets and torn down at once.
    platform::TcpRow connectingRow = Row("1.2.3.4", 20, platform::kTcpStateSynSent);
    connectingRow.dwLocalPort = htons(40020);
    table_->rows = {Row("1.2.3.4", 21), connectingRow};
    Deliver({Report("1.2.3.4", 20, platform::kTcpStateSynSent, 0)});
    ASSERT_EQ(table_->tornDown.size(), 2U);
    EXPECT_EQ(table_->tornDown[1].cookie, 20U);
    EXPECT_EQ(table_->tornDown[1].dwLocalPort, htons(40020));
    EXPECT_EQ(firewall_->BlockedCount(), 12);
    table_->rows.clear();
    table_->tornDown.pop_back();
    firewall_->SetBlockedCount(11);

    // More reports of the same connection change nothing.
    Deliver({Report("1.2.3.4", 7, platform::kTcpStateEstab, 40001)});
    EXPECT_EQ(table_->tornDown.size(), 1U);
    EXPECT_EQ(firewall_->BlockedCount(), 11);

    // An inbound one: SYN_RECV not yet in the table, torn down at ESTABLISHED; counted once.
    table_->teardownResult = platform::win32::kErrorNotFound;
    Deliver({Report("1.2.3.4", 8, platform::kTcpStateSynRcvd)});
    table_->teardownResult = platform::win32::kNoError;
    Deliver({Report("1.2.3.4", 8, platform::kTcpStateEstab)});
    EXPECT_EQ(TornDownCookies(), (std::vector<std::uint64_t>{7, 8, 8}));
    EXPECT_EQ(firewall_->BlockedCount(), 12);
    EXPECT_NE(blockLines_.back().find("inbound"), std::string::npos);

    // A connection the full scan blocked is not counted again when its report comes.
    table_->rows = {Row("1.2.3.4", 9)};
    List("1.2.3.4\r\n5.6.7.8\r\n");  // a list change scans
    EXPECT_EQ(firewall_->BlockedCount(), 13);
    Deliver({Report("1.2.3.4", 9, platform::kTcpStateEstab)});
    EXPECT_EQ(firewall_->BlockedCount(), 13);

    // Gone by itself once established: not counted, and not tried again.
    table_->teardownResult = platform::win32::kErrorNotFound;
    Deliver({Report("1.2.3.4", 10, platform::kTcpStateEstab)});
    table_->teardownResult = platform::win32::kNoError;
    Deliver({Report("1.2.3.4", 10, platform::kTcpStateEstab)});
    EXPECT_EQ(TornDownCookies().back(), 10U);
    EXPECT_EQ(table_->tornDown.size(), 5U);
    EXPECT_EQ(firewall_->BlockedCount(), 13);
    // Reports of a connection already closing are left alone, and so is a connection that started
    // to close while its report waited; its later reports too.
    Deliver({Report("1.2.3.4", 11, platform::kTcpStateFinWait1), Report("1.2.3.4", 12, platform::kTcpStateCloseWait)});
    table_->stateNow = {{13, platform::kTcpStateFinWait2}};
    Deliver({Report("1.2.3.4", 13, platform::kTcpStateEstab)});
    table_->stateNow.clear();
    Deliver({Report("1.2.3.4", 13, platform::kTcpStateEstab)});
    EXPECT_EQ(table_->tornDown.size(), 5U);
    EXPECT_EQ(firewall_->BlockedCount(), 13);
}

TEST_F(EventEngine, ARefusedTeardownIsAProblemUntilOneSucceedsThenSurvivorsGo) {
    Make();
    List("1.2.3.4\r\n");
    firewall_->SetProtection(true);
    table_->teardownResult = platform::win32::kErrorAccessDenied;
    platform::ConnectionEvent first = Report("1.2.3.4", 1, platform::kTcpStateSynSent);
    first.pid = 77;
    std::copy_n("wget", 5, first.command);
    Deliver({first, Report("1.2.3.4", 2, platform::kTcpStateEstab)});
    EXPECT_EQ(TornDownCookies(), (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(firewall_->BlockedCount(), 0);
    EXPECT_NE(firewall_->Problem().find("CAP_NET_ADMIN"), std::string::npos) << firewall_->Problem();
    ASSERT_EQ(notices_.size(), 2U);  // which engine runs, then the problem
    EXPECT_EQ(notices_[1], "protection is not working: " + firewall_->Problem());

    // A later report of a refused connection tries again; still refused, said no more.
    Deliver({Report("1.2.3.4", 1, platform::kTcpStateEstab)});
    EXPECT_EQ(TornDownCookies(), (std::vector<std::uint64_t>{1, 2, 1}));
    EXPECT_EQ(notices_.size(), 2U);

    // Allowed again: the next report goes, and the table is then looked at for the connections that
    // survived meanwhile. Each counts once, the first with what its first report said.
    table_->teardownResult = platform::win32::kNoError;
    table_->rows = {Row("1.2.3.4", 1), Row("1.2.3.4", 2), Row("1.2.3.4", 3), Row("9.9.9.9", 4)};
    const int reads = table_->reads;
    Deliver({Report("1.2.3.4", 3, platform::kTcpStateEstab)});
    EXPECT_EQ(table_->reads, reads + 1);
    EXPECT_EQ(TornDownCookies(), (std::vector<std::uint64_t>{1, 2, 1, 3, 1, 2}));
    EXPECT_EQ(firewall_->BlockedCount(), 3);
    EXPECT_TRUE(firewall_->Problem().empty());
    ASSERT_EQ(notices_.size(), 3U);
    EXPECT_EQ(notices_[2], "connections are torn down again: protection works");
    ASSERT_EQ(blockLines_.size(), 3U);
    EXPECT_NE(blockLines_[1].find("outbound connection to 1.2.3.4:443"), std::string::npos) << blockLines_[1];
    EXPECT_NE(blockLines_[1].find("77 (wget)"), std::string::npos) << blockLines_[1];

    // Everything settled: more reports and scans change nothing.
    Deliver({Report("1.2.3.4", 2, platform::kTcpStateEstab)});
    firewall_->SetProtection(true);
    EXPECT_EQ(table_->tornDown.size(), 6U);
    EXPECT_EQ(firewall_->BlockedCount(), 3);
}

TEST_F(EventEngine, ListChangesReachTheKernelAndLostReportsRescan) {
    Make();
    List("1.2.3.4\r\n 5.6.7.8\r\n");
    firewall_->SetProtection(true);
    EXPECT_EQ(kernel_.addresses, std::vector<std::uint32_t>{Address("1.2.3.4")});
    const int readsBefore = table_->reads;

    List("5.6.7.8\r\n");
    EXPECT_EQ(kernel_.addresses, std::vector<std::uint32_t>{Address("5.6.7.8")});
    EXPECT_EQ(table_->reads, readsBefore + 1);
    // A report made under the old list is no longer blocked.
    Deliver({Report("1.2.3.4", 3, platform::kTcpStateEstab)});
    EXPECT_TRUE(table_->tornDown.empty());

    // Reports lost: the whole table is scanned.
    table_->rows = {Row("5.6.7.8", 4)};
    kernel_.lost = 3;
    Deliver({});
    EXPECT_EQ(table_->reads, readsBefore + 2);
    EXPECT_EQ(TornDownCookies(), std::vector<std::uint64_t>{4});
    EXPECT_NE(notices_.back().find("3 connection reports were lost"), std::string::npos);

    // A list loaded from the program folder reaches the kernel the same way.
    std::string folder = (std::filesystem::temp_directory_path() / "corvane-events-XXXXXX").string();
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    std::ofstream(folder + "/qd.def", std::ios::binary) << "V7\r\n9.8.7.6\r\n";
    firewall_->LoadDefinitions(folder);
    std::filesystem::remove_all(folder);
    EXPECT_EQ(kernel_.addresses, std::vector<std::uint32_t>{Address("9.8.7.6")});

    // A list larger than the kernel side was made for: made again, larger.
    std::string big;
    for (int i = 0; i < 5000; ++i) big += "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256) + "\r\n";
    List(big);
    EXPECT_EQ(loads_, 2);
    EXPECT_GE(capacities_.back(), 5000U);
    EXPECT_EQ(kernel_.addresses.size(), 5000U);
    EXPECT_TRUE(kernel_.active);
    EXPECT_EQ(firewall_->Engine(), EngineKind::kEvents);
    EXPECT_EQ(host_.engineChanges, 0);

    // Larger still, and the kernel side cannot be made again: the timer engine takes over, and
    // the window is told so its timer runs.
    big += "10.200.0.1\r\n";
    for (int i = 0; i < 5000; ++i) big += "10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256) + "\r\n";
    loadFails_ = "address map of 10001 entries refused";
    List(big);
    EXPECT_EQ(firewall_->Engine(), EngineKind::kTimer);
    EXPECT_EQ(firewall_->EngineReason(), loadFails_);
    EXPECT_EQ(host_.engineChanges, 1);
    EXPECT_EQ(host_.watchedFd, -1);
    EXPECT_NE(notices_.back().find("timer engine (1 ms) runs"), std::string::npos);
    table_->rows = {Row("10.200.0.1", 50)};
    firewall_->Tick();
    EXPECT_EQ(TornDownCookies().back(), 50U);
}

// The program makes the kernel side in the background: from the first tick the timer blocks until it
// is ready, then the engine changes over once, tells the window and says so once.
TEST_F(EventEngine, MadeInTheBackgroundTheTimerProtectsUntilTheChangeOver) {
    std::promise<void> release;
    gate_ = release.get_future().share();
    Make(true, EventsLoading::kInBackground);
    List("1.2.3.4\r\n");
    EXPECT_TRUE(firewall_->UsesTimer());
    firewall_->SetProtection(true);
    table_->rows = {Row("1.2.3.4", 1)};
    firewall_->Tick();  // starts the load, which waits at the gate
    EXPECT_EQ(TornDownCookies(), std::vector<std::uint64_t>{1});
    table_->rows.clear();  // gone, as a torn-down connection is
    EXPECT_TRUE(firewall_->UsesTimer());
    EXPECT_TRUE(notices_.empty());
    EXPECT_EQ(host_.watchedFd, -1);

    // The list grows past the room the load was started with: once ready, it is made again, larger.
    std::string big = "1.2.3.4\r\n";
    for (int i = 0; i < 5000; ++i) big += "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256) + "\r\n";
    List(big);
    release.set_value();
    ASSERT_TRUE(TickUntil([&] { return !firewall_->UsesTimer(); }));
    EXPECT_EQ(capacities_.size(), 2U);
    EXPECT_GE(capacities_.back(), 5001U);
    EXPECT_EQ(kernel_.addresses.size(), 5001U);
    EXPECT_TRUE(kernel_.active);
    EXPECT_EQ(host_.engineChanges, 1);
    EXPECT_EQ(host_.watchedFd, 99);
    ASSERT_EQ(notices_.size(), 1U);
    EXPECT_EQ(notices_[0].rfind("event engine runs: ", 0), 0U) << notices_[0];

    // The change-over scanned the whole table once; from then on ticks do nothing and reports block.
    table_->rows = {Row("10.0.0.7", 2)};
    const int reads = table_->reads;
    firewall_->Tick();
    EXPECT_EQ(table_->reads, reads);
    Deliver({Report("10.0.0.7", 3, platform::kTcpStateEstab)});
    EXPECT_EQ(TornDownCookies(), (std::vector<std::uint64_t>{1, 3}));
    EXPECT_EQ(loads_, 2);
}

TEST_F(EventEngine, MadeInTheBackgroundWithoutTicksFailingOrStopped) {
    // Protection off from the start: no tick, so nothing is made until it turns on.
    Make(true, EventsLoading::kInBackground);
    List("1.2.3.4\r\n");
    firewall_->SetProtection(false);
    EXPECT_TRUE(firewall_->UsesTimer());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(host_.watchedFd, -1);

    // Turned off while it is made: turning on again takes it over, without a tick, and scans once.
    firewall_->SetProtection(true);
    firewall_->Tick();
    firewall_->SetProtection(false);
    const int reads = table_->reads;
    table_->rows = {Row("1.2.3.4", 1)};
    ASSERT_TRUE(StepUntil([&] { return !firewall_->UsesTimer(); }, [&] { firewall_->SetProtection(true); }));
    EXPECT_EQ(table_->reads, reads + 1);
    EXPECT_EQ(TornDownCookies(), std::vector<std::uint64_t>{1});
    EXPECT_TRUE(kernel_.active);
    EXPECT_EQ(loads_, 1);

    // A load that fails leaves the timer running, said once, and is not tried again.
    notices_.clear();
    host_.engineChanges = 0;
    host_.watchedFd = -1;
    loadFails_ = "load BPF program: Operation not permitted";
    Make(true, EventsLoading::kInBackground);
    firewall_->SetProtection(true);
    ASSERT_TRUE(TickUntil([&] { return !notices_.empty(); }));
    for (int i = 0; i < 5; ++i) firewall_->Tick();
    EXPECT_TRUE(firewall_->UsesTimer());
    EXPECT_EQ(firewall_->EngineReason(), loadFails_);
    ASSERT_EQ(notices_.size(), 1U);
    EXPECT_EQ(notices_[0].rfind("timer engine (1 ms) runs: ", 0), 0U) << notices_[0];
    EXPECT_EQ(loads_, 2);
    EXPECT_EQ(host_.engineChanges, 0);
    loadFails_.clear();

    // Stopped while it is made: it is never taken over.
    std::promise<void> release;
    gate_ = release.get_future().share();
    Make(true, EventsLoading::kInBackground);
    firewall_->SetProtection(true);
    firewall_->Tick();
    firewall_->Stop();
    release.set_value();
    for (int i = 0; i < 20; ++i) {
        firewall_->Tick();
        firewall_->SetProtection(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(firewall_->UsesTimer());
    EXPECT_EQ(host_.watchedFd, -1);
    firewall_.reset();  // waits for the load, which is then closed
    EXPECT_EQ(loads_, 3);
}

TEST_F(EventEngine, StopEndsReportsAndScans) {
    Make();
    List("1.2.3.4\r\n");
    firewall_->SetProtection(true);
    const std::function<void()> readable = host_.onReadable;  // a call already on its way
    firewall_->Stop();
    EXPECT_FALSE(kernel_.active);
    EXPECT_EQ(host_.watchedFd, -1);
    EXPECT_FALSE(host_.onReadable);
    kernel_.queued = {Report("1.2.3.4", 3, platform::kTcpStateEstab)};
    kernel_.lost = 1;
    readable();
    firewall_->SetProtection(true);
    EXPECT_TRUE(table_->tornDown.empty());
    EXPECT_EQ(firewall_->BlockedCount(), 0);
    EXPECT_EQ(table_->reads, 1);
}

// The canonical addresses are exactly those whose own text is in the list.
TEST(CanonicalAddresses, OnlyTheExactTextOfAnAddressCounts) {
    const Definitions definitions = ParseDefinitions(
        "127.0.0.010\r\n 1.2.3.4\r\n1.2.3.4 \r\n0.0.0.0\r\n9.9.9.9\r\n9.9.9.9\r\n256.1.1.1\r\n1.2.3\r\n1.2.3.4.5\r\n"
        "01.2.3.4\r\n255.255.255.255\r\n1..2.3\r\n+1.2.3.4\r\n1.2.3.4\n\r\n0x7f.0.0.1\r\n10.0.0.1\r\n");
    std::vector<std::uint32_t> expected = {Address("0.0.0.0"), Address("9.9.9.9"), Address("255.255.255.255"),
                                           Address("10.0.0.1")};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(CanonicalAddresses(definitions.blockList), expected);
}

// Over random lists (with entries no address writes as its text) and random tables, the timer
// engine's scan and the event engine (fed a report for every connection the kernel side would
// report: its remote address among those it was given) tear down the same connections, and
// exactly those whose remote address text is listed.
TEST(BothEngines, BlockTheSameConnections) {
    std::mt19937 random(20261207);  // fixed: the same cases every run
    const std::vector<std::string> pool = {"127.0.0.1", "127.0.0.010", " 1.2.3.4",    "1.2.3.4 ",        "1.2.3.4",
                                           "0.0.0.0",   "10.1.2.3",    "10.1.2.03",   "255.255.255.255", "8.8.8.8",
                                           "08.8.8.8",  "1.2.3.4\n",   "192.168.0.1", "192.168.000.1",   "abc"};
    const std::vector<const char*> remotes = {"127.0.0.1",       "127.0.0.8", "1.2.3.4",     "0.0.0.0", "10.1.2.3",
                                              "255.255.255.255", "8.8.8.8",   "192.168.0.1", "4.3.2.1"};
    const std::uint32_t states[] = {platform::kTcpStateEstab, platform::kTcpStateSynSent, platform::kTcpStateSynRcvd,
                                    platform::kTcpStateListen, platform::kTcpStateCloseWait};
    for (int round = 0; round < 300; ++round) {
        std::string file;
        const int entries = static_cast<int>(random() % 8);
        for (int i = 0; i < entries; ++i) file += pool[random() % pool.size()] + "\r\n";
        std::vector<platform::TcpRow> rows;
        const int count = static_cast<int>(random() % 12);
        for (int i = 0; i < count; ++i) {
            rows.push_back(Row(remotes[random() % remotes.size()], static_cast<std::uint64_t>(i + 1),
                               states[random() % std::size(states)]));
        }
        // Random addresses too, mostly unlisted.
        for (int i = 0; i < 3; ++i) {
            platform::TcpRow row = Row("0.0.0.0", static_cast<std::uint64_t>(100 + i));
            row.dwRemoteAddr = static_cast<std::uint32_t>(random());
            rows.push_back(row);
        }
        const Definitions rule = ParseDefinitions(file);
        // Listed, and opening or open (a closing connection is left to close).
        std::set<std::uint64_t> expected;
        for (const platform::TcpRow& row : rows) {
            const bool live = row.dwState != platform::kTcpStateListen && row.dwState != platform::kTcpStateCloseWait;
            if (live && rule.blockList.Contains(AddressToText(row.dwRemoteAddr))) expected.insert(row.cookie);
        }

        RecordingHost timerHost;
        auto timerTable = std::make_unique<FakeTcpTable>();
        FakeTcpTable* timerRows = timerTable.get();
        timerRows->rows = rows;
        mFirewall timer(std::move(timerTable), std::make_unique<FakeCounters>(), timerHost);
        timer.SetNoticeSink([](const std::string&) {});
        timer.SetBlockLogSink([](const std::string&) {});
        timer.SetDefinitions(ParseDefinitions(file));
        timer.Tick();
        std::set<std::uint64_t> timerBlocked;
        for (const platform::TcpRow& row : timerRows->tornDown) timerBlocked.insert(row.cookie);

        RecordingHost eventHost;
        FakeConnectionEvents::State kernel;
        auto eventTable = std::make_unique<FakeTcpTable>();
        FakeTcpTable* eventRows = eventTable.get();
        mFirewall events(std::move(eventTable), std::make_unique<FakeCounters>(), eventHost, [&](std::size_t size) {
            platform::ConnectionEventsLoad load;
            load.service = std::make_unique<FakeConnectionEvents>(kernel, size);
            return load;
        });
        events.SetNoticeSink([](const std::string&) {});
        events.SetBlockLogSink([](const std::string&) {});
        events.SetDefinitions(ParseDefinitions(file));
        events.SetProtection(true);  // an empty table: the connections open afterwards
        ASSERT_EQ(events.Engine(), EngineKind::kEvents);
        const std::set<std::uint32_t> watched(kernel.addresses.begin(), kernel.addresses.end());
        for (const platform::TcpRow& row : rows) {
            const bool reported = row.dwState == platform::kTcpStateEstab ||
                                  row.dwState == platform::kTcpStateSynSent ||
                                  row.dwState == platform::kTcpStateSynRcvd;
            if (!reported || watched.count(row.dwRemoteAddr) == 0) continue;
            platform::ConnectionEvent event;
            event.row = row;
            kernel.queued.push_back(event);
        }
        eventHost.onReadable();
        std::set<std::uint64_t> eventBlocked;
        for (const platform::TcpRow& row : eventRows->tornDown) eventBlocked.insert(row.cookie);

        ASSERT_EQ(timerBlocked, expected) << "list:\n" << file;
        ASSERT_EQ(eventBlocked, expected) << "list:\n" << file;
        ASSERT_EQ(timer.BlockedCount(), static_cast<std::int32_t>(expected.size()));
        ASSERT_EQ(events.BlockedCount(), static_cast<std::int32_t>(expected.size()));

        // And with the rows already open when protection turns on, the event engine's scan gives
        // the timer engine's set exactly.
        RecordingHost scanHost;
        FakeConnectionEvents::State kernel2;
        auto scanTable = std::make_unique<FakeTcpTable>();
        FakeTcpTable* scanRows = scanTable.get();
        scanRows->rows = rows;
        mFirewall scanning(std::move(scanTable), std::make_unique<FakeCounters>(), scanHost, [&](std::size_t size) {
            platform::ConnectionEventsLoad load;
            load.service = std::make_unique<FakeConnectionEvents>(kernel2, size);
            return load;
        });
        scanning.SetNoticeSink([](const std::string&) {});
        scanning.SetBlockLogSink([](const std::string&) {});
        scanning.SetDefinitions(ParseDefinitions(file));
        scanning.SetProtection(true);
        std::set<std::uint64_t> scanBlocked;
        for (const platform::TcpRow& row : scanRows->tornDown) scanBlocked.insert(row.cookie);
        ASSERT_EQ(scanBlocked, expected) << "list:\n" << file;
    }
}

TEST_F(EventEngine, LeftOutBlocksAreToldWithinTheSecondWithoutAnotherBlock) {
    Make();
    auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    firewall_->SetBlockLogSink([this](const std::string& line) { blockLines_.push_back(line); }, [&] { return now; });
    List("1.2.3.4\r\n");
    firewall_->SetProtection(true);

    // Twenty in a second are logged one by one and need no wake.
    std::vector<platform::ConnectionEvent> burst;
    for (std::uint64_t cookie = 1; cookie <= 20; ++cookie)
        burst.push_back(Report("1.2.3.4", cookie, platform::kTcpStateEstab, static_cast<std::uint16_t>(40000 + cookie)));
    Deliver(burst);
    EXPECT_EQ(blockLines_.size(), 20U);
    EXPECT_FALSE(host_.wake);

    // Ten more in the same burst: left out, and the engine asks to be woken when the second is over.
    burst.clear();
    for (std::uint64_t cookie = 21; cookie <= 30; ++cookie)
        burst.push_back(Report("1.2.3.4", cookie, platform::kTcpStateEstab, static_cast<std::uint16_t>(40000 + cookie)));
    now += std::chrono::milliseconds(1);
    Deliver(burst);
    EXPECT_EQ(blockLines_.size(), 20U);
    ASSERT_TRUE(host_.wake);
    EXPECT_EQ(host_.wakeDelay, std::chrono::milliseconds(999));

    // Woken early (the loop's clock runs ahead): nothing yet, woken again for the rest.
    now += std::chrono::milliseconds(900);
    auto early = std::exchange(host_.wake, nullptr);
    early();
    EXPECT_EQ(blockLines_.size(), 20U);
    ASSERT_TRUE(host_.wake);
    EXPECT_EQ(host_.wakeDelay, std::chrono::milliseconds(99));

    now += std::chrono::milliseconds(99);
    auto due = std::exchange(host_.wake, nullptr);
    due();
    ASSERT_EQ(blockLines_.size(), 21U);
    EXPECT_EQ(blockLines_[20].rfind("10 more blocked connections not logged", 0), 0U) << blockLines_[20];
    EXPECT_FALSE(host_.wake);  // nothing owed: nothing armed
}

TEST(BlockLog, TwentyLinesASecondThenOneSummary) {
    std::vector<std::string> lines;
    auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    BlockLog log([&](const std::string& line) { lines.push_back(line); }, [&] { return now; });
    BlockRecord record;
    record.remoteAddress = Address("1.2.3.4");
    record.remotePort = 443;
    record.localPort = 40000;
    for (int i = 0; i < 25; ++i) {
        log.Record(record);
        now += std::chrono::milliseconds(10);
    }
    EXPECT_EQ(lines.size(), 20U);
    log.FlushIfDue();  // the second is not over yet
    EXPECT_EQ(lines.size(), 20U);
    now += std::chrono::milliseconds(760);  // 1.01 s after the first line
    log.FlushIfDue();
    ASSERT_EQ(lines.size(), 21U);
    EXPECT_EQ(lines[20].rfind("5 more blocked connections not logged", 0), 0U) << lines[20];
    // A new second logs again; a summary with nothing left out is not written.
    log.Record(record);
    log.Flush();
    EXPECT_EQ(lines.size(), 22U);
    EXPECT_EQ(lines[21], "blocked connection to 1.2.3.4:443, local port 40000");

    record.direction = Direction::kInbound;
    record.pid = 0;
    EXPECT_EQ(BlockLine(record), "blocked inbound connection from 1.2.3.4:443, local port 40000");
    record.direction = Direction::kOutbound;
    record.pid = 77;
    record.command = "wget";
    EXPECT_EQ(BlockLine(record), "blocked outbound connection to 1.2.3.4:443, local port 40000, process 77 (wget)");
    // A process name cannot start a line of its own or carry control characters into the log.
    record.command = "x\nblocked\x1b";
    EXPECT_EQ(BlockLine(record),
              "blocked outbound connection to 1.2.3.4:443, local port 40000, process 77 (x?blocked?)");
}

// An entry in the journal's native protocol: "NAME=value\n", or "NAME\n", the value's length (64
// bits, little-endian), the value and "\n". Empty when it is not one.
std::map<std::string, std::string> JournalEntry(std::string_view datagram) {
    std::map<std::string, std::string> fields;
    while (!datagram.empty()) {
        const std::size_t end = datagram.find('\n');
        if (end == std::string_view::npos) return {};
        const std::size_t equals = datagram.substr(0, end).find('=');
        if (equals != std::string_view::npos) {
            fields[std::string(datagram.substr(0, equals))] = datagram.substr(equals + 1, end - equals - 1);
            datagram.remove_prefix(end + 1);
            continue;
        }
        std::uint64_t length = 0;
        if (datagram.size() < end + 9) return {};
        for (int i = 7; i >= 0; --i) length = length << 8 | static_cast<unsigned char>(datagram[end + 1 + i]);
        if (datagram.size() - end - 9 <= length || datagram[end + 9 + length] != '\n') return {};
        fields[std::string(datagram.substr(0, end))] = datagram.substr(end + 9, length);
        datagram.remove_prefix(end + 10 + length);
    }
    return fields;
}

TEST(BlockLog, JournalEntryCarriesTheBlocksFields) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: a private mount namespace with a journal socket of its own";
    BlockRecord record;
    record.remoteAddress = Address("203.0.113.5");
    record.remotePort = 53;
    record.protocol = IPPROTO_UDP;
    record.direction = Direction::kOutbound;
    record.pid = 4242;
    record.command = "dig\nx";
    record.list = "/etc/corvane/lists.d/test.list";
    record.layer = BlockLayer::kSend;

    int ends[2] = {-1, -1};
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    platform::UniqueFd fromChild(ends[0]), toParent(ends[1]);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Mounts of its own: a tmpfs as /run (where /run/systemd may be missing) holding the journal's
        // socket, bound by the child itself.
        auto fail = [&](const char* step) {
            const std::string why = std::string(step) + ": " + std::strerror(errno);
            static_cast<void>(!::write(toParent.Get(), why.data(), why.size()));
            ::_exit(1);
        };
        if (::unshare(CLONE_NEWNS) != 0) fail("unshare(CLONE_NEWNS)");
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail("mount --make-rprivate /");
        if (::mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) fail("mount tmpfs /run");
        if (::mkdir("/run/systemd", 0755) != 0 || ::mkdir("/run/systemd/journal", 0755) != 0) fail("mkdir");
        platform::UniqueFd journal(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, "/run/systemd/journal/socket");
        if (!journal.Valid() || ::bind(journal.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            fail("journal socket");
        BlockLog(WriteBlockLine).Record(record);
        std::string datagram(65536, '\0');
        const ssize_t got = ::recv(journal.Get(), datagram.data(), datagram.size(), MSG_DONTWAIT);
        if (got <= 0) fail("no entry at the journal's socket");
        ::_exit(::write(toParent.Get(), datagram.data(), static_cast<std::size_t>(got)) == got ? 0 : 1);
    }
    toParent.Reset();
    std::string received;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fromChild.Get(), buffer, sizeof buffer)) > 0;) received.append(buffer, static_cast<std::size_t>(got));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << received;

    const std::map<std::string, std::string> entry = JournalEntry(received);
    const std::map<std::string, std::string> expected = {
        {"MESSAGE",
         "blocked outbound UDP to 203.0.113.5:53, process 4242 (dig?x), listed in /etc/corvane/lists.d/test.list"},
        {"MESSAGE_ID", std::string(kBlockMessageId)},
        {"PRIORITY", "5"},
        {"SYSLOG_FACILITY", "3"},
        {"SYSLOG_IDENTIFIER", "corvane"},
        {"CORVANE_ADDRESS", "203.0.113.5"},
        {"CORVANE_PORT", "53"},
        {"CORVANE_PROTOCOL", "UDP"},
        {"CORVANE_PID", "4242"},
        {"CORVANE_COMM", "dig?x"},
        {"CORVANE_LIST", "/etc/corvane/lists.d/test.list"},
        {"CORVANE_LAYER", "send"},
    };
    EXPECT_EQ(entry, expected) << received;
}

}  // namespace
}  // namespace corvane::engine
