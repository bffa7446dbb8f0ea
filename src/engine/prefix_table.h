#pragma once
// PrefixTable: which list covers an address, by the longest prefix that covers it.
//
// The prefixes of all lists are flattened into a sorted table of boundaries: the address space is
// cut into runs, each covered by one prefix (the longest that covers it) or by none. A lookup is
// one binary search of the boundaries, whatever the prefixes' lengths; the table holds at most two
// boundaries a prefix.
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
        // The last boundary at or below the address.
        const auto after = std::upper_bound(starts_.begin(), starts_.end(), address);
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

    std::vector<Number> starts_;         // ascending; run i is starts_[i] .. starts_[i + 1] - 1
    std::vector<std::uint32_t> lists_;   // who covers run i (kNoList: nobody)
};

using PrefixTable4 = PrefixTable<std::uint32_t, Prefix4>;
using PrefixTable6 = PrefixTable<Ipv6Number, Prefix6>;

extern template class PrefixTable<std::uint32_t, Prefix4>;
extern template class PrefixTable<Ipv6Number, Prefix6>;

}  // namespace corvane::engine
