// Whole-or-nothing downloaded files, and starting programs and pages through the shell.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTest>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/shell.h"
#include "platform/win32_error.h"
#include "update/download_folder.h"
#include "update/partial_file.h"
#include "update/private_file.h"
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

TEST(PartialFileTest, TheNameChangesOnlyAtCommitAndNothingIsLeftBehind) {
    ScratchFolder scratch;
    std::string why;
    const DownloadFolder folder = DownloadFolder::Open(scratch.path().string(), false, why);
    ASSERT_TRUE(folder.Valid()) << why;
    const std::string target = scratch.File("RIZezez.exe");
    WriteFile(target, "old program");
    {
        PartialFile file(folder, "RIZezez.exe", 0700);
        ASSERT_TRUE(file.Ok());
        EXPECT_TRUE(file.TemporaryName().starts_with(".RIZezez.exe.part-"));
        EXPECT_TRUE(file.Append(Bytes("new program")));
        // Written but not committed: the old file is all anyone sees, and the new one is private and
        // not yet a program.
        EXPECT_EQ(ReadFile(target), "old program");
        EXPECT_EQ(ModeOf(scratch.File(file.TemporaryName())), 0600u);
    }
    EXPECT_EQ(ReadFile(target), "old program");
    EXPECT_EQ(scratch.Names(), std::vector<std::string>{"RIZezez.exe"});

    PartialFile file(folder, "RIZezez.exe", 0700);
    const std::string large(200 * 1024, 'x');  // more than the write buffer holds
    EXPECT_TRUE(file.Append(Bytes("MZ")));
    EXPECT_TRUE(file.Append(Bytes(large)));
    ASSERT_TRUE(file.Commit());
    EXPECT_EQ(ReadFile(target), "MZ" + large);
    EXPECT_EQ(ModeOf(target), 0700u);
    EXPECT_FALSE(file.Append(Bytes("late")));
    EXPECT_EQ(scratch.Names(), std::vector<std::string>{"RIZezez.exe"});

    // A partial name already taken (even by a link) is never opened: another name is drawn.
    for (int i = 0; i < 3; ++i) {
        PartialFile another(folder, "RIZezez.exe", 0700);
        ASSERT_TRUE(another.Ok());
        std::filesystem::create_symlink(scratch.File("elsewhere"), scratch.File(another.TemporaryName() + "x"));
    }
    EXPECT_FALSE(std::filesystem::exists(scratch.File("elsewhere")));

    PartialFile nowhere(DownloadFolder{}, "RIZezez.exe", 0700);
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

// PATH set to a folder of the test's own for the object's lifetime.
class PrivatePath {
public:
    explicit PrivatePath(const std::filesystem::path& bin) {
        const char* path = std::getenv("PATH");
        if (path != nullptr) previous_ = path;
        ::setenv("PATH", bin.c_str(), 1);
    }
    ~PrivatePath() { ::setenv("PATH", previous_.c_str(), 1); }

private:
    std::string previous_;
};

TEST(ShellTest, OpenUrlHandsOnlyAddressesToTheDesktopAndTellsWhenTheOpenerGivesUp) {
    for (const char* text : {"--help", "javascript:alert(1)", "", "/etc/passwd"}) {
        const platform::ShellResult result = platform::OpenUrl(0, text);
        EXPECT_FALSE(result.Succeeded()) << text;
        EXPECT_EQ(result.error, platform::win32::kErrorInvalidParameter) << text;
    }

    // An opener that runs and finds no browser (exit status 3), and one that opens the page.
    ScratchFolder scratch;
    const std::filesystem::path bin = scratch.path() / "bin";
    std::filesystem::create_directory(bin);
    const std::string seen = scratch.File("seen");
    const PrivatePath path(bin);
    for (const int status : {3, 0}) {
        SCOPED_TRACE(status);
        WriteFile((bin / "xdg-open").string(),
                  "#!/bin/sh\nprintf '%s' \"$1\" > '" + seen + "'\nexit " + std::to_string(status) + "\n");
        ASSERT_EQ(::chmod((bin / "xdg-open").c_str(), 0700), 0);
        std::filesystem::remove(seen);
        std::vector<platform::ShellResult> later;
        const platform::ShellResult started =
            platform::OpenUrl(0, "http://127.0.0.1:9/cv/help.php",
                              [&later](const platform::ShellResult& failure) { later.push_back(failure); });
        EXPECT_TRUE(started.Succeeded()) << started.description;
        ASSERT_TRUE(QTest::qWaitFor([&] { return std::filesystem::exists(seen); }, 10000));
        EXPECT_EQ(ReadFile(seen), "http://127.0.0.1:9/cv/help.php");
        if (status == 0) {
            // Success says nothing; the opener is reaped all the same (no child is left).
            ASSERT_TRUE(QTest::qWaitFor(
                [] {
                    siginfo_t info{};
                    // WNOWAIT only looks: the opener is the watcher's to reap.
                    return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD;
                },
                10000));
            EXPECT_TRUE(later.empty());
        } else {
            ASSERT_TRUE(QTest::qWaitFor([&] { return !later.empty(); }, 10000));
            ASSERT_EQ(later.size(), 1u);
            EXPECT_FALSE(later[0].Succeeded());
            EXPECT_EQ(later[0].error, platform::win32::kErrorFileNotFound);
            EXPECT_NE(later[0].description.find("status 3"), std::string::npos) << later[0].description;
            EXPECT_NE(later[0].description.find("browser"), std::string::npos) << later[0].description;
        }
    }
}

}  // namespace
}  // namespace corvane::update
