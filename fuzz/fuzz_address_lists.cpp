// Arbitrary bytes as an address list file: every prefix kept must be a well-formed one of its
// family, the counts must add up to what was kept, the problems must name lines of the input in
// order, and every prefix written back as text must read as itself again.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "engine/address_lists.h"

namespace {

using corvane::engine::AddressLists;
using corvane::engine::Ipv6Number;
using corvane::engine::ListLine;
using corvane::engine::Prefix4;
using corvane::engine::Prefix6;

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

constexpr std::uint32_t kSource = 3;

void CheckRoundTrip4(const Prefix4& prefix) {
    char text[32];
    const int size = std::snprintf(text, sizeof text, "%u.%u.%u.%u/%u", prefix.first >> 24, prefix.first >> 16 & 255,
                                   prefix.first >> 8 & 255, prefix.first & 255, unsigned{prefix.length});
    Check(size > 0 && static_cast<std::size_t>(size) < sizeof text);
    std::vector<Prefix4> v4;
    std::vector<Prefix6> v6;
    Check(corvane::engine::ParseListLine(text, kSource, v4, v6) == ListLine::kEntry);
    Check(v4.size() == 1 && v6.empty());
    Check(v4[0].first == prefix.first && v4[0].length == prefix.length && v4[0].source == kSource);
}

void CheckRoundTrip6(const Prefix6& prefix) {
    unsigned char bytes[16];
    for (int i = 0; i < 16; ++i) bytes[i] = static_cast<unsigned char>(prefix.first >> (8 * (15 - i)));
    char text[INET6_ADDRSTRLEN + 8];
    Check(::inet_ntop(AF_INET6, bytes, text, INET6_ADDRSTRLEN) != nullptr);
    const std::string_view address(text);
    const int more = std::snprintf(text + address.size(), sizeof text - address.size(), "/%u", unsigned{prefix.length});
    Check(more > 0);
    std::vector<Prefix4> v4;
    std::vector<Prefix6> v6;
    Check(corvane::engine::ParseListLine(text, kSource, v4, v6) == ListLine::kEntry);
    Check(v6.size() == 1 && v4.empty());
    Check(v6[0].first == prefix.first && v6[0].length == prefix.length && v6[0].source == kSource);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    AddressLists lists;
    corvane::engine::ParseListContent(bytes, kSource, lists);

    Check(lists.sources.size() == kSource + 1);
    const auto& counts = lists.sources[kSource];
    std::size_t addresses4 = 0;
    for (const Prefix4& prefix : lists.v4) {
        Check(prefix.source == kSource && prefix.length <= 32);
        Check(prefix.length == 32 || (prefix.first & (~std::uint32_t{0} >> prefix.length)) == 0);
        addresses4 += prefix.length == 32 ? 1 : 0;
        CheckRoundTrip4(prefix);
    }
    std::size_t addresses6 = 0;
    for (const Prefix6& prefix : lists.v6) {
        Check(prefix.source == kSource && prefix.length <= 128);
        Check(prefix.length == 128 || (prefix.first & (~Ipv6Number{0} >> prefix.length)) == 0);
        // The IPv4-mapped range is kept as IPv4 entries.
        Check(prefix.length < 96 || prefix.first >> 32 != Ipv6Number{0xffff});
        addresses6 += prefix.length == 128 ? 1 : 0;
        CheckRoundTrip6(prefix);
    }
    Check(counts.addresses4 == addresses4 && counts.addresses4 + counts.prefixes4 == lists.v4.size());
    Check(counts.addresses6 == addresses6 && counts.addresses6 + counts.prefixes6 == lists.v6.size());

    std::size_t lines = 1;
    for (const char c : bytes) lines += c == '\n' ? 1 : 0;
    std::size_t previous = 0;
    for (const auto& problem : lists.problems) {
        Check(problem.source == kSource && problem.line > previous && problem.line <= lines);
        previous = problem.line;
    }
    return 0;
}
