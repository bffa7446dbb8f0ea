// Loading qd.def: line ends, version lines, what is kept as it is, bad input.
#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/block_list.h"

namespace corvane::engine {
namespace {

std::vector<std::string> Entries(const BlockList& list) {
    std::vector<std::string> entries;
    for (std::size_t i = 0; i < list.size(); ++i) entries.emplace_back(list[i]);
    return entries;
}

using Lines = std::vector<std::string>;

// Bytes the C library's allocator has handed out, large blocks included.
std::size_t HeapInUse() {
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

TEST(BlockListLoader, VersionLines) {
    Definitions only = ParseDefinitions("V105\r\n");
    EXPECT_EQ(only.defsVersion, "105");
    EXPECT_TRUE(only.blockList.empty());

    EXPECT_EQ(ParseDefinitions("V1\r\n").defsVersion, "V1");
    EXPECT_EQ(ParseDefinitions("Version 2.1\r\n").defsVersion, "2.1");
    EXPECT_EQ(ParseDefinitions("V100\r\n1.2.3.4\r\nV101\r\n").defsVersion, "101");
    EXPECT_EQ(ParseDefinitions("1.2.3.4\r\n").defsVersion, "");

    // Only a capital V makes a version line.
    Definitions lower = ParseDefinitions("v105\r\n");
    EXPECT_EQ(lower.defsVersion, "");
    EXPECT_EQ(Entries(lower.blockList), Lines{"v105"});
}

TEST(BlockListLoader, LineEnds) {
    // CR LF and a lone CR end lines; a last line needs no end.
    EXPECT_EQ(Entries(ParseDefinitions("1.1.1.1\r\n2.2.2.2\r3.3.3.3").blockList),
              (Lines{"1.1.1.1", "2.2.2.2", "3.3.3.3"}));
    // A lone LF stays part of the line.
    EXPECT_EQ(Entries(ParseDefinitions("1.1.1.1\n2.2.2.2\r\n").blockList), Lines{"1.1.1.1\n2.2.2.2"});
    // CR CR LF: an empty line between, which adds nothing; LF CR: the LF is text.
    EXPECT_EQ(Entries(ParseDefinitions("1.1.1.1\r\r\n\n\r").blockList), (Lines{"1.1.1.1", "\n"}));

    // An LF-only file that starts with a version line is one version line.
    Definitions lfOnly = ParseDefinitions("V105\n1.2.3.4\n5.6.7.8\n");
    EXPECT_EQ(lfOnly.defsVersion, ".8\n");
    EXPECT_TRUE(lfOnly.blockList.empty());
}

TEST(BlockListLoader, KeepsLinesAsWrittenAndSkipsEmptyOnes) {
    Definitions definitions =
        ParseDefinitions("\r\n 1.2.3.4\r\n10.0.0.01\r\n\r\n\r\n1.2.3.4\r\n1.2.3.4\r\nhello\t\r\n\r\n");
    EXPECT_EQ(Entries(definitions.blockList), (Lines{" 1.2.3.4", "10.0.0.01", "1.2.3.4", "1.2.3.4", "hello\t"}));
    // Lookups compare exactly.
    EXPECT_TRUE(definitions.blockList.Contains("1.2.3.4"));
    EXPECT_TRUE(definitions.blockList.Contains(" 1.2.3.4"));
    EXPECT_FALSE(definitions.blockList.Contains("10.0.0.1"));
    EXPECT_FALSE(definitions.blockList.Contains("1.2.3.4 "));
    EXPECT_FALSE(definitions.blockList.Contains("HELLO\t"));

    // NUL bytes are text like any other.
    const std::string withNul("1.2\0.3.4\r\n", 10);
    Definitions nul = ParseDefinitions(withNul);
    ASSERT_EQ(nul.blockList.size(), 1U);
    EXPECT_EQ(nul.blockList[0], std::string_view(withNul.data(), 8));
    EXPECT_FALSE(nul.blockList.Contains("1.2"));
}

// Fed in pieces of any size, the reader gives what one whole buffer gives,
// and no entry ever holds a CR, is empty or starts with V.
TEST(BlockListLoader, PiecesAndGarbageAgreeWithWholeBuffer) {
    std::mt19937 random(7);
    const std::string alphabet("\r\n\rV v0.1\0\xff", 12);
    for (int round = 0; round < 200; ++round) {
        std::string bytes(random() % 300, '\0');
        for (char& c : bytes) c = round % 2 ? alphabet[random() % alphabet.size()] : static_cast<char>(random());
        const Definitions whole = ParseDefinitions(bytes);

        DefinitionsReader reader;
        for (std::size_t at = 0; at < bytes.size();) {
            const std::size_t piece = 1 + random() % 5;
            reader.Feed(std::string_view(bytes).substr(at, piece));
            at += piece;
        }
        const Definitions pieces = reader.Finish();
        ASSERT_EQ(Entries(pieces.blockList), Entries(whole.blockList));
        ASSERT_EQ(pieces.defsVersion, whole.defsVersion);
        for (const std::string& entry : Entries(whole.blockList)) {
            ASSERT_FALSE(entry.empty());
            ASSERT_EQ(entry.find('\r'), std::string::npos);
            ASSERT_NE(entry.front(), 'V');
            ASSERT_TRUE(whole.blockList.Contains(entry));
        }
        ASSERT_LE(whole.defsVersion.size(), 3U);
    }
}

class BlockListFile : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() / ("corvane-defs-" + std::to_string(::getpid()));
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    void Write(const std::string& content) { std::ofstream(folder_ / "qd.def", std::ios::binary) << content; }
    std::filesystem::path folder_;
};

TEST_F(BlockListFile, LoadsFromTheProgramFolder) {
    Write("V107\r\n1.2.3.4\r\n5.6.7.8\r\n");
    Definitions definitions = LoadDefinitions(folder_.string());
    EXPECT_EQ(definitions.defsVersion, "107");
    EXPECT_EQ(Entries(definitions.blockList), (Lines{"1.2.3.4", "5.6.7.8"}));
    // A folder given with its trailing slash (the root) gives the same file.
    EXPECT_EQ(LoadDefinitions(folder_.string() + "/").blockList.size(), 2U);
    EXPECT_EQ(DefinitionsPath("/"), "/qd.def");
    EXPECT_EQ(DefinitionsPath("/opt/corvane"), "/opt/corvane/qd.def");
}

TEST_F(BlockListFile, MissingOrUnreadableFileGivesEmptyDefinitions) {
    Definitions missing = LoadDefinitions(folder_.string());
    EXPECT_TRUE(missing.blockList.empty());
    EXPECT_EQ(missing.defsVersion, "");

    // A folder named qd.def.
    std::filesystem::create_directory(folder_ / "qd.def");
    EXPECT_TRUE(LoadDefinitions(folder_.string()).blockList.empty());
    std::filesystem::remove(folder_ / "qd.def");

    // Nothing that is not a regular file: a FIFO without a writer (would block
    // start-up) and an endless device.
    ASSERT_EQ(::mkfifo((folder_ / "qd.def").c_str(), 0600), 0);
    EXPECT_TRUE(LoadDefinitions(folder_.string()).blockList.empty());
    std::filesystem::remove(folder_ / "qd.def");
    std::filesystem::create_symlink("/dev/zero", folder_ / "qd.def");
    EXPECT_TRUE(LoadDefinitions(folder_.string()).blockList.empty());
    std::filesystem::remove(folder_ / "qd.def");

    if (::geteuid() != 0) {
        Write("1.2.3.4\r\n");
        ASSERT_EQ(::chmod((folder_ / "qd.def").c_str(), 0), 0);
        EXPECT_TRUE(LoadDefinitions(folder_.string()).blockList.empty());
    }
}

TEST_F(BlockListFile, LargeInput) {
    // A 1 MB line between two short ones, a 1 MB version line, then 1,000,000 lines.
    std::string content = "1.1.1.1\r\n" + std::string(1 << 20, 'x') + "\r\nV" + std::string(1 << 20, '9') + "abc\r\n";
    for (int i = 0; i < 1000000; ++i)
        content += "10." + std::to_string(i >> 16) + "." + std::to_string(i >> 8 & 255) + "." +
                   std::to_string(i & 255) + "\r\n";
    Write(content);
    const std::size_t heapBefore = HeapInUse();
    Definitions definitions = LoadDefinitions(folder_.string());
    const std::size_t heapAfter = HeapInUse();
    // The list keeps the text once plus a fixed amount per entry; memory stays
    // within a small multiple of the file (0 change means another allocator).
    if (heapAfter > heapBefore) {
        EXPECT_LT(heapAfter - heapBefore, 8 * content.size());
    }
    ASSERT_EQ(definitions.blockList.size(), 2U + 1000000U);
    EXPECT_EQ(definitions.blockList[1].size(), std::size_t{1} << 20);
    EXPECT_EQ(definitions.defsVersion, "abc");
    EXPECT_EQ(definitions.blockList[2], "10.0.0.0");
    EXPECT_EQ(definitions.blockList[1000001], "10.15.66.63");
    EXPECT_TRUE(definitions.blockList.Contains("10.0.3.255"));
    EXPECT_FALSE(definitions.blockList.Contains("10.15.66.64"));
}

}  // namespace
}  // namespace corvane::engine
