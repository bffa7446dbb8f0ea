// Downloads into the user's download folder or a private anonymous file, and the update check, through
// the real transfer component and a scripted server: progress titles, whole-or-nothing files, the
// download folder's rules, definitions handed to the service only whole, the check's labels, running
// texts and questions.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTimer>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "loopback_http_server.h"
#include "platform/inet.h"
#include "update/download_folder.h"
#include "update/file_download.h"
#include "update/program_version.h"
#include "update/update_addresses.h"
#include "update/update_check.h"
#include "update_test_support.h"

namespace corvane::update {
namespace {

namespace fs = std::filesystem;
using corvane::testing::LoopbackHttpServer;
using corvane::testing::PatternBody;
using corvane::testing::ReadFile;
using corvane::testing::RecordingHost;
using corvane::testing::ScratchFolder;
using corvane::testing::ScriptedReply;
using corvane::testing::WriteFile;

constexpr uid_t kOtherUser = 65534;  // nobody

std::vector<std::string> Titles(std::initializer_list<int> percents) {
    std::vector<std::string> titles;
    for (int percent : percents) titles.push_back("Online Updater - " + std::to_string(percent) + "%");
    return titles;
}

mode_t ModeOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

std::vector<std::string> NamesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string UserName() {
    const passwd* user = ::getpwuid(::geteuid());
    return user != nullptr ? user->pw_name : std::to_string(::geteuid());
}

class DownloadTest : public ::testing::Test {
protected:
    // What the check does for one file: name, size query, GET and wait.
    bool Download(const std::string& path, const std::string& file = "RIZezez.exe") {
        download.DownloadFile = file;
        download.DownloadSize = std::to_string(download.GetFileSize(server.Url(path)));
        return download.Fetch(server.Url(path));
    }

