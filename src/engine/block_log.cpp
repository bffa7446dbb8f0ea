#include "engine/block_log.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <utility>

#include "platform/address_text.h"

namespace corvane::engine {

std::string RemoteAddressText(const BlockRecord& record) {
    if (record.native6) {
        char text[INET6_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET6, record.remoteAddress6.data(), text, sizeof text) == nullptr) return "?";
        return text;
    }
    char address[platform::kAddressTextMax + 1] = {};
    const std::size_t length = platform::InetNtoa(record.remoteAddress, address);
    if (length == 0) return "?";
    return std::string(address, length);
}

const char* ProtocolName(std::uint8_t protocol) {
    switch (protocol) {
        case IPPROTO_TCP: return "TCP";
        case IPPROTO_UDP: return "UDP";
        case IPPROTO_ICMP: return "ICMP";
        case IPPROTO_ICMPV6: return "ICMPv6";
        default: return "IP";
    }
}

std::string BlockLine(const BlockRecord& record) {
    char address[INET6_ADDRSTRLEN + 2] = {};
    const std::string text = RemoteAddressText(record);
    std::snprintf(address, sizeof address, record.native6 ? "[%s]" : "%s", text.c_str());
    const char* direction = record.direction == Direction::kOutbound  ? "outbound "
                            : record.direction == Direction::kInbound ? "inbound "
                                                                      : "";
    // Built with snprintf: GCC 12 at -O3 warns falsely (-Wrestrict) on chains of string appends.
    char line[512];
    // A TCP block reads as it always has; the others name their protocol, ICMP without a port.
    const bool icmp = record.protocol == IPPROTO_ICMP || record.protocol == IPPROTO_ICMPV6;
    const char* what = record.protocol == IPPROTO_TCP ? "connection" : ProtocolName(record.protocol);
    int used = icmp ? std::snprintf(line, sizeof line, "blocked %s%s %s %s", direction, what,
                                    record.direction == Direction::kInbound ? "from" : "to", address)
                    : std::snprintf(line, sizeof line, "blocked %s%s %s %s:%u", direction, what,
                                    record.direction == Direction::kInbound ? "from" : "to", address,
                                    static_cast<unsigned>(record.remotePort));
    // A connect refused before it had a local port has none to name.
    if (record.localPort != 0 && used > 0 && static_cast<std::size_t>(used) < sizeof line) {
        const std::size_t at = static_cast<std::size_t>(used);
        used += std::snprintf(line + at, sizeof line - at, ", local port %u", static_cast<unsigned>(record.localPort));
    }
    if (record.pid != 0 && used > 0 && static_cast<std::size_t>(used) < sizeof line) {
        const std::size_t at = static_cast<std::size_t>(used);
        // A process names itself: only printable characters reach the log.
        std::string command = record.command.substr(0, 64);
        for (char& c : command) {
            if (c < 0x20 || c > 0x7e) c = '?';
        }
        if (command.empty())
            used += std::snprintf(line + at, sizeof line - at, ", process %u", static_cast<unsigned>(record.pid));
        else
            used += std::snprintf(line + at, sizeof line - at, ", process %u (%s)",
                                  static_cast<unsigned>(record.pid), command.c_str());
    }
    // qd.def's blocks read as they always have; a list names itself.
    if (!record.list.empty() && record.list != "qd.def" && used > 0 && static_cast<std::size_t>(used) < sizeof line) {
        const std::size_t at = static_cast<std::size_t>(used);
        std::string list = record.list.substr(0, 256);
        for (char& c : list) {
            if (c < 0x20 || c > 0x7e) c = '?';
        }
        std::snprintf(line + at, sizeof line - at, ", listed in %s", list.c_str());
    }
    return line;
}

BlockLog::BlockLog(Sink sink, Clock clock) : sink_(std::move(sink)), clock_(std::move(clock)) {}

std::chrono::steady_clock::time_point BlockLog::Now() const {
    return clock_ ? clock_() : std::chrono::steady_clock::now();
}

void BlockLog::WriteSummary() {
    if (leftOut_ == 0) return;
    char line[128];
    std::snprintf(line, sizeof line, "%llu more blocked connection%s not logged (at most %d lines a second)",
                  static_cast<unsigned long long>(leftOut_), leftOut_ == 1 ? "" : "s", kLinesPerSecond);
    sink_(line);
    leftOut_ = 0;
}

void BlockLog::FlushIfDue() {
    if (windowOpen_ && Now() - windowStart_ >= std::chrono::seconds(1)) {
        WriteSummary();
        windowOpen_ = false;
    }
}

void BlockLog::Flush() { WriteSummary(); }

std::optional<std::chrono::milliseconds> BlockLog::SummaryDueIn() const {
    if (leftOut_ == 0 || !windowOpen_) return std::nullopt;
    const auto left = windowStart_ + std::chrono::seconds(1) - Now();
    if (left <= std::chrono::steady_clock::duration::zero()) return std::chrono::milliseconds(0);
    return std::chrono::ceil<std::chrono::milliseconds>(left);
}

void BlockLog::Record(const BlockRecord& record) {
    FlushIfDue();
    if (!windowOpen_) {
        windowOpen_ = true;
        windowStart_ = Now();
        linesInWindow_ = 0;
    }
    if (linesInWindow_ < kLinesPerSecond) {
        ++linesInWindow_;
        sink_(BlockLine(record));
    } else {
        ++leftOut_;
    }
}

}  // namespace corvane::engine
