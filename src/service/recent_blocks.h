#pragma once
// The last blocks the engine counted, for RecentBlocks: a ring of fixed size, oldest dropped first.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/block_log.h"

namespace corvane::service {

struct RecentBlock {
    std::string address;      // remote address text
    std::int64_t timeMs = 0;  // milliseconds since the Unix epoch
    std::uint32_t pid = 0;    // 0 when the kernel did not say
    std::string process;      // empty when unknown
    std::string list;         // "qd.def" or a list file's path; empty when unknown
    std::string protocol;     // "TCP", "UDP", "ICMP" or "ICMPv6"
    std::string direction;    // "outbound" or "inbound"; empty when unknown
};

class RecentBlocks {
public:
    static constexpr std::size_t kKept = 1000;

    explicit RecentBlocks(std::size_t capacity = kKept);

    void Add(RecentBlock block);
    // The engine's record, stamped with `timeMs`.
    void Add(const engine::BlockRecord& record, std::int64_t timeMs);
    // The last `count` (all when fewer are kept), oldest first.
    std::vector<RecentBlock> Last(std::size_t count) const;
    std::size_t Size() const noexcept { return size_; }

private:
    std::vector<RecentBlock> ring_;
    std::size_t next_ = 0;  // where the next block goes
    std::size_t size_ = 0;
};

}  // namespace corvane::service
