#include "engine/m_firewall.h"

#include <limits>
#include <string_view>
#include <utility>

#include "platform/address_text.h"
#include "platform/win32_error.h"

namespace corvane::engine {

namespace {

constexpr std::size_t kMaxAddressText = 32;
constexpr std::string_view kNoAddressText = "Unable to get IP";

// Mixes one 64-bit value well (splitmix64's finaliser).
std::uint64_t Mix(std::uint64_t value) noexcept {
    value += 0x9e3779b97f4a7c15ULL;
    value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9ULL;
    value = (value ^ (value >> 27)) * 0x94d049bb133111ebULL;
    return value ^ (value >> 31);
}

// Sets the flag for as long as it lives.
class ScanningFlag {
public:
    explicit ScanningFlag(bool& flag) noexcept : flag_(flag) { flag_ = true; }
    ~ScanningFlag() { flag_ = false; }
    ScanningFlag(const ScanningFlag&) = delete;
    ScanningFlag& operator=(const ScanningFlag&) = delete;

private:
    bool& flag_;
};

}  // namespace

std::string_view AddressText::Of(std::uint32_t address) noexcept {
    const std::size_t length = platform::InetNtoa(address, text_);
    if (length == 0) return kNoAddressText;
    return std::string_view(text_, length < kMaxAddressText ? length : kMaxAddressText);
}

std::string AddressToText(std::uint32_t address) {
    AddressText text;
    return std::string(text.Of(address));
}

std::string BlockedCaption(std::int32_t blockedCount) {
    return "Corvane - " + std::to_string(blockedCount) + " Attempts blocked";
}

std::uint64_t TableIdentity(const platform::TcpTable& table) noexcept {
    // A sum of well-mixed terms does not depend on the order the kernel lists
    // sockets in; the row count is folded in as well.
    std::uint64_t identity = Mix(table.rows.size());
    for (const platform::TcpRow& row : table.rows) {
        identity += Mix(row.cookie ^ (static_cast<std::uint64_t>(row.dwState) << 56) ^
                        (static_cast<std::uint64_t>(row.family) << 48));
    }
    return identity;
}

mFirewall::mFirewall(std::unique_ptr<platform::TcpTableService> tcpTable,
                     std::unique_ptr<platform::OpenCounterService> openCounters, ScanHost& host)
    : tcpTable_(std::move(tcpTable)), openCounters_(std::move(openCounters)), host_(host) {}

std::unique_ptr<mFirewall> mFirewall::CreateForSystem(ScanHost& host) {
    return std::make_unique<mFirewall>(platform::CreateSystemTcpTable(), platform::CreateSystemOpenCounters(), host);
}

void mFirewall::LoadDefinitions(const std::string& programFolder) {
    definitions_ = engine::LoadDefinitions(programFolder);
}

void mFirewall::SetDefinitions(Definitions definitions) { definitions_ = std::move(definitions); }

void mFirewall::Tick() {
    if (scanning_ || stopped_) return;  // a tick that fell due while an earlier scan yields
    ScanConnections();
}

void mFirewall::ScanConnections() {
    ScanningFlag scanning(scanning_);

    // 1. The gate: no connection opened since the last table read, nothing to do.
    //    Counters that cannot be read leave the gate open: the table is read.
    //    The kernel may count a passive open (SYN cookies, TCP Fast Open) a
    //    moment before the socket is in the table, so a read the counters
    //    opened is followed by one more read at the next tick.
    std::uint64_t opens = 0;
    const bool haveOpens = openCounters_->ReadOpens(opens) == platform::win32::kNoError;
    const bool countersStill = haveOpens && haveLastOpens_ && opens == lastOpens_;
    if (countersStill && !recheckDue_) return;

    // 2. Read the whole table. A failed read counts as no rows and leaves the gate
    //    as it was, so the next tick reads again.
    if (tcpTable_->GetTcpTable(table_) != platform::win32::kNoError) {
        table_.rows.clear();
        return;
    }
    const std::uint64_t identity = TableIdentity(table_);
    const bool changed = !haveLastIdentity_ || identity != lastIdentity_;
    haveLastOpens_ = haveOpens;
    lastOpens_ = opens;
    haveLastIdentity_ = true;
    lastIdentity_ = identity;
    recheckDue_ = !countersStill;
    if (!changed) return;

    // 3. Each row in table order: a listed remote address on a row that is not
    //    listening is torn down. The set holds each text once, so a row is
    //    blocked and counted once however often the list names its address.
    for (platform::TcpRow& row : table_.rows) {
        host_.Yield();
        if (stopped_) return;  // the window closed while the scan yielded
        if (row.dwState == platform::kTcpStateListen) continue;
        if (definitions_.blockList.empty()) continue;
        AddressText text;
        if (definitions_.blockList.Contains(text.Of(row.dwRemoteAddr))) BlockRow(row);
    }
}

void mFirewall::BlockRow(platform::TcpRow& row) {
    row.dwState = platform::kTcpStateDeleteTcb;
    // The attempt counts whether or not the platform could tear it down (no
    // rights, connection already gone); the scan goes on either way.
    const std::uint32_t result = tcpTable_->SetTcpEntry(row);
    static_cast<void>(result);
    if (blockedCount_ < std::numeric_limits<std::int32_t>::max()) ++blockedCount_;
    host_.ShowBlockedCaption(BlockedCaption(blockedCount_));
}

}  // namespace corvane::engine
