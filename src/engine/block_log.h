#pragma once
// The block log: one line in the system log per torn-down connection, at most 20 lines a second;
// the lines beyond that are counted and told in one summary line when the second is over.
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace corvane::engine {

enum class Direction { kOutbound, kInbound, kUnknown };

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
};

// The remote address as text: "192.0.2.1", "2001:db8::1"; "?" when there is none.
std::string RemoteAddressText(const BlockRecord& record);

// The protocol's name: "TCP", "UDP", "ICMP", "ICMPv6"; "IP" for any other.
const char* ProtocolName(std::uint8_t protocol);

// "blocked outbound connection to 1.2.3.4:443, local port 40000, process 77 (curl)" (TCP; other
// protocols: "blocked outbound UDP to 1.2.3.4:53", "blocked outbound ICMP to 1.2.3.4"), and for a
// block by one of the administrator's lists ", listed in /etc/corvane/lists.d/x.list" after it;
// an IPv6 address in brackets ("[2001:db8::1]:443").
std::string BlockLine(const BlockRecord& record);

class BlockLog {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using Sink = std::function<void(const std::string& line)>;
    static constexpr int kLinesPerSecond = 20;

    // Lines go to sink; clock gives the time (the steady clock when empty).
    explicit BlockLog(Sink sink, Clock clock = {});

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
