// One line and one file's content: the entry forms of both families, the lines that are no entry,
// and the prefixes a range becomes.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/address_lists.h"

namespace corvane::engine {
namespace {

struct Parsed {
    ListLine result = ListLine::kNothing;
    std::vector<Prefix4> v4;
    std::vector<Prefix6> v6;
};

Parsed Parse(std::string_view line) {
    Parsed parsed;
    parsed.result = ParseListLine(line, 7, parsed.v4, parsed.v6);
    return parsed;
}

constexpr std::uint32_t V4(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

Ipv6Number V6(std::uint64_t high, std::uint64_t low) { return Ipv6Number{high} << 64 | low; }

// One IPv4 prefix from the line, with the source given.
void ExpectV4(std::string_view line, std::uint32_t first, unsigned length) {
    SCOPED_TRACE(std::string(line));
    const Parsed parsed = Parse(line);
    EXPECT_EQ(parsed.result, ListLine::kEntry);
    ASSERT_EQ(parsed.v4.size(), 1u);
    EXPECT_TRUE(parsed.v6.empty());
    EXPECT_EQ(parsed.v4[0].first, first);
    EXPECT_EQ(parsed.v4[0].length, length);
    EXPECT_EQ(parsed.v4[0].source, 7u);
}

void ExpectV6(std::string_view line, Ipv6Number first, unsigned length) {
    SCOPED_TRACE(std::string(line));
    const Parsed parsed = Parse(line);
    EXPECT_EQ(parsed.result, ListLine::kEntry);
    ASSERT_EQ(parsed.v6.size(), 1u);
    EXPECT_TRUE(parsed.v4.empty());
    EXPECT_TRUE(parsed.v6[0].first == first);
    EXPECT_EQ(parsed.v6[0].length, length);
    EXPECT_EQ(parsed.v6[0].source, 7u);
}

TEST(ListLineTest, ReadsAddressesAndPrefixesOfBothFamilies) {
    ExpectV4("192.0.2.7", V4(192, 0, 2, 7), 32);
    ExpectV4("192.0.2.0/24", V4(192, 0, 2, 0), 24);
    ExpectV4("192.0.2.7/32", V4(192, 0, 2, 7), 32);
    ExpectV4("0.0.0.0/0", 0, 0);
    ExpectV4("255.255.255.255", 0xffffffffu, 32);
    ExpectV4("128.0.0.0/1", 0x80000000u, 1);
    ExpectV4("0.0.0.0", 0, 32);

    ExpectV6("2001:db8::/32", V6(0x20010db800000000ull, 0), 32);
    ExpectV6("2001:db8::1", V6(0x20010db800000000ull, 1), 128);
    ExpectV6("2001:db8::1/128", V6(0x20010db800000000ull, 1), 128);
    ExpectV6("::", 0, 128);
    ExpectV6("::/0", 0, 0);
    ExpectV6("::1", 1, 128);
    ExpectV6("8000::/1", V6(0x8000000000000000ull, 0), 1);
    // Just outside the IPv4-mapped range, and a prefix wider than it: IPv6 entries.
    ExpectV6("::fffe:102:304", V6(0, 0xfffe01020304ull), 128);
    ExpectV6("::/95", 0, 95);
}

TEST(ListLineTest, TheIpv4MappedRangeIsKeptAsIpv4) {
    ExpectV4("::ffff:1.2.3.4", V4(1, 2, 3, 4), 32);
    ExpectV4("::ffff:102:304", V4(1, 2, 3, 4), 32);
    ExpectV4("::ffff:192.0.2.0/120", V4(192, 0, 2, 0), 24);
    ExpectV4("::ffff:0:0/96", 0, 0);
    ExpectV4("::FFFF:198.51.100.0/128", V4(198, 51, 100, 0), 32);
}

TEST(ListLineTest, RangesBecomeTheirPrefixesWithOrWithoutAName) {
    const Parsed plain = Parse("192.0.2.0-192.0.2.255");
    EXPECT_EQ(plain.result, ListLine::kEntry);
    ASSERT_EQ(plain.v4.size(), 1u);
    EXPECT_EQ(plain.v4[0].first, V4(192, 0, 2, 0));
    EXPECT_EQ(plain.v4[0].length, 24);

    // The name runs to the last ':' and may hold ':', '-', blanks and digits.
    const Parsed named = Parse("  Some-Corp: Inc. 1.2:10.0.0.1-10.0.0.6  ");
    EXPECT_EQ(named.result, ListLine::kEntry);
    ASSERT_EQ(named.v4.size(), 4u);
    const std::uint32_t firsts[] = {V4(10, 0, 0, 1), V4(10, 0, 0, 2), V4(10, 0, 0, 4), V4(10, 0, 0, 6)};
    const unsigned lengths[] = {32, 31, 31, 32};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(named.v4[i].first, firsts[i]);
        EXPECT_EQ(named.v4[i].length, lengths[i]);
        EXPECT_EQ(named.v4[i].source, 7u);
    }

    const Parsed single = Parse(":203.0.113.9-203.0.113.9");
    ASSERT_EQ(single.v4.size(), 1u);
    EXPECT_EQ(single.v4[0].length, 32);

    const Parsed everything = Parse("all:0.0.0.0-255.255.255.255");
    ASSERT_EQ(everything.v4.size(), 1u);
    EXPECT_EQ(everything.v4[0].first, 0u);
    EXPECT_EQ(everything.v4[0].length, 0);

    // An IPv6-looking name before an IPv4 range is still only a name.
    const Parsed odd = Parse("::ffff:1.2.3.4-1.2.3.5");
    EXPECT_EQ(odd.result, ListLine::kEntry);
    ASSERT_EQ(odd.v4.size(), 1u);
    EXPECT_EQ(odd.v4[0].first, V4(1, 2, 3, 4));
    EXPECT_EQ(odd.v4[0].length, 31);
}

TEST(ListLineTest, CommentsBlanksAndLineEnds) {
    for (const char* nothing : {"", "   ", "\t", "# a comment", "   # indented comment", "\r", " \t# x\r"}) {
        const Parsed parsed = Parse(nothing);
        EXPECT_EQ(parsed.result, ListLine::kNothing) << nothing;
        EXPECT_TRUE(parsed.v4.empty() && parsed.v6.empty());
    }
    ExpectV4(" \t192.0.2.0/24 \t", V4(192, 0, 2, 0), 24);
    ExpectV4("192.0.2.0/24# no blank before", V4(192, 0, 2, 0), 24);
    ExpectV4("192.0.2.0/24\t# tab before", V4(192, 0, 2, 0), 24);
    ExpectV4("192.0.2.1\r", V4(192, 0, 2, 1), 32);
    ExpectV6("2001:db8::/48 # ipv6 # twice\r", V6(0x20010db800000000ull, 0), 48);
}

TEST(ListLineTest, LinesThatAreNoEntryAddNothing) {
    const char* const broken[] = {// Bits past the length: refused rather than masked.
                                  "192.0.2.1/24", "11.0.0.0/7", "0.0.0.1/0", "2001:db8::1/64", "::ffff:1.2.3.4/120",
                                  // Lengths.
                                  "1.2.3.4/33", "2001:db8::/129", "1.2.3.0/", "1.2.3.0/024", "1.2.3.0/+24",
                                  "1.2.3.0/-1", "1.2.3.0/24/24", "1.2.3.0/ 24", "::/00", "::/1000",
                                  // IPv4 form.
                                  "256.1.1.1", "1.2.3", "1.2.3.4.5", "1.2.3.", ".1.2.3", "010.0.0.1", "1.2.3.04",
                                  "1..2.3", "1.2.3.4 5", "1.2.3.1234", "a.b.c.d", "1.2.3.4x", "0x7f.0.0.1",
                                  // IPv6 form.
                                  "2001:db8:::1", "12345::", "fe80::1%eth0", "gggg::", ":", "::ffff:1.2.3.256", "[::1]",
                                  // Ranges.
                                  "a-b", "-", "5.6.7.8-1.2.3.4", "name:", "name:-", "name:1.2.3.4", "name:1.2.3.4-",
                                  "name:-1.2.3.4", "1.2.3.4-1.2.3.5-1.2.3.6", "1.2.3.0/24-1.2.3.255",
                                  "1.2.3.4-2001:db8::1", "2001:db8::1-2001:db8::2", "2001:db8::-1", "::1-",
                                  "1.2.3.4 - 1.2.3.x",
                                  // Junk.
                                  "hello", "1.2.3.4\r\r", "1.2.3.4\r5.6.7.8", "\v1.2.3.4"};
    for (const char* line : broken) {
        const Parsed parsed = Parse(line);
        EXPECT_EQ(parsed.result, ListLine::kBroken) << line;
        EXPECT_TRUE(parsed.v4.empty() && parsed.v6.empty()) << line;
    }
}

TEST(ListContentTest, CountsPerFamilyAndProblemLinesAcrossLineEnds) {
    const std::string content =
        "# header\r\n"                 // 1
        "192.0.2.1\r\n"                // 2: address
        "192.0.2.0/24\n"               // 3: prefix
        "\r\n"                         // 4
        "  bad line  # why\r\n"        // 5: broken
        "2001:db8::1\n"                // 6: address
        "2001:db8::/32 # comment\r\n"  // 7: prefix
        "r:10.0.0.0-10.0.0.4\r\n"      // 8: a /30 and an address
        "::ffff:203.0.113.5\n"         // 9: IPv4 address
        "1.2.3.4/33\n"                 // 10: broken
        "name:";                       // 11: broken, no line end
    AddressLists lists;
    lists.sources.resize(2);
    // Something before, from another source: appended after, not replaced.
    ParseListContent("198.51.100.0/24\nx\n", 0, lists);
    ParseListContent(content, 1, lists);

    ASSERT_EQ(lists.sources.size(), 2u);
    EXPECT_EQ(lists.sources[0].prefixes4, 1u);
    const ListSource& counts = lists.sources[1];
    EXPECT_EQ(counts.addresses4, 3u);
    EXPECT_EQ(counts.prefixes4, 2u);
    EXPECT_EQ(counts.addresses6, 1u);
    EXPECT_EQ(counts.prefixes6, 1u);
    ASSERT_EQ(lists.v4.size(), 6u);
    EXPECT_EQ(lists.v4[0].source, 0u);
    EXPECT_EQ(lists.v4[5].first, V4(203, 0, 113, 5));
    EXPECT_EQ(lists.v4[5].source, 1u);
    ASSERT_EQ(lists.v6.size(), 2u);

    std::vector<std::pair<std::uint32_t, std::size_t>> problems;
    for (const ListProblem& problem : lists.problems) problems.emplace_back(problem.source, problem.line);
    const std::vector<std::pair<std::uint32_t, std::size_t>> expected = {{0, 2}, {1, 5}, {1, 10}, {1, 11}};
    EXPECT_EQ(problems, expected);
}

// The reference: split from the whole space down, keeping every block inside the range. It gives
// the fewest aligned blocks by construction, in ascending order.
void ReferenceCover(std::uint64_t blockFirst, int bits, std::uint64_t first, std::uint64_t last,
                    std::vector<Prefix4>& out) {
    const std::uint64_t blockLast = blockFirst + (std::uint64_t{1} << bits) - 1;
    if (blockLast < first || blockFirst > last) return;
    if (blockFirst >= first && blockLast <= last) {
        out.push_back(Prefix4{static_cast<std::uint32_t>(blockFirst), static_cast<std::uint8_t>(32 - bits), 0});
        return;
    }
    ReferenceCover(blockFirst, bits - 1, first, last, out);
    ReferenceCover(blockFirst + (std::uint64_t{1} << (bits - 1)), bits - 1, first, last, out);
}

TEST(RangePrefixesTest, MatchesTheReferenceAndIsExactOrderedAndMinimal) {
    std::mt19937 random(20240607);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges = {{0, 0xffffffffu},
                                                                   {0, 0},
                                                                   {0xffffffffu, 0xffffffffu},
                                                                   {1, 0xfffffffeu},
                                                                   {0, 0xfffffffeu},
                                                                   {1, 0xffffffffu},
                                                                   {0x7fffffffu, 0x80000000u},
                                                                   {0xfffffff0u, 0xffffffffu},
                                                                   {5, 5}};
    for (int i = 0; i < 20000; ++i) {
        const std::uint32_t a = random();
        // Short, medium and long ranges, and ends on block edges.
        std::uint32_t span = random();
        switch (i % 4) {
            case 0:
                span %= 300;
                break;
            case 1:
                span %= 1u << 20;
                break;
            case 2:
                break;
            default:
                span = (1u << (random() % 32)) - 1;
                break;
        }
        const std::uint32_t first = i % 8 == 7 ? a & ~0xffu : a;
        const std::uint32_t last = span > 0xffffffffu - first ? 0xffffffffu : first + span;
        ranges.emplace_back(first, last);
    }
    for (const auto& [first, last] : ranges) {
        SCOPED_TRACE(std::to_string(first) + "-" + std::to_string(last));
        std::vector<Prefix4> got = {Prefix4{1, 2, 3}};  // appended to, not replaced
        AppendRangePrefixes(first, last, 9, got);
        ASSERT_GE(got.size(), 2u);
        EXPECT_EQ(got[0].first, 1u);
        got.erase(got.begin());

        std::vector<Prefix4> reference;
        ReferenceCover(0, 32, first, last, reference);
        ASSERT_EQ(got.size(), reference.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].first, reference[i].first);
            EXPECT_EQ(got[i].length, reference[i].length);
            EXPECT_EQ(got[i].source, 9u);
        }

        // Exact, in order, no overlap, aligned; no neighbours that could be one block.
        std::uint64_t next = first;
        for (std::size_t i = 0; i < got.size(); ++i) {
            const Prefix4& p = got[i];
            ASSERT_LE(p.length, 32);
            const std::uint64_t size = std::uint64_t{1} << (32 - p.length);
            EXPECT_EQ(p.first, next);
            EXPECT_EQ(p.first % size, 0u);
            next = p.first + size;
            if (i > 0) {
                const Prefix4& q = got[i - 1];
                const bool mergeable = q.length == p.length && q.length > 0 && q.first % (2 * size) == 0;
                EXPECT_FALSE(mergeable) << i;
            }
        }
        EXPECT_EQ(next, std::uint64_t{last} + 1);
    }
}

}  // namespace
}  // namespace corvane::engine
