#include "service/recent_blocks.h"

#include <algorithm>

#include "engine/m_firewall.h"

namespace corvane::service {
namespace {

const char* DirectionName(engine::Direction direction) {
    switch (direction) {
        case engine::Direction::kOutbound:
            return "outbound";
        case engine::Direction::kInbound:
            return "inbound";
        case engine::Direction::kUnknown:
            break;
    }
    return "";
}

}  // namespace

RecentBlocks::RecentBlocks(std::size_t capacity) : ring_(std::max<std::size_t>(capacity, 1)) {}

void RecentBlocks::Add(RecentBlock block) {
    ring_[next_] = std::move(block);
    next_ = (next_ + 1) % ring_.size();
    size_ = std::min(size_ + 1, ring_.size());
}

void RecentBlocks::Add(const engine::BlockRecord& record, std::int64_t timeMs) {
    RecentBlock block;
    block.address = engine::RemoteAddressText(record);
    block.timeMs = timeMs;
    block.pid = record.pid;
    // A process names itself: only printable characters are handed on.
    block.process = record.command.substr(0, 64);
    for (char& c : block.process) {
        if (c < 0x20 || c > 0x7e) c = '?';
    }
    block.list = record.list;
    block.protocol = engine::ProtocolName(record.protocol);
    block.direction = DirectionName(record.direction);
    Add(std::move(block));
}

std::vector<RecentBlock> RecentBlocks::Last(std::size_t count) const {
    count = std::min(count, size_);
    std::vector<RecentBlock> blocks;
    blocks.reserve(count);
    // The oldest of the last `count` sits `count` places before the next slot.
    std::size_t index = (next_ + ring_.size() - count) % ring_.size();
    for (std::size_t i = 0; i < count; ++i) {
        blocks.push_back(ring_[index]);
        index = (index + 1) % ring_.size();
    }
    return blocks;
}

}  // namespace corvane::service
