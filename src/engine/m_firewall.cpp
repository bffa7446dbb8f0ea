#include "engine/m_firewall.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <string_view>
#include <utility>

#include "platform/address_text.h"
#include "platform/system_log.h"
#include "platform/win32_error.h"

namespace corvane::engine {

namespace {

constexpr std::size_t kMaxAddressText = 32;
constexpr std::string_view kNoAddressText = "Unable to get IP";
// Room the kernel side gets at least, so small list changes need no reload.
constexpr std::size_t kMinEventCapacity = 4096;
// Settled connections remembered (to count each once), oldest forgotten first.
constexpr std::size_t kRememberedConnections = 65536;

constexpr std::string_view kRefusedProblem =
    "the kernel refuses to tear connections down (CAP_NET_ADMIN is missing): listed connections stay open";
constexpr std::string_view kUnsupportedProblem =
    "this kernel cannot tear connections down (no SOCK_DESTROY): listed connections stay open";

// Whether a socket is one a teardown is for: a connection opening or open. One closing or closed
// (FIN_WAIT1/2, CLOSE_WAIT, CLOSING, LAST_ACK, TIME_WAIT, CLOSE) is on its way out by itself, and a
// listener is no connection.
constexpr bool IsLive(std::uint32_t state) noexcept {
    return state == platform::kTcpStateSynSent || state == platform::kTcpStateSynRcvd ||
           state == platform::kTcpStateEstab;
}

void DefaultNotice(const std::string& line) {
    std::fprintf(stderr, "corvane: %s\n", line.c_str());
    static_cast<void>(platform::WriteSystemLog(platform::LogLevel::kNotice, line));
}

// The address a dotted text names: four decimal numbers 0..255 and nothing else. Whether it is the
// address's own text is checked against AddressToText by the caller.
bool ParseDotted(std::string_view text, std::uint32_t& address) {
    std::uint32_t hostOrder = 0;
    int parts = 0;
    std::size_t i = 0;
    while (parts < 4) {
        std::uint32_t value = 0;
        std::size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
            value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
            ++digits;
            ++i;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
        hostOrder = hostOrder << 8 | value;
        ++parts;
        if (parts < 4) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
    }
    if (i != text.size()) return false;
    address = htonl(hostOrder);
    return true;
}

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

std::vector<std::uint32_t> CanonicalAddresses(const BlockList& list) {
    std::vector<std::uint32_t> addresses;
    AddressText text;
    for (std::size_t i = 0; i < list.size(); ++i) {
        std::uint32_t address = 0;
        if (ParseDotted(list[i], address) && text.Of(address) == list[i]) addresses.push_back(address);
    }
    std::sort(addresses.begin(), addresses.end());
    addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
    return addresses;
}

WatchedPrefixes WatchedFor(const BlockList& list, const AddressLists& lists) {
    WatchedPrefixes watched;
    const std::vector<std::uint32_t> addresses = CanonicalAddresses(list);
    watched.v4.reserve(addresses.size() + lists.v4.size());
    for (const std::uint32_t address : addresses) watched.v4.push_back(platform::IpPrefix4{address, 32});
    for (const Prefix4& prefix : lists.v4) watched.v4.push_back(platform::IpPrefix4{htonl(prefix.first), prefix.length});
    watched.v6.reserve(lists.v6.size());
    for (const Prefix6& prefix : lists.v6)
        watched.v6.push_back(platform::IpPrefix6{Ipv6ToBytes(prefix.first), prefix.length});
    auto sortOut = [](auto& prefixes) {
        auto key = [](const auto& prefix) { return std::pair(prefix.address, prefix.length); };
        std::sort(prefixes.begin(), prefixes.end(), [&](const auto& a, const auto& b) { return key(a) < key(b); });
        prefixes.erase(std::unique(prefixes.begin(), prefixes.end(),
                                   [&](const auto& a, const auto& b) { return key(a) == key(b); }),
                       prefixes.end());
    };
    sortOut(watched.v4);
    sortOut(watched.v6);
    return watched;
}

bool SameWatched(const WatchedPrefixes& a, const WatchedPrefixes& b) noexcept {
    auto same = [](const auto& x, const auto& y) { return x.address == y.address && x.length == y.length; };
    return std::equal(a.v4.begin(), a.v4.end(), b.v4.begin(), b.v4.end(), same) &&
           std::equal(a.v6.begin(), a.v6.end(), b.v6.begin(), b.v6.end(), same);
}

mFirewall::mFirewall(std::unique_ptr<platform::TcpTableService> tcpTable,
                     std::unique_ptr<platform::OpenCounterService> openCounters, ScanHost& host)
    : tcpTable_(std::move(tcpTable)),
      openCounters_(std::move(openCounters)),
      host_(host),
      timerReason_("no connection reports were asked for"),
      notice_(DefaultNotice),
      blockLog_(WriteBlockLine) {}

mFirewall::mFirewall(std::unique_ptr<platform::TcpTableService> tcpTable,
                     std::unique_ptr<platform::OpenCounterService> openCounters, ScanHost& host, EventsFactory events,
                     EventsLoading loading)
    : mFirewall(std::move(tcpTable), std::move(openCounters), host) {
    eventsFactory_ = std::move(events);
    loading_ = loading;
}

mFirewall::~mFirewall() {
    if (summaryWake_) static_cast<void>(host_.WakeAfter(std::chrono::milliseconds(0), {}));
}

std::unique_ptr<mFirewall> mFirewall::CreateForSystem(ScanHost& host, EngineChoice choice, EventsFactory events,
                                                      EventsLoading loading) {
    if (choice == EngineChoice::kTimer) {
        auto firewall =
            std::make_unique<mFirewall>(platform::CreateSystemTcpTable(), platform::CreateSystemOpenCounters(), host);
        firewall->timerReason_ = "the \"Engine\" setting is \"timer\"";
        return firewall;
    }
    if (!events) events = [](std::size_t capacity) { return platform::CreateSystemConnectionEvents(capacity); };
    return std::make_unique<mFirewall>(platform::CreateSystemTcpTable(), platform::CreateSystemOpenCounters(), host,
                                       std::move(events), loading);
}

void mFirewall::SetBlockLogSink(BlockLog::Sink sink, BlockLog::Clock clock) {
    blockLog_ = BlockLog(std::move(sink), std::move(clock));
}

void mFirewall::SetBlockLogSink(BlockLog::LineSink sink, BlockLog::Clock clock) {
    blockLog_ = BlockLog(std::move(sink), std::move(clock));
}

EngineKind mFirewall::Engine() {
    if (!engineChosen_) ChooseEngine();
    return engine_;
}

const std::string& mFirewall::EngineReason() {
    if (!engineChosen_) ChooseEngine();
    return engineReason_;
}

void mFirewall::ChooseEngine() {
    engineChosen_ = true;
    std::string why = timerReason_;
    if (eventsFactory_ && !stopped_ && loading_ == EventsLoading::kInBackground) {
        // Made from the first tick on, while the timer protects; which engine runs is said once the
        // load has ended.
        engine_ = EngineKind::kTimer;
        engineReason_ = "the event engine is being made";
        backgroundLoadDue_ = true;
        return;
    }
    if (eventsFactory_ && !stopped_ && LoadEvents(WatchedFor(definitions_.blockList, lists_), why)) {
        SayEventEngineRuns();
        return;
    }
    UseTimerEngine(why);
}

void mFirewall::SayEventEngineRuns() {
    engine_ = EngineKind::kEvents;
    engineReason_ = "the kernel reports connections to listed addresses as they open";
    notice_("event engine runs: " + engineReason_);
}

void mFirewall::StartBackgroundLoad() {
    // Made and given the lists on its thread: a long list takes the kernel a while.
    backgroundLoad_ = std::async(std::launch::async, [this, watched = WatchedFor(definitions_.blockList, lists_)] {
        return PrepareEvents(watched);
    });
}

bool mFirewall::AdoptBackgroundLoad() {
    using namespace std::chrono_literals;
    if (!backgroundLoad_.valid() || backgroundLoad_.wait_for(0s) != std::future_status::ready) return false;
    PreparedEvents prepared = backgroundLoad_.get();
    WatchedPrefixes watched = WatchedFor(definitions_.blockList, lists_);
    if (prepared.load.service && watched.Largest() > prepared.load.service->Capacity()) {
        StartBackgroundLoad();  // the list grew meanwhile: made again, larger
        return false;
    }
    std::string why;
    if (!AdoptEvents(std::move(prepared.load), std::move(watched), why, &prepared.watched)) {
        UseTimerEngine(why);
        return false;
    }
    SayEventEngineRuns();
    host_.EngineChanged();  // the host's tick stops
    if (protectionOn_) FullScan();
    return true;
}

void mFirewall::UseTimerEngine(std::string why) {
    if (events_) {
        static_cast<void>(events_->SetActive(false));
        static_cast<void>(host_.WatchDescriptor(-1, {}));
        events_.reset();
    }
    engine_ = EngineKind::kTimer;
    engineReason_ = std::move(why);
    notice_("timer engine (1 ms) runs: " + engineReason_);
}

bool mFirewall::LoadEvents(WatchedPrefixes watched, std::string& why) {
    const std::size_t capacity = std::max(watched.Largest(), kMinEventCapacity);
    return AdoptEvents(eventsFactory_(capacity), std::move(watched), why);
}

bool mFirewall::AdoptEvents(platform::ConnectionEventsLoad load, WatchedPrefixes watched, std::string& why,
                            const WatchedPrefixes* given) {
    if (!load.service) {
        why = load.why.empty() ? std::string("connection reports are not available") : load.why;
        return false;
    }
    if (const std::uint32_t result = given && SameWatched(*given, watched)
                                         ? platform::win32::kNoError
                                         : load.service->SetWatched(watched.v4, watched.v6);
        result != platform::win32::kNoError) {
        why = "the kernel refused a list of " + std::to_string(watched.v4.size()) + " IPv4 and " +
              std::to_string(watched.v6.size()) + " IPv6 prefixes (error " + std::to_string(result) + ")";
        return false;
    }
    if (!host_.WatchDescriptor(load.service->Descriptor(), [this] { OnConnectionEvents(); })) {
        why = "the service's loop cannot watch the kernel's reports";
        return false;
    }
    events_ = std::move(load.service);
    watched_ = std::move(watched);
    if (protectionOn_) static_cast<void>(events_->SetActive(true));
    return true;
}

void mFirewall::SetProtection(bool on) {
    protectionOn_ = on;
    if (!engineChosen_) ChooseEngine();
    // Without protection no tick adopts a kernel side made meanwhile; adopting it scans.
    if (on && !stopped_ && AdoptBackgroundLoad()) return;
    if (engine_ != EngineKind::kEvents || stopped_) return;
    // Refused only by a broken kernel side; the scans below still block.
    static_cast<void>(events_->SetActive(on));
    if (on) FullScan();
}

void mFirewall::Stop() {
    stopped_ = true;
    if (events_) {
        static_cast<void>(events_->SetActive(false));
        static_cast<void>(host_.WatchDescriptor(-1, {}));
    }
    blockLog_.Flush();
    if (summaryWake_) {
        summaryWake_ = false;
        static_cast<void>(host_.WakeAfter(std::chrono::milliseconds(0), {}));
    }
}

void mFirewall::LoadDefinitions(const std::string& programFolder) {
    SetDefinitions(engine::LoadDefinitions(programFolder));
}

void mFirewall::SetDefinitions(Definitions definitions) {
    definitions_ = std::move(definitions);
    ListsChanged();
}

void mFirewall::SetAddressLists(AddressLists lists) { SetAddressLists(std::move(lists), PreparedEvents{}); }

void mFirewall::SetAddressLists(AddressLists lists, PreparedEvents prepared) {
    lists_ = std::move(lists);
    table4_ = PrefixTable4(lists_.v4);
    table6_ = PrefixTable6(lists_.v6);
    if (prepared.load.service && engineChosen_ && engine_ == EngineKind::kEvents && !stopped_ &&
        AdoptPrepared(std::move(prepared))) {
        notice_("connection reports for the new lists come from a kernel side made for them");
        haveLastOpens_ = false;
        haveLastIdentity_ = false;
        if (protectionOn_) FullScan();
        return;
    }
    ListsChanged();
}

PreparedEvents mFirewall::PrepareEvents(WatchedPrefixes watched, const EventsFactory& factory) const {
    PreparedEvents prepared;
    const EventsFactory& make = factory ? factory : eventsFactory_;
    if (!make) return prepared;
    // Room for qd.def's addresses and some growth besides.
    const std::size_t capacity = std::max(watched.Largest() + watched.Largest() / 4, kMinEventCapacity);
    prepared.load = make(capacity);
    if (prepared.load.service) {
        if (const std::uint32_t result = prepared.load.service->SetWatched(watched.v4, watched.v6);
            result != platform::win32::kNoError) {
            prepared.load.service.reset();
            prepared.load.why = "the kernel refused a list of " + std::to_string(watched.v4.size()) + " IPv4 and " +
                                std::to_string(watched.v6.size()) + " IPv6 prefixes (error " +
                                std::to_string(result) + ")";
        }
    }
    prepared.watched = std::move(watched);
    return prepared;
}

bool mFirewall::AdoptPrepared(PreparedEvents prepared) {
    std::unique_ptr<platform::ConnectionEventService>& service = prepared.load.service;
    WatchedPrefixes watched = WatchedFor(definitions_.blockList, lists_);
    if (watched.Largest() > service->Capacity()) return false;
    // qd.def's addresses, and whatever else changed since it was made: a few entries at most.
    if (!SameWatched(watched, prepared.watched) &&
        service->SetWatched(watched.v4, watched.v6) != platform::win32::kNoError)
        return false;
    if (protectionOn_) static_cast<void>(service->SetActive(true));
    // Both report for a moment: a connection is handled once however often it is reported, and
    // what the old one still held unread is found by the scan that follows.
    if (!host_.WatchDescriptor(service->Descriptor(), [this] { OnConnectionEvents(); })) {
        static_cast<void>(host_.WatchDescriptor(events_->Descriptor(), [this] { OnConnectionEvents(); }));
        return false;
    }
    static_cast<void>(events_->SetActive(false));
    events_ = std::move(service);
    watched_ = std::move(watched);
    return true;
}

void mFirewall::TakePreparedEvents(PreparedEvents prepared) {
    if (!engineChosen_ || engine_ != EngineKind::kEvents || stopped_) return;
    if (!prepared.load.service) {
        // It could not be made there: here, or the timer engine takes over with the reason.
        if (RemakeEvents(WatchedFor(definitions_.blockList, lists_)) && protectionOn_) FullScan();
        return;
    }
    if (!AdoptPrepared(std::move(prepared))) {
        // Outgrown again meanwhile (or refused): the lists as they are now, once more.
        if (UpdateWatched() && protectionOn_) FullScan();
        return;
    }
    notice_("connection reports for the new lists come from a kernel side made for them");
    // What opened to a newly listed address while the old one reported is found now.
    if (protectionOn_) FullScan();
}

void mFirewall::ListsChanged() {
    // The timer engine's next tick reads and scans the whole table under the new lists, whether or
    // not a connection opened since.
    haveLastOpens_ = false;
    haveLastIdentity_ = false;
    if (!engineChosen_ || engine_ != EngineKind::kEvents || stopped_) return;
    if (UpdateWatched() && protectionOn_) FullScan();
}

const std::string* mFirewall::ListOf(const platform::TcpRow& row, std::string_view text) const {
    return ListOf(row, text, BlockList::Hash(text));
}

const std::string* mFirewall::ListOf(const platform::TcpRow& row, std::string_view text, std::size_t hash) const {
    std::uint32_t list = kNoList;
    if (row.native6) {
        // qd.def names IPv4 addresses only.
        if (!table6_.empty()) list = table6_.Find(Ipv6FromBytes(row.remoteAddr6));
    } else {
        if (definitions_.blockList.Contains(text, hash)) return &definitionsName_;
        if (!table4_.empty()) list = table4_.Find(ntohl(row.dwRemoteAddr));
    }
    if (list == kNoList || list >= lists_.sources.size()) return nullptr;
    return &lists_.sources[list].path;
}

bool mFirewall::UpdateWatched() {
    WatchedPrefixes watched = WatchedFor(definitions_.blockList, lists_);
    std::uint32_t result = platform::win32::kErrorNotEnoughMemory;
    if (watched.Largest() <= events_->Capacity()) result = events_->SetWatched(watched.v4, watched.v6);
    if (result == platform::win32::kNoError) {
        watched_ = std::move(watched);
    } else if (eventsPreparer_) {
        // Too many for the kernel side as it was made: a larger one is made away from this thread,
        // and the one in use goes on reporting what it watches until it takes over.
        eventsPreparer_(std::move(watched));
    } else {
        return RemakeEvents(std::move(watched));
    }
    return true;
}

bool mFirewall::RemakeEvents(WatchedPrefixes watched) {
    // Too many for the kernel side as it was made: make it again, larger.
    static_cast<void>(events_->SetActive(false));
    static_cast<void>(host_.WatchDescriptor(-1, {}));
    events_.reset();
    std::string why;
    if (!LoadEvents(std::move(watched), why)) {
        UseTimerEngine(why);
        host_.EngineChanged();  // the host's tick takes over
        return false;
    }
    return true;
}

void mFirewall::Tick() {
    if (scanning_ || stopped_) return;  // a tick that fell due while an earlier scan yields
    if (backgroundLoadDue_) {
        // The first tick: start-up is over, the service answers on the bus.
        backgroundLoadDue_ = false;
        StartBackgroundLoad();
    }
    if (backgroundLoad_.valid()) AdoptBackgroundLoad();
    if (engineChosen_ && engine_ == EngineKind::kEvents) return;
    ScanConnections();
}

void mFirewall::FullScan() {
    if (stopped_) return;
    if (scanning_) {
        rescanDue_ = true;  // after the scan under way
        return;
    }
    do {
        rescanDue_ = false;
        haveLastOpens_ = false;
        haveLastIdentity_ = false;
        ScanConnections();
    } while (rescanDue_ && !stopped_);
    blockLog_.FlushIfDue();
}

void mFirewall::OnConnectionEvents() {
    if (stopped_ || !events_) return;
    std::uint64_t lost = 0;
    batch_.clear();
    const std::function<void(const platform::ConnectionEvent&)> onEvent = [this](const platform::ConnectionEvent& e) {
        batch_.push_back(e);
    };
    if (const std::uint32_t result = events_->Drain(onEvent, lost); result != platform::win32::kNoError)
        notice_("reading the kernel's connection reports failed (error " + std::to_string(result) + ")");
    // Connects reported before their local port was chosen, with no later report in this batch to
    // tear them down by: the connecting sockets are read once for all of them (one read of the
    // table's SYN_SENT part, whatever the number of such reports).
    connecting_.rows.clear();
    for (std::size_t i = 0; i < batch_.size(); ++i) {
        const platform::TcpRow& row = batch_[i].row;
        if (row.dwLocalPort != 0 || row.dwState != platform::kTcpStateSynSent) continue;
        const bool later = std::any_of(
            batch_.begin() + static_cast<std::ptrdiff_t>(i) + 1, batch_.end(),
            [&](const platform::ConnectionEvent& e) { return e.row.cookie == row.cookie && e.row.dwLocalPort != 0; });
        if (!later) {
            // Not readable: those connects are torn down at their next report.
            static_cast<void>(tcpTable_->GetConnectingRows(connecting_));
            break;
        }
    }
    for (const platform::ConnectionEvent& event : batch_) HandleEvent(event);
    batch_.clear();
    if ((lost > 0 || sweepDue_) && protectionOn_ && !stopped_) {
        if (lost > 0) notice_(std::to_string(lost) + " connection reports were lost; the whole table is scanned");
        sweepDue_ = false;
        FullScan();
    }
    blockLog_.FlushIfDue();
}

void mFirewall::Settle(std::uint64_t cookie) {
    if (!settled_.insert(cookie).second) return;
    settledOrder_.push_back(cookie);
    if (settledOrder_.size() > kRememberedConnections) {
        settled_.erase(settledOrder_.front());
        settledOrder_.pop_front();
    }
}

void mFirewall::KeepOrigin(std::uint64_t cookie, Origin origin) {
    // Connections that never get torn down (refused, or a connect never answered) leave theirs
    // behind: past the bound they are all forgotten at once.
    if (origins_.size() >= kRememberedConnections) origins_.clear();
    origins_.insert_or_assign(cookie, std::move(origin));
}

void mFirewall::TakeOrigin(std::uint64_t cookie, BlockRecord& record) {
    const auto kept = origins_.find(cookie);
    if (kept == origins_.end()) return;
    record.direction = kept->second.direction;
    record.pid = kept->second.pid;
    record.command = std::move(kept->second.command);
    origins_.erase(kept);
}

void mFirewall::HandleEvent(const platform::ConnectionEvent& event) {
    if (stopped_ || !protectionOn_) return;
    // The kernel side may still report under a list that has just changed: the list decides.
    AddressText text;
    const std::string* list = ListOf(event.row, event.row.native6 ? std::string_view() : text.Of(event.row.dwRemoteAddr));
    if (list == nullptr) return;
    const std::uint64_t cookie = event.row.cookie;
    if (!IsLive(event.row.dwState) || Settled(cookie)) return;

    // A connect is reported on entering SYN_SENT, before its local port is chosen: its tuple
    // finds nothing. By now it usually has one, and the connecting sockets (a short list) give
    // it; if not, it is torn down at its next report (ESTABLISHED), or by a scan.
    platform::TcpRow row = event.row;
    if (row.dwLocalPort == 0 && row.dwState == platform::kTcpStateSynSent) {
        const auto found = std::find_if(connecting_.rows.begin(), connecting_.rows.end(),
                                        [&](const platform::TcpRow& r) { return r.cookie == cookie; });
        if (found != connecting_.rows.end()) row = *found;
    }
    const Teardown outcome = row.dwLocalPort != 0 ? TearDown(row) : Teardown::kFailed;
    // Not found while the handshake is under way: it may not be in the table yet, and its next
    // report tries again; once established, it is gone by itself. Closing by now: left to close.
    // Refused or failed: tried again at its next report, or by a scan.
    const bool over = (outcome == Teardown::kGone && event.row.dwState == platform::kTcpStateEstab) ||
                      outcome == Teardown::kLeaving;
    if (outcome == Teardown::kDone || over) Settle(cookie);
    const Direction direction = event.outbound                                    ? Direction::kOutbound
                                : event.row.dwState == platform::kTcpStateSynRcvd ? Direction::kInbound
                                                                                  : Direction::kUnknown;
    if (outcome != Teardown::kDone) {
        if (over)
            origins_.erase(cookie);
        else if (direction != Direction::kUnknown)
            KeepOrigin(cookie, Origin{direction, event.pid, event.command});
        return;
    }
    BlockRecord record = RecordOf(event.row, *list);
    record.localPort = ntohs(static_cast<std::uint16_t>(row.dwLocalPort));
    TakeOrigin(cookie, record);
    if (direction != Direction::kUnknown) {
        record.direction = direction;
        record.pid = event.pid;
        record.command = event.command;
    }
    CountBlock(record);
}

Direction mFirewall::DirectionOf(const platform::TcpRow& row) const {
    if (row.dwState == platform::kTcpStateSynSent) return Direction::kOutbound;
    constexpr std::array<std::uint8_t, 16> kAny{};
    for (const platform::TcpRow& other : table_.rows) {
        if (other.dwState != platform::kTcpStateListen || other.dwLocalPort != row.dwLocalPort) continue;
        // A listener on :: takes IPv4 connections too (unless it was made for IPv6 only, which the
        // table does not say).
        const bool takes = other.native6 ? other.localAddr6 == kAny || (row.native6 && other.localAddr6 == row.localAddr6)
                                         : !row.native6 && (other.dwLocalAddr == 0 || other.dwLocalAddr == row.dwLocalAddr);
        if (takes) return Direction::kInbound;
    }
    return Direction::kUnknown;
}

BlockRecord mFirewall::RecordOf(const platform::TcpRow& row, const std::string& list) {
    BlockRecord record;
    record.remoteAddress = row.native6 ? 0 : row.dwRemoteAddr;
    record.native6 = row.native6;
    if (row.native6) record.remoteAddress6 = row.remoteAddr6;
    record.remotePort = ntohs(static_cast<std::uint16_t>(row.dwRemotePort));
    record.localPort = ntohs(static_cast<std::uint16_t>(row.dwLocalPort));
    record.list = list;
    return record;
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

    // 3. Each row in table order: a listed remote address on a connection that
    //    is opening or open is torn down. The set holds each text once, so a row
    //    is torn down once however often the list names its address.
    //    Each row's text is made one row ahead, and its part of the list's
    //    filter fetched meanwhile: a long list's filter is not in the nearest
    //    cache.
    AddressText texts[2];
    std::string_view nextText;
    std::size_t nextHash = 0;
    auto lookAhead = [&](std::size_t index) {
        if (index >= table_.rows.size()) return;
        const platform::TcpRow& row = table_.rows[index];
        nextText = row.native6 ? std::string_view() : texts[index % 2].Of(row.dwRemoteAddr);
        nextHash = BlockList::Hash(nextText);
        definitions_.blockList.Prefetch(nextHash);
    };
    lookAhead(0);
    for (std::size_t index = 0; index < table_.rows.size(); ++index) {
        const std::string_view text = nextText;
        const std::size_t hash = nextHash;
        lookAhead(index + 1);
        const platform::TcpRow& row = table_.rows[index];
        host_.Yield();
        if (stopped_) return;  // the service stopped while the scan yielded
        if (!IsLive(row.dwState)) continue;
        if (const std::string* list = ListOf(row, text, hash)) BlockRow(row, *list);
    }
}

void mFirewall::BlockRow(const platform::TcpRow& row, const std::string& list) {
    // A connection torn down already (reported, or by an earlier scan) is not counted again.
    if (Settled(row.cookie)) return;
    const Teardown outcome = TearDown(row);
    const bool over = outcome == Teardown::kGone || outcome == Teardown::kLeaving;
    if (outcome == Teardown::kDone || over) Settle(row.cookie);
    if (over) origins_.erase(row.cookie);
    // Gone by itself, refused or failed: not an attempt this program stopped. The scan goes on.
    if (outcome != Teardown::kDone) return;
    BlockRecord record = RecordOf(row, list);
    record.direction = DirectionOf(row);
    TakeOrigin(row.cookie, record);  // reported earlier, torn down by this scan
    CountBlock(record);
}

mFirewall::Teardown mFirewall::TearDown(platform::TcpRow row) {
    // The row may be older than the socket's state: a report waits in its queue, a scan goes row by
    // row, and meanwhile the connection may have started to close. The kernel tears down whatever
    // it is given, so the state is looked at right before. A failed look leaves the teardown to
    // say whether the socket is there.
    std::uint32_t state = row.dwState;
    const std::uint32_t looked = tcpTable_->GetTcpEntryState(row, state);
    if (looked == platform::win32::kErrorNotFound) return Teardown::kGone;
    if (looked == platform::win32::kNoError && !IsLive(state)) return Teardown::kLeaving;
    row.dwState = platform::kTcpStateDeleteTcb;
    switch (tcpTable_->SetTcpEntry(row)) {
        case platform::win32::kNoError:
            if (!problem_.empty()) {
                SetProblem({});
                // After a report, the whole table is looked at for what survived meanwhile (a
                // scan goes over it anyway).
                if (engine_ == EngineKind::kEvents && !scanning_) sweepDue_ = true;
            }
            return Teardown::kDone;
        case platform::win32::kErrorNotFound:
            return Teardown::kGone;
        case platform::win32::kErrorAccessDenied:
            SetProblem(std::string(kRefusedProblem));
            return Teardown::kRefused;
        case platform::win32::kErrorNotSupported:
            SetProblem(std::string(kUnsupportedProblem));
            return Teardown::kRefused;
        default:
            return Teardown::kFailed;
    }
}

void mFirewall::SetProblem(std::string problem) {
    if (problem == problem_) return;
    problem_ = std::move(problem);
    notice_(problem_.empty() ? std::string("connections are torn down again: protection works")
                             : "protection is not working: " + problem_);
}

void mFirewall::AddBlocks(std::uint64_t count, std::span<const BlockRecord> records) {
    if (count == 0 && records.empty()) return;
    const std::int64_t room = std::int64_t{std::numeric_limits<std::int32_t>::max()} - blockedCount_;
    if (room > 0) blockedCount_ += static_cast<std::int32_t>(std::min(count, static_cast<std::uint64_t>(room)));
    host_.CountChanged(blockedCount_);
    for (BlockRecord record : records) {
        if (record.list.empty()) {
            // Which list refused it, as the lists are now.
            platform::TcpRow row;
            row.native6 = record.native6;
            row.remoteAddr6 = record.remoteAddress6;
            row.dwRemoteAddr = record.remoteAddress;
            AddressText text;
            if (const std::string* list = ListOf(row, record.native6 ? std::string_view() : text.Of(row.dwRemoteAddr)))
                record.list = *list;
        }
        LogBlock(record);
        if (blockObserver_) blockObserver_(record);
    }
    blockLog_.FlushIfDue();
}

void mFirewall::CountBlock(const BlockRecord& record) {
    if (blockedCount_ < std::numeric_limits<std::int32_t>::max()) ++blockedCount_;
    host_.CountChanged(blockedCount_);
    LogBlock(record);
    if (blockObserver_) blockObserver_(record);
}

void mFirewall::LogBlock(const BlockRecord& record) {
    blockLog_.Record(record);
    if (summaryWake_ || stopped_) return;
    if (const auto due = blockLog_.SummaryDueIn())
        summaryWake_ = host_.WakeAfter(*due, [this] { WriteDueSummary(); });
}

void mFirewall::WriteDueSummary() {
    summaryWake_ = false;
    blockLog_.FlushIfDue();
    // A clock that is a little early for the second: wake again when it is over.
    if (const auto due = blockLog_.SummaryDueIn(); due && !stopped_)
        summaryWake_ = host_.WakeAfter(std::max(*due, std::chrono::milliseconds(1)), [this] { WriteDueSummary(); });
}

}  // namespace corvane::engine