    ScratchFolder folder;
    // Where the user's desktop keeps downloads below the test's root.
    fs::path downloads = folder.path() / "home" / UserName() / "Downloads";
    LoopbackHttpServer server;
    std::unique_ptr<platform::Inet> inet = platform::CreateInet();
    RecordingHost host;
    FileDownload download{*inet, host, downloads.string()};
};

TEST_F(DownloadTest, TitleFollowsTheChunksAndSays100OnlyOnceTheFileIsWritten) {
    const std::string body = PatternBody(2500);
    server.Route("/cv/RIZezez.exe", ScriptedReply::Ok(body));
    ASSERT_TRUE(Download("/cv/RIZezez.exe")) << download.Failure();
    EXPECT_EQ(download.DownloadSize, "2500");
    // 1024, 1024 and 452 bytes, then the empty chunk; the file is in place before the title says 100.
    EXPECT_EQ(host.titles, Titles({41, 82, 99, 99, 100}));
    EXPECT_EQ(ReadFile((downloads / "RIZezez.exe").string()), body);
    EXPECT_EQ(ModeOf(downloads / "RIZezez.exe"), 0700u);

    // 8192 bytes: 12.5 % goes down to 12, 37.5 % up to 38, 62.5 % down to 62, 87.5 % up to 88.
    host.titles.clear();
    server.Route("/even", ScriptedReply::Ok(PatternBody(8192, 2)));
    ASSERT_TRUE(Download("/even"));
    EXPECT_EQ(host.titles, Titles({12, 25, 38, 50, 62, 75, 88, 99, 99, 100}));

    // Nothing announced the size at all: whole as far as anyone can tell, at 0 % until written.
    ScriptedReply unannounced = ScriptedReply::Ok(PatternBody(3000, 3));
    unannounced.omitLength = true;
    server.Route("/unannounced", unannounced);
    host.titles.clear();
    ASSERT_TRUE(Download("/unannounced"));
    EXPECT_EQ(download.DownloadSize, "-1");
    EXPECT_EQ(host.titles, Titles({0, 0, 0, 0, 100}));
    EXPECT_EQ(ReadFile((downloads / "RIZezez.exe").string()), unannounced.body);

    EXPECT_EQ(DownloadPercent(1, "-1"), 0);
    EXPECT_EQ(DownloadPercent(1, "x"), 0);
    EXPECT_EQ(DownloadPercent(199, "200"), 100);  // 99.5 rounds to the even 100
    EXPECT_EQ(DownloadPercent(197, "200"), 98);   // 98.5 rounds to the even 98
}

TEST_F(DownloadTest, AnythingButTheWholeAnnouncedBodyLeavesTheOldFileAndNoPartialFile) {
    const std::string old = "the setup program downloaded before";
    const std::string definitions = "V002\r\n192.0.2.77\r\n198.51.100.23\r\n203.0.113.9\r\n";
    // The size query announces the whole file; an old server then sends it without a length and the
    // connection ends after 21 bytes.
    ScriptedReply cutUnannounced = ScriptedReply::Ok(definitions);
    cutUnannounced.lengthOnlyOnHead = true;
    cutUnannounced.protocol = "HTTP/1.0";
    cutUnannounced.cutAfter = 21;
    ScriptedReply moreThanAnnounced = ScriptedReply::Ok(PatternBody(2500));
    moreThanAnnounced.lengthOnlyOnHead = true;
    moreThanAnnounced.announced = 2000;
    ScriptedReply wrongLength = ScriptedReply::Ok(PatternBody(2000));
    wrongLength.announced = 4000;
    wrongLength.cutAfter = 2000;
    ScriptedReply cut = ScriptedReply::Ok(PatternBody(6000));
    cut.cutAfter = 2500;
    ScriptedReply reset = ScriptedReply::Ok(PatternBody(6000));
    reset.cutAfter = 3000;
    reset.resetAtCut = true;
    server.Route("/cut-unannounced", cutUnannounced);
    server.Route("/more", moreThanAnnounced);
    server.Route("/404", ScriptedReply::Status(404));
    server.Route("/500", ScriptedReply::Status(500, "V999\r\n"));
    server.Route("/wrong-length", wrongLength);
    server.Route("/cut", cut);
    server.Route("/reset", reset);
    server.Route("/loop", ScriptedReply::Redirect("/loop"));
    fs::create_directories(downloads);
    for (const char* path : {"/cut-unannounced", "/more", "/404", "/500", "/wrong-length", "/cut", "/reset", "/loop"}) {
        SCOPED_TRACE(path);
        WriteFile((downloads / "RIZezez.exe").string(), old);
        host.titles.clear();
        EXPECT_FALSE(Download(path));
        EXPECT_FALSE(download.Failure().empty());
        EXPECT_FALSE(download.FolderRefused());
        EXPECT_EQ(ReadFile((downloads / "RIZezez.exe").string()), old);
        // The title never claims the whole file, and ends saying it failed.
        EXPECT_EQ(std::count(host.titles.begin(), host.titles.end(), "Online Updater - 100%"), 0);
        ASSERT_FALSE(host.titles.empty());
        EXPECT_EQ(host.titles.back(), kTitleFailed);
        EXPECT_EQ(NamesIn(downloads), std::vector<std::string>{"RIZezez.exe"});
    }

    // The same cut body into a private file: not finished, so nothing could be handed on.
    PrivateFile file;
    download.DownloadSize = std::to_string(download.GetFileSize(server.Url("/cut-unannounced")));
    EXPECT_EQ(download.DownloadSize, std::to_string(definitions.size()));
    EXPECT_FALSE(download.FetchPrivate(server.Url("/cut-unannounced"), file));
    EXPECT_FALSE(file.Finished());
    EXPECT_NE(download.Failure().find("announced"), std::string::npos) << download.Failure();
}

TEST_F(DownloadTest, TheFolderIsMadePrivateAndOnlyAFolderNoOtherUserCanChangeIsWritten) {
    server.Route("/cv/RIZezez.exe", ScriptedReply::Ok(PatternBody(1500)));
    // Missing: made with the user's private rights, parents included.
    download.SetFolder((downloads / "nested").string());
    ASSERT_TRUE(Download("/cv/RIZezez.exe")) << download.Failure();
    EXPECT_EQ(ModeOf(downloads), 0700u);
    EXPECT_EQ(ModeOf(downloads / "nested"), 0700u);
    EXPECT_EQ(ModeOf(downloads / "nested" / "RIZezez.exe"), 0700u);

    // A link planted in the file's place is replaced, never written through.
    download.SetFolder(downloads.string());
    const fs::path victim = folder.path() / "victim";
    WriteFile(victim.string(), "keep");
    fs::create_symlink(victim, downloads / "RIZezez.exe");
    ASSERT_TRUE(Download("/cv/RIZezez.exe")) << download.Failure();
    EXPECT_EQ(ReadFile(victim.string()), "keep");
    EXPECT_FALSE(fs::is_symlink(downloads / "RIZezez.exe"));
    EXPECT_EQ(ReadFile((downloads / "RIZezez.exe").string()).size(), 1500u);

    // Folders another user can change are refused before any request.
    const fs::path open = folder.path() / "open";
    const fs::path sticky = folder.path() / "sticky";
    const fs::path foreign = folder.path() / "foreign";
    const fs::path linkHolder = folder.path() / "link-holder";
    for (const fs::path& made : {open, sticky, foreign, linkHolder}) fs::create_directory(made);
    ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
    ASSERT_EQ(::chown(foreign.c_str(), kOtherUser, kOtherUser), 0);
    ASSERT_EQ(::chmod(linkHolder.c_str(), 0777), 0);
    fs::create_symlink(downloads, linkHolder / "Downloads");
    const std::size_t gets = server.Count("GET", "/cv/RIZezez.exe");
    for (const fs::path& refused : {open, foreign, linkHolder / "Downloads"}) {
        SCOPED_TRACE(refused.string());
        download.SetFolder(refused.string());
        EXPECT_FALSE(Download("/cv/RIZezez.exe"));
        EXPECT_TRUE(download.FolderRefused());
        EXPECT_FALSE(download.Failure().empty());
    }
    EXPECT_EQ(server.Count("GET", "/cv/RIZezez.exe"), gets);
    EXPECT_TRUE(fs::is_empty(open));
    EXPECT_TRUE(fs::is_empty(foreign));

    // The sticky bit keeps others from the user's files; a link the user placed in a private folder
    // is followed.
    download.SetFolder(sticky.string());
    EXPECT_TRUE(Download("/cv/RIZezez.exe")) << download.Failure();
    ASSERT_EQ(::chmod(linkHolder.c_str(), 0700), 0);
    download.SetFolder((linkHolder / "Downloads").string());
    EXPECT_TRUE(Download("/cv/RIZezez.exe")) << download.Failure();
}

TEST(DownloadFolderTest, TheEnvironmentThenUserDirsThenHomeDownloadsNameTheFolder) {
    ScratchFolder folder;
    const std::string home = (folder.path() / "home").string();
    const std::string config = (folder.path() / "config").string();
    fs::create_directories(config);
    EXPECT_EQ(DownloadFolderPath({"", home, config}), home + "/Downloads");
    EXPECT_EQ(DownloadFolderPath({"/srv/dl/", home, config}), "/srv/dl");
    // Only an absolute path counts from the environment.
    EXPECT_EQ(DownloadFolderPath({"relative/dl", home, config}), home + "/Downloads");

    WriteFile(config + "/user-dirs.dirs",
              "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
              "XDG_DOWNLOAD_DIR=\"$HOME/T\\\"l\\\\chargements\"\n");
    EXPECT_EQ(DownloadFolderPath({"", home, config}), home + "/T\"l\\chargements");
    EXPECT_EQ(DownloadFolderPath({"/srv/dl", home, config}), "/srv/dl");
    WriteFile(config + "/user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"/data/incoming\"\n");
    EXPECT_EQ(DownloadFolderPath({"", home, config}), "/data/incoming");
    // The home folder itself means "none"; a relative or unterminated value is no folder either.
    for (const char* line :
         {"XDG_DOWNLOAD_DIR=\"$HOME/\"\n", "XDG_DOWNLOAD_DIR=\"incoming\"\n", "XDG_DOWNLOAD_DIR=\"$HOME/open\n"}) {
        WriteFile(config + "/user-dirs.dirs", line);
        EXPECT_EQ(DownloadFolderPath({"", home, config}), home + "/Downloads") << line;
    }
}

TEST(VersionTest, TheProgramIsTheBuildsVersionAndProgramVersionsCompareAsNumbers) {
    EXPECT_EQ(ProgramVersionText(), CORVANE_BUILD_VERSION);
    EXPECT_EQ(ProgramVersionIsNewer("1.1.10\r\n", "1.1.9"), true);
    EXPECT_EQ(ProgramVersionIsNewer(" 1.2 \n", "1.1.53"), true);
    EXPECT_EQ(ProgramVersionIsNewer("1.1.0", "1.1.0"), false);
    EXPECT_EQ(ProgramVersionIsNewer("1.1", "1.1.0"), false);
    EXPECT_EQ(ProgramVersionIsNewer("1.0.99", "1.1.0"), false);
    EXPECT_EQ(ProgramVersionIsNewer("2", "1.9.9.9"), true);
    for (const char* notAVersion : {"", "<html>", "1..2", "1.2.", "v1.2", "1.2.3.4.5", "99999999"})
        EXPECT_EQ(ProgramVersionIsNewer(notAVersion, "1.1.0"), std::nullopt) << notAVersion;
    // Definitions versions are numbers of up to three digits, compared as numbers; one that is no
    // number (a planted "~~~" that sorts after every digit, an error page) is never "up to date".
    EXPECT_EQ(ServerVersionIsNewer("105\r\n", kDefinitionsVersionLength, "104"), true);
    EXPECT_EQ(ServerVersionIsNewer("105", kDefinitionsVersionLength, "105"), false);
    EXPECT_EQ(ServerVersionIsNewer("99", kDefinitionsVersionLength, "100"), false);
    EXPECT_EQ(ServerVersionIsNewer("1", kDefinitionsVersionLength, ""), true);
    EXPECT_EQ(ServerVersionIsNewer("200", kDefinitionsVersionLength, "~~~"), true);
    for (const char* notAVersion : {"", "~~~", "<ht", "1 2", "-12"})
        EXPECT_EQ(ServerVersionIsNewer(notAVersion, kDefinitionsVersionLength, "104"), std::nullopt) << notAVersion;
}

TEST(AddressTest, TheServersBaseGivesTheAddressesAndNoneIsTheVendors) {
    const UpdateAddresses fallback = AddressesFor("");
    EXPECT_EQ(fallback.base, "https://updates.corvane.example/");
    EXPECT_EQ(fallback.Installer(), "https://updates.corvane.example/cv/RIZezez.exe");
    EXPECT_EQ(fallback.HelpPage(), "https://updates.corvane.example/cv/help.php");
    const UpdateAddresses mirror = AddressesFor("http://mirror.example.net/corvane");
    EXPECT_EQ(mirror.DefinitionsVersion(), "http://mirror.example.net/corvane/cv/defver");
    EXPECT_EQ(mirror.Definitions(), "http://mirror.example.net/corvane/cv/qd.def");
    EXPECT_EQ(mirror.ProgramVersion(), "http://mirror.example.net/corvane/cv/mainver");
    for (const char* url : {"https://updates.corvane.example/cv/RIZezez.exe", "http://127.0.0.1:8080/x",
                            "http://localhost/x", "http://[::1]:80/x", "HTTP://127.9.9.9/x"})
        EXPECT_TRUE(MayStartProgramFrom(url)) << url;
    for (const char* url : {"http://updates.corvane.example/x", "http://127.0.0.1@evil.example/x",
                            "http://127.0.0.1.evil.example/x", "ftp://127.0.0.1/x", "http://10.0.0.1/x", "127.0.0.1"})
        EXPECT_FALSE(MayStartProgramFrom(url)) << url;
}

class UpdateCheckTest : public DownloadTest {
protected:
    void SetUp() override {
        server.Route("/cv/defver", ScriptedReply::Ok("105\r\n"));
        server.Route("/cv/qd.def", ScriptedReply::Ok(kFresh));
        server.Route("/cv/mainver", ScriptedReply::Ok(std::string(ProgramVersionText()) + "\r\n"));
    }
    void Check(RecordingHost& on, const std::string& defsVersion = "104", const std::string& base = {}) {
        FileDownload fresh(*inet, on, {});
        UpdateCheck check(*inet, on, fresh, AddressesFor(base.empty() ? server.Base() : base), defsVersion,
                          std::string(ProgramVersionText()));
        check.Run();
        EXPECT_FALSE(check.Running());
    }
    static constexpr char kFresh[] = "V105\r\n10.0.0.5\r\n";
};

TEST_F(UpdateCheckTest, NewerDefinitionsGoToTheServiceWholeAndSealedAndEqualOnesAreLeftAlone) {
    Check(host);
    EXPECT_EQ(host.lblDefs, kDefinitionsUpdated);
    EXPECT_EQ(host.lblMain, kProgramUpToDate);
    EXPECT_EQ(host.lblStat, kCheckFinished);
    // Each request said while it ran.
    EXPECT_EQ(host.statHistory,
              (std::vector<std::string>{kCheckingDefinitionsVersion, kDownloadingDefinitions, kInstallingDefinitions,
                                        kCheckingProgramVersion, kCheckFinished}));
    EXPECT_EQ(host.titles, Titles({99, 99, 100}));
    // The whole body, from its start, in a file nobody can change any more; the service's check took it.
    ASSERT_EQ(host.installed.size(), 1u);
    EXPECT_EQ(host.installed[0], kFresh);
    EXPECT_TRUE(host.refusals.empty());
    EXPECT_EQ(host.installedOffsets[0], 0);
    constexpr int kSealed = F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL;
    EXPECT_EQ(host.installedSeals[0] & kSealed, kSealed);
    // No file anywhere in the test's root.
    EXPECT_EQ(folder.Names(), std::vector<std::string>{});

    RecordingHost equal;
    Check(equal, "105");
    EXPECT_EQ(equal.lblDefs, kDefinitionsUpToDate);
    EXPECT_TRUE(equal.installed.empty());
    EXPECT_EQ(server.Count("GET", "/cv/qd.def"), 1u);

    // The service refuses what its check passed (it could not store it): an error, not an update.
    RecordingHost refused;
    refused.installAccepted = false;
    Check(refused);
    ASSERT_EQ(refused.installed.size(), 1u);
    EXPECT_EQ(refused.lblDefs, kDefinitionsFailed);
    EXPECT_EQ(refused.lblDefsDetail, "the definitions could not be stored: no space left on device");
    EXPECT_EQ(refused.lblStat, kErrorDownloading);
    EXPECT_NE(refused.titles.back(), "Online Updater - 100%");
    // The next check starts without the old reason.
    refused.installAccepted = true;
    Check(refused);
    EXPECT_EQ(refused.lblDefs, kDefinitionsUpdated);
    EXPECT_EQ(refused.lblDefsDetail, "");
}

TEST_F(UpdateCheckTest, BadDefinitionBodiesNeverReplaceTheDefinitionsAndTheErrorOutlivesTheProgramHalf) {
    struct Case {
        const char* name;
        ScriptedReply reply;
        bool handedOn;  // whole as transferred, so only the service's check can tell
    };
    ScriptedReply cut = ScriptedReply::Ok("V002\r\n192.0.2.77\r\n198.51.100.23\r\n203.0.113.9\r\n");
    cut.lengthOnlyOnHead = true;
    cut.protocol = "HTTP/1.0";
    cut.cutAfter = 21;
    const std::vector<Case> cases = {
        {"cut with the size announced", cut, false},
        {"empty", ScriptedReply::Ok(""), false},
        {"an error page", ScriptedReply::Ok("<!DOCTYPE html>\r\n<html><body>Not Found</body></html>\r\n"), true},
        {"LF line ends", ScriptedReply::Ok("V105\n192.0.2.77\n198.51.100.23\n"), true},
        {"last line cut", ScriptedReply::Ok("V105\r\n192.0.2.77\r\n198.51.1"), true},
    };
    for (const Case& bad : cases) {
        SCOPED_TRACE(bad.name);
        server.Route("/cv/qd.def", bad.reply);
        RecordingHost on;
        Check(on);
        if (bad.handedOn) {
            ASSERT_EQ(on.installed.size(), 1u);
            EXPECT_EQ(on.installed[0], bad.reply.body);
            EXPECT_EQ(on.refusals.size(), 1u);
        } else {
            EXPECT_TRUE(on.installed.empty());
        }
        EXPECT_EQ(on.lblDefs, kDefinitionsFailed);
        // The program half ran after it and kept its own outcome apart.
        EXPECT_EQ(on.lblMain, kProgramUpToDate);
        EXPECT_EQ(on.lblStat, kErrorDownloading);
        EXPECT_EQ(std::count(on.titles.begin(), on.titles.end(), "Online Updater - 100%"), 0);
        EXPECT_EQ(on.titles.back(), kTitleFailed);
    }
}

TEST_F(UpdateCheckTest, TheSetupProgramLandsPrivateInTheUsersDownloadFolderAndStartsFromThere) {
    server.Route("/cv/mainver", ScriptedReply::Ok("99.0"));
    server.Route("/cv/RIZezez.exe", ScriptedReply::Ok(PatternBody(1200)));
    // No to the download: the size was asked first, nothing was fetched or made.
    Check(host, "105");
    ASSERT_EQ(host.questions.size(), 1u);
    EXPECT_EQ(host.questions[0], "Update Exists: Do you want to download the update?");
    EXPECT_EQ(host.lblMain, kProgramUpdateLater);
    EXPECT_EQ(server.Count("HEAD", "/cv/RIZezez.exe"), 1u);
    EXPECT_EQ(server.Count("GET", "/cv/RIZezez.exe"), 0u);
    EXPECT_FALSE(fs::exists(downloads));

    // Yes, and yes to the install; a link planted in the file's place is not followed.
    fs::create_directories(downloads);
    const fs::path victim = folder.path() / "victim";
    WriteFile(victim.string(), "keep");
    fs::create_symlink(victim, downloads / "RIZezez.exe");
    RecordingHost yes;
    yes.answer = [](const std::string&) { return true; };
    Check(yes, "105");
    ASSERT_EQ(yes.questions.size(), 2u);
    EXPECT_EQ(yes.questions[1], "Install: Please exit Corvane before install the update. Exit Now?");
    EXPECT_EQ(yes.started, std::vector<std::string>{(downloads / "RIZezez.exe").string()});
    EXPECT_TRUE(yes.ended);
    EXPECT_EQ(yes.lblMain, kProgramStarted);
    EXPECT_EQ(ReadFile(victim.string()), "keep");
    EXPECT_FALSE(fs::is_symlink(downloads / "RIZezez.exe"));
    EXPECT_EQ(ModeOf(downloads / "RIZezez.exe"), 0700u);
    EXPECT_EQ(ReadFile((downloads / "RIZezez.exe").string()), PatternBody(1200));
    // Nothing beside it, nothing in the program's folder.
    EXPECT_EQ(NamesIn(downloads), std::vector<std::string>{"RIZezez.exe"});
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"victim"});

