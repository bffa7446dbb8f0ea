// The Options window: what its load reads and writes (the user's own settings), its check boxes, tabs
// and keys, and the update check run from it against a scripted loopback server, handing definitions
// to the service the test plays, driven by mouse and keyboard events.
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "loopback_http_server.h"
#include "platform/message_box.h"
#include "platform/win32_error.h"
#include "settings/settings_table.h"
#include "ui/main/frm_main.h"
#include "ui/options/frm_all.h"
#include "ui_test_support.h"
#include "update/program_version.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::ui {
namespace {

using corvane::testing::LoopbackHttpServer;
using corvane::testing::PatternBody;
using corvane::testing::ScriptedReply;
using settings::Setting;
using testing::App;
using testing::FakeService;
using testing::ScratchRoot;

std::string Stored(Setting setting) {
    settings::RegistryRoutines registry;
    registry.set_hkey(settings::Definition(setting).root);
    registry.set_KeyRoot(std::string(settings::Definition(setting).key));
    return settings::ToText(registry.GetRegistryValue(std::string(settings::Definition(setting).name)));
}

void Store(Setting setting, const std::string& text) {
    settings::EnsureSettingKey(setting);
    ASSERT_TRUE(settings::WriteSetting(setting, text));
}

// Every file below `folder` whose name holds `part`.
std::vector<std::string> FilesNamed(const std::filesystem::path& folder, const std::string& part) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.path().filename().string().find(part) != std::string::npos) found.push_back(entry.path().string());
    }
    return found;
}

class FrmAllTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        previous = platform::SetMessageBoxInterceptor([this](const platform::MessageBoxRequest& request) {
            boxes.push_back(request);
            return answer;
        });
    }
    void TearDown() override { platform::SetMessageBoxInterceptor(previous); }

    std::unique_ptr<FrmAll> Open(int tab) {
        auto form = std::make_unique<FrmAll>(nullptr, root.path().string(), service);
        form->OfferTab(tab);
        form->show();
        QApplication::setActiveWindow(form.get());
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        return form;
    }

    static void Click(QWidget* control) {
        ASSERT_NE(control, nullptr);
        QTest::mouseClick(control, Qt::LeftButton, Qt::NoModifier, QPoint(6, control->height() / 2));
    }

    ScratchRoot root;
    FakeService service;  // definitions "104" in force
    std::vector<platform::MessageBoxRequest> boxes;
    int answer = platform::IDNO;
    platform::MessageBoxInterceptor previous;
};

TEST_F(FrmAllTest, FirstOpeningOnAFreshMachineTicksAndWritesTrayAndScriptDebugger) {
    auto form = Open(FrmAll::kOptionsTab);
    EXPECT_EQ(form->ChkTray()->checkState(), Qt::Checked);
    EXPECT_EQ(form->ChkBoot()->checkState(), Qt::Unchecked);
    EXPECT_EQ(form->ChkScriptDebug()->checkState(), Qt::Checked);
    EXPECT_EQ(Stored(Setting::Tray), "1");
    EXPECT_EQ(Stored(Setting::DisableScriptDebugger), "yes");
    EXPECT_EQ(Stored(Setting::BootWithWindows), "");
    EXPECT_EQ(form->windowTitle().toStdString(), "Options");
    EXPECT_EQ(form->ChkBoot()->text().toStdString(), "Boot when Windows boots");
    EXPECT_EQ(form->ChkTray()->text().toStdString(), "Start minimized to system tray");
    EXPECT_EQ(form->ChkScriptDebug()->text().toStdString(), "Disable Script Debugging in Internet Explorer");
}

