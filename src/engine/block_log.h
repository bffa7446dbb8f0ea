#pragma once
// The block log: one line in the system log per torn-down connection, at most 20 lines a second;
// the lines beyond that are counted and told in one summary line when the second is over.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace corvane::engine {

enum class Direction { kOutbound, kInbound, kUnknown };

struct BlockRecord {
    std::uint32_t remoteAddress = 0;  // network byte order
    std::uint16_t remotePort = 0;     // host byte order
    std::uint16_t localPort = 0;      // host byte order
    Direction direction = Direction::kUnknown;
    std::uint32_t pid = 0;  // 0: process unknown
    std::string command;
};

// "blocked outbound connection to 1.2.3.4:443 from local port 40000 by process 77 (curl)".
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