    // A start that fails keeps the program running and says why; a download folder another user
    // can change is refused, and the definitions' outcome stays.
    RecordingHost failing;
    failing.answer = [](const std::string&) { return true; };
    failing.startResult = platform::ShellResult{5, 5, "permission denied"};
    Check(failing, "105");
    EXPECT_FALSE(failing.ended);
    EXPECT_EQ(failing.lblMain, std::string(kProgramStartFailed) + "permission denied");
    EXPECT_EQ(failing.lblStat, kErrorDownloading);
    ASSERT_EQ(::chown(downloads.c_str(), kOtherUser, kOtherUser), 0);
    RecordingHost foreign;
    foreign.answer = [](const std::string&) { return true; };
    Check(foreign);
    EXPECT_EQ(foreign.lblDefs, kDefinitionsUpdated);
    EXPECT_EQ(foreign.lblMain, kProgramFolderRefused);
    EXPECT_TRUE(foreign.started.empty());
}

TEST_F(UpdateCheckTest, PartialDownloadsAKilledCheckLeftAreGoneAfterTheNextCheck) {
    fs::create_directories(downloads);
    ASSERT_EQ(::chmod(downloads.c_str(), 0700), 0);
    const fs::path stale = downloads / ".RIZezez.exe.part-Ab12Cd";
    const fs::path othersFile = downloads / ".RIZezez.exe.part-Zz99Yy";
    const fs::path unrelated = downloads / "notes.txt";
    const fs::path staleFolder = downloads / ".RIZezez.exe.part-folder";
    WriteFile(stale.string(), PatternBody(700));
    WriteFile(othersFile.string(), "not ours");
    WriteFile(unrelated.string(), "keep");
    fs::create_directory(staleFolder);
    ASSERT_EQ(::chown(othersFile.c_str(), kOtherUser, kOtherUser), 0);
    Check(host, "105");
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(othersFile));
    EXPECT_TRUE(fs::exists(unrelated));
    EXPECT_TRUE(fs::exists(staleFolder));
}

