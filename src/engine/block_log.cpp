#include "engine/block_log.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <utility>

#include "platform/address_text.h"

namespace corvane::engine {

namespace {

// At most `most` characters of text, each one outside printable ASCII as '?'.
std::string PrintableText(std::string_view text, std::size_t most) {
    std::string printable(text.substr(0, most));
    for (char& c : printable) {
        if (c < 0x20 || c > 0x7e) c = '?';
    }
    return printable;
}

bool IsIcmp(std::uint8_t protocol) { return protocol == IPPROTO_ICMP || protocol == IPPROTO_ICMPV6; }

}  // namespace

const char* LayerName(BlockLayer layer) {
    switch (layer) {
        case BlockLayer::kTeardown: return "teardown";
        case BlockLayer::kConnect: return "connect";
        case BlockLayer::kSend: return "send";
        case BlockLayer::kInbound: return "inbound";
        case BlockLayer::kIcmp: return "icmp";
    }
    return "teardown";
}

std::string CommandText(const BlockRecord& record) { return PrintableText(record.command, 64); }

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
    const bool icmp = IsIcmp(record.protocol);
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
        const std::string command = CommandText(record);
        if (command.empty())
            used += std::snprintf(line + at, sizeof line - at, ", process %u", static_cast<unsigned>(record.pid));
        else
            used += std::snprintf(line + at, sizeof line - at, ", process %u (%s)",
                                  static_cast<unsigned>(record.pid), command.c_str());
    }
    // qd.def's blocks read as they always have; a list names itself.
    if (!record.list.empty() && record.list != "qd.def" && used > 0 && static_cast<std::size_t>(used) < sizeof line) {
        const std::size_t at = static_cast<std::size_t>(used);
        const std::string list = PrintableText(record.list, 256);
        std::snprintf(line + at, sizeof line - at, ", listed in %s", list.c_str());
    }
    return line;
}

std::vector<platform::JournalField> JournalFieldsOf(const BlockRecord& record) {
    std::vector<platform::JournalField> fields;
    fields.reserve(8);
    fields.push_back({"MESSAGE_ID", std::string(kBlockMessageId)});
    fields.push_back({"CORVANE_ADDRESS", RemoteAddressText(record)});
    if (!IsIcmp(record.protocol)) fields.push_back({"CORVANE_PORT", std::to_string(record.remotePort)});
    fields.push_back({"CORVANE_PROTOCOL", ProtocolName(record.protocol)});
    if (record.pid != 0) {
        fields.push_back({"CORVANE_PID", std::to_string(record.pid)});
        if (!record.command.empty()) fields.push_back({"CORVANE_COMM", CommandText(record)});
    }
    // The same text as the line's (a list's path is root's, but kept to what a terminal shows).
    if (!record.list.empty()) fields.push_back({"CORVANE_LIST", PrintableText(record.list, 256)});
    fields.push_back({"CORVANE_LAYER", LayerName(record.layer)});
    return fields;
}

void WriteBlockLine(const std::string& line, const BlockRecord* record) {
    // The summary goes the same way as the blocks, so that it stays after them in the journal.
    const std::vector<platform::JournalField> fields =
        record ? JournalFieldsOf(*record) : std::vector<platform::JournalField>();
    static_cast<void>(platform::WriteJournalEntry(platform::LogLevel::kNotice, line, fields));
}

BlockLog::BlockLog(Sink sink, Clock clock) : sink_(std::move(sink)), clock_(std::move(clock)) {}

BlockLog::BlockLog(LineSink sink, Clock clock)
    : BlockLog([lines = std::move(sink)](const std::string& line, const BlockRecord*) { lines(line); },
               std::move(clock)) {}

std::chrono::steady_clock::time_point BlockLog::Now() const {
    return clock_ ? clock_() : std::chrono::steady_clock::now();
}

void BlockLog::WriteSummary() {
    if (leftOut_ == 0) return;
    char line[128];
    std::snprintf(line, sizeof line, "%llu more blocked connection%s not logged (at most %d lines a second)",
                  static_cast<unsigned long long>(leftOut_), leftOut_ == 1 ? "" : "s", kLinesPerSecond);
    sink_(line, nullptr);
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
        sink_(BlockLine(record), &record);
    } else {
        ++leftOut_;
    }
}

}  // namespace corvane::engine
