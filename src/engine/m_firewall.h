#pragma once
// mFirewall: the connection scan and block.
//
// The service owns one mFirewall for the life of the process, driven by its host (scan_host.h, on
// the service's event loop). It runs one of two engines:
//
// The timer engine: the host calls Tick() every millisecond (the tick tFire). A tick is cheap while nothing
// happens: it reads the kernel's connection-open counters and stops when they have not moved.
// Otherwise it reads the whole TCP table (and once more at the next tick, for a socket the counters
// announced a moment early), and when the table differs from the last one read (by the identity
// of its sockets and their states), it scans it: every row that is open or opening and whose
// remote address is listed is torn down.
//
// Listed means: the address's text is an entry of qd.def (an IPv4 address, or an IPv6 socket
// talking IPv4), or the address is covered by a prefix of the administrator's lists (either
// family). A row found by both counts for qd.def.
//
// The event engine: the kernel reports each connection to a listed address as it opens (only
// qd.def's entries that are the exact text of an address can ever match, so those are all it is
// told of qd.def, with the lists' prefixes); the report is torn down by its exact socket. One full
// scan runs when protection turns on, when the lists change and when reports were lost.
//
// Either way, a connection counts once, and only when the kernel confirms it has torn it down. A
// socket already on its way out (closing or closed) is left alone and not counted, and one already
// gone when its teardown arrives is not counted. When the kernel refuses teardowns (no
// CAP_NET_ADMIN), protection is not working: Problem() says so until a teardown succeeds again.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/address_lists.h"
#include "engine/block_list.h"
#include "engine/block_log.h"
#include "engine/prefix_table.h"
#include "engine/scan_host.h"
#include "platform/address_text.h"
#include "platform/connection_events.h"
#include "platform/ip_prefix.h"
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

// Order-independent fingerprint of a table: which sockets, in which states.
std::uint64_t TableIdentity(const platform::TcpTable& table) noexcept;

// The addresses (network byte order, ascending, each once) whose text AddressToText gives is an
// entry of the list: the only addresses any entry can match.
std::vector<std::uint32_t> CanonicalAddresses(const BlockList& list);

// What the kernel side watches: qd.def's canonical addresses as full-length prefixes and the lists'
// prefixes, each once per family.
struct WatchedPrefixes {
    std::vector<platform::IpPrefix4> v4;
    std::vector<platform::IpPrefix6> v6;
    std::size_t Largest() const noexcept { return std::max(v4.size(), v6.size()); }
};
WatchedPrefixes WatchedFor(const BlockList& list, const AddressLists& lists);

bool SameWatched(const WatchedPrefixes& a, const WatchedPrefixes& b) noexcept;

// A kernel side made and given its prefixes away from the engine's thread: the kernel takes about a
// second for a million prefixes, which the engine's thread spends protecting instead.
struct PreparedEvents {
    platform::ConnectionEventsLoad load;  // no service when it could not be made
    WatchedPrefixes watched;              // what it was given
};

// The name a block is told under for qd.def.
inline constexpr char kDefinitionsListName[] = "qd.def";

// Which engine the "Engine" setting asks for: kAuto takes the event engine when it loads.
enum class EngineChoice { kAuto, kTimer };
enum class EngineKind { kTimer, kEvents };
// When the event engine's kernel side is made. kWhenAsked: at the first question which engine runs,
// which waits for it. kInBackground: on a thread of its own from the first tick on, while the timer
// engine protects; the engine changes over once the kernel side is ready. Making it takes some 20 ms
// (the kernel checks the program against its own type information), as long as a desktop program's
// whole start-up, so the program makes it in the background, after start-up.
enum class EventsLoading { kWhenAsked, kInBackground };

class mFirewall {
public:
    // The kernel's connection reports, with room for capacity addresses.
    using EventsFactory = std::function<platform::ConnectionEventsLoad(std::size_t capacity)>;
    // Where the engine says which engine runs and why (once), and other notices.
    using NoticeSink = std::function<void(const std::string& line)>;

    // The timer engine.
    mFirewall(std::unique_ptr<platform::TcpTableService> tcpTable,
              std::unique_ptr<platform::OpenCounterService> openCounters, ScanHost& host);
    // The event engine when events can be made and watched, else the timer engine.
    mFirewall(std::unique_ptr<platform::TcpTableService> tcpTable,
              std::unique_ptr<platform::OpenCounterService> openCounters, ScanHost& host, EventsFactory events,
              EventsLoading loading = EventsLoading::kWhenAsked);
    // The machine's own table, counters and (unless choice is kTimer) connection reports, made by
    // `events` (the system's own when empty).
    static std::unique_ptr<mFirewall> CreateForSystem(ScanHost& host, EngineChoice choice = EngineChoice::kTimer,
                                                      EventsFactory events = {},
                                                      EventsLoading loading = EventsLoading::kWhenAsked);
    // Waits for a kernel side still being made in the background.
    ~mFirewall();