TEST_F(UpdateCheckTest, ASetupProgramFromAnotherHostOverPlainHttpIsSavedButNeverStarted) {
    // The server plays a proxy, so the file seems to come from a machine on the network.
    server.Route("/cv/mainver", ScriptedReply::Ok("99.0"));
    server.Route("/cv/RIZezez.exe", ScriptedReply::Ok(PatternBody(1500)));
    ::setenv("http_proxy", ("127.0.0.1:" + std::to_string(server.Port())).c_str(), 1);
    host.answer = [](const std::string&) { return true; };
    Check(host, "105", "http://updates.corvane.example/");
    ::unsetenv("http_proxy");
    EXPECT_EQ(server.Requests().back().target, "http://updates.corvane.example/cv/RIZezez.exe");
    EXPECT_EQ(host.questions.size(), 1u);
    EXPECT_TRUE(host.started.empty());
    EXPECT_FALSE(host.ended);
    EXPECT_EQ(host.lblMain, kProgramNotStartedUnsafe);
}

TEST_F(UpdateCheckTest, AnUnreachableOrFailingServerIsReportedInEachHalfAndNeverUpToDate) {
    std::string closedBase;
    {
        LoopbackHttpServer gone;
        closedBase = gone.Base();
    }
    Check(host, "104", closedBase);
    EXPECT_EQ(host.lblStat, kErrorDownloading);
    EXPECT_EQ(host.lblDefs, kDefinitionsFailed);
    EXPECT_EQ(host.lblMain, kProgramFailed);

    // The version files answer, the definitions do not; a program version that is no version.
    server.Route("/cv/qd.def", ScriptedReply::Status(500));
    server.Route("/cv/mainver", ScriptedReply::Ok("<html>maintenance</html>"));
    RecordingHost failing;
    Check(failing);
    EXPECT_EQ(failing.lblDefs, kDefinitionsFailed);
    EXPECT_EQ(failing.lblMain, kProgramFailed);
    EXPECT_EQ(failing.lblStat, kErrorDownloading);
    EXPECT_TRUE(failing.installed.empty());
}

