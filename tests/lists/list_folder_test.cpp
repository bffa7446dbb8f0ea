// A folder of list files: which files are read, which are refused and why, and two lists of the
// size the product must take (a netset of prefixes, a block list of named ranges).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/address_lists.h"
#include "platform/unique_fd.h"

namespace corvane::engine {
namespace {

using platform::UniqueFd;

constexpr uid_t kNobody = 65534;

// A private folder below /tmp, removed with all it holds.
class TempFolder {
public:
    TempFolder() {
        char name[] = "/tmp/corvane-lists-XXXXXX";
        if (::mkdtemp(name) != nullptr) path_ = name;
    }
    ~TempFolder() {
        std::error_code error;
        if (!path_.empty()) std::filesystem::remove_all(path_, error);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// Writes a file with exactly this mode (no umask) and content; false when that failed.
::testing::AssertionResult WriteFile(const std::string& path, std::string_view content, mode_t mode = 0644) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.Valid()) return ::testing::AssertionFailure() << path << ": " << std::strerror(errno);
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t wrote = ::write(fd.Get(), content.data() + done, content.size() - done);
        if (wrote <= 0) return ::testing::AssertionFailure() << path << ": " << std::strerror(errno);
        done += static_cast<std::size_t>(wrote);
    }
    if (::fchmod(fd.Get(), mode) != 0) return ::testing::AssertionFailure() << path << ": " << std::strerror(errno);
    return ::testing::AssertionSuccess();
}

class ListFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::geteuid(), 0u) << "these cases need root (file owners)";
        ASSERT_FALSE(temp_.Path().empty());
        folder_ = temp_.Path() + "/lists.d";
        ASSERT_EQ(::mkdir(folder_.c_str(), 0755), 0);
        ASSERT_EQ(::chmod(folder_.c_str(), 0755), 0);
    }
    std::string In(const std::string& name) const { return folder_ + "/" + name; }

    TempFolder temp_;
    std::string folder_;
};