    mFirewall(const mFirewall&) = delete;
    mFirewall& operator=(const mFirewall&) = delete;

    // Load definitions: qd.def of the program folder into BlockList and DefsVersion.
    void LoadDefinitions(const std::string& programFolder);
    void SetDefinitions(Definitions definitions);
    const engine::BlockList& BlockList() const noexcept { return definitions_.blockList; }
    // The administrator's lists, in force beside qd.def. With `prepared` (made by PrepareEvents for
    // these lists), the event engine takes that kernel side over instead of filling its own.
    void SetAddressLists(AddressLists lists);
    void SetAddressLists(AddressLists lists, PreparedEvents prepared);
    // Makes a kernel side watching `watched`, with `factory`, or else this engine's events factory
    // (fixed when the engine is made): safe on any thread. No service when there is no factory or
    // the kernel refused.
    PreparedEvents PrepareEvents(WatchedPrefixes watched, const EventsFactory& factory = {}) const;
    // Asked for a kernel side watching `watched` when the lists outgrow the one in use: it is to
    // make one (PrepareEvents, away from the engine's thread) and hand it to TakePreparedEvents.
    // Meanwhile the one in use goes on reporting what it watched. Without a preparer the engine
    // makes the larger kernel side itself, at once.
    using EventsPreparer = std::function<void(WatchedPrefixes watched)>;
    void SetEventsPreparer(EventsPreparer preparer) { eventsPreparer_ = std::move(preparer); }
    // Takes over a kernel side the preparer made, when the event engine still runs and it can hold
    // the lists as they are now; asks the preparer again when they outgrew it meanwhile.
    void TakePreparedEvents(PreparedEvents prepared);
    const AddressLists& Lists() const noexcept { return lists_; }
    // The list that covers a row's remote address: kDefinitionsListName, a list file's path, or
    // null when none does. `text` is the row's address text (for qd.def), when it has one.
    const std::string* ListOf(const platform::TcpRow& row, std::string_view text) const;
    const std::string& DefsVersion() const noexcept { return definitions_.defsVersion; }

    std::int32_t BlockedCount() const noexcept { return blockedCount_; }
    void SetBlockedCount(std::int32_t count) noexcept { blockedCount_ = count; }
    // Attempts stopped before they became connections (the kernel refused the connects) and counted
    // there: the count rises by `count`; `records` name those the kernel reported (under a storm
    // fewer than count) for the block log and the observer.
    void AddBlocks(std::uint64_t count, std::span<const BlockRecord> records);

    // Why protection is not working, one line; empty while it works. Set when the kernel refuses a
    // teardown (no CAP_NET_ADMIN, or a kernel without SOCK_DESTROY), said once through the notice
    // sink, and kept until a teardown succeeds again, which is said once as well.
    const std::string& Problem() const noexcept { return problem_; }

    // The engine in use, chosen at the first question (after the list is loaded) and said once. While
    // the kernel side is made in the background it is the timer; it becomes the event engine (the
    // host is told) at the first tick, or turning on, after the kernel side is ready.
    EngineKind Engine();
    const std::string& EngineReason();
    bool UsesTimer() { return Engine() == EngineKind::kTimer; }

    // Protection on or off. The event engine then listens or not (and scans once on turning on);
    // the timer engine is driven by the host's tick alone.
    void SetProtection(bool on);

    // tFire's tick (timer engine). Does nothing while a scan of an earlier tick is still
    // yielding (a tick can fall due inside Yield()).
    void Tick();
    bool Scanning() const noexcept { return scanning_; }

    // Event engine: takes the waiting reports (the host calls it when their descriptor is
    // readable).
    void OnConnectionEvents();

    // Ends the engine's work for good, before the count is saved at exit: a
    // scan under way stops at its next yield, before it tears down anything
    // more, and later ticks and reports do nothing.
    void Stop();
    bool Stopped() const noexcept { return stopped_; }

    // Table rows read by the last tick that read the table.
    const platform::TcpTable& LastTable() const noexcept { return table_; }

