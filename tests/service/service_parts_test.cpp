// The service's parts that need no bus: the definitions check and replacement, the recent blocks,
// the command line and the access rule.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/unique_fd.h"
#include "service/caller_access.h"
#include "service/definitions_file.h"
#include "service/definitions_installer.h"
#include "service/recent_blocks.h"
#include "service/service_options.h"
#include "service_harness.h"

namespace corvane::service {
namespace {

using platform::UniqueFd;
namespace fs = std::filesystem;

UniqueFd MemoryFile(const std::string& content) {
    UniqueFd fd(::memfd_create("definitions", MFD_CLOEXEC));
    if (fd.Valid() && !content.empty() &&
        ::write(fd.Get(), content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        fd.Reset();
    return fd;
}

std::string Slurp(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(DefinitionsDescriptor, ReadsFromTheStartWhateverTheOffsetAndRefusesWhatIsNotAFile) {
    const std::string content = "V003\r\n192.0.2.1\r\n";
    UniqueFd file = MemoryFile(content);
    ASSERT_TRUE(file.Valid());
    const off_t offset = ::lseek(file.Get(), 0, SEEK_CUR);  // left at the end by the write
    std::string bytes;
    std::string why;
    ASSERT_TRUE(ReadDefinitionsDescriptor(file.Get(), bytes, why)) << why;
    EXPECT_EQ(bytes, content);
    EXPECT_EQ(::lseek(file.Get(), 0, SEEK_CUR), offset);  // the caller's offset stays

    UniqueFd large(::memfd_create("large", MFD_CLOEXEC));
    ASSERT_EQ(::ftruncate(large.Get(), static_cast<off_t>(kMaxDefinitionsBytes + 1)), 0);
    EXPECT_FALSE(ReadDefinitionsDescriptor(large.Get(), bytes, why));
    ASSERT_EQ(::ftruncate(large.Get(), static_cast<off_t>(kMaxDefinitionsBytes)), 0);
    EXPECT_TRUE(ReadDefinitionsDescriptor(large.Get(), bytes, why)) << why;
    EXPECT_EQ(bytes.size(), kMaxDefinitionsBytes);

    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    EXPECT_FALSE(ReadDefinitionsDescriptor(readEnd.Get(), bytes, why));
}

TEST(DefinitionsInstaller, TurnsAwayInstallsBeyondTheFewWaitingOrUnderWay) {
    testing::TempDir dir("corvane-installs");
    DefinitionsInstaller installer(dir.Path().string());
    UniqueFd file = MemoryFile("V004\r\n192.0.2.1\r\n");
    ASSERT_TRUE(file.Valid());
    // Answers come back only through this thread's loop, which does not run here: those submitted
    // stay pending however fast the installer's thread is.
    for (std::size_t i = 0; i < DefinitionsInstaller::kMaxPending; ++i)
        EXPECT_TRUE(installer.Submit(QDBusUnixFileDescriptor(file.Get()), [](InstalledDefinitions) {}));
    EXPECT_FALSE(installer.Submit(QDBusUnixFileDescriptor(file.Get()), [](InstalledDefinitions) {}));
}

TEST(DefinitionsReplacement, ReplacesTheFileAndNeverWritesThroughALink) {
    testing::TempDir dir("corvane-defs");
    ASSERT_FALSE(dir.Path().empty());
    const fs::path target = dir.Path() / "elsewhere";
    { std::ofstream(target) << "keep me"; }
    fs::create_symlink(target, dir.Path() / "qd.def");
    ::umask(077);
    std::string why;
    ASSERT_TRUE(ReplaceDefinitionsFile(dir.Path().string(), "V004\r\n192.0.2.4\r\n", why)) << why;
    EXPECT_EQ(Slurp(target), "keep me");
    EXPECT_FALSE(fs::is_symlink(dir.Path() / "qd.def"));
    EXPECT_EQ(Slurp(dir.Path() / "qd.def"), "V004\r\n192.0.2.4\r\n");
    struct stat info {};
    ASSERT_EQ(::lstat((dir.Path() / "qd.def").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644U);
    // Nothing left behind but the two files.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 2);
    ::umask(022);

    // A folder that cannot be written: the old file stays as it was.
    EXPECT_FALSE(ReplaceDefinitionsFile((dir.Path() / "missing").string(), "V005\r\n192.0.2.5\r\n", why));
    EXPECT_EQ(Slurp(dir.Path() / "qd.def"), "V004\r\n192.0.2.4\r\n");
}

TEST(RecentBlocksRing, KeepsTheLastOnesOldestFirst) {
    RecentBlocks recent(3);
    EXPECT_TRUE(recent.Last(10).empty());
    for (int i = 1; i <= 5; ++i) {
        engine::BlockRecord record;
        record.remoteAddress = htonl(0xC0000200U + static_cast<unsigned>(i));  // 192.0.2.i
        record.pid = static_cast<std::uint32_t>(100 + i);
        record.command = i == 5 ? std::string("bad\x01name") : "proc";
        recent.Add(record, 1000 + i);
    }
    const std::vector<RecentBlock> last = recent.Last(10);
    ASSERT_EQ(last.size(), 3U);
    EXPECT_EQ(last[0].address, "192.0.2.3");
    EXPECT_EQ(last[0].timeMs, 1003);
    EXPECT_EQ(last[2].address, "192.0.2.5");
    EXPECT_EQ(last[2].pid, 105U);
    EXPECT_EQ(last[2].process, "bad?name");
    const std::vector<RecentBlock> two = recent.Last(2);
    ASSERT_EQ(two.size(), 2U);
    EXPECT_EQ(two[0].address, "192.0.2.4");
}

TEST(ServiceCommandLine, TakesTheStateFolderAndTheGroup) {
    ServiceOptions options;
    std::string error;
    ASSERT_TRUE(ParseServiceOptions({}, options, error));
    EXPECT_EQ(options.controlGroup, "corvane");
    EXPECT_FALSE(options.stateDir.empty());
    ASSERT_TRUE(ParseServiceOptions({"--state-dir", "/srv/x", "--control-group=ops"}, options, error));
    EXPECT_EQ(options.stateDir, "/srv/x");
    EXPECT_EQ(options.controlGroup, "ops");
    ASSERT_TRUE(ParseServiceOptions({"--help"}, options, error));
    EXPECT_TRUE(options.help);
    EXPECT_FALSE(ParseServiceOptions({"--state-dir"}, options, error));
    EXPECT_FALSE(ParseServiceOptions({"--state-dir="}, options, error));
    EXPECT_FALSE(ParseServiceOptions({"--verbose"}, options, error));
    EXPECT_NE(ServiceUsage().find("--control-group"), std::string::npos);
}

TEST(AccessRule, RootTheServiceItselfAndTheGroupsMembers) {
    EXPECT_TRUE(MayControl(0, {}, std::nullopt, 990));
    EXPECT_TRUE(MayControl(990, {}, std::nullopt, 990));
    EXPECT_TRUE(MayControl(1000, {27, 1234}, 1234, 990));
    EXPECT_FALSE(MayControl(1000, {27}, 1234, 990));
    // Without the group only root and the service itself.
    EXPECT_FALSE(MayControl(1000, {1234}, std::nullopt, 990));
    EXPECT_EQ(ResolveGroup("root"), std::optional<gid_t>(0));
    EXPECT_FALSE(ResolveGroup("no-such-group-here-at-all"));
}

}  // namespace
}  // namespace corvane::service