TEST_F(ListFolderTest, ReadsTrustedListFilesByNameAndRefusesTheOthersWhole) {
    ASSERT_TRUE(WriteFile(In("b.list"), "192.0.2.0/24\n2001:db8::1\nbroken\n"));
    ASSERT_TRUE(WriteFile(In("a.list"), "# first by name\r\n198.51.100.7\r\n"));
    ASSERT_TRUE(WriteFile(In("c.list"), "203.0.113.1\n", 0666));
    ASSERT_TRUE(WriteFile(In("d.list"), "203.0.113.2\n"));
    ASSERT_EQ(::chown(In("d.list").c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::mkfifo(In("e.list").c_str(), 0644), 0);  // no writer ever comes
    ASSERT_EQ(::mkdir(In("f.list").c_str(), 0755), 0);
    ASSERT_TRUE(WriteFile(In("g.list"), "203.0.113.3\n", 0664));
    ASSERT_TRUE(WriteFile(In("h.list"), "10.0.0.0-10.0.0.3\n"));
    // Followed: what counts is the file reached. One to a trusted file, one to an open one.
    ASSERT_TRUE(WriteFile(temp_.Path() + "/open-target", "203.0.113.4\n", 0646));
    ASSERT_EQ(::symlink("b.list", In("i.list").c_str()), 0);
    ASSERT_EQ(::symlink((temp_.Path() + "/open-target").c_str(), In("j.list").c_str()), 0);
    // Not list files at all.
    ASSERT_TRUE(WriteFile(In("notes.txt"), "203.0.113.5\n"));
    ASSERT_TRUE(WriteFile(In(".hidden.list"), "203.0.113.6\n"));
    ASSERT_TRUE(WriteFile(In("k.list.bak"), "203.0.113.7\n"));
    ASSERT_TRUE(WriteFile(In(".list"), "203.0.113.8\n"));

    const AddressLists lists = LoadListFolder(folder_);
    EXPECT_EQ(lists.folderProblem, "");
    std::vector<std::string> paths;
    for (const ListSource& source : lists.sources) paths.push_back(source.path);
    const std::vector<std::string> expected = {In("a.list"), In("b.list"), In("c.list"), In("d.list"), In("e.list"),
                                               In("f.list"), In("g.list"), In("h.list"), In("i.list"), In("j.list")};
    ASSERT_EQ(paths, expected);

    const auto refusedWhy = [&](std::size_t index) {
        return lists.sources[index].refused ? lists.sources[index].why : std::string("(read)");
    };
    EXPECT_EQ(refusedWhy(0), "(read)");
    EXPECT_EQ(refusedWhy(1), "(read)");
    EXPECT_EQ(refusedWhy(2), "writable by others than root (mode 0666)");
    EXPECT_EQ(refusedWhy(3), "owned by uid 65534");
    EXPECT_EQ(refusedWhy(4), "not a regular file");
    EXPECT_EQ(refusedWhy(5), "not a regular file");
    EXPECT_EQ(refusedWhy(6), "writable by others than root (mode 0664)");
    EXPECT_EQ(refusedWhy(7), "(read)");
    EXPECT_EQ(refusedWhy(8), "(read)");
    EXPECT_EQ(refusedWhy(9), "writable by others than root (mode 0646)");
    for (std::size_t i = 2; i <= 9; ++i) {
        if (lists.sources[i].refused) {
            EXPECT_EQ(lists.sources[i].addresses4 + lists.sources[i].prefixes4, 0u);
            EXPECT_EQ(lists.sources[i].why.find('\n'), std::string::npos);
        }
    }

    // What was read: a (source 0), b (1), h (7), i = b again (8).
    std::vector<std::pair<std::uint32_t, std::uint32_t>> v4;
    for (const Prefix4& prefix : lists.v4) v4.emplace_back(prefix.source, prefix.first);
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> expectedV4 = {
        {0, 0xc6336407u}, {1, 0xc0000200u}, {7, 0x0a000000u}, {8, 0xc0000200u}};
    EXPECT_EQ(v4, expectedV4);
    ASSERT_EQ(lists.v6.size(), 2u);
    EXPECT_EQ(lists.v6[0].source, 1u);
    EXPECT_EQ(lists.v6[1].source, 8u);
    EXPECT_EQ(lists.sources[0].addresses4, 1u);
    EXPECT_EQ(lists.sources[1].prefixes4, 1u);
    EXPECT_EQ(lists.sources[1].addresses6, 1u);
    EXPECT_EQ(lists.sources[7].prefixes4, 1u);
    ASSERT_EQ(lists.problems.size(), 2u);
    EXPECT_EQ(lists.problems[0].source, 1u);
    EXPECT_EQ(lists.problems[0].line, 3u);
    EXPECT_EQ(lists.problems[1].source, 8u);
    EXPECT_EQ(lists.problems[1].line, 3u);
}

TEST_F(ListFolderTest, TheTrustedOwnerCountsLikeRoot) {
    ASSERT_TRUE(WriteFile(In("mine.list"), "192.0.2.9\n"));
    ASSERT_TRUE(WriteFile(In("open.list"), "192.0.2.10\n", 0620));
    ASSERT_EQ(::chown(folder_.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chown(In("mine.list").c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chown(In("open.list").c_str(), kNobody, kNobody), 0);

    const AddressLists untrusted = LoadListFolder(folder_);
    EXPECT_EQ(untrusted.folderProblem, "owned by uid 65534");
    EXPECT_TRUE(untrusted.sources.empty() && untrusted.v4.empty());

    const AddressLists trusted = LoadListFolder(folder_, ListFolderOptions{kNobody});
    EXPECT_EQ(trusted.folderProblem, "");
    ASSERT_EQ(trusted.sources.size(), 2u);
    EXPECT_FALSE(trusted.sources[0].refused);
    EXPECT_TRUE(trusted.sources[1].refused);
    EXPECT_EQ(trusted.sources[1].why, "writable by others than its owner (mode 0620)");
    ASSERT_EQ(trusted.v4.size(), 1u);
    EXPECT_EQ(trusted.v4[0].first, 0xc0000209u);
}

TEST_F(ListFolderTest, AnUntrustedOrMissingFolderReadsNothing) {
    ASSERT_TRUE(WriteFile(In("a.list"), "192.0.2.9\n"));

    ASSERT_EQ(::chmod(folder_.c_str(), 0775), 0);
    AddressLists lists = LoadListFolder(folder_);
    EXPECT_EQ(lists.folderProblem, "writable by others than root (mode 0775)");
    EXPECT_TRUE(lists.sources.empty() && lists.v4.empty() && lists.problems.empty());

    ASSERT_EQ(::chmod(folder_.c_str(), 01777), 0);
    lists = LoadListFolder(folder_);
    EXPECT_EQ(lists.folderProblem, "writable by others than root (mode 1777)");
    EXPECT_TRUE(lists.sources.empty());

    // Back to a trusted folder; a file past the size cap (sparse, nothing to read) is refused.
    ASSERT_EQ(::chmod(folder_.c_str(), 0755), 0);
    {
        ASSERT_TRUE(WriteFile(In("z.list"), ""));
        UniqueFd big(::open(In("z.list").c_str(), O_WRONLY | O_CLOEXEC));
        ASSERT_TRUE(big.Valid());
        ASSERT_EQ(::ftruncate(big.Get(), (off_t{256} << 20) + 1), 0);
    }
    lists = LoadListFolder(folder_ + "/");
    EXPECT_EQ(lists.folderProblem, "");
    ASSERT_EQ(lists.sources.size(), 2u);
    EXPECT_EQ(lists.sources[0].path, In("a.list"));
    EXPECT_FALSE(lists.sources[0].refused);
    EXPECT_EQ(lists.sources[1].why, "larger than 256 MiB");
    EXPECT_EQ(lists.v4.size(), 1u);

    lists = LoadListFolder(temp_.Path() + "/absent");
    EXPECT_EQ(lists.folderProblem, "");
    EXPECT_TRUE(lists.sources.empty() && lists.v4.empty() && lists.v6.empty() && lists.problems.empty());

    lists = LoadListFolder(In("a.list"));
    EXPECT_NE(lists.folderProblem, "");
    EXPECT_TRUE(lists.sources.empty() && lists.v4.empty());
}

// --- Lists of the size the product must take --------------------------------------------------

struct Generated {
    std::string text;
    std::vector<Prefix4> v4;  // expected, in order
    std::vector<Prefix6> v6;
    std::vector<std::size_t> brokenLines;
    std::size_t addresses4 = 0;
    std::size_t prefixes4 = 0;
    std::size_t addresses6 = 0;
    std::size_t prefixes6 = 0;
    std::uint64_t covered4 = 0;  // addresses covered by the v4 lines, overlaps counted again
};

std::string Dotted(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 255) + "." +
           std::to_string(address >> 8 & 255) + "." + std::to_string(address & 255);
}

std::string Ipv6Text(Ipv6Number address) {
    unsigned char bytes[16];
    for (int i = 0; i < 16; ++i) bytes[i] = static_cast<unsigned char>(address >> (8 * (15 - i)));
    char text[INET6_ADDRSTRLEN];
    return ::inet_ntop(AF_INET6, bytes, text, sizeof text) != nullptr ? text : "?";
}

// Lines with their number: comments, blanks and broken lines are placed at known numbers.
class Writer {
public:
    explicit Writer(Generated& out, const char* end) : out_(out), end_(end) {}
    void Line(const std::string& text) {
        out_.text += text;
        out_.text += end_;
        ++number_;
    }
    void Broken(const std::string& text) {
        Line(text);
        out_.brokenLines.push_back(number_);
    }
    std::size_t Number() const { return number_; }

private:
    Generated& out_;
    const char* end_;
    std::size_t number_ = 0;
};

// One interruption every few hundred lines: a comment, a blank line, or a broken entry.
bool Interrupt(std::mt19937& random, Writer& writer) {
    static const char* const kBroken[] = {"10.0.0.1/24",    "300.1.2.3", "1.2.3",           "010.1.2.3", "1.2.3.4/33",
                                          "2001:db8::1/64", "a-b",       "9.9.9.9-1.1.1.1", "name:",     "-"};
    switch (random() % 400) {
        case 0:
            writer.Line("# a comment in the middle");
            return true;
        case 1:
            writer.Line("");
            return true;
        case 2:
            writer.Line(" \t ");
            return true;
        case 3:
            writer.Broken(kBroken[random() % std::size(kBroken)]);
            return true;
        default:
            return false;
    }
}

// A netset: '#' header, then one prefix or address a line (IPv6 among them).
Generated MakeNetset(std::uint32_t source, std::size_t lines) {
    std::mt19937 random(424242);
    Generated out;
    Writer writer(out, "\n");
    writer.Line("#");
    writer.Line("# a netset of the usual kind, made for the test");
    writer.Line("#");
    while (writer.Number() < lines) {
        if (Interrupt(random, writer)) continue;
        if (random() % 10 == 0) {
            const unsigned length = 16 + random() % 113;
            Ipv6Number address = Ipv6Number{0x2000u | (random() & 0xfffu)} << 112;
            for (int i = 0; i < 4; ++i) address |= Ipv6Number{random()} << (32 * i);
            address &= Ipv6Number{0xffffu} << 112 | (~Ipv6Number{0} >> 16);
            if (length < 128) address &= ~(~Ipv6Number{0} >> length);
            out.v6.push_back(Prefix6{address, static_cast<std::uint8_t>(length), source});
            ++(length == 128 ? out.addresses6 : out.prefixes6);
            writer.Line(Ipv6Text(address) + (length == 128 && random() % 2 == 0 ? "" : "/" + std::to_string(length)));
            continue;
        }
        const unsigned length = 8 + random() % 25;
        std::uint32_t address = random();
        if (length < 32) address &= ~(~std::uint32_t{0} >> length);
        out.v4.push_back(Prefix4{address, static_cast<std::uint8_t>(length), source});
        ++(length == 32 ? out.addresses4 : out.prefixes4);
        out.covered4 += std::uint64_t{1} << (32 - length);
        std::string line = Dotted(address);
        if (length < 32 || random() % 2 == 0) line += "/" + std::to_string(length);
        if (random() % 50 == 0) line += "  # noted";
        writer.Line(line);
    }
    return out;
}

// The reference cover of a range, split down from the whole space (not the greedy walk).
void Cover(std::uint64_t blockFirst, int bits, std::uint64_t first, std::uint64_t last, std::uint32_t source,
           Generated& out) {
    const std::uint64_t blockLast = blockFirst + (std::uint64_t{1} << bits) - 1;
    if (blockLast < first || blockFirst > last) return;
    if (blockFirst >= first && blockLast <= last) {
        out.v4.push_back(Prefix4{static_cast<std::uint32_t>(blockFirst), static_cast<std::uint8_t>(32 - bits), source});
        ++(bits == 0 ? out.addresses4 : out.prefixes4);
        return;
    }
    Cover(blockFirst, bits - 1, first, last, source, out);
    Cover(blockFirst + (std::uint64_t{1} << (bits - 1)), bits - 1, first, last, source, out);
}

// A peer-to-peer block list: "name:first-last", CR LF, names with blanks, ':' and '-' in them.
Generated MakeRanges(std::uint32_t source, std::size_t lines) {
    std::mt19937 random(777);
    static const char* const kNames[] = {"Example Corp", "Net-Work: Ltd", "a:b:c", "", "ISP 42 - dialup", "x"};
    Generated out;
    Writer writer(out, "\r\n");
    writer.Line("# ranges, made for the test");
    while (writer.Number() < lines) {
        if (Interrupt(random, writer)) continue;
        const std::uint32_t first = random();
        std::uint32_t span = random() % 5 == 0 ? random() % (1u << 24) : random() % 2000;
        if (span > 0xffffffffu - first) span = 0xffffffffu - first;
        const std::uint32_t last = first + span;
        Cover(0, 32, first, last, source, out);
        out.covered4 += std::uint64_t{span} + 1;
        writer.Line(std::string(kNames[random() % std::size(kNames)]) + ":" + Dotted(first) + "-" + Dotted(last));
    }
    return out;
}

template <typename Prefix>
std::size_t FirstDifference(const std::vector<Prefix>& got, std::size_t from, const std::vector<Prefix>& expected) {
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (from + i >= got.size()) return i;
        const Prefix& a = got[from + i];
        const Prefix& b = expected[i];
        if (!(a.first == b.first) || a.length != b.length || a.source != b.source) return i;
    }
    return expected.size();
}

TEST_F(ListFolderTest, LargeNetsetAndRangeListsLoadExactly) {
    constexpr std::size_t kLines = 100000;
    const Generated netset = MakeNetset(0, kLines);
    const Generated ranges = MakeRanges(1, kLines);
    ASSERT_TRUE(WriteFile(In("firehol_level1.list"), netset.text));
    ASSERT_TRUE(WriteFile(In("p2p_ranges.list"), ranges.text));
    ASSERT_GT(netset.brokenLines.size(), 10u);
    ASSERT_GT(ranges.brokenLines.size(), 10u);

    const AddressLists lists = LoadListFolder(folder_);
    ASSERT_EQ(lists.folderProblem, "");
    ASSERT_EQ(lists.sources.size(), 2u);
    ASSERT_FALSE(lists.sources[0].refused) << lists.sources[0].why;
    ASSERT_FALSE(lists.sources[1].refused) << lists.sources[1].why;

    std::vector<std::size_t> broken[2];
    for (const ListProblem& problem : lists.problems) {
        ASSERT_LT(problem.source, 2u);
        broken[problem.source].push_back(problem.line);
    }
    EXPECT_EQ(broken[0], netset.brokenLines);
    EXPECT_EQ(broken[1], ranges.brokenLines);

    const Generated* generated[] = {&netset, &ranges};
    for (std::uint32_t source = 0; source < 2; ++source) {
        const Generated& expected = *generated[source];
        const ListSource& counts = lists.sources[source];
        EXPECT_EQ(counts.addresses4, expected.addresses4) << source;
        EXPECT_EQ(counts.prefixes4, expected.prefixes4) << source;
        EXPECT_EQ(counts.addresses6, expected.addresses6) << source;
        EXPECT_EQ(counts.prefixes6, expected.prefixes6) << source;
    }
    ASSERT_EQ(lists.v4.size(), netset.v4.size() + ranges.v4.size());
    EXPECT_EQ(FirstDifference(lists.v4, 0, netset.v4), netset.v4.size());
    EXPECT_EQ(FirstDifference(lists.v4, netset.v4.size(), ranges.v4), ranges.v4.size());
    ASSERT_EQ(lists.v6.size(), netset.v6.size());
    EXPECT_EQ(FirstDifference(lists.v6, 0, netset.v6), netset.v6.size());

    // The addresses the ranges' prefixes cover add up to the ranges' own sizes.
    std::uint64_t covered[2] = {0, 0};
    for (const Prefix4& prefix : lists.v4) covered[prefix.source] += std::uint64_t{1} << (32 - prefix.length);
    EXPECT_EQ(covered[0], netset.covered4);
    EXPECT_EQ(covered[1], ranges.covered4);
}

}  // namespace
}  // namespace corvane::engine
