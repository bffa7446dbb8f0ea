#pragma once
// PrefixTable: which list covers an address, by the longest prefix that covers it.
//
// The prefixes of all lists are flattened into a sorted table of boundaries: the address space is
// cut into runs, each covered by one prefix (the longest that covers it) or by none. A lookup is
// one binary search of the boundaries, whatever the prefixes' lengths; the table holds at most two
// boundaries a prefix.
//
// A long table (a million prefixes make some 20 MB of boundaries) is far from the processor's
// caches, so a lookup would wait for memory at almost every step of its search. Such a table has an
// index by 16 bits of the address, which narrows the search to the boundaries of one slice (a few
// cache lines), and a filter of one bit for each block of 2^-24 of the addresses it spans, set when
// any address of the block is covered: most addresses a scan looks up are covered by nothing, and
// the filter (2 MB) says so without the boundaries being read at all.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/address_lists.h"

namespace corvane::engine {

inline constexpr std::uint32_t kNoList = 0xffffffffU;

// An IPv6 address's 16 bytes (network order) as one number, and back.
inline Ipv6Number Ipv6FromBytes(const std::array<std::uint8_t, 16>& bytes) noexcept {
    Ipv6Number number = 0;
    for (const std::uint8_t byte : bytes) number = number << 8 | byte;
    return number;
}
inline std::array<std::uint8_t, 16> Ipv6ToBytes(Ipv6Number number) noexcept {
    std::array<std::uint8_t, 16> bytes{};
    for (int i = 15; i >= 0; --i) {
        bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(number & 0xff);
        number >>= 8;
    }
    return bytes;
}

template <typename Number, typename Prefix>
class PrefixTable {
public:
    PrefixTable() = default;
    // Equal prefixes of different lists: the first given wins.
    explicit PrefixTable(std::span<const Prefix> prefixes);

    // The list of the longest prefix covering address, or kNoList.
    std::uint32_t Find(Number address) const noexcept {
        // The last boundary at or below the address: every boundary before the address's slice is
        // below it, so the search of the slice finds it, or it is the one just before the slice.
        auto from = starts_.begin();
        auto to = starts_.end();
        if (!index_.empty()) {
            // Below the first boundary nothing covers it; from the last on, the last run does.
            if (address < starts_.front()) return kNoList;
            if (address >= starts_.back()) return lists_.back();
            const std::size_t block = Block(address);
            if ((filter_[block / 64] >> (block % 64) & 1) == 0) return kNoList;
            const std::size_t slice = block >> 8;
            from = starts_.begin() + index_[slice];
            to = starts_.begin() + index_[slice + 1];
        }
        const auto after = std::upper_bound(from, to, address);
        if (after == starts_.begin()) return kNoList;
        return lists_[static_cast<std::size_t>(after - starts_.begin()) - 1];
    }
    bool empty() const noexcept { return starts_.empty(); }
    std::size_t Boundaries() const noexcept { return starts_.size(); }

private:
    static constexpr int kBits = static_cast<int>(sizeof(Number) * 8);
    static Number Last(const Prefix& prefix) noexcept {
        if (prefix.length == 0) return ~Number{0};
        if (prefix.length >= kBits) return prefix.first;  // a shift by the whole width is undefined
        return prefix.first | (~Number{0} >> prefix.length);
    }
    void Mark(Number start, std::uint32_t list);
    // The 16 bits after those all boundaries share (an IPv6 table's addresses mostly lie in 2000::/3,
    // so its top bits would put them all in a few slices). Only for front() <= address < back().
    std::size_t Slice(Number address) const noexcept {
        return static_cast<std::size_t>((address << sharedBits_) >> (kBits - 16));
    }
    // The 24 bits after the shared ones: the filter's block (its top 16 bits are the slice).
    std::size_t Block(Number address) const noexcept {
        return static_cast<std::size_t>((address << sharedBits_) >> (kBits - 24));
    }
    // Tables shorter than this are searched whole: they stay in cache anyway.
    static constexpr std::size_t kIndexedFrom = 4096;

    std::vector<Number> starts_;         // ascending; run i is starts_[i] .. starts_[i + 1] - 1
    std::vector<std::uint32_t> lists_;   // who covers run i (kNoList: nobody)
    // For a long table: index_[s] is the first boundary of slice s (the addresses whose top 16 bits
    // are s), index_[65536] the end.
    std::vector<std::uint32_t> index_;
    std::vector<std::uint64_t> filter_;  // for a long table: bit b set when block b has a covered address
    int sharedBits_ = 0;  // leading bits every boundary from front() to back() has in common
};

using PrefixTable4 = PrefixTable<std::uint32_t, Prefix4>;
using PrefixTable6 = PrefixTable<Ipv6Number, Prefix6>;

extern template class PrefixTable<std::uint32_t, Prefix4>;
extern template class PrefixTable<Ipv6Number, Prefix6>;

}  // namespace corvane::engine
