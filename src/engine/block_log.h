#pragma once
// The block log: one line in the system log per torn-down connection, at most 20 lines a second;
// the lines beyond that are counted and told in one summary line when the second is over. In the
// journal each block's entry carries its parts as fields (JournalFieldsOf), so that
// `journalctl -t corvane CORVANE_ADDRESS=192.0.2.1` finds the blocks of one address.
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/journal.h"

namespace corvane::engine {

enum class Direction { kOutbound, kInbound, kUnknown };

// Which layer blocked it: a teardown engine (event, timer, UDP) tore an open connection down, or one
// of the kernel's refusals (platform/connect_refusal.h) kept it from starting.
enum class BlockLayer { kTeardown, kConnect, kSend, kInbound, kIcmp };

// The layer as CORVANE_LAYER gives it: "teardown", "connect", "send", "inbound", "icmp".
const char* LayerName(BlockLayer layer);

// MESSAGE_ID of every block's journal entry (`journalctl MESSAGE_ID=...`): the product's own,
// made once, never to change.
inline constexpr std::string_view kBlockMessageId = "e46d4fca9d8048719ec011831017864d";

struct BlockRecord {
    std::uint32_t remoteAddress = 0;  // IPv4, network byte order; 0 for an IPv6 address
    bool native6 = false;             // an IPv6 address, in remoteAddress6
    std::array<std::uint8_t, 16> remoteAddress6{};  // network byte order, for native6
    std::uint16_t remotePort = 0;     // host byte order
    std::uint16_t localPort = 0;      // host byte order
    Direction direction = Direction::kUnknown;
    std::uint8_t protocol = 6;  // IPPROTO_TCP, _UDP, _ICMP or _ICMPV6
    std::uint32_t pid = 0;  // 0: process unknown
    std::string command;
    // Which list covered the address: "qd.def" or a list file's path; empty when not known.
    std::string list;
    BlockLayer layer = BlockLayer::kTeardown;
};

// The remote address as text: "192.0.2.1", "2001:db8::1"; "?" when there is none.
std::string RemoteAddressText(const BlockRecord& record);

// The protocol's name: "TCP", "UDP", "ICMP", "ICMPv6"; "IP" for any other.
const char* ProtocolName(std::uint8_t protocol);

// The process's name as the log gives it: at most 64 characters, each one outside printable ASCII
// as '?' (a process names itself).
std::string CommandText(const BlockRecord& record);

// "blocked outbound connection to 1.2.3.4:443, local port 40000, process 77 (curl)" (TCP; other
// protocols: "blocked outbound UDP to 1.2.3.4:53", "blocked outbound ICMP to 1.2.3.4"), and for a
// block by one of the administrator's lists ", listed in /etc/corvane/lists.d/x.list" after it;
// an IPv6 address in brackets ("[2001:db8::1]:443").
std::string BlockLine(const BlockRecord& record);

// The journal fields of a block: MESSAGE_ID, CORVANE_ADDRESS (as RemoteAddressText),
// CORVANE_PROTOCOL (as ProtocolName), CORVANE_LAYER (as LayerName), and where known CORVANE_PORT
// (the remote port; none for ICMP), CORVANE_PID, CORVANE_COMM (as CommandText) and CORVANE_LIST
// ("qd.def" or the list file's path).
std::vector<platform::JournalField> JournalFieldsOf(const BlockRecord& record);

// The block log's lines as the service writes them: a block's line with its fields in the journal
// (the system log where there is none), the summary line (no record) without fields.
void WriteBlockLine(const std::string& line, const BlockRecord* record);

class BlockLog {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // `record` is the block the line tells of; null for the summary line.
    using Sink = std::function<void(const std::string& line, const BlockRecord* record)>;
    using LineSink = std::function<void(const std::string& line)>;
    static constexpr int kLinesPerSecond = 20;

    // Lines go to sink; clock gives the time (the steady clock when empty).
    explicit BlockLog(Sink sink, Clock clock = {});
    // Lines only, without their records.
    explicit BlockLog(LineSink sink, Clock clock = {});

    void Record(const BlockRecord& record);
    // Writes the summary of a second that is over, if lines were left out in it.
    void FlushIfDue();
    // Writes the summary of lines left out so far, whatever the time (at exit).
    void Flush();
    // How long until the summary of left-out lines is due (zero when it is due now); nothing while
    // no line has been left out. The owner wakes then and calls FlushIfDue.
    std::optional<std::chrono::milliseconds> SummaryDueIn() const;

private:
    std::chrono::steady_clock::time_point Now() const;
    void WriteSummary();

    Sink sink_;
    Clock clock_;
    bool windowOpen_ = false;
    std::chrono::steady_clock::time_point windowStart_{};
    int linesInWindow_ = 0;
    std::uint64_t leftOut_ = 0;
};

}  // namespace corvane::engine
