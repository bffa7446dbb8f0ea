#pragma once
// Address lists of random prefixes for the benchmarks, from a fixed seed: IPv4 prefixes of every
// length from /8 to /32 and IPv6 ones (/32 to /64, now and then a /128, all in 2000::/3), each
// prefix once, none touching the ranges a benchmark keeps for its own connections (so a list of a
// million prefixes tears down nothing the benchmark did not list on purpose).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/address_lists.h"

namespace corvane::bench {

using engine::Ipv6Number;
using engine::Prefix4;
using engine::Prefix6;

// Address ranges (first, last; host order) no prefix may touch.
template <typename Number>
class Avoided {
public:
    void Add(Number first, Number last) { ranges_.emplace_back(first, last); }
    void AddAddress(Number address) { Add(address, address); }
    // Call once all are added.
    void Sort() {
        std::sort(ranges_.begin(), ranges_.end());
        // Merged, so that the ranges' ends ascend as well.
        std::vector<std::pair<Number, Number>> merged;
        for (const auto& range : ranges_) {
            if (!merged.empty() && range.first <= merged.back().second) {
                merged.back().second = std::max(merged.back().second, range.second);
            } else {
                merged.push_back(range);
            }
        }
        ranges_ = std::move(merged);
    }
    bool Touches(Number first, Number last) const {
        // The first range that ends at or after `first`; it touches when it starts by `last`.
        const auto at = std::lower_bound(ranges_.begin(), ranges_.end(), first,
                                         [](const auto& range, Number value) { return range.second < value; });
        return at != ranges_.end() && at->first <= last;
    }

private:
    std::vector<std::pair<Number, Number>> ranges_;
};

class RandomPrefixes {
public:
    explicit RandomPrefixes(std::uint64_t seed) : random_(seed) {}

    Prefix4 Next4() {
        const auto length = static_cast<std::uint8_t>(8 + random_() % 25);
        std::uint32_t first = static_cast<std::uint32_t>(random_());
        if (length < 32) first &= ~(~std::uint32_t{0} >> length);
        return Prefix4{first, length, 0};
    }
    Prefix6 Next6() {
        const auto length = static_cast<std::uint8_t>(random_() % 10 == 0 ? 128 : 32 + random_() % 33);
        Ipv6Number first = (Ipv6Number{random_()} << 64 | random_()) >> 3 | Ipv6Number{1} << 125;  // 2000::/3
        if (length < 128) first &= ~(~Ipv6Number{0} >> length);
        return Prefix6{first, length, 0};
    }
    // An address of 2000::/3, for a connection's remote end.
    Ipv6Number Address6() { return (Ipv6Number{random_()} << 64 | random_()) >> 3 | Ipv6Number{1} << 125; }
    std::uint32_t Address4() { return static_cast<std::uint32_t>(random_()); }

    // Adds count4 IPv4 and count6 IPv6 prefixes to `lists`, none already there, none touching the
    // avoided ranges, all of list `source`.
    void Fill(engine::AddressLists& lists, std::size_t count4, std::size_t count6, const Avoided<std::uint32_t>& avoid4,
              const Avoided<Ipv6Number>& avoid6, std::uint32_t source = 0) {
        FillFamily(lists.v4, count4, source, [&] {
            for (;;) {
                const Prefix4 prefix = Next4();
                if (!avoid4.Touches(prefix.first, Last(prefix.first, prefix.length, 32))) return prefix;
            }
        });
        FillFamily(lists.v6, count6, source, [&] {
            for (;;) {
                const Prefix6 prefix = Next6();
                if (!avoid6.Touches(prefix.first, Last(prefix.first, prefix.length, 128))) return prefix;
            }
        });
    }

private:
    template <typename Number>
    static Number Last(Number first, unsigned length, unsigned bits) {
        return length >= bits ? first : first | (~Number{0} >> length);
    }

    // Draws until `count` prefixes more than were there are in `prefixes`, each once.
    template <typename Prefix, typename Draw>
    static void FillFamily(std::vector<Prefix>& prefixes, std::size_t count, std::uint32_t source, Draw draw) {
        const std::size_t wanted = prefixes.size() + count;
        auto key = [](const Prefix& p) { return std::pair(p.first, p.length); };
        while (prefixes.size() < wanted) {
            while (prefixes.size() < wanted) {
                Prefix prefix = draw();
                prefix.source = source;
                prefixes.push_back(prefix);
            }
            std::sort(prefixes.begin(), prefixes.end(),
                      [&](const Prefix& a, const Prefix& b) { return key(a) < key(b); });
            prefixes.erase(std::unique(prefixes.begin(), prefixes.end(),
                                       [&](const Prefix& a, const Prefix& b) { return key(a) == key(b); }),
                           prefixes.end());
        }
    }

    std::mt19937_64 random_;
};

// One list file's worth of sources for `lists`, so that a covered address names a list.
inline void NameList(engine::AddressLists& lists, const std::string& path) {
    engine::ListSource source;
    source.path = path;
    source.prefixes4 = lists.v4.size();
    source.prefixes6 = lists.v6.size();
    lists.sources.push_back(source);
}

}  // namespace corvane::bench
