// Whole-or-nothing file replacement, and starting programs and pages through the shell.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTest>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/shell.h"
#include "platform/win32_error.h"
#include "update/private_file.h"
#include "update/replacement_file.h"
#include "update_test_support.h"

namespace corvane::update {
namespace {

using corvane::testing::ReadFile;
using corvane::testing::ScratchFolder;
using corvane::testing::WriteFile;

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

mode_t ModeOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0);
    return status.st_mode & 07777;
}

TEST(ReplacementFileTest, TargetChangesOnlyAtCommitAndKeepsItsMode) {
    ScratchFolder folder;
    const std::string target = folder.File("qd.def");
    WriteFile(target, "V104\r\nold old old old\r\n");
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    {
        ReplacementFile file(target);
        ASSERT_TRUE(file.Ok());
        EXPECT_TRUE(file.Append(Bytes("V105\r\n")));
        // Written but not committed: the old file is all anyone sees, and the new one is private.
        EXPECT_EQ(ReadFile(target), "V104\r\nold old old old\r\n");
        EXPECT_EQ(ModeOf(file.TemporaryPath()), 0600u);
    }
    EXPECT_EQ(ReadFile(target), "V104\r\nold old old old\r\n");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"qd.def"});

    ReplacementFile file(target);
    const std::string large(200 * 1024, 'x');  // more than the write buffer holds
    EXPECT_TRUE(file.Append(Bytes("V105\r\n")));
    EXPECT_TRUE(file.Append(Bytes(large)));
    ASSERT_TRUE(file.Commit());
    EXPECT_EQ(ReadFile(target), "V105\r\n" + large);
    EXPECT_EQ(ModeOf(target), 0640u);
    EXPECT_FALSE(file.Append(Bytes("late")));

    // A new file is readable by all, writable by its owner.
    ReplacementFile fresh(folder.File("new.bin"));
    ASSERT_TRUE(fresh.Commit());
    EXPECT_EQ(ModeOf(folder.File("new.bin")), 0644u);

    // A link in a folder that others may write to is replaced, never followed.
    const std::filesystem::path shared = folder.File("shared");
    std::filesystem::create_directory(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    WriteFile(folder.File("elsewhere"), "keep");
    std::filesystem::create_symlink(folder.File("elsewhere"), shared / "linked");
    ReplacementFile overLink((shared / "linked").string());
    EXPECT_TRUE(overLink.Append(Bytes("new")));
    ASSERT_TRUE(overLink.Commit());
    EXPECT_EQ(ReadFile(folder.File("elsewhere")), "keep");
    EXPECT_FALSE(std::filesystem::is_symlink(shared / "linked"));
    EXPECT_EQ(ReadFile((shared / "linked").string()), "new");

    // The installed layout: a link beside the program, in a folder only its owner writes, to the
    // definitions in a data folder. The data file is replaced there, and the link stays.
    const std::filesystem::path program = folder.File("program");
    const std::filesystem::path data = folder.File("data");
    std::filesystem::create_directory(program);
    std::filesystem::create_directory(data);
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
    WriteFile((data / "qd.def").string(), "V104\r\n");
    ASSERT_EQ(::chmod((data / "qd.def").c_str(), 0664), 0);
    std::filesystem::create_symlink(data / "qd.def", program / "qd.def");
    ReplacementFile throughLink((program / "qd.def").string());
    EXPECT_TRUE(throughLink.Append(Bytes("V105\r\n")));
    ASSERT_TRUE(throughLink.Commit());
    EXPECT_TRUE(std::filesystem::is_symlink(program / "qd.def"));
    EXPECT_EQ(ReadFile((data / "qd.def").string()), "V105\r\n");
    EXPECT_EQ(ModeOf((data / "qd.def").string()), 0664u);

    ReplacementFile nowhere(folder.File("missing-folder/qd.def"));
    EXPECT_FALSE(nowhere.Ok());
    EXPECT_FALSE(nowhere.Commit());
}

TEST(PrivateFileTest, FinishedFileReadsWholeFromItsStartAndNobodyCanChangeIt) {
    ScratchFolder folder;
    PrivateFile file;
    ASSERT_TRUE(file.Ok()) << file.Error();
    const std::string large(200 * 1024, 'y');
    EXPECT_TRUE(file.Append(Bytes("V105\r\n")));
    EXPECT_TRUE(file.Append(Bytes(large)));
    EXPECT_EQ(file.Size(), static_cast<std::int64_t>(6 + large.size()));
    EXPECT_NE(::fcntl(file.Fd(), F_GETFD) & FD_CLOEXEC, 0) << "not inherited by programs the window starts";
    ASSERT_TRUE(file.Finish());
    EXPECT_FALSE(file.Append(Bytes("late")));
    EXPECT_FALSE(file.Finish());

    // Whoever holds the descriptor reads exactly what was downloaded, from the start.
    std::string read;
    char buffer[65536];
    for (ssize_t got; (got = ::read(file.Fd(), buffer, sizeof buffer)) > 0;) read.append(buffer, got);
    EXPECT_EQ(read, "V105\r\n" + large);
    // A write, a truncation or a new seal through any descriptor of it is refused.
    EXPECT_EQ(::pwrite(file.Fd(), "X", 1, 0), -1);
    EXPECT_NE(::ftruncate(file.Fd(), 1), 0);
    EXPECT_NE(::fcntl(file.Fd(), F_ADD_SEALS, F_SEAL_FUTURE_WRITE), 0);
    // And it never had a name in any folder.
    EXPECT_TRUE(folder.Names().empty());
}

TEST(ShellTest, StartProgramRunsTheOwnersRegularFileAndRefusesLinksAndMissingFiles) {
    ScratchFolder folder;
    const std::string setup = folder.File("RIZezez.exe");
    const std::string mark = folder.File("ran");
    WriteFile(setup, "#!/bin/sh\necho \"$PWD\" > '" + mark + "'\n");
    ASSERT_EQ(::chmod(setup.c_str(), 0644), 0);
    const platform::ShellResult started = platform::StartProgram(0, setup);
    EXPECT_TRUE(started.Succeeded()) << started.description;
    EXPECT_TRUE(QTest::qWaitFor([&] { return std::filesystem::exists(mark); }, 5000));
    EXPECT_EQ(ModeOf(setup), 0744u);
    // It ran in its own folder.
    EXPECT_EQ(ReadFile(mark), folder.path().string() + "\n");

    std::filesystem::create_symlink(setup, folder.File("link.exe"));
    const platform::ShellResult linked = platform::StartProgram(0, folder.File("link.exe"));
    EXPECT_FALSE(linked.Succeeded());
    EXPECT_EQ(linked.error, platform::win32::kErrorAccessDenied);

    const platform::ShellResult missing = platform::StartProgram(0, folder.File("absent.exe"));
    EXPECT_FALSE(missing.Succeeded());
    EXPECT_EQ(missing.error, platform::win32::kErrorFileNotFound);
    EXPECT_FALSE(missing.description.empty());
}

TEST(ShellTest, OpenUrlHandsOnlyAddressesToTheDesktop) {
    for (const char* text : {"--help", "javascript:alert(1)", "", "/etc/passwd"}) {
        const platform::ShellResult result = platform::OpenUrl(0, text);
        EXPECT_FALSE(result.Succeeded()) << text;
        EXPECT_EQ(result.error, platform::win32::kErrorInvalidParameter) << text;
    }
}

}  // namespace
}  // namespace corvane::update