TEST_F(FrmAllTest, StoredValuesSetTheBoxesAndEveryClickWritesAtOnce) {
    Store(Setting::Tray, "0");
    Store(Setting::BootWithWindows, "/usr/bin/another-program");
    Store(Setting::DisableScriptDebugger, "no");
    auto form = Open(FrmAll::kOptionsTab);
    EXPECT_EQ(form->ChkTray()->checkState(), Qt::Unchecked);
    EXPECT_EQ(Stored(Setting::Tray), "0");
    // Any Run-key text ticks the box, and the load writes this program's path over it.
    EXPECT_EQ(form->ChkBoot()->checkState(), Qt::Checked);
    EXPECT_EQ(Stored(Setting::BootWithWindows), form->ExecutablePath());
    EXPECT_EQ(form->ExecutablePath(), (root.path() / "test_ui").string());
    // Only the exact "yes" ticks it; two clicks end with "No".
    EXPECT_EQ(form->ChkScriptDebug()->checkState(), Qt::Unchecked);
    Click(form->ChkScriptDebug());
    EXPECT_EQ(Stored(Setting::DisableScriptDebugger), "yes");
    Click(form->ChkScriptDebug());
    EXPECT_EQ(Stored(Setting::DisableScriptDebugger), "No");

    Click(form->ChkBoot());
    EXPECT_EQ(form->ChkBoot()->checkState(), Qt::Unchecked);
    EXPECT_EQ(Stored(Setting::BootWithWindows), "");
    Click(form->ChkBoot());
    EXPECT_EQ(Stored(Setting::BootWithWindows), form->ExecutablePath());
    Click(form->ChkTray());
    EXPECT_EQ(Stored(Setting::Tray), "1");

    // Start-with-the-session is the user's own autostart entry; the machine's folder stays as it was.
    const passwd* user = ::getpwuid(::getuid());
    ASSERT_NE(user, nullptr);
    const auto userEntry = root.path() / "home" / user->pw_name / ".config/autostart/Corvane.desktop";
    EXPECT_TRUE(std::filesystem::exists(userEntry));
    EXPECT_FALSE(std::filesystem::exists(root.path() / "etc/xdg/autostart"));
    EXPECT_EQ(settings::Definition(Setting::BootWithWindows).root, settings::kHkeyCurrentUser);
    EXPECT_EQ(settings::Definition(Setting::Tray).root, settings::kHkeyCurrentUser);
    Click(form->ChkBoot());
    EXPECT_FALSE(std::filesystem::exists(userEntry));

    // A "Tray" text that is no box state leaves the box clear and writes nothing.
    Store(Setting::Tray, "7");
    auto again = Open(FrmAll::kOptionsTab);
    EXPECT_EQ(again->ChkTray()->checkState(), Qt::Unchecked);
    EXPECT_EQ(Stored(Setting::Tray), "7");
}

TEST_F(FrmAllTest, OnlyTheOfferedTabShowsAndAltCClosesFromTheOptionsTab) {
    auto options = Open(FrmAll::kOptionsTab);
    QTabWidget* tabs = options->SSTab1();
    ASSERT_NE(tabs, nullptr);
    ASSERT_EQ(tabs->count(), 2);
    EXPECT_EQ(tabs->tabText(0).toStdString(), "Options");
    EXPECT_EQ(tabs->tabText(1).toStdString(), "Updates");
    EXPECT_TRUE(tabs->isTabVisible(0));
    EXPECT_FALSE(tabs->isTabVisible(1));
    EXPECT_TRUE(options->ChkTray()->isVisible());
    EXPECT_FALSE(options->BtnCheck()->isVisible());
    QTest::keyClick(options.get(), Qt::Key_C, Qt::AltModifier);
    EXPECT_FALSE(options->isVisible());

    auto updates = Open(FrmAll::kUpdatesTab);
    EXPECT_EQ(updates->windowTitle().toStdString(), "Updates");
    EXPECT_FALSE(updates->SSTab1()->isTabVisible(0));
    EXPECT_TRUE(updates->SSTab1()->isTabVisible(1));
    EXPECT_TRUE(updates->BtnCheck()->isVisible());
    EXPECT_FALSE(updates->ChkTray()->isVisible());
    EXPECT_EQ(updates->LblDefs()->text().toStdString(), "Definition Updates:");
    EXPECT_EQ(updates->LblMain()->text().toStdString(), "Program Updates:");
    EXPECT_EQ(updates->LblStat()->text().toStdString(), "Click Check For Updates to begin...");
    EXPECT_EQ(updates->BtnCheck()->Caption().toStdString(), "&Check For Updates");
    EXPECT_EQ(updates->BtnClose()->Caption().toStdString(), "&Close");
    // A click on Close unloads the window.
    Click(updates->BtnClose());
    EXPECT_FALSE(updates->isVisible());
}

