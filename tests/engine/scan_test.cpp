// ScanConnections with scripted tables: what is torn down, counted and shown,
// and when the table is read and scanned at all.
#include <gtest/gtest.h>

#include <limits>
#include <memory>

#include "engine/m_firewall.h"
#include "fake_services.h"

namespace corvane::engine {
namespace {

using testing::Address;
using testing::FakeCounters;
using testing::FakeTcpTable;
using testing::RecordingHost;
using testing::Row;

class Scan : public ::testing::Test {
protected:
    void SetUp() override {
        auto table = std::make_unique<FakeTcpTable>();
        auto counters = std::make_unique<FakeCounters>();
        table_ = table.get();
        counters_ = counters.get();
        firewall_ = std::make_unique<mFirewall>(std::move(table), std::move(counters), host_);
        firewall_->SetNoticeSink([this](const std::string& line) { notices_.push_back(line); });
        firewall_->SetBlockLogSink([this](const std::string& line) { blockLines_.push_back(line); });
    }
    void List(const char* file) { firewall_->SetDefinitions(ParseDefinitions(file)); }
    // A tick after some connection opened.
    void TickAfterOpen() {
        ++counters_->opens;
        firewall_->Tick();
    }

    RecordingHost host_;
    FakeTcpTable* table_ = nullptr;
    FakeCounters* counters_ = nullptr;
    std::unique_ptr<mFirewall> firewall_;
    std::vector<std::string> notices_;
    std::vector<std::string> blockLines_;
};

TEST_F(Scan, TearsDownListedRowsOnceEachAndShowsTheCount) {
    List("V100\r\n1.2.3.4\r\n1.2.3.4\r\n5.6.7.8\r\n");
    firewall_->SetBlockedCount(41);
    table_->rows = {Row("1.2.3.4", 1), Row("9.9.9.9", 2), Row("1.2.3.4", 3),
                    Row("5.6.7.8", 4, platform::kTcpStateSynSent)};
    firewall_->Tick();

    // Both rows to the twice-listed address go, each once; the connecting one too.
    ASSERT_EQ(table_->tornDown.size(), 3U);
    EXPECT_EQ(table_->tornDown[0].cookie, 1U);
    EXPECT_EQ(table_->tornDown[1].cookie, 3U);
    EXPECT_EQ(table_->tornDown[2].cookie, 4U);
    for (const platform::TcpRow& row : table_->tornDown) EXPECT_EQ(row.dwState, platform::kTcpStateDeleteTcb);
    // The row goes back whole, only its state changed.
    EXPECT_EQ(table_->tornDown[0].dwRemoteAddr, Address("1.2.3.4"));
    EXPECT_EQ(table_->tornDown[0].dwLocalPort, table_->rows[0].dwLocalPort);

    EXPECT_EQ(firewall_->BlockedCount(), 44);
    EXPECT_EQ(host_.counts, (std::vector<std::int32_t>{42, 43, 44}));
    EXPECT_EQ(host_.yields, 4);  // once before each row
}

TEST_F(Scan, ListeningRowsAndInexactTextsNeverMatch) {
    List("0.0.0.0\r\n1.2.3.4\r\n 5.6.7.8\r\n10.0.0.01\r\n");
    table_->rows = {Row("0.0.0.0", 1, platform::kTcpStateListen), Row("1.2.3.4", 2, platform::kTcpStateListen),
                    Row("5.6.7.8", 3), Row("10.0.0.1", 4)};
    firewall_->Tick();
    EXPECT_TRUE(table_->tornDown.empty());
    EXPECT_EQ(firewall_->BlockedCount(), 0);
    EXPECT_TRUE(host_.counts.empty());

    // 0.0.0.0 on a row that is not listening is an ordinary listed address.
    table_->rows.push_back(Row("0.0.0.0", 5, platform::kTcpStateSynSent));
    TickAfterOpen();
    ASSERT_EQ(table_->tornDown.size(), 1U);
    EXPECT_EQ(table_->tornDown[0].cookie, 5U);

    // An empty list blocks nothing.
    List("V1\r\n");
    table_->rows.push_back(Row("1.2.3.4", 6));
    const int yieldsBefore = host_.yields;
    TickAfterOpen();
    EXPECT_EQ(host_.yields, yieldsBefore + 6);  // scanned
    EXPECT_EQ(table_->tornDown.size(), 1U);
}

TEST_F(Scan, CountsOnlyConnectionsTheKernelConfirmsTornDownEachOnce) {
    List("1.2.3.4\r\n");
    // Torn down; gone before the teardown came; a failure of the kernel's; torn down.
    table_->resultFor = {{2, platform::win32::kErrorNotFound}, {3, platform::win32::kErrorNotEnoughMemory}};
    table_->rows = {Row("1.2.3.4", 1), Row("1.2.3.4", 2), Row("1.2.3.4", 3), Row("1.2.3.4", 4)};
    firewall_->Tick();
    EXPECT_EQ(table_->tornDown.size(), 4U);
    EXPECT_EQ(firewall_->BlockedCount(), 2);
    EXPECT_EQ(host_.counts, (std::vector<std::int32_t>{1, 2}));
    EXPECT_EQ(blockLines_.size(), 2U);
    EXPECT_TRUE(firewall_->Problem().empty());
    EXPECT_TRUE(notices_.empty());

    // The next scan (this fake keeps every row): only the failed one is tried again, and counts now.
    table_->resultFor.clear();
    table_->rows.push_back(Row("9.9.9.9", 5));
    TickAfterOpen();
    ASSERT_EQ(table_->tornDown.size(), 5U);
    EXPECT_EQ(table_->tornDown[4].cookie, 3U);
    EXPECT_EQ(firewall_->BlockedCount(), 3);

    // The count stops at its largest value.
    firewall_->SetBlockedCount(std::numeric_limits<std::int32_t>::max() - 1);
    table_->rows = {Row("1.2.3.4", 6), Row("1.2.3.4", 7), Row("1.2.3.4", 8)};
    TickAfterOpen();
    EXPECT_EQ(firewall_->BlockedCount(), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(host_.counts.back(), 2147483647);
}

TEST_F(Scan, SocketsOnTheirWayOutAndListenersAreLeftAlone) {
    List("1.2.3.4\r\n");
    const std::uint32_t leaving[] = {platform::kTcpStateFinWait1, platform::kTcpStateFinWait2,
                                     platform::kTcpStateTimeWait,  platform::kTcpStateClosed,
                                     platform::kTcpStateCloseWait, platform::kTcpStateLastAck,
                                     platform::kTcpStateClosing,   platform::kTcpStateListen};
    std::uint64_t cookie = 100;
    for (const std::uint32_t state : leaving) table_->rows.push_back(Row("1.2.3.4", ++cookie, state));
    table_->rows.push_back(Row("1.2.3.4", 1, platform::kTcpStateSynSent));
    table_->rows.push_back(Row("1.2.3.4", 2, platform::kTcpStateSynRcvd));
    table_->rows.push_back(Row("1.2.3.4", 3, platform::kTcpStateEstab));
    firewall_->Tick();
    std::vector<std::uint64_t> tried;
    for (const platform::TcpRow& row : table_->tornDown) tried.push_back(row.cookie);
    EXPECT_EQ(tried, (std::vector<std::uint64_t>{1, 2, 3}));
    EXPECT_EQ(firewall_->BlockedCount(), 3);

    // A connection that starts to close after it was torn down (the fake keeps it) is not counted again.
    table_->rows.back().dwState = platform::kTcpStateFinWait1;
    TickAfterOpen();
    EXPECT_EQ(table_->tornDown.size(), 3U);
    EXPECT_EQ(firewall_->BlockedCount(), 3);

    // Read as established, but closing (or gone) by the time its row's turn comes: left alone, for
    // good.
    table_->rows.push_back(Row("1.2.3.4", 20));
    table_->rows.push_back(Row("1.2.3.4", 21));
    table_->stateNow = {{20, platform::kTcpStateFinWait1}, {21, 0}};
    TickAfterOpen();
    table_->stateNow.clear();
    table_->rows.push_back(Row("9.9.9.9", 22));
    TickAfterOpen();
    EXPECT_EQ(table_->tornDown.size(), 3U);
    EXPECT_EQ(firewall_->BlockedCount(), 3);
}

TEST_F(Scan, ARefusedTeardownIsAProblemSaidOnceUntilOneSucceeds) {
    List("1.2.3.4\r\n");
    firewall_->SetBlockedCount(7);
    table_->teardownResult = platform::win32::kErrorAccessDenied;
    table_->rows = {Row("1.2.3.4", 1), Row("1.2.3.4", 2)};
    firewall_->Tick();
    EXPECT_EQ(table_->tornDown.size(), 2U);
    EXPECT_EQ(firewall_->BlockedCount(), 7);
    EXPECT_TRUE(host_.counts.empty());
    EXPECT_TRUE(blockLines_.empty());
    EXPECT_NE(firewall_->Problem().find("CAP_NET_ADMIN"), std::string::npos) << firewall_->Problem();
    ASSERT_EQ(notices_.size(), 1U);
    EXPECT_EQ(notices_[0], "protection is not working: " + firewall_->Problem());

    // Refused again at the next scan: tried again, said no more. A connection found gone proves
    // nothing either way.
    table_->resultFor = {{3, platform::win32::kErrorNotFound}};
    table_->rows.push_back(Row("1.2.3.4", 3));
    TickAfterOpen();
    EXPECT_EQ(table_->tornDown.size(), 5U);
    EXPECT_EQ(firewall_->BlockedCount(), 7);
    EXPECT_FALSE(firewall_->Problem().empty());
    EXPECT_EQ(notices_.size(), 1U);

    // Allowed again: the connections still open go and count, and that is said once.
    table_->teardownResult = platform::win32::kNoError;
    table_->rows.push_back(Row("1.2.3.4", 4));
    TickAfterOpen();
    EXPECT_EQ(firewall_->BlockedCount(), 10);
    EXPECT_TRUE(firewall_->Problem().empty());
    ASSERT_EQ(notices_.size(), 2U);
    EXPECT_EQ(notices_[1], "connections are torn down again: protection works");

    // A kernel without SOCK_DESTROY is a problem of its own.
    table_->teardownResult = platform::win32::kErrorNotSupported;
    table_->rows = {Row("1.2.3.4", 5)};
    TickAfterOpen();
    EXPECT_NE(firewall_->Problem().find("SOCK_DESTROY"), std::string::npos) << firewall_->Problem();
    EXPECT_EQ(notices_.size(), 3U);
    EXPECT_EQ(firewall_->BlockedCount(), 10);
}

TEST_F(Scan, GateReadsTheTableOnlyAfterAnOpenAndScansOnlyAChangedTable) {
    List("1.2.3.4\r\n");
    table_->rows = {Row("9.9.9.9", 1), Row("8.8.8.8", 2)};
    firewall_->Tick();  // the first tick always reads and scans
    EXPECT_EQ(table_->reads, 1);
    EXPECT_EQ(host_.yields, 2);
    // The tick after a read reads once more; the same table is not scanned again.
    firewall_->Tick();
    EXPECT_EQ(table_->reads, 2);
    EXPECT_EQ(host_.yields, 2);

    // Counters still: the table is not read, whatever happened to it.
    table_->rows = {Row("9.9.9.9", 1), Row("1.2.3.4", 3)};
    firewall_->Tick();
    firewall_->Tick();
    EXPECT_EQ(table_->reads, 2);
    EXPECT_TRUE(table_->tornDown.empty());

    // A listed connection opened while another closed: same row count, other
    // sockets. Torn down at this tick.
    TickAfterOpen();
    EXPECT_EQ(table_->reads, 3);
    ASSERT_EQ(table_->tornDown.size(), 1U);
    EXPECT_EQ(table_->tornDown[0].cookie, 3U);

    // Counters moved but the same sockets in the same states (a connection that
    // opened and closed in between): read, not scanned. The listed row still in
    // the table (this fake's teardown removes nothing) is not counted again.
    TickAfterOpen();
    EXPECT_EQ(table_->reads, 4);
    EXPECT_EQ(host_.yields, 4);
    EXPECT_EQ(firewall_->BlockedCount(), 1);

    // The same sockets in another order are the same table.
    std::swap(table_->rows[0], table_->rows[1]);
    TickAfterOpen();
    EXPECT_EQ(host_.yields, 4);

    // A socket that changed state makes another table; the listed one, torn down already, is not
    // counted again.
    table_->rows[1].dwState = platform::kTcpStateCloseWait;
    TickAfterOpen();
    EXPECT_EQ(host_.yields, 6);
    EXPECT_EQ(firewall_->BlockedCount(), 1);
}

TEST_F(Scan, ASocketTheCountersAnnouncedEarlyIsCaughtAtTheNextTick) {
    List("1.2.3.4\r\n");
    table_->rows = {Row("9.9.9.9", 1)};
    firewall_->Tick();
    firewall_->Tick();
    ASSERT_EQ(table_->reads, 2);

    // The passive-open counter moved, but the new socket is not in the table yet.
    TickAfterOpen();
    EXPECT_EQ(table_->reads, 3);
    EXPECT_TRUE(table_->tornDown.empty());
    // It is there a moment later, with no further open: the next tick still reads and blocks it.
    table_->rows.push_back(Row("1.2.3.4", 2));
    firewall_->Tick();
    EXPECT_EQ(table_->reads, 4);
    ASSERT_EQ(table_->tornDown.size(), 1U);
    EXPECT_EQ(table_->tornDown[0].cookie, 2U);
    EXPECT_EQ(firewall_->BlockedCount(), 1);

    // That second read saw the counters still: the gate is shut again.
    firewall_->Tick();
    firewall_->Tick();
    EXPECT_EQ(table_->reads, 4);

    // A read that fails while the second read is due leaves it due.
    table_->rows = {Row("9.9.9.9", 1)};  // the blocked connection is gone
    TickAfterOpen();
    EXPECT_EQ(table_->reads, 5);
    table_->readResult = platform::win32::kErrorNotEnoughMemory;
    firewall_->Tick();
    EXPECT_EQ(table_->reads, 6);
    table_->readResult = platform::win32::kNoError;
    table_->rows.push_back(Row("1.2.3.4", 3));
    firewall_->Tick();
    EXPECT_EQ(table_->reads, 7);
    EXPECT_EQ(table_->tornDown.size(), 2U);
}

TEST_F(Scan, FailedReadsKeepTheGateOpen) {
    List("1.2.3.4\r\n");
    table_->rows = {Row("1.2.3.4", 1)};
    table_->readResult = platform::win32::kErrorNotEnoughMemory;
    firewall_->Tick();
    EXPECT_EQ(firewall_->LastTable().rows.size(), 0U);  // a failed read is a table of no rows
    EXPECT_TRUE(table_->tornDown.empty());

    // Same counters, but the last read failed: read again, and block.
    table_->readResult = platform::win32::kNoError;
    firewall_->Tick();
    EXPECT_EQ(table_->reads, 2);
    EXPECT_EQ(table_->tornDown.size(), 1U);

    // Counters that cannot be read: the table is read at every tick, and
    // scanned only when it changed.
    counters_->result = platform::win32::kErrorAccessDenied;
    firewall_->Tick();
    firewall_->Tick();
    EXPECT_EQ(table_->reads, 4);
    EXPECT_EQ(table_->tornDown.size(), 1U);
    table_->rows.push_back(Row("1.2.3.4", 2));
    firewall_->Tick();
    EXPECT_EQ(table_->tornDown.size(), 2U);  // the first, torn down already, is not tried again
}

TEST_F(Scan, TickDuringAYieldDoesNotNest) {
    List("1.2.3.4\r\n");
    table_->rows = {Row("1.2.3.4", 1), Row("5.5.5.5", 2), Row("1.2.3.4", 3)};
    int depth = 0;
    int maxDepth = 0;
    host_.onYield = [&] {
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        EXPECT_TRUE(firewall_->Scanning());
        ++counters_->opens;  // the next tick would read the table
        firewall_->Tick();
        --depth;
    };
    firewall_->Tick();
    EXPECT_EQ(maxDepth, 1);
    EXPECT_EQ(table_->reads, 1);
    EXPECT_EQ(host_.yields, 3);
    EXPECT_EQ(table_->tornDown.size(), 2U);
    EXPECT_FALSE(firewall_->Scanning());

    // After the scan the next tick runs normally.
    host_.onYield = nullptr;
    firewall_->Tick();
    EXPECT_EQ(table_->reads, 2);
}

TEST_F(Scan, StopDuringAYieldEndsTheScanBeforeItsNextTeardown) {
    List("1.2.3.4\r\n");
    firewall_->SetBlockedCount(7);
    table_->rows = {Row("1.2.3.4", 1), Row("1.2.3.4", 2), Row("5.5.5.5", 3), Row("1.2.3.4", 4)};
    std::int32_t savedCount = -1;
    // The window closes while the scan yields before its second row: it stops, then saves.
    host_.onYield = [&] {
        if (host_.yields == 2) {
            firewall_->Stop();
            savedCount = firewall_->BlockedCount();
        }
    };
    firewall_->Tick();
    ASSERT_EQ(table_->tornDown.size(), 1U);
    EXPECT_EQ(table_->tornDown[0].cookie, 1U);
    EXPECT_EQ(host_.yields, 2);
    EXPECT_EQ(firewall_->BlockedCount(), savedCount);
    EXPECT_EQ(firewall_->BlockedCount(), 8);
    EXPECT_EQ(host_.counts.size(), 1U);
    EXPECT_FALSE(firewall_->Scanning());

    // Later ticks do nothing at all, even with the counters moving.
    host_.onYield = nullptr;
    const int reads = table_->reads;
    TickAfterOpen();
    TickAfterOpen();
    EXPECT_EQ(table_->reads, reads);
    EXPECT_EQ(table_->tornDown.size(), 1U);
    EXPECT_EQ(firewall_->BlockedCount(), 8);
}

TEST(AddressText, DottedTextOfNetworkOrderAddresses) {
    EXPECT_EQ(AddressToText(Address("127.0.0.1")), "127.0.0.1");
    EXPECT_EQ(AddressToText(Address("1.2.3.4")), "1.2.3.4");
    EXPECT_EQ(AddressToText(0), "0.0.0.0");
    EXPECT_EQ(AddressToText(0xffffffffU), "255.255.255.255");
    EXPECT_EQ(AddressToText(htonl(0x0a000102U)), "10.0.1.2");
    // Every byte value in every position reads as the C library writes it.
    for (std::uint32_t value = 0; value < 256; ++value) {
        for (int shift = 0; shift < 32; shift += 8) {
            const std::uint32_t address = htonl((value << shift) | (0x01020304U & ~(0xffU << shift)));
            char expected[INET_ADDRSTRLEN];
            ASSERT_NE(inet_ntop(AF_INET, &address, expected, sizeof expected), nullptr);
            ASSERT_EQ(AddressToText(address), expected);
        }
    }
}

}  // namespace
}  // namespace corvane::engine
