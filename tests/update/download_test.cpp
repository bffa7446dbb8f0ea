// Downloads into the program folder or a private anonymous file, and the update check, through the real
// transfer component and a scripted server: progress titles, whole-or-nothing files, definitions handed
// to the service and never written to a folder, the check's labels and questions.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "loopback_http_server.h"
#include "platform/inet.h"
#include "update/file_download.h"
#include "update/program_version.h"
#include "update/update_addresses.h"
#include "update/update_check.h"
#include "update_test_support.h"

namespace corvane::update {
namespace {

using corvane::testing::LoopbackHttpServer;
using corvane::testing::PatternBody;
using corvane::testing::ReadFile;
using corvane::testing::RecordingHost;
using corvane::testing::ScratchFolder;
using corvane::testing::ScriptedReply;
using corvane::testing::WriteFile;

std::vector<std::string> Titles(std::initializer_list<int> percents) {
    std::vector<std::string> titles;
    for (int percent : percents) titles.push_back("Online Updater - " + std::to_string(percent) + "%");
    return titles;
}

class DownloadTest : public ::testing::Test {
protected:
    // What Part of the check does for one file: name, size query, GET and wait.
    bool Download(const std::string& path, const std::string& file = "qd.def") {
        download.DownloadFile = file;
        download.DownloadSize = std::to_string(download.GetFileSize(server.Url(path)));
        return download.Fetch(server.Url(path));
    }

    ScratchFolder folder;
    LoopbackHttpServer server;
    std::unique_ptr<platform::Inet> inet = platform::CreateInet();
    RecordingHost host;
    FileDownload download{*inet, host, folder.path().string()};
};

TEST_F(DownloadTest, TitleFollowsTheChunksWithHalvesRoundedToEven) {
    const std::string body = PatternBody(2500);
    server.Route("/cv/qd.def", ScriptedReply::Ok(body));
    ASSERT_TRUE(Download("/cv/qd.def"));
    EXPECT_EQ(download.DownloadSize, "2500");
    // 1024, 1024 and 452 bytes, then the empty chunk.
    EXPECT_EQ(host.titles, Titles({41, 82, 100, 100}));
    EXPECT_EQ(ReadFile(folder.File("qd.def")), body);

    // 8192 bytes: 12.5 % goes down to 12, 37.5 % up to 38, 62.5 % down to 62, 87.5 % up to 88.
    host.titles.clear();
    server.Route("/even", ScriptedReply::Ok(PatternBody(8192, 2)));
    ASSERT_TRUE(Download("/even"));
    EXPECT_EQ(host.titles, Titles({12, 25, 38, 50, 62, 75, 88, 100, 100}));

    // More body than announced: the title stops at 100.
    host.titles.clear();
    download.DownloadSize = "2000";
    ASSERT_TRUE(download.Fetch(server.Url("/cv/qd.def")));
    EXPECT_EQ(host.titles, Titles({51, 100, 100, 100}));

    // Progress percentages from the rule itself.
    EXPECT_EQ(DownloadPercent(1, "-1"), 0);
    EXPECT_EQ(DownloadPercent(1, "x"), 0);
    EXPECT_EQ(DownloadPercent(199, "200"), 100);  // 99.5 rounds to the even 100
    EXPECT_EQ(DownloadPercent(197, "200"), 98);   // 98.5 rounds to the even 98
}

TEST_F(DownloadTest, ShorterFileReplacesALongerOneAndAnEmptyBodyGivesAnEmptyFile) {
    WriteFile(folder.File("qd.def"), std::string(10000, 'o'));
    server.Route("/short", ScriptedReply::Ok("V106\r\n10.0.0.1\r\n"));
    ASSERT_TRUE(Download("/short"));
    EXPECT_EQ(ReadFile(folder.File("qd.def")), "V106\r\n10.0.0.1\r\n");

    server.Route("/empty", ScriptedReply::Ok(""));
    host.titles.clear();
    ASSERT_TRUE(Download("/empty"));
    EXPECT_EQ(download.DownloadSize, "-1");  // a size of 0 reads as unknown
    EXPECT_EQ(ReadFile(folder.File("qd.def")), "");
    EXPECT_EQ(host.titles, Titles({0}));
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"qd.def"});
}