    // Where notices and block lines go (the standard error and the system log by default).
    void SetNoticeSink(NoticeSink sink) { notice_ = std::move(sink); }
    // Told of every counted block, after the count has risen (the service keeps the recent ones).
    using BlockObserver = std::function<void(const BlockRecord& record)>;
    void SetBlockObserver(BlockObserver observer) { blockObserver_ = std::move(observer); }
    // Block lines with their records (the journal with fields by default: WriteBlockLine), or lines
    // only.
    void SetBlockLogSink(BlockLog::Sink sink, BlockLog::Clock clock = {});
    void SetBlockLogSink(BlockLog::LineSink sink, BlockLog::Clock clock = {});

private:
    // The gate and the scan of one tick; Tick guards it against nesting.
    void ScanConnections();
    void BlockRow(const platform::TcpRow& row, const std::string& list);
    const std::string* ListOf(const platform::TcpRow& row, std::string_view text, std::size_t hash) const;
    // A block's record of a row, without its direction and origin.
    static BlockRecord RecordOf(const platform::TcpRow& row, const std::string& list);
    // After qd.def or the lists changed: the engine in use looks at every connection again.
    void ListsChanged();
    // Event engine: tells the kernel side the lists as they are now; false when it could not take
    // them (the timer engine runs then).
    bool UpdateWatched();
    // What became of one teardown. kLeaving: the socket has started to close since its row was read
    // (or its report made), and is left alone.
    enum class Teardown { kDone, kGone, kLeaving, kRefused, kFailed };
    // Hands the row to the kernel for teardown and keeps Problem() up to date.
    Teardown TearDown(platform::TcpRow row);
    void SetProblem(std::string problem);
    void CountBlock(const BlockRecord& record);
    void ChooseEngine();
    void UseTimerEngine(std::string why);
    // Logs a block; when lines are left out, the host wakes the engine as the summary falls due, so
    // it is written within the second even if no other block follows.
    void LogBlock(const BlockRecord& record);
    void WriteDueSummary();
    bool LoadEvents(WatchedPrefixes watched, std::string& why);
    // Drops the kernel side in use and makes one for `watched`; the timer engine takes over when it
    // cannot be made. False then.
    bool RemakeEvents(WatchedPrefixes watched);
    // Takes over a prepared kernel side in place of the one in use; false (nothing changed) when it
    // cannot take the lists as they are now.
    bool AdoptPrepared(PreparedEvents prepared);
    // `given`: what the kernel side holds already (null: nothing yet).
    bool AdoptEvents(platform::ConnectionEventsLoad load, WatchedPrefixes watched, std::string& why,
                     const WatchedPrefixes* given = nullptr);
    void StartBackgroundLoad();
    // Changes over to the event engine when the kernel side made in the background is ready; true
    // when it did.
    bool AdoptBackgroundLoad();
    void SayEventEngineRuns();
    void FullScan();
    void HandleEvent(const platform::ConnectionEvent& event);
    // Connections torn down, found gone or found closing: nothing more is done about them.
    bool Settled(std::uint64_t cookie) const { return settled_.count(cookie) != 0; }
    void Settle(std::uint64_t cookie);
    // Who opened a reported connection and which way, kept from its first report (the only one
    // that knows) until a teardown is counted.
    struct Origin {
        Direction direction = Direction::kUnknown;
        std::uint32_t pid = 0;
        std::string command;
    };
    void KeepOrigin(std::uint64_t cookie, Origin origin);
    // The record takes the kept origin of its connection, if any, which is then forgotten.
    void TakeOrigin(std::uint64_t cookie, BlockRecord& record);
    Direction DirectionOf(const platform::TcpRow& row) const;

    std::unique_ptr<platform::TcpTableService> tcpTable_;
    std::unique_ptr<platform::OpenCounterService> openCounters_;
    ScanHost& host_;
    EventsFactory eventsFactory_;
    EventsPreparer eventsPreparer_;
    EventsLoading loading_ = EventsLoading::kWhenAsked;
    bool backgroundLoadDue_ = false;                               // made at the next tick
    std::future<PreparedEvents> backgroundLoad_;  // valid while one is being made (and filled)
    std::string timerReason_;  // why the timer engine, when no events factory was given

    Definitions definitions_;
    AddressLists lists_;
    PrefixTable4 table4_;
    PrefixTable6 table6_;
    std::string definitionsName_ = kDefinitionsListName;
    std::int32_t blockedCount_ = 0;

    // Gate state: the counters and table identity seen by the last table read.
    bool haveLastOpens_ = false;
    std::uint64_t lastOpens_ = 0;
    bool haveLastIdentity_ = false;
    std::uint64_t lastIdentity_ = 0;
    bool recheckDue_ = false;  // the last read was opened by the counters: read once more
    bool scanning_ = false;
    bool stopped_ = false;

    // Engine choice and the event engine's state.
    bool engineChosen_ = false;
    EngineKind engine_ = EngineKind::kTimer;
    std::string engineReason_;
    bool protectionOn_ = false;
    std::unique_ptr<platform::ConnectionEventService> events_;
    WatchedPrefixes watched_;  // what the kernel side was given
    bool rescanDue_ = false;
    bool sweepDue_ = false;  // teardowns work again: what survived meanwhile is looked for
    std::vector<platform::ConnectionEvent> batch_;  // the reports of one drain
    platform::TcpTable connecting_;                 // connecting sockets, read for that batch

    // Connections settled (by cookie), and their order, oldest first, to bound the set.
    std::unordered_set<std::uint64_t> settled_;
    std::deque<std::uint64_t> settledOrder_;
    std::unordered_map<std::uint64_t, Origin> origins_;
    std::string problem_;

    NoticeSink notice_;
    BlockLog blockLog_;
    bool summaryWake_ = false;  // the host wakes the engine to write the block log's summary
    BlockObserver blockObserver_;

    platform::TcpTable table_;  // reused from tick to tick
};

}  // namespace corvane::engine
