// The service's check of new definitions: only a whole definitions file, as the loader reads it, is
// taken; whatever is refused leaves qd.def as it was. And the temporary files an interrupted
// replacement left in the state folder are gone at the next start.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "service/definitions_file.h"
#include "service_harness.h"

namespace corvane::service {
namespace {

namespace fs = std::filesystem;
using platform::UniqueFd;

std::string Slurp(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// What the service does with a handed descriptor before anything is replaced; qd.def is replaced only
// when both steps pass. Empty on success, else why not.
std::string Install(const fs::path& stateDir, const std::string& content) {
    UniqueFd file(::memfd_create("definitions", MFD_CLOEXEC));
    if (!file.Valid() || ::write(file.Get(), content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        return "no memory file";
    std::string bytes;
    std::string why;
    engine::Definitions definitions;
    if (!ReadDefinitionsDescriptor(file.Get(), bytes, why) || !CheckDefinitions(bytes, definitions, why)) return why;
    if (!ReplaceDefinitionsFile(stateDir.string(), bytes, why)) return why;
    return {};
}

TEST(WholeDefinitionsCheck, WhatIsNotAWholeDefinitionsFileIsRefusedAndQdDefStaysByteForByte) {
    testing::TempDir dir("corvane-defs-check");
    ASSERT_FALSE(dir.Path().empty());
    const std::string old = "V001\r\n192.0.2.1\r\n198.51.100.1\r\n";
    ASSERT_EQ(Install(dir.Path(), old), "");
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"the first 21 bytes of a file", "V002\r\n192.0.2.77\r\n198"},
        {"empty", ""},
        {"an error page sent as a success",
         "<!DOCTYPE html>\r\n<html><head><title>Not Found</title></head><body>Not Found</body></html>\r\n"},
        {"LF line ends", "V002\n192.0.2.77\n198.51.100.23\n"},
        {"a last line without its line end", "V002\r\n192.0.2.77\r\n198.51.100.23"},
        {"cut between CR and LF", "V002\r\n192.0.2.77\r\n198.51.100.23\r"},
        {"no version line", "192.0.2.77\r\n198.51.100.23\r\n"},
        {"a version and nothing listed", "V002\r\n\r\n\r\n"},
        {"a host name", "V002\r\n192.0.2.77\r\nexample.com\r\n"},
        {"three groups", "V002\r\n192.0.2\r\n"},
        {"five groups", "V002\r\n192.0.2.77.1\r\n"},
        {"four digits in a group", "V002\r\n1920.0.2.77\r\n"},
        {"a blank before", "V002\r\n 192.0.2.77\r\n"},
        {"a blank after", "V002\r\n192.0.2.77 \r\n"},
        {"an empty group", "V002\r\n192..2.77\r\n"},
        {"two addresses joined by a lone LF", "V002\r\n192.0.2.77\n198.51.100.23\r\n"},
        {"binary", std::string("V002\r\n\x89PNG\x00\x01\r\n", 12)},
    };
    for (const auto& [name, content] : refused) {
        SCOPED_TRACE(name);
        EXPECT_NE(Install(dir.Path(), content), "");
        EXPECT_EQ(Slurp(dir.Path() / "qd.def"), old);
    }
    // Nothing but qd.def was left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

TEST(WholeDefinitionsCheck, DottedShapedEntriesPassEvenWhenTheyNeverMatch) {
    engine::Definitions definitions;
    std::string why;
    // Leading zeros and groups past 255 are shaped right: the loader keeps them, they match nothing.
    ASSERT_TRUE(CheckDefinitions("V003\r\n127.0.0.010\r\n", definitions, why)) << why;
    EXPECT_EQ(definitions.defsVersion, "003");
    ASSERT_EQ(definitions.blockList.size(), 1u);
    EXPECT_EQ(definitions.blockList[0], "127.0.0.010");
    // Empty lines are skipped, a lone CR ends a line as for the loader, the last version line counts.
    ASSERT_TRUE(CheckDefinitions("V001\r\n999.1.1.1\r\n\r\n192.0.2.1\r198.51.100.7\r\nV004\r\n", definitions, why))
        << why;
    EXPECT_EQ(definitions.defsVersion, "004");
    EXPECT_EQ(definitions.blockList.size(), 3u);

    for (const char* shaped : {"0.0.0.0", "1.2.3.4", "255.255.255.255", "127.0.0.010", "999.999.999.999"})
        EXPECT_TRUE(IsDottedShape(shaped)) << shaped;
    for (const char* notShaped :
         {"", "1.2.3", "1.2.3.4.", ".1.2.3", "1.2.3.4.5", "1234.1.1.1", "1.2.3.a", "1,2,3,4", "+1.2.3.4", "1.2.3.4\n"})
        EXPECT_FALSE(IsDottedShape(notShaped)) << notShaped;
}

TEST(WholeDefinitionsCheck, StaleTemporaryFilesAreRemovedAtStartAndNothingElse) {
    testing::TempDir dir("corvane-defs-stale");
    ASSERT_FALSE(dir.Path().empty());
    testing::TempDir outside("corvane-defs-outside");
    const fs::path target = outside.Path() / "not-ours";
    { std::ofstream(target) << "keep"; }
    { std::ofstream(dir.Path() / "qd.def") << "V001\r\n192.0.2.1\r\n"; }
    { std::ofstream(dir.Path() / ".qd.def.4242.1") << "half of a service write"; }
    { std::ofstream(dir.Path() / ".qd.def.part-Ab12Cd") << "half of an old window's write"; }
    { std::ofstream(dir.Path() / "hklm.db") << "settings"; }
    fs::create_symlink(target, dir.Path() / ".qd.def.link");
    fs::create_directory(dir.Path() / ".qd.def.folder");

    const std::vector<std::string> notes = RemoveStaleTemporaries(dir.Path().string());
    EXPECT_EQ(notes.size(), 3u);
    EXPECT_FALSE(fs::exists(dir.Path() / ".qd.def.4242.1"));
    EXPECT_FALSE(fs::exists(dir.Path() / ".qd.def.part-Ab12Cd"));
    // A link is removed as a link; what it pointed at stays.
    EXPECT_FALSE(fs::is_symlink(dir.Path() / ".qd.def.link"));
    EXPECT_EQ(Slurp(target), "keep");
    EXPECT_TRUE(fs::is_directory(dir.Path() / ".qd.def.folder"));
    EXPECT_EQ(Slurp(dir.Path() / "qd.def"), "V001\r\n192.0.2.1\r\n");
    EXPECT_TRUE(fs::exists(dir.Path() / "hklm.db"));

    // A missing folder is said, not a crash.
    const std::vector<std::string> missing = RemoveStaleTemporaries((dir.Path() / "missing").string());
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_NE(missing[0].find("cannot be opened"), std::string::npos);
}

}  // namespace
}  // namespace corvane::service