TEST_F(DownloadTest, NoContentLengthDownloadsWholeAtZeroPercentAndOffersNothingToRun) {
    ScriptedReply unannounced = ScriptedReply::Ok(PatternBody(3000));
    unannounced.omitLength = true;
    server.Route("/cv/RIZezez.exe", unannounced);
    download.InstallerDownload = true;
    ASSERT_TRUE(Download("/cv/RIZezez.exe", "RIZezez.exe"));
    EXPECT_EQ(download.DownloadSize, "-1");
    EXPECT_EQ(host.titles, Titles({0, 0, 0, 0}));
    EXPECT_EQ(ReadFile(folder.File("RIZezez.exe")), unannounced.body);
    EXPECT_TRUE(host.questions.empty());
    EXPECT_TRUE(host.started.empty());
}

TEST_F(DownloadTest, FailedTransfersLeaveTheOldFileWholeAndSayErrorDownloadingFile) {
    const std::string old = "V104\r\n10.9.9.9\r\n";
    ScriptedReply wrongLength = ScriptedReply::Ok(PatternBody(2000));
    wrongLength.announced = 4000;
    wrongLength.cutAfter = 2000;
    ScriptedReply cut = ScriptedReply::Ok(PatternBody(6000));
    cut.cutAfter = 2500;
    ScriptedReply reset = ScriptedReply::Ok(PatternBody(6000));
    reset.cutAfter = 3000;
    reset.resetAtCut = true;
    server.Route("/404", ScriptedReply::Status(404));
    server.Route("/500", ScriptedReply::Status(500, "V999\r\n"));
    server.Route("/wrong-length", wrongLength);
    server.Route("/cut", cut);
    server.Route("/reset", reset);
    server.Route("/loop", ScriptedReply::Redirect("/loop"));
    for (const char* path : {"/404", "/500", "/wrong-length", "/cut", "/reset", "/loop"}) {
        SCOPED_TRACE(path);
        WriteFile(folder.File("qd.def"), old);
        host.titles.clear();
        EXPECT_FALSE(Download(path));
        EXPECT_EQ(host.lblStat, kErrorDownloading);
        EXPECT_EQ(ReadFile(folder.File("qd.def")), old);
        EXPECT_TRUE(host.titles.empty());
        EXPECT_EQ(folder.Names(), std::vector<std::string>{"qd.def"});
    }
}

TEST_F(DownloadTest, SetupProgramIsOfferedOnlyWhenCompleteAndStartedOnlyOnYes) {
    server.Route("/cv/RIZezez.exe", ScriptedReply::Ok(PatternBody(1500)));
    download.InstallerDownload = true;
    host.answer = [](const std::string&) { return false; };
    ASSERT_TRUE(Download("/cv/RIZezez.exe", "RIZezez.exe"));
    ASSERT_EQ(host.questions.size(), 1u);
    EXPECT_EQ(host.questions[0], "Install: Please exit Corvane before install the update. Exit Now?");
    EXPECT_EQ(host.lblMain, "Corvane update later...");
    EXPECT_TRUE(host.started.empty());
    EXPECT_FALSE(host.ended);
    EXPECT_EQ(ReadFile(folder.File("RIZezez.exe")).size(), 1500u);

    host.answer = [](const std::string&) { return true; };
    ASSERT_TRUE(Download("/cv/RIZezez.exe", "RIZezez.exe"));
    EXPECT_EQ(host.started, std::vector<std::string>{folder.File("RIZezez.exe")});
    EXPECT_TRUE(host.ended);

    // A start that fails keeps the program running and says why.
    host.ended = false;
    host.startResult = platform::ShellResult{5, 5, "permission denied"};
    ASSERT_TRUE(Download("/cv/RIZezez.exe", "RIZezez.exe"));
    EXPECT_FALSE(host.ended);
    EXPECT_NE(host.lblMain.find("permission denied"), std::string::npos);
}