class FrmAllUpdateTest : public FrmAllTest {
protected:
    void SetUp() override {
        FrmAllTest::SetUp();
        service.status.updateServer = server.Base();
        server.Route("/cv/defver", ScriptedReply::Ok("105\r\n"));
        server.Route("/cv/qd.def", ScriptedReply::Ok("V105\r\n" + std::string(2500 - 6, '1')));
        server.Route("/cv/mainver", ScriptedReply::Ok("1.1.6"));
        server.Route("/cv/RIZezez.exe", ScriptedReply::Ok(PatternBody(3000)));
    }
    LoopbackHttpServer server;
};

TEST_F(FrmAllUpdateTest, OneCheckFromTheButtonUpdatesDefinitionsOffersTheProgramAndDisablesItself) {
    auto form = Open(FrmAll::kUpdatesTab);
    Click(form->BtnCheck());
    EXPECT_EQ(form->LblDefs()->text().toStdString(), "Corvane defintions have been updated...");
    EXPECT_EQ(form->LblMain()->text().toStdString(), "Corvane update later...");
    EXPECT_EQ(form->LblStat()->text().toStdString(), "Update check finished.");
    EXPECT_EQ(form->windowTitle().toStdString(), "Online Updater - 100%");
    // The downloaded bytes went to the service, sealed, and into no file of the window's.
    ASSERT_EQ(service.installed.size(), 1u);
    EXPECT_EQ(service.installed[0], "V105\r\n" + std::string(2500 - 6, '1'));
    constexpr int kSealed = F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL;
    EXPECT_EQ(service.installedSeals[0] & kSealed, kSealed);
    EXPECT_TRUE(FilesNamed(root.path(), "qd.def").empty());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Update Exists");
    EXPECT_EQ(boxes[0].text, "Do you want to download the update?");
    EXPECT_EQ(boxes[0].icon, platform::MessageBoxIcon::Information);
    EXPECT_EQ(boxes[0].buttons, platform::MessageBoxButtons::YesNo);
    EXPECT_FALSE(form->BtnCheck()->Enabled());

    // Disabled: further clicks and the access key ask the server nothing more.
    const std::size_t requests = server.Requests().size();
    Click(form->BtnCheck());
    EXPECT_EQ(server.Requests().size(), requests);
    // With Check For Updates disabled, Alt+C belongs to Close alone.
    QTest::keyClick(form.get(), Qt::Key_C, Qt::AltModifier);
    EXPECT_FALSE(form->isVisible());

    // The next opening starts afresh and checks again, against the version the service now runs.
    auto again = Open(FrmAll::kUpdatesTab);
    EXPECT_TRUE(again->BtnCheck()->Enabled());
    EXPECT_EQ(again->windowTitle().toStdString(), "Updates");
    Click(again->BtnCheck());
    EXPECT_EQ(again->LblDefs()->text().toStdString(), "Corvane defintions are up to date...");
    EXPECT_EQ(server.Count("GET", "/cv/defver"), 2u);
    EXPECT_EQ(server.Count("GET", "/cv/qd.def"), 1u);
    EXPECT_EQ(service.installed.size(), 1u);
}

TEST_F(FrmAllUpdateTest, TheServicesVersionDecidesAndItsRefusalIsAnError) {
    // The service runs the server's version: nothing to fetch.
    service.status.definitionsVersion = "105";
    auto current = Open(FrmAll::kUpdatesTab);
    Click(current->BtnCheck());
    EXPECT_EQ(current->LblDefs()->text().toStdString(), "Corvane defintions are up to date...");
    EXPECT_EQ(server.Count("GET", "/cv/qd.def"), 0u);
    EXPECT_TRUE(service.installed.empty());
    current->close();

    // Older definitions in force, and the service refuses the new ones (say, they do not check out).
    // The program is current.
    server.Route("/cv/mainver", ScriptedReply::Ok(std::string(update::ProgramVersionText())));
    service.status.definitionsVersion = "104";
    service.installAnswer = {platform::ServiceResult::Code::kInvalid, "The definitions are not valid."};
    auto refused = Open(FrmAll::kUpdatesTab);
    Click(refused->BtnCheck());
    ASSERT_EQ(service.installed.size(), 1u);
    EXPECT_EQ(refused->LblStat()->text().toStdString(), "Error downloading file");
    EXPECT_EQ(refused->LblDefs()->text().toStdString(), "Definition Updates: Error downloading file");
    EXPECT_EQ(refused->LblDefs()->toolTip().toStdString(), "The definitions are not valid.");
    EXPECT_EQ(refused->LblMain()->text().toStdString(), "Corvane is update to date...");
    EXPECT_NE(refused->windowTitle().toStdString(), "Online Updater - 100%");
    EXPECT_TRUE(FilesNamed(root.path(), "qd.def").empty());
}

