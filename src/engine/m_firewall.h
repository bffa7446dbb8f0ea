#pragma once
// mFirewall: the connection scan and block.
//
// The main window owns one mFirewall for the life of the process and calls
// Tick() from every tFire tick. A tick is cheap while nothing happens: it reads
// the kernel's connection-open counters and stops when they have not moved.
// Otherwise it reads the whole TCP table (and once more at the next tick, for a
// socket the counters announced a moment early), and when the table differs from the
// last one read (by the identity of its sockets and their states), it scans it:
// every row whose remote address text is in the block list and which is not
// listening is torn down and counted once.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/block_list.h"
#include "engine/scan_host.h"
#include "platform/address_text.h"
#include "platform/open_counters.h"
#include "platform/tcp_table.h"

namespace corvane::engine {

// AddressToText: dotted text of an IPv4 address in network byte order, at most
// 32 characters; "Unable to get IP" when the platform gives none.
std::string AddressToText(std::uint32_t address);

// The same text without a heap allocation, valid while this object lives.
class AddressText {
public:
    std::string_view Of(std::uint32_t address) noexcept;

private:
    char text_[platform::kAddressTextMax + 1] = {};
};

// "Corvane - " + count + " Attempts blocked".
std::string BlockedCaption(std::int32_t blockedCount);

// Order-independent fingerprint of a table: which sockets, in which states.
std::uint64_t TableIdentity(const platform::TcpTable& table) noexcept;

class mFirewall {
public:
    mFirewall(std::unique_ptr<platform::TcpTableService> tcpTable,
              std::unique_ptr<platform::OpenCounterService> openCounters, ScanHost& host);
    // The machine's own table and counters.
    static std::unique_ptr<mFirewall> CreateForSystem(ScanHost& host);

    mFirewall(const mFirewall&) = delete;
    mFirewall& operator=(const mFirewall&) = delete;

    // Load definitions: qd.def of the program folder into BlockList and DefsVersion.
    void LoadDefinitions(const std::string& programFolder);
    void SetDefinitions(Definitions definitions);
    const engine::BlockList& BlockList() const noexcept { return definitions_.blockList; }
    const std::string& DefsVersion() const noexcept { return definitions_.defsVersion; }

    std::int32_t BlockedCount() const noexcept { return blockedCount_; }
    void SetBlockedCount(std::int32_t count) noexcept { blockedCount_ = count; }

    // tFire's tick. Does nothing while a scan of an earlier tick is still
    // yielding (a tick can fall due inside Yield()).
    void Tick();
    bool Scanning() const noexcept { return scanning_; }

    // Ends the engine's work for good, before the count is saved at exit: a
    // scan under way stops at its next yield, before it tears down anything
    // more, and later ticks do nothing.
    void Stop() noexcept { stopped_ = true; }
    bool Stopped() const noexcept { return stopped_; }

    // Table rows read by the last tick that read the table.
    const platform::TcpTable& LastTable() const noexcept { return table_; }

private:
    // The gate and the scan of one tick; Tick guards it against nesting.
    void ScanConnections();
    void BlockRow(platform::TcpRow& row);

    std::unique_ptr<platform::TcpTableService> tcpTable_;
    std::unique_ptr<platform::OpenCounterService> openCounters_;
    ScanHost& host_;

    Definitions definitions_;
    std::int32_t blockedCount_ = 0;

    // Gate state: the counters and table identity seen by the last table read.
    bool haveLastOpens_ = false;
    std::uint64_t lastOpens_ = 0;
    bool haveLastIdentity_ = false;
    std::uint64_t lastIdentity_ = 0;
    bool recheckDue_ = false;  // the last read was opened by the counters: read once more
    bool scanning_ = false;
    bool stopped_ = false;

    platform::TcpTable table_;  // reused from tick to tick
};

}  // namespace corvane::engine
