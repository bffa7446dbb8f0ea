#include "engine/prefix_table.h"

namespace corvane::engine {

template <typename Number, typename Prefix>
void PrefixTable<Number, Prefix>::Mark(Number start, std::uint32_t list) {
    // A later mark at the same place is the longer prefix (or the end of a shorter one and the
    // start of the next): it replaces the earlier one.
    if (!starts_.empty() && starts_.back() == start) {
        lists_.back() = list;
    } else {
        starts_.push_back(start);
        lists_.push_back(list);
    }
    // Two runs of the same list in a row are one run.
    const std::size_t n = starts_.size();
    if (n >= 2 && lists_[n - 2] == lists_[n - 1]) {
        starts_.pop_back();
        lists_.pop_back();
    }
}

template <typename Number, typename Prefix>
PrefixTable<Number, Prefix>::PrefixTable(std::span<const Prefix> prefixes) {
    // By start, the enclosing (shorter) prefix first; equal ones in the order given.
    std::vector<std::uint32_t> order(prefixes.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        const Prefix& x = prefixes[a];
        const Prefix& y = prefixes[b];
        if (x.first != y.first) return x.first < y.first;
        return x.length < y.length;
    });
    starts_.reserve(prefixes.size() * 2);
    lists_.reserve(prefixes.size() * 2);

    // Prefixes either nest or do not meet at all, so the ones that cover the place the sweep has
    // reached form a stack, the innermost on top.
    struct Open {
        Number last;
        std::uint32_t list;
    };
    std::vector<Open> open;
    // Closes every open prefix that ends before `until`; the run after each belongs to the one
    // below it.
    auto closeBefore = [&](Number until, bool all) {
        while (!open.empty() && (all || open.back().last < until)) {
            const Number last = open.back().last;
            open.pop_back();
            if (last == ~Number{0}) continue;  // reaches the end of the address space
            // Prefixes below may end at the same place: only the outermost's end needs a mark.
            if (!open.empty() && open.back().last == last) continue;
            Mark(last + 1, open.empty() ? kNoList : open.back().list);
        }
    };
    const Prefix* previous = nullptr;
    for (const std::uint32_t index : order) {
        const Prefix& prefix = prefixes[index];
        if (prefix.length > kBits) continue;
        if (previous && previous->first == prefix.first && previous->length == prefix.length) continue;
        previous = &prefix;
        closeBefore(prefix.first, false);
        open.push_back(Open{Last(prefix), prefix.source});
        Mark(prefix.first, prefix.source);
    }
    closeBefore(Number{0}, true);
    starts_.shrink_to_fit();
    lists_.shrink_to_fit();
    if (starts_.size() >= kIndexedFrom) {
        // Addresses between the first boundary and the last share the leading bits these two share.
        const Number differ = starts_.front() ^ starts_.back();
        int shared = 0;
        while (shared < kBits - 24 && (differ >> (kBits - 1 - shared) & 1) == 0) ++shared;
        sharedBits_ = shared;
        index_.assign(std::size_t{65536} + 1, 0);
        std::size_t boundary = 0;
        for (std::size_t slice = 0; slice <= 65536; ++slice) {
            while (boundary < starts_.size() && Slice(starts_[boundary]) < slice) ++boundary;
            index_[slice] = static_cast<std::uint32_t>(boundary);
        }
        // Every run that some list covers marks its blocks. The last run (from back() on) is never
        // looked up through the filter.
        filter_.assign((std::size_t{1} << 24) / 64, 0);
        for (std::size_t run = 0; run + 1 < starts_.size(); ++run) {
            if (lists_[run] == kNoList) continue;
            const std::size_t first = Block(starts_[run]);
            const std::size_t last = Block(starts_[run + 1] - 1);
            for (std::size_t block = first; block <= last;) {
                if (block % 64 == 0 && block + 63 <= last) {
                    filter_[block / 64] = ~std::uint64_t{0};
                    block += 64;
                } else {
                    filter_[block / 64] |= std::uint64_t{1} << (block % 64);
                    ++block;
                }
            }
        }
    }
}

template class PrefixTable<std::uint32_t, Prefix4>;
template class PrefixTable<Ipv6Number, Prefix6>;

}  // namespace corvane::engine