TEST_F(FrmAllUpdateTest, SharedAccessKeyMovesTheFocusInsteadOfPressingAButton) {
    auto form = Open(FrmAll::kUpdatesTab);
    QTest::keyClick(form.get(), Qt::Key_C, Qt::AltModifier);
    QWidget* first = QApplication::focusWidget();
    QTest::keyClick(form.get(), Qt::Key_C, Qt::AltModifier);
    QWidget* second = QApplication::focusWidget();
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(server.Requests().empty());
    const std::vector<QWidget*> buttons{form->BtnCheck(), form->BtnClose()};
    EXPECT_NE(std::find(buttons.begin(), buttons.end(), first), buttons.end());
    EXPECT_NE(std::find(buttons.begin(), buttons.end(), second), buttons.end());
    EXPECT_NE(first, second);
}

TEST_F(FrmAllUpdateTest, UnreachableServerIsAnErrorNotUpToDate) {
    std::string closed;
    {
        LoopbackHttpServer gone;
        closed = gone.Base();
    }
    service.status.updateServer = closed;
    auto form = Open(FrmAll::kUpdatesTab);
    Click(form->BtnCheck());
    EXPECT_EQ(form->LblStat()->text().toStdString(), "Error downloading file");
    EXPECT_EQ(form->LblDefs()->text().toStdString(), "Definition Updates: Error downloading file");
    EXPECT_EQ(form->LblMain()->text().toStdString(), "Program Updates: Error downloading file");
    EXPECT_TRUE(boxes.empty());
}