TEST_F(DownloadTest, SetupProgramFromAnotherHostOverPlainHttpIsNeverStarted) {
    // The server plays a proxy, so the file seems to come from a machine on the network.
    server.Route("/cv/RIZezez.exe", ScriptedReply::Ok(PatternBody(1500)));
    ::setenv("http_proxy", ("127.0.0.1:" + std::to_string(server.Port())).c_str(), 1);
    download.InstallerDownload = true;
    download.DownloadFile = "RIZezez.exe";
    host.answer = [](const std::string&) { return true; };
    const std::string remote = "http://updates.corvane.example/cv/RIZezez.exe";
    download.DownloadSize = std::to_string(download.GetFileSize(remote));
    const bool fetched = download.Fetch(remote);
    ::unsetenv("http_proxy");
    ASSERT_TRUE(fetched);
    EXPECT_EQ(server.Requests().back().target, remote);
    EXPECT_TRUE(host.questions.empty());
    EXPECT_TRUE(host.started.empty());
    EXPECT_FALSE(host.ended);
    EXPECT_NE(host.lblMain.find("not started"), std::string::npos);

    for (const char* url : {"https://updates.corvane.example/cv/RIZezez.exe", "http://127.0.0.1:8080/x",
                            "http://localhost/x", "http://[::1]:80/x", "HTTP://127.9.9.9/x"})
        EXPECT_TRUE(MayStartProgramFrom(url)) << url;
    for (const char* url : {"http://updates.corvane.example/x", "http://127.0.0.1@evil.example/x",
                            "http://127.0.0.1.evil.example/x", "ftp://127.0.0.1/x", "http://10.0.0.1/x", "127.0.0.1"})
        EXPECT_FALSE(MayStartProgramFrom(url)) << url;
}

TEST(VersionTest, VersionsCompareAsTextsAndTheProgramTextSkipsTheBuildNumber) {
    EXPECT_EQ(ProgramVersionText(), "1.1.53");
    EXPECT_EQ(ProgramVersionText(FileVersion{2, 10, 7, 0}), "2.10.0");
    EXPECT_TRUE(ServerVersionIsNewer("105\r\n", kDefinitionsVersionLength, "104"));
    EXPECT_FALSE(ServerVersionIsNewer("105", kDefinitionsVersionLength, "105"));
    EXPECT_TRUE(ServerVersionIsNewer("1", kDefinitionsVersionLength, ""));
    EXPECT_FALSE(ServerVersionIsNewer("", kDefinitionsVersionLength, ""));
    EXPECT_TRUE(ServerVersionIsNewer("1.1.6", kProgramVersionLength, "1.1.53"));
    EXPECT_FALSE(ServerVersionIsNewer("1.1.100", kProgramVersionLength, "1.1.53"));
    EXPECT_FALSE(ServerVersionIsNewer("1.1.530", kProgramVersionLength, "1.1.53"));
    EXPECT_TRUE(ServerVersionIsNewer("a", kDefinitionsVersionLength, "Z"));  // by code: 'a' after 'Z'
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
}

class UpdateCheckTest : public DownloadTest {
protected:
    void Check(const std::string& defsVersion, const std::string& programVersion = "1.1.53") {
        UpdateCheck check(*inet, host, download, AddressesFor(server.Base()), defsVersion, programVersion);
        check.Run();
    }
};

TEST_F(UpdateCheckTest, NewerDefinitionsGoToTheServiceSealedAndEqualOnesAreLeftAlone) {
    const std::string fresh = "V105\r\n10.0.0.5\r\n";
    server.Route("/cv/defver", ScriptedReply::Ok("105\r\n"));
    server.Route("/cv/qd.def", ScriptedReply::Ok(fresh));
    server.Route("/cv/mainver", ScriptedReply::Ok("1.1.53"));
    WriteFile(folder.File("qd.def"), "V104\r\n");
    Check("104");
    EXPECT_EQ(host.lblDefs, "Corvane defintions have been updated...");
    EXPECT_EQ(host.lblMain, "Corvane is update to date...");
    EXPECT_EQ(host.titles, Titles({100, 100}));
    // The whole body, from its start, in a file nobody can change any more; no file in the folder.
    ASSERT_EQ(host.installed.size(), 1u);
    EXPECT_EQ(host.installed[0], fresh);
    EXPECT_EQ(host.installedOffsets[0], 0);
    constexpr int kSealed = F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL;
    EXPECT_EQ(host.installedSeals[0] & kSealed, kSealed);
    EXPECT_EQ(ReadFile(folder.File("qd.def")), "V104\r\n");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"qd.def"});

    RecordingHost second;
    FileDownload again(*inet, second, folder.path().string());
    UpdateCheck equal(*inet, second, again, AddressesFor(server.Base()), "105", "1.1.53");
    equal.Run();
    EXPECT_EQ(second.lblDefs, "Corvane defintions are up to date...");
    EXPECT_TRUE(second.installed.empty());
    EXPECT_EQ(server.Count("GET", "/cv/qd.def"), 1u);
    EXPECT_EQ(server.Count("HEAD", "/cv/qd.def"), 1u);

    // Definitions without a version line: any text on the server is newer.
    RecordingHost third;
    FileDownload once_more(*inet, third, folder.path().string());
    UpdateCheck empty(*inet, third, once_more, AddressesFor(server.Base()), "", "1.1.53");
    empty.Run();
    EXPECT_EQ(third.lblDefs, "Corvane defintions have been updated...");
    EXPECT_EQ(server.Count("GET", "/cv/qd.def"), 2u);

    // The service refuses them: an error, not an update.
    RecordingHost fourth;
    fourth.installAccepted = false;
    FileDownload refused(*inet, fourth, folder.path().string());
    UpdateCheck rejected(*inet, fourth, refused, AddressesFor(server.Base()), "104", "1.1.53");
    rejected.Run();
    ASSERT_EQ(fourth.installed.size(), 1u);
    EXPECT_EQ(fourth.lblStat, kErrorDownloading);
    EXPECT_EQ(fourth.lblDefs, "Definition Updates:");
    EXPECT_EQ(ReadFile(folder.File("qd.def")), "V104\r\n");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"qd.def"});
}

