#include "engine/block_log.h"

#include <utility>

#include "platform/address_text.h"

namespace corvane::engine {

std::string BlockLine(const BlockRecord& record) {
    char address[platform::kAddressTextMax + 1] = {};
    const std::size_t length = platform::InetNtoa(record.remoteAddress, address);
    std::string line = "blocked ";
    if (record.direction == Direction::kOutbound) line += "outbound ";
    if (record.direction == Direction::kInbound) line += "inbound ";
    line += "connection ";
    line += record.direction == Direction::kInbound ? "from " : "to ";
    line += length == 0 ? std::string("?") : std::string(address, length);
    line += ":" + std::to_string(record.remotePort) + ", local port " + std::to_string(record.localPort);
    if (record.pid != 0) {
        line += ", process " + std::to_string(record.pid);
        if (!record.command.empty()) line += " (" + record.command + ")";
    }
    return line;
}

BlockLog::BlockLog(Sink sink, Clock clock) : sink_(std::move(sink)), clock_(std::move(clock)) {}

std::chrono::steady_clock::time_point BlockLog::Now() const {
    return clock_ ? clock_() : std::chrono::steady_clock::now();
}

void BlockLog::WriteSummary() {
    if (leftOut_ == 0) return;
    sink_(std::to_string(leftOut_) + " more blocked connection" + (leftOut_ == 1 ? "" : "s") + " not logged (at most " +
          std::to_string(kLinesPerSecond) + " lines a second)");
    leftOut_ = 0;
}

void BlockLog::FlushIfDue() {
    if (windowOpen_ && Now() - windowStart_ >= std::chrono::seconds(1)) {
        WriteSummary();
        windowOpen_ = false;
    }
}

void BlockLog::Flush() { WriteSummary(); }

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
