// The administrator's lists against a plain reference: the longest-prefix table on its own, at the
// edges of prefixes and of the address space, and both engines over random lists (addresses,
// nested, overlapping and duplicate prefixes of both families, IPv4 ranges, several list files) with
// a random qd.def, over random tables of IPv4, IPv4-mapped and native IPv6 rows in every state.
// The reference scans every prefix: qd.def first (the row's dotted text equals an entry exactly),
// else the longest covering prefix of the row's family, between equal ones the first list.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/address_lists.h"
#include "engine/block_log.h"
#include "engine/m_firewall.h"
#include "engine/prefix_table.h"
#include "fake_services.h"

namespace corvane::engine {
namespace {

using testing::FakeConnectionEvents;
using testing::FakeCounters;
using testing::FakeTcpTable;
using testing::RecordingHost;

constexpr Ipv6Number kAllOnes6 = ~Ipv6Number{0};

// Whether the first `length` bits of address are those of first (Bits: the family's width).
template <int Bits, typename Number>
bool Covers(Number first, unsigned length, Number address) {
    if (length == 0) return true;
    return ((first ^ address) >> (Bits - static_cast<int>(length))) == 0;
}
bool Covers4(const Prefix4& prefix, std::uint32_t address) { return Covers<32>(prefix.first, prefix.length, address); }
bool Covers6(const Prefix6& prefix, Ipv6Number address) { return Covers<128>(prefix.first, prefix.length, address); }

// The prefix of `length` bits that address starts with.
std::uint32_t Mask4(std::uint32_t address, unsigned length) {
    return length == 0 ? 0 : static_cast<std::uint32_t>(address & ~((std::uint64_t{1} << (32 - length)) - 1));
}
Ipv6Number Mask6(Ipv6Number address, unsigned length) {
    if (length == 0) return 0;
    if (length == 128) return address;
    return address & ~((Ipv6Number{1} << (128 - length)) - 1);
}
std::uint32_t Last4(const Prefix4& prefix) {
    return prefix.length == 0 ? 0xffffffffU
                              : static_cast<std::uint32_t>(prefix.first | ((std::uint64_t{1} << (32 - prefix.length)) - 1));
}
Ipv6Number Last6(const Prefix6& prefix) {
    if (prefix.length == 0) return kAllOnes6;
    if (prefix.length == 128) return prefix.first;
    return prefix.first | ((Ipv6Number{1} << (128 - prefix.length)) - 1);
}

// The longest covering prefix's list; between equal lengths (equal prefixes) the first given.
template <typename Prefix, typename Number, typename CoversFn>
std::uint32_t LinearFind(const std::vector<Prefix>& prefixes, Number address, CoversFn covers) {
    const Prefix* best = nullptr;
    for (const Prefix& prefix : prefixes) {
        if (covers(prefix, address) && (best == nullptr || prefix.length > best->length)) best = &prefix;
    }
    return best == nullptr ? kNoList : best->source;
}
std::uint32_t LinearFind4(const std::vector<Prefix4>& prefixes, std::uint32_t address) {
    return LinearFind(prefixes, address, Covers4);
}
std::uint32_t LinearFind6(const std::vector<Prefix6>& prefixes, Ipv6Number address) {
    return LinearFind(prefixes, address, Covers6);
}

std::string Text4(std::uint32_t hostOrder) {
    const in_addr address{htonl(hostOrder)};
    char text[INET_ADDRSTRLEN] = {};
    return ::inet_ntop(AF_INET, &address, text, sizeof text) ? text : "?";
}
std::string Text6(Ipv6Number number) {
    const std::array<std::uint8_t, 16> bytes = Ipv6ToBytes(number);
    char text[INET6_ADDRSTRLEN] = {};
    return ::inet_ntop(AF_INET6, bytes.data(), text, sizeof text) ? text : "?";
}
Ipv6Number Number6(const char* text) {
    std::array<std::uint8_t, 16> bytes{};
    EXPECT_EQ(::inet_pton(AF_INET6, text, bytes.data()), 1) << text;
    return Ipv6FromBytes(bytes);
}
std::uint32_t Number4(const char* text) {
    in_addr address{};
    EXPECT_EQ(::inet_pton(AF_INET, text, &address), 1) << text;
    return ntohl(address.s_addr);
}

template <typename Number>
Number RandomNumber(std::mt19937_64& random) {
    if constexpr (sizeof(Number) > 8) {
        return static_cast<Number>(static_cast<Number>(random()) << 64 | random());
    } else {
        return static_cast<Number>(random());
    }
}

// Every edge of the given prefixes (first, last and their outer neighbours, wrapping round), the
// ends of the address space, and some addresses at random.
template <typename Number, typename Prefix, typename LastFn>
std::vector<Number> Probes(const std::vector<Prefix>& prefixes, LastFn last, std::mt19937_64& random) {
    std::vector<Number> probes = {Number{0}, Number{1}, static_cast<Number>(~Number{0}),
                                  static_cast<Number>(~Number{0} - 1)};
    for (const Prefix& prefix : prefixes) {
        const Number end = last(prefix);
        for (const Number probe : {prefix.first, static_cast<Number>(prefix.first - 1), static_cast<Number>(prefix.first + 1),
                                   end, static_cast<Number>(end - 1), static_cast<Number>(end + 1)})
            probes.push_back(probe);
        const Number span = end - prefix.first;
        const Number inside = RandomNumber<Number>(random);
        probes.push_back(static_cast<Number>(prefix.first + (span == static_cast<Number>(~Number{0}) ? inside : inside % (span + 1))));
    }
    for (int i = 0; i < 8; ++i) probes.push_back(RandomNumber<Number>(random));
    return probes;
}

void ExpectTable4Agrees(const std::vector<Prefix4>& prefixes, std::mt19937_64& random) {
    const PrefixTable4 table(prefixes);
    EXPECT_LE(table.Boundaries(), 2 * prefixes.size());
    for (const std::uint32_t address : Probes<std::uint32_t>(prefixes, Last4, random)) {
        const std::uint32_t want = LinearFind4(prefixes, address);
        const std::uint32_t got = table.Find(address);
        if (got == want) continue;
        std::ostringstream given;
        for (const Prefix4& prefix : prefixes)
            given << " " << Text4(prefix.first) << "/" << int{prefix.length} << "@" << prefix.source;
        ADD_FAILURE() << Text4(address) << ": table says " << got << ", the prefixes say " << want << "; given:"
                      << given.str();
        return;
    }
}

void ExpectTable6Agrees(const std::vector<Prefix6>& prefixes, std::mt19937_64& random) {
    const PrefixTable6 table(prefixes);
    EXPECT_LE(table.Boundaries(), 2 * prefixes.size());
    for (const Ipv6Number address : Probes<Ipv6Number>(prefixes, Last6, random)) {
        const std::uint32_t want = LinearFind6(prefixes, address);
        const std::uint32_t got = table.Find(address);
        if (got == want) continue;
        std::ostringstream given;
        for (const Prefix6& prefix : prefixes)
            given << " " << Text6(prefix.first) << "/" << int{prefix.length} << "@" << prefix.source;
        ADD_FAILURE() << Text6(address) << ": table says " << got << ", the prefixes say " << want << "; given:"
                      << given.str();
        return;
    }
}

TEST(PrefixTable, OnePrefixCoversItsOwnAddressesToTheEdgesAndNoOthers) {
    std::mt19937_64 random(7);
    EXPECT_EQ(PrefixTable4().Find(0), kNoList);
    EXPECT_EQ(PrefixTable6().Find(kAllOnes6), kNoList);
    const std::vector<std::pair<const char*, std::uint8_t>> v4 = {
        {"0.0.0.0", 32},     {"255.255.255.255", 32}, {"10.1.2.3", 32}, {"0.0.0.0", 0},   {"10.0.0.0", 8},
        {"128.0.0.0", 1},    {"0.0.0.0", 1},          {"255.255.255.254", 31}, {"0.0.0.0", 31}, {"192.0.2.0", 24}};
    for (const auto& [text, length] : v4) {
        SCOPED_TRACE(std::string(text) + "/" + std::to_string(length));
        ExpectTable4Agrees({Prefix4{Number4(text), length, 7}}, random);
        // The same prefix given twice, by two lists: still one prefix, the first list's.
        ExpectTable4Agrees({Prefix4{Number4(text), length, 3}, Prefix4{Number4(text), length, 1}}, random);
    }
    const std::vector<std::pair<const char*, std::uint8_t>> v6 = {
        {"::", 128},           {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 128},
        {"::1", 128},          {"::", 0},
        {"2001:db8::", 32},    {"8000::", 1},
        {"::", 1},             {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe", 127},
        {"::ffff:0:0", 96},    {"2001:db8::", 64},
        {"fe80::", 10},        {"2001:db8::8000:0:0:0", 65}};
    for (const auto& [text, length] : v6) {
        SCOPED_TRACE(std::string(text) + "/" + std::to_string(length));
        ExpectTable6Agrees({Prefix6{Number6(text), length, 7}}, random);
        ExpectTable6Agrees({Prefix6{Number6(text), length, 3}, Prefix6{Number6(text), length, 1}}, random);
    }
}

TEST(PrefixTable, DeepNestingSharedEdgesAndEqualPrefixesFollowTheLongestPrefix) {
    std::mt19937_64 random(11);
    // Chains of every length round one address, each length its own list or lists taking turns
    // (a run of one list must not swallow its neighbour's), given longest first or shuffled.
    for (const char* centre : {"0.0.0.0", "255.255.255.255", "10.20.30.40", "127.255.255.255", "128.0.0.0"}) {
        for (const int lists : {33, 2, 1}) {
            SCOPED_TRACE(std::string(centre) + ", lists " + std::to_string(lists));
            std::vector<Prefix4> chain;
            for (int length = 32; length >= 0; --length)
                chain.push_back(Prefix4{Mask4(Number4(centre), static_cast<unsigned>(length)),
                                        static_cast<std::uint8_t>(length), static_cast<std::uint32_t>(length % lists)});
            ExpectTable4Agrees(chain, random);
            std::shuffle(chain.begin(), chain.end(), random);
            ExpectTable4Agrees(chain, random);
        }
    }
    for (const char* centre : {"::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "2001:db8::1", "::ffff:127.0.0.1",
                               "7fff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"}) {
        for (const int lists : {129, 2, 1}) {
            SCOPED_TRACE(std::string(centre) + ", lists " + std::to_string(lists));
            std::vector<Prefix6> chain;
            for (int length = 128; length >= 0; --length)
                chain.push_back(Prefix6{Mask6(Number6(centre), static_cast<unsigned>(length)),
                                        static_cast<std::uint8_t>(length), static_cast<std::uint32_t>(length % lists)});
            ExpectTable6Agrees(chain, random);
            std::shuffle(chain.begin(), chain.end(), random);
            ExpectTable6Agrees(chain, random);
        }
    }
    // Nested prefixes that end where their parent ends, or start where it starts; neighbours of one
    // list next to each other inside another's prefix; equal prefixes of several lists.
    const std::vector<Prefix4> shared = {
        {Number4("10.0.0.0"), 8, 0},        {Number4("10.255.255.0"), 24, 1}, {Number4("10.255.255.255"), 32, 2},
        {Number4("10.255.0.0"), 16, 3},     {Number4("10.0.0.0"), 9, 4},      {Number4("10.128.0.0"), 9, 4},
        {Number4("10.0.0.0"), 16, 5},       {Number4("10.0.0.0"), 16, 6},     {Number4("11.0.0.0"), 8, 0},
        {Number4("11.0.0.0"), 8, 0},        {Number4("9.255.255.255"), 32, 0}, {Number4("12.0.0.0"), 32, 0}};
    ExpectTable4Agrees(shared, random);
    EXPECT_EQ(PrefixTable4(shared).Find(Number4("10.0.255.255")), 5U);
    EXPECT_EQ(PrefixTable4(shared).Find(Number4("10.255.255.255")), 2U);
    EXPECT_EQ(PrefixTable4(shared).Find(Number4("10.255.254.255")), 3U);
    EXPECT_EQ(PrefixTable4(shared).Find(Number4("12.0.0.1")), kNoList);
    const std::vector<Prefix6> shared6 = {
        {Number6("2001:db8::"), 32, 0},          {Number6("2001:db8:ffff:ffff::"), 64, 1},
        {Number6("2001:db8:ffff:ffff:ffff:ffff:ffff:ffff"), 128, 2},
        {Number6("2001:db8::"), 33, 3},          {Number6("2001:db8:8000::"), 33, 3},
        {Number6("2001:db8::"), 48, 4},          {Number6("2001:db8::"), 48, 5},
        {Number6("2001:db9::"), 128, 0},         {Number6("2001:db7:ffff:ffff:ffff:ffff:ffff:ffff"), 128, 6}};
    ExpectTable6Agrees(shared6, random);
    EXPECT_EQ(PrefixTable6(shared6).Find(Number6("2001:db8::1")), 4U);
    EXPECT_EQ(PrefixTable6(shared6).Find(Number6("2001:db9::1")), kNoList);
}

TEST(PrefixTable, RandomPrefixSetsAgreeWithALinearScan) {
    std::mt19937_64 random(20261208);
    for (int round = 0; round < 1500; ++round) {
        // Few top bits, so prefixes often nest, overlap or repeat.
        std::vector<Prefix4> v4;
        std::vector<Prefix6> v6;
        const int count = 1 + static_cast<int>(random() % 24);
        for (int i = 0; i < count; ++i) {
            const auto source = static_cast<std::uint32_t>(random() % 4);
            const auto length4 = static_cast<unsigned>(random() % 10 == 0 ? random() % 33 : 24 + random() % 9);
            const auto address4 = static_cast<std::uint32_t>((random() % 3) << 30 | (random() % 4) << 8 | (random() % 256));
            v4.push_back(Prefix4{Mask4(address4, length4), static_cast<std::uint8_t>(length4), source});
            const auto length6 = static_cast<unsigned>(random() % 10 == 0 ? random() % 129 : 116 + random() % 13);
            const Ipv6Number address6 = Ipv6Number{random() % 3} << 126 | Ipv6Number{random() % 4} << 70 |
                                        (random() % 2) << 12 | (random() % 4096);
            v6.push_back(Prefix6{Mask6(address6, length6), static_cast<std::uint8_t>(length6), source});
        }
        SCOPED_TRACE("round " + std::to_string(round));
        ExpectTable4Agrees(v4, random);
        ExpectTable6Agrees(v6, random);
        if (::testing::Test::HasFailure()) return;
    }
}

// Long tables are searched through an index and a filter over the span of their boundaries: spread
// over the whole space, and crowded into one corner of it (most leading bits shared).
TEST(PrefixTable, LongTablesAgreeWithALinearScanSpreadOrCrowded) {
    std::mt19937_64 random(20261209);
    for (int round = 0; round < 6; ++round) {
        const bool crowded = round % 2 == 1;
        std::vector<Prefix4> v4;
        std::vector<Prefix6> v6;
        const int count = 4000 + static_cast<int>(random() % 2000);
        for (int i = 0; i < count; ++i) {
            const auto source = static_cast<std::uint32_t>(random() % 3);
            // Crowded tables get no prefix reaching out of their corner.
            const auto length4 = static_cast<unsigned>(
                crowded ? 9 + random() % 24 : random() % 50 == 0 ? random() % 33 : 12 + random() % 21);
            auto address4 = static_cast<std::uint32_t>(random());
            if (crowded) address4 = 10U << 24 | (address4 & 0x00ffffffU);  // 10.0.0.0/8
            v4.push_back(Prefix4{Mask4(address4, length4), static_cast<std::uint8_t>(length4), source});
            const auto length6 = static_cast<unsigned>(
                crowded ? 33 + random() % 96 : random() % 50 == 0 ? random() % 129 : 32 + random() % 97);
            Ipv6Number address6 = RandomNumber<Ipv6Number>(random);
            if (crowded) address6 = Ipv6Number{0x20010db8} << 96 | (address6 >> 48);  // 2001:db8::/32
            v6.push_back(Prefix6{Mask6(address6, length6), static_cast<std::uint8_t>(length6), source});
        }
        // The edges of a sample of the prefixes (all of them would take the linear scan too long).
        std::vector<Prefix4> sample4;
        std::vector<Prefix6> sample6;
        for (int i = 0; i < 300; ++i) {
            sample4.push_back(v4[random() % v4.size()]);
            sample6.push_back(v6[random() % v6.size()]);
        }
        const PrefixTable4 table4(v4);
        const PrefixTable6 table6(v6);
        SCOPED_TRACE("round " + std::to_string(round));
        for (const std::uint32_t address : Probes<std::uint32_t>(sample4, Last4, random)) {
            ASSERT_EQ(table4.Find(address), LinearFind4(v4, address)) << Text4(address);
        }
        for (const Ipv6Number address : Probes<Ipv6Number>(sample6, Last6, random)) {
            ASSERT_EQ(table6.Find(address), LinearFind6(v6, address)) << Text6(address);
        }
    }
}

// ---- Both engines over random lists and tables ----

std::array<std::uint8_t, 16> Mapped(std::uint32_t hostOrder) {
    return Ipv6ToBytes(Ipv6Number{0xffff} << 32 | hostOrder);
}

// One round: the lists, qd.def and the table.
struct Case {
    AddressLists lists;
    std::vector<std::string> definitions;  // qd.def's entries, as written
    std::vector<platform::TcpRow> rows;
};

std::string DefinitionsFile(const Case& c) {
    std::string file = "V001\r\n";
    for (const std::string& entry : c.definitions) file += entry + "\r\n";
    return file;
}

bool Live(std::uint32_t state) {
    return state == platform::kTcpStateSynSent || state == platform::kTcpStateSynRcvd ||
           state == platform::kTcpStateEstab;
}

// The list a row's remote address is listed in, by the rules written out plainly; nothing when
// none lists it.
std::optional<std::string> ReferenceList(const Case& c, const platform::TcpRow& row) {
    std::uint32_t list = kNoList;
    if (row.native6) {
        list = LinearFind6(c.lists.v6, Ipv6FromBytes(row.remoteAddr6));
    } else {
        const std::string text = Text4(ntohl(row.dwRemoteAddr));
        if (std::find(c.definitions.begin(), c.definitions.end(), text) != c.definitions.end())
            return std::string(kDefinitionsListName);
        list = LinearFind4(c.lists.v4, ntohl(row.dwRemoteAddr));
    }
    if (list == kNoList) return std::nullopt;
    return c.lists.sources.at(list).path;
}

// The IPv4 addresses the kernel side must watch: qd.def's entries that are an address's own text,
// and the IPv4 lists' prefixes.
bool ReferenceWatched4(const Case& c, std::uint32_t address) {
    const std::string text = Text4(address);
    if (std::find(c.definitions.begin(), c.definitions.end(), text) != c.definitions.end()) return true;
    return std::any_of(c.lists.v4.begin(), c.lists.v4.end(), [&](const Prefix4& p) { return Covers4(p, address); });
}
bool ReferenceWatched6(const Case& c, Ipv6Number address) {
    return std::any_of(c.lists.v6.begin(), c.lists.v6.end(), [&](const Prefix6& p) { return Covers6(p, address); });
}

class CaseMaker {
public:
    explicit CaseMaker(std::uint64_t seed) : random_(seed) {}

    Case Make() {
        Case c;
        const int sources = 1 + Below(4);
        for (int s = 0; s < sources; ++s) {
            ListSource& source = c.lists.sources.emplace_back();
            source.path = "/etc/corvane/lists.d/" + std::string(1, static_cast<char>('a' + s)) + ".list";
            const int entries = Below(8);
            for (int e = 0; e < entries; ++e) AddEntry(c.lists, static_cast<std::uint32_t>(s));
        }
        AddDefinitions(c);
        const int rows = 8 + Below(32);
        for (int i = 0; i < rows; ++i) c.rows.push_back(MakeRow(c, static_cast<std::uint32_t>(i)));
        return c;
    }

    // Addresses worth asking about: every listed edge, qd.def's addresses, and random ones.
    std::vector<std::uint32_t> Probes4(const Case& c) {
        std::vector<std::uint32_t> probes = Probes<std::uint32_t>(c.lists.v4, Last4, random_);
        for (const std::string& entry : c.definitions) {
            in_addr address{};
            if (::inet_pton(AF_INET, entry.c_str(), &address) == 1) probes.push_back(ntohl(address.s_addr));
        }
        return probes;
    }
    std::vector<Ipv6Number> Probes6(const Case& c) { return Probes<Ipv6Number>(c.lists.v6, Last6, random_); }

private:
    int Below(int n) { return static_cast<int>(random_() % static_cast<std::uint64_t>(n)); }

    // Addresses from a few crowded places, so lists and rows meet often.
    std::uint32_t Address4() {
        static constexpr std::uint32_t kPlaces[] = {0x00000000U, 0x0a000000U, 0x7f000000U, 0xc0000200U, 0xffffff00U};
        switch (Below(6)) {
            case 0: return static_cast<std::uint32_t>(random_());
            case 1: return kPlaces[Below(5)] | static_cast<std::uint32_t>(random_() % 0x10000);
            default: return kPlaces[Below(5)] | static_cast<std::uint32_t>(random_() % 0x200);
        }
    }
    Ipv6Number Address6() {
        static const Ipv6Number kPlaces[] = {0, Ipv6Number{0x20010db8} << 96, Ipv6Number{0xfd00} << 112,
                                             kAllOnes6 << 64, Ipv6Number{0xffff} << 32};
        const Ipv6Number place = kPlaces[Below(5)];
        switch (Below(6)) {
            case 0: return RandomNumber<Ipv6Number>(random_);
            case 1: return place | Ipv6Number{random_()} << 40 | (random_() % 0x10000);
            default: return place | (random_() % 0x200);
        }
    }
    unsigned Length(unsigned bits) {
        if (Below(60) == 0) return 0;
        if (Below(4) == 0) return 1 + static_cast<unsigned>(Below(static_cast<int>(bits)));
        // Mostly long ones, that fall among the crowded places' addresses.
        return bits - static_cast<unsigned>(Below(14));
    }

    void AddEntry(AddressLists& lists, std::uint32_t source) {
        const bool haveV4 = !lists.v4.empty();
        const bool haveV6 = !lists.v6.empty();
        switch (Below(11)) {
            case 0:  // an IPv4 address
                lists.v4.push_back(Prefix4{haveV4 && Below(2) ? Inside4(lists.v4[Pick(lists.v4)]) : Address4(), 32, source});
                break;
            case 1:
            case 2: {  // an IPv4 prefix
                const unsigned length = Length(32);
                lists.v4.push_back(Prefix4{Mask4(Address4(), length), static_cast<std::uint8_t>(length), source});
                break;
            }
            case 3: {  // one inside, around or equal to another (of any list)
                if (!haveV4) break;
                const Prefix4 other = lists.v4[Pick(lists.v4)];
                const unsigned length = static_cast<unsigned>(Below(33));
                lists.v4.push_back(Prefix4{Mask4(Below(3) ? Inside4(other) : other.first, length),
                                           static_cast<std::uint8_t>(length), source});
                break;
            }
            case 4:  // the same prefix again, in this list or another
                if (haveV4) {
                    const Prefix4 other = lists.v4[Pick(lists.v4)];
                    lists.v4.push_back(Prefix4{other.first, other.length, source});
                }
                break;
            case 5:
            case 6: {  // an IPv4 range: small or large, often starting or ending at a prefix's edge
                std::uint32_t first = Address4();
                if (haveV4 && Below(2)) {
                    const Prefix4& other = lists.v4[Pick(lists.v4)];
                    first = Below(2) ? other.first : Last4(other);
                }
                const std::uint64_t span = Below(4) == 0 ? random_() % 0x1000000 : random_() % 700;
                std::uint32_t last = static_cast<std::uint32_t>(std::min<std::uint64_t>(first + span, 0xffffffffU));
                if (Below(20) == 0) last = 0xffffffffU;
                if (Below(20) == 0) first = 0;
                AppendRange(lists.v4, first, last, source);
                break;
            }
            case 7:
            case 8: {  // an IPv6 prefix, or address
                const unsigned length = Below(3) ? Length(128) : 128;
                lists.v6.push_back(Prefix6{Mask6(Address6(), length), static_cast<std::uint8_t>(length), source});
                break;
            }
            default: {  // inside, around or equal to another IPv6 prefix
                if (!haveV6) break;
                const Prefix6 other = lists.v6[Pick(lists.v6)];
                const unsigned length = Below(4) ? static_cast<unsigned>(Below(129)) : other.length;
                lists.v6.push_back(Prefix6{Mask6(Below(3) ? Inside6(other) : other.first, length),
                                           static_cast<std::uint8_t>(length), source});
                break;
            }
        }
    }

    // A range's prefixes, checked to cover it exactly: ascending, inside, and as many addresses.
    void AppendRange(std::vector<Prefix4>& v4, std::uint32_t first, std::uint32_t last, std::uint32_t source) {
        const std::size_t before = v4.size();
        AppendRangePrefixes(first, last, source, v4);
        std::uint64_t covered = 0;
        std::uint64_t next = first;
        for (std::size_t i = before; i < v4.size(); ++i) {
            const Prefix4& prefix = v4[i];
            EXPECT_EQ(prefix.source, source);
            EXPECT_EQ(prefix.first, Mask4(prefix.first, prefix.length)) << Text4(prefix.first);
            EXPECT_EQ(prefix.first, next) << Text4(first) << "-" << Text4(last);
            next = std::uint64_t{Last4(prefix)} + 1;
            covered += std::uint64_t{Last4(prefix)} - prefix.first + 1;
        }
        EXPECT_EQ(covered, std::uint64_t{last} - first + 1) << Text4(first) << "-" << Text4(last);
        EXPECT_EQ(next, std::uint64_t{last} + 1) << Text4(first) << "-" << Text4(last);
    }

    template <typename T>
    std::size_t Pick(const std::vector<T>& from) {
        return static_cast<std::size_t>(random_() % from.size());
    }
    std::uint32_t Inside4(const Prefix4& prefix) {
        const std::uint32_t span = Last4(prefix) - prefix.first;
        switch (Below(4)) {
            case 0: return prefix.first;
            case 1: return Last4(prefix);
            default:
                return span == 0xffffffffU ? static_cast<std::uint32_t>(random_())
                                           : prefix.first + static_cast<std::uint32_t>(random_() % (std::uint64_t{span} + 1));
        }
    }
    Ipv6Number Inside6(const Prefix6& prefix) {
        const Ipv6Number span = Last6(prefix) - prefix.first;
        const Ipv6Number any = RandomNumber<Ipv6Number>(random_);
        switch (Below(4)) {
            case 0: return prefix.first;
            case 1: return Last6(prefix);
            default: return span == kAllOnes6 ? any : prefix.first + any % (span + 1);
        }
    }

    // qd.def: addresses' own texts (often of the addresses the lists name too), and texts that look
    // like an address but are not its text, which must never match.
    void AddDefinitions(Case& c) {
        const int entries = Below(6);
        for (int i = 0; i < entries; ++i) {
            std::uint32_t address = Address4();
            if (!c.lists.v4.empty() && Below(2)) address = Inside4(c.lists.v4[Pick(c.lists.v4)]);
            std::string text = Text4(address);
            switch (Below(8)) {
                case 0: text += " "; break;
                case 1: text = " " + text; break;
                case 2: text.insert(text.rfind('.') + 1, "0"); break;  // "127.0.0.010"
                case 3: text.insert(0, "0"); break;                     // "010.0.0.1"
                case 4: text = std::string(Below(2) ? "127.0.0.010" : "1.2.3.4 "); break;
                case 5: text = "0.0.0.0"; break;  // what a native IPv6 row's IPv4 field holds
                default: break;
            }
            c.definitions.push_back(text);
        }
    }

    platform::TcpRow MakeRow(const Case& c, std::uint32_t index) {
        static constexpr std::uint32_t kStates[] = {
            platform::kTcpStateEstab,     platform::kTcpStateEstab,    platform::kTcpStateEstab,
            platform::kTcpStateSynSent,   platform::kTcpStateSynRcvd,  platform::kTcpStateListen,
            platform::kTcpStateClosed,    platform::kTcpStateFinWait1, platform::kTcpStateFinWait2,
            platform::kTcpStateCloseWait, platform::kTcpStateClosing,  platform::kTcpStateLastAck,
            platform::kTcpStateTimeWait};
        platform::TcpRow row;
        row.dwState = kStates[Below(static_cast<int>(std::size(kStates)))];
        row.dwLocalPort = htons(static_cast<std::uint16_t>(20000 + index));  // tells the rows apart
        row.dwRemotePort = htons(static_cast<std::uint16_t>(1 + Below(65535)));
        row.cookie = 1000 + index;
        row.interfaceIndex = 1;
        const int kind = Below(20);
        if (kind < 12) {
            // IPv4: a plain socket, or an IPv6 one talking IPv4 (its 16-byte fields empty or not).
            std::uint32_t address = Address4();
            const int from = Below(4);
            if (from == 0 && !c.lists.v4.empty()) {
                // At the edges of a prefix or just outside.
                const Prefix4& prefix = c.lists.v4[Pick(c.lists.v4)];
                const std::uint32_t edges[] = {prefix.first, Last4(prefix), prefix.first - 1, Last4(prefix) + 1};
                address = edges[Below(4)];
            } else if (from == 1 && !c.lists.v4.empty()) {
                address = Inside4(c.lists.v4[Pick(c.lists.v4)]);
            } else if (from == 2 && !c.definitions.empty()) {
                in_addr parsed{};
                if (::inet_pton(AF_INET, c.definitions[Pick(c.definitions)].c_str(), &parsed) == 1)
                    address = ntohl(parsed.s_addr);
            }
            row.dwRemoteAddr = htonl(address);
            row.dwLocalAddr = htonl(Address4());
            row.family = kind < 7 ? AF_INET : AF_INET6;
            if (row.family == AF_INET6 && Below(2)) {
                row.remoteAddr6 = Mapped(address);
                row.localAddr6 = Mapped(ntohl(row.dwLocalAddr));
            }
        } else {
            // Native IPv6: nothing in the IPv4 fields.
            Ipv6Number address = Address6();
            const int from = Below(3);
            if (from == 0 && !c.lists.v6.empty()) {
                const Prefix6& prefix = c.lists.v6[Pick(c.lists.v6)];
                const Ipv6Number edges[] = {prefix.first, Last6(prefix), prefix.first - 1, Last6(prefix) + 1};
                address = edges[Below(4)];
            } else if (from == 1 && !c.lists.v6.empty()) {
                address = Inside6(c.lists.v6[Pick(c.lists.v6)]);
            }
            row.family = AF_INET6;
            row.native6 = true;
            row.remoteAddr6 = Ipv6ToBytes(address);
            row.localAddr6 = Ipv6ToBytes(Address6());
        }
        return row;
    }

    std::mt19937_64 random_;
};

std::string Describe(const Case& c) {
    std::ostringstream out;
    for (std::size_t s = 0; s < c.lists.sources.size(); ++s) {
        out << c.lists.sources[s].path << ":";
        for (const Prefix4& p : c.lists.v4)
            if (p.source == s) out << " " << Text4(p.first) << "/" << int{p.length};
        for (const Prefix6& p : c.lists.v6)
            if (p.source == s) out << " " << Text6(p.first) << "/" << int{p.length};
        out << "\n";
    }
    out << "qd.def:";
    for (const std::string& entry : c.definitions) out << " [" << entry << "]";
    out << "\nrows:\n";
    for (const platform::TcpRow& row : c.rows) {
        out << "  " << row.cookie << " state " << row.dwState << " "
            << (row.native6 ? Text6(Ipv6FromBytes(row.remoteAddr6))
                            : (row.family == AF_INET6 ? "mapped " : "") + Text4(ntohl(row.dwRemoteAddr)))
            << "\n";
    }
    return out.str();
}

// What one engine did: the rows it tore down (by cookie, as often as handed over) and the list each
// counted block named.
struct Outcome {
    std::multiset<std::uint64_t> tornDown;
    std::map<std::uint64_t, std::string> lists;
    int records = 0;
    std::int32_t count = 0;
};

class Observed {
public:
    explicit Observed(const Case& c) : case_(c) {}
    void Watch(mFirewall& firewall) {
        firewall.SetNoticeSink([](const std::string&) {});
        firewall.SetBlockLogSink([](const std::string&) {});
        firewall.SetBlockObserver([this](const BlockRecord& record) { records_.push_back(record); });
    }
    // A record finds its row by the row's own local port, and must carry its remote end.
    Outcome Take(const FakeTcpTable& table, const mFirewall& firewall) {
        Outcome outcome;
        for (const platform::TcpRow& row : table.tornDown) {
            outcome.tornDown.insert(row.cookie);
            EXPECT_EQ(row.dwState, platform::kTcpStateDeleteTcb);
        }
        outcome.records = static_cast<int>(records_.size());
        for (const BlockRecord& record : records_) {
            const auto row = std::find_if(case_.rows.begin(), case_.rows.end(), [&](const platform::TcpRow& r) {
                return ntohs(static_cast<std::uint16_t>(r.dwLocalPort)) == record.localPort;
            });
            if (row == case_.rows.end()) {
                ADD_FAILURE() << "a block record of no row: local port " << record.localPort;
                continue;
            }
            EXPECT_EQ(record.remotePort, ntohs(static_cast<std::uint16_t>(row->dwRemotePort)));
            EXPECT_EQ(record.native6, row->native6);
            if (row->native6)
                EXPECT_EQ(record.remoteAddress6, row->remoteAddr6);
            else
                EXPECT_EQ(record.remoteAddress, row->dwRemoteAddr);
            outcome.lists[row->cookie] = record.list;
        }
        records_.clear();
        outcome.count = firewall.BlockedCount();
        return outcome;
    }

private:
    const Case& case_;
    std::vector<BlockRecord> records_;
};

// The kernel side's prefixes: each once, nothing past its length, in order; and between them they
// cover exactly the addresses the reference says are listed.
void ExpectKernelWatches(const FakeConnectionEvents::State& kernel, const Case& c, CaseMaker& maker) {
    std::vector<Prefix4> v4;
    for (const platform::IpPrefix4& prefix : kernel.v4) {
        ASSERT_LE(prefix.length, 32);
        v4.push_back(Prefix4{ntohl(prefix.address), prefix.length, 0});
        EXPECT_EQ(v4.back().first, Mask4(v4.back().first, prefix.length)) << Text4(v4.back().first);
    }
    std::vector<Prefix6> v6;
    for (const platform::IpPrefix6& prefix : kernel.v6) {
        ASSERT_LE(prefix.length, 128);
        v6.push_back(Prefix6{Ipv6FromBytes(prefix.address), prefix.length, 0});
        EXPECT_EQ(v6.back().first, Mask6(v6.back().first, prefix.length)) << Text6(v6.back().first);
    }
    const auto key4 = [](const platform::IpPrefix4& p) { return std::pair(p.address, p.length); };
    const auto key6 = [](const platform::IpPrefix6& p) { return std::pair(p.address, p.length); };
    EXPECT_TRUE(std::adjacent_find(kernel.v4.begin(), kernel.v4.end(), [&](const auto& a, const auto& b) {
                    return !(key4(a) < key4(b));
                }) == kernel.v4.end())
        << "IPv4 prefixes repeated or out of order";
    EXPECT_TRUE(std::adjacent_find(kernel.v6.begin(), kernel.v6.end(), [&](const auto& a, const auto& b) {
                    return !(key6(a) < key6(b));
                }) == kernel.v6.end())
        << "IPv6 prefixes repeated or out of order";

    // A longest-prefix-match lookup over the kernel's prefixes finds one exactly where the reference
    // lists: at every edge of the lists' and of the kernel's own prefixes.
    std::vector<std::uint32_t> probes4 = maker.Probes4(c);
    std::mt19937_64 random(v4.size() * 31 + v6.size());
    for (const std::uint32_t address : Probes<std::uint32_t>(v4, Last4, random)) probes4.push_back(address);
    for (const std::uint32_t address : probes4) {
        const bool kernelCovers = LinearFind4(v4, address) != kNoList;
        if (kernelCovers != ReferenceWatched4(c, address)) {
            ADD_FAILURE() << "the kernel side " << (kernelCovers ? "watches " : "does not watch ") << Text4(address);
            return;
        }
    }
    std::vector<Ipv6Number> probes6 = maker.Probes6(c);
    for (const Ipv6Number address : Probes<Ipv6Number>(v6, Last6, random)) probes6.push_back(address);
    for (const Ipv6Number address : probes6) {
        const bool kernelCovers = LinearFind6(v6, address) != kNoList;
        if (kernelCovers != ReferenceWatched6(c, address)) {
            ADD_FAILURE() << "the kernel side " << (kernelCovers ? "watches " : "does not watch ") << Text6(address);
            return;
        }
    }
}

mFirewall::EventsFactory FakeEvents(FakeConnectionEvents::State& kernel) {
    return [&kernel](std::size_t capacity) {
        platform::ConnectionEventsLoad load;
        load.service = std::make_unique<FakeConnectionEvents>(kernel, capacity);
        return load;
    };
}

// Over random lists and tables, each engine tears down exactly the live rows the reference lists,
// once each, and names the list the reference names: the timer engine's ticks, the event engine's
// scan on turning on, and the event engine fed a report of every row (the reports' own filter is the
// engine's). The event engine tells the kernel side exactly what the reference lists. Half the
// rounds give the lists while protection is on, after qd.def.
TEST(ListsProperty, BothEnginesTearDownExactlyTheListedRowsUnderTheRightList) {
    constexpr int kRounds = 1000;
    CaseMaker maker(20261209);
    int torn = 0;
    int byDefinitions = 0;
    int native6 = 0;
    for (int round = 0; round < kRounds; ++round) {
        const Case c = maker.Make();
        const bool listsLater = round % 2 == 1;
        std::multiset<std::uint64_t> expectedRows;
        std::map<std::uint64_t, std::string> expected;
        for (const platform::TcpRow& row : c.rows) {
            const std::optional<std::string> list = ReferenceList(c, row);
            if (!list || !Live(row.dwState)) continue;
            expected[row.cookie] = *list;
            expectedRows.insert(row.cookie);
            byDefinitions += *list == kDefinitionsListName;
            native6 += row.native6;
        }
        torn += static_cast<int>(expected.size());
        const auto expectSame = [&](const char* engine, const Outcome& outcome) {
            EXPECT_EQ(outcome.tornDown, expectedRows) << engine;
            EXPECT_EQ(outcome.lists, expected) << engine;
            EXPECT_EQ(outcome.records, static_cast<int>(expected.size())) << engine;
            EXPECT_EQ(outcome.count, static_cast<std::int32_t>(expected.size())) << engine;
        };
        SCOPED_TRACE("round " + std::to_string(round));

        {  // The timer engine.
            RecordingHost host;
            auto table = std::make_unique<FakeTcpTable>();
            FakeTcpTable& rows = *table;
            rows.rows = c.rows;
            mFirewall timer(std::move(table), std::make_unique<FakeCounters>(), host);
            Observed observed(c);
            observed.Watch(timer);
            timer.SetDefinitions(ParseDefinitions(DefinitionsFile(c)));
            if (listsLater) timer.Tick();
            timer.SetAddressLists(c.lists);
            timer.Tick();
            expectSame("timer", observed.Take(rows, timer));
        }
        {  // The event engine's scan when protection turns on (or the lists change).
            RecordingHost host;
            FakeConnectionEvents::State kernel;
            auto table = std::make_unique<FakeTcpTable>();
            FakeTcpTable& rows = *table;
            rows.rows = c.rows;
            mFirewall events(std::move(table), std::make_unique<FakeCounters>(), host, FakeEvents(kernel));
            Observed observed(c);
            observed.Watch(events);
            events.SetDefinitions(ParseDefinitions(DefinitionsFile(c)));
            if (!listsLater) events.SetAddressLists(c.lists);
            events.SetProtection(true);
            if (listsLater) events.SetAddressLists(c.lists);
            ASSERT_EQ(events.Engine(), EngineKind::kEvents);
            expectSame("event engine's scan", observed.Take(rows, events));
            ExpectKernelWatches(kernel, c, maker);
        }
        {  // The event engine's reports: the fake kernel side reports every row, live or not.
            RecordingHost host;
            FakeConnectionEvents::State kernel;
            auto table = std::make_unique<FakeTcpTable>();
            FakeTcpTable& rows = *table;
            mFirewall events(std::move(table), std::make_unique<FakeCounters>(), host, FakeEvents(kernel));
            Observed observed(c);
            observed.Watch(events);
            events.SetDefinitions(ParseDefinitions(DefinitionsFile(c)));
            if (!listsLater) events.SetAddressLists(c.lists);
            events.SetProtection(true);  // an empty table: the connections open afterwards
            if (listsLater) events.SetAddressLists(c.lists);
            ASSERT_EQ(events.Engine(), EngineKind::kEvents);
            for (const platform::TcpRow& row : c.rows) {
                platform::ConnectionEvent report;
                report.row = row;
                report.outbound = row.dwState == platform::kTcpStateSynSent;
                kernel.queued.push_back(report);
            }
            ASSERT_TRUE(host.onReadable);
            host.onReadable();
            expectSame("event engine's reports", observed.Take(rows, events));
            ExpectKernelWatches(kernel, c, maker);
        }
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << "the case:\n" << Describe(c);
            return;
        }
    }
    // The rounds did reach every kind of block.
    EXPECT_GT(torn, kRounds);
    EXPECT_GT(byDefinitions, kRounds / 20);
    EXPECT_GT(native6, kRounds / 4);
}

}  // namespace
}  // namespace corvane::engine