TEST_F(UpdateCheckTest, ProgramVersionsCompareAsTextsAndTheSizeIsAskedBeforeTheUser) {
    server.Route("/cv/defver", ScriptedReply::Ok("105"));
    server.Route("/cv/RIZezez.exe", ScriptedReply::Ok(PatternBody(1200)));
    for (const auto& [server_text, newer] : std::vector<std::pair<std::string, bool>>{
             {"1.1.6", true}, {"1.1.100", false}, {"1.1.530", false}, {"1.1.53", false}}) {
        SCOPED_TRACE(server_text);
        server.Route("/cv/mainver", ScriptedReply::Ok(server_text));
        host = RecordingHost{};
        const std::size_t heads = server.Count("HEAD", "/cv/RIZezez.exe");
        Check("105");
        EXPECT_EQ(host.lblDefs, "Corvane defintions are up to date...");
        if (newer) {
            ASSERT_EQ(host.questions.size(), 1u);
            EXPECT_EQ(host.questions[0], "Update Exists: Do you want to download the update?");
            EXPECT_EQ(host.lblMain, "Corvane update later...");
            EXPECT_EQ(server.Count("HEAD", "/cv/RIZezez.exe"), heads + 1);
        } else {
            EXPECT_TRUE(host.questions.empty());
            EXPECT_EQ(host.lblMain, "Corvane is update to date...");
            EXPECT_EQ(server.Count("HEAD", "/cv/RIZezez.exe"), heads);
        }
    }
    EXPECT_EQ(server.Count("GET", "/cv/RIZezez.exe"), 0u);

    // Yes: the setup program is downloaded, offered and started, and the program ends.
    server.Route("/cv/mainver", ScriptedReply::Ok("1.1.6"));
    host = RecordingHost{};
    host.answer = [](const std::string&) { return true; };
    Check("105");
    EXPECT_EQ(host.questions.size(), 2u);
    EXPECT_EQ(ReadFile(folder.File("RIZezez.exe")).size(), 1200u);
    EXPECT_EQ(host.started, std::vector<std::string>{folder.File("RIZezez.exe")});
    EXPECT_TRUE(host.ended);
}

TEST_F(UpdateCheckTest, UnreachableOrFailingServerIsReportedAndNeverUpToDate) {
    std::string closedBase;
    {
        LoopbackHttpServer gone;
        closedBase = gone.Base();
    }
    UpdateCheck unreachable(*inet, host, download, AddressesFor(closedBase), "104", "1.1.53");
    unreachable.Run();
    EXPECT_EQ(host.lblStat, kErrorDownloading);
    EXPECT_EQ(host.lblDefs, "Definition Updates:");
    EXPECT_EQ(host.lblMain, "Program Updates:");

    // The version files answer, the definitions do not: qd.def stays and nothing claims success.
    host = RecordingHost{};
    WriteFile(folder.File("qd.def"), "V104\r\n");
    server.Route("/cv/defver", ScriptedReply::Ok("105"));
    server.Route("/cv/qd.def", ScriptedReply::Status(500));
    server.Route("/cv/mainver", ScriptedReply::Status(404));
    Check("104");
    EXPECT_EQ(host.lblStat, kErrorDownloading);
    EXPECT_EQ(host.lblDefs, "Definition Updates:");
    EXPECT_EQ(host.lblMain, "Program Updates:");
    EXPECT_TRUE(host.installed.empty());
    EXPECT_EQ(ReadFile(folder.File("qd.def")), "V104\r\n");
}

}  // namespace
}  // namespace corvane::update