TEST_F(UpdateCheckTest, TheRunningRequestShowsWhileTheServerIsSilent) {
    struct Stage {
        const char* path;
        const char* method;
        std::string shown;
        std::string defsShown;
    };
    std::vector<Stage> stages = {
        {"/cv/defver", "GET", {}, {}}, {"/cv/qd.def", "HEAD", {}, {}}, {"/cv/mainver", "GET", {}, {}}};
    for (Stage& stage : stages) {
        SCOPED_TRACE(stage.path);
        LoopbackHttpServer silent;
        silent.Route("/cv/defver", ScriptedReply::Ok(std::string(stage.path) == "/cv/mainver" ? "104" : "105"));
        silent.Route("/cv/qd.def", ScriptedReply::Ok(kFresh));
        ScriptedReply nothing;
        nothing.silent = true;
        silent.Route(stage.path, nothing);
        RecordingHost on;
        FileDownload fresh(*inet, on, {});
        UpdateCheck check(*inet, on, fresh, AddressesFor(silent.Base()), "104", std::string(ProgramVersionText()));
        // Once the request has reached the server, the window is looked at, and then closed.
        std::function<void()> lookWhenAsked = [&] {
            if (silent.Count(stage.method, stage.path) == 0) {
                QTimer::singleShot(5, lookWhenAsked);
                return;
            }
            stage.shown = on.lblStat;
            stage.defsShown = on.lblDefs;
            fresh.Cancel();
        };
        QTimer::singleShot(0, lookWhenAsked);
        check.Run();
        EXPECT_FALSE(check.Running());
    }
    EXPECT_EQ(stages[0].shown, kCheckingDefinitionsVersion);
    EXPECT_EQ(stages[0].defsShown, kDefinitionsLabel);
    EXPECT_EQ(stages[1].shown, kDownloadingDefinitions);
    EXPECT_EQ(stages[2].shown, kCheckingProgramVersion);
    // The first half's outcome is already there while the second runs.
    EXPECT_EQ(stages[2].defsShown, kDefinitionsUpToDate);
}

}  // namespace
}  // namespace corvane::update