TEST_F(FrmAllUpdateTest, AcceptedSetupProgramIsStartedAndTheProgramEnds) {
    // The "setup program" leaves a mark where the test can see it.
    const auto mark = root.path() / "setup-ran";
    server.Route("/cv/RIZezez.exe", ScriptedReply::Ok("#!/bin/sh\necho \"$PWD\" > '" + mark.string() + "'\n"));
    answer = platform::IDYES;
    QWidget owner;
    owner.show();
    FrmAll form(&owner, root.path().string(), service);
    form.OfferTab(FrmAll::kUpdatesTab);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    Click(form.BtnCheck());
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].title, "Install");
    EXPECT_EQ(boxes[1].text, "Please exit Corvane before install the update. Exit Now?");
    ASSERT_TRUE(QTest::qWaitFor([&] { return std::filesystem::exists(mark); }, 5000));
    // It ran from the user's own download folder, private to the user, never beside the program.
    const passwd* user = ::getpwuid(::geteuid());
    ASSERT_NE(user, nullptr);
    const auto downloads = root.path() / "home" / user->pw_name / "Downloads";
    std::ifstream ran(mark);
    std::string folder;
    std::getline(ran, folder);
    EXPECT_EQ(folder, downloads.string());
    struct stat info {};
    ASSERT_EQ(::lstat((downloads / "RIZezez.exe").c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    ASSERT_EQ(::lstat(downloads.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_FALSE(std::filesystem::exists(root.path() / "RIZezez.exe"));
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(owner.isVisible());
}

TEST_F(FrmAllUpdateTest, ClosingWhileACheckWaitsStopsTheTransferAndHandsNothingOn) {
    ScriptedReply slow = ScriptedReply::Ok(PatternBody(6000));
    slow.pieceSize = 1000;
    slow.pause = std::chrono::milliseconds(500);
    server.Route("/cv/qd.def", slow);
    auto form = Open(FrmAll::kUpdatesTab);
    // Once the download has begun, the user clicks Close.
    std::function<void()> closeWhenDownloading = [&] {
        if (server.Count("GET", "/cv/qd.def") == 0) {
            QTimer::singleShot(5, closeWhenDownloading);
            return;
        }
        Click(form->BtnClose());
    };
    QTimer::singleShot(0, closeWhenDownloading);
    Click(form->BtnCheck());
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(service.installed.empty());
    EXPECT_TRUE(FilesNamed(root.path(), "qd.def").empty());
    // The program half never ran.
    EXPECT_EQ(server.Count("GET", "/cv/mainver"), 0u);
}

TEST_F(FrmAllUpdateTest, ACutDefinitionsFileIsAnErrorThatOutlivesTheProgramHalf) {
    // The size query announces the whole file; an old server then sends it without a length and the
    // connection ends part-way.
    ScriptedReply cut = ScriptedReply::Ok("V105\r\n192.0.2.77\r\n198.51.100.23\r\n203.0.113.9\r\n");
    cut.lengthOnlyOnHead = true;
    cut.protocol = "HTTP/1.0";
    cut.cutAfter = 21;
    server.Route("/cv/qd.def", cut);
    auto form = Open(FrmAll::kUpdatesTab);
    Click(form->BtnCheck());
    EXPECT_TRUE(service.installed.empty());
    EXPECT_EQ(form->LblDefs()->text().toStdString(), "Definition Updates: Error downloading file");
    // The program half asked and was told "later"; its requests did not clear the error.
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(form->LblMain()->text().toStdString(), "Corvane update later...");
    EXPECT_EQ(form->LblStat()->text().toStdString(), "Error downloading file");
    EXPECT_EQ(form->windowTitle().toStdString(), "Online Updater - failed");
}

TEST_F(FrmAllUpdateTest, TheWindowSaysWhichRequestRunsWhileTheServerIsSilent) {
    ScriptedReply silent;
    silent.silent = true;
    server.Route("/cv/defver", silent);
    auto form = Open(FrmAll::kUpdatesTab);
    std::string shown;
    // Once the request has reached the server, the window is read, and then the user closes it.
    std::function<void()> lookWhenAsked = [&] {
        if (server.Count("GET", "/cv/defver") == 0) {
            QTimer::singleShot(5, lookWhenAsked);
            return;
        }
        shown = form->LblStat()->text().toStdString();
        Click(form->BtnClose());
    };
    QTimer::singleShot(0, lookWhenAsked);
    Click(form->BtnCheck());
    EXPECT_EQ(shown, "Checking definitions version...");
    EXPECT_FALSE(form->isVisible());
}

TEST_F(FrmAllTest, HelpSaysErrorWhenTheOpenerRunsButCannotOpenThePage) {
    // xdg-open is there but finds no browser: it ends with status 3.
    const auto bin = root.path() / "bin";
    std::filesystem::create_directory(bin);
    {
        std::ofstream opener(bin / "xdg-open");
        opener << "#!/bin/sh\nexit 3\n";
    }
    ASSERT_EQ(::chmod((bin / "xdg-open").c_str(), 0700), 0);
    const std::string previousPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    ::setenv("PATH", bin.c_str(), 1);
    settings::EnsureSettingKey(Setting::Tray);
    ASSERT_TRUE(settings::WriteSetting(Setting::Tray, std::string("0")));  // start shown
    {
        FrmMain window(root.path().string(), std::make_unique<FakeService>());
        window.Create();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        auto* help = window.Controls().Find<buttons::zqButtons_H>(QStringLiteral("BtnHelp"));
        ASSERT_NE(help, nullptr);
        Click(help);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !boxes.empty(); }, 10000));
        EXPECT_TRUE(window.isVisible());
    }
    ::setenv("PATH", previousPath.c_str(), 1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Corvane");
    const std::string prefix = "Error:" + std::to_string(platform::win32::kErrorFileNotFound) + " ";
    EXPECT_EQ(boxes[0].text.substr(0, prefix.size()), prefix);
    EXPECT_NE(boxes[0].text.find("status 3"), std::string::npos) << boxes[0].text;
}

}  // namespace
}  // namespace corvane::ui
