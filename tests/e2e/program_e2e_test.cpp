// The built window on a desktop of the test's own, the way users meet it: the service (corvaned) runs as
// its unit runs it on a private bus set up like the system bus, and windows run as ordinary users, members
// of the group "corvane" or not. Connections are made by this test, a third process.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../engine/private_network.h"
#include "../service/service_harness.h"
#include "desktop.h"
#include "desktop_user.h"
#include "platform/protection_service.h"
#include "session_manager.h"
#include "ui/main/window_captions.h"

namespace corvane::e2e {
namespace {

using namespace std::chrono_literals;
using engine::testing::Connect;
using engine::testing::ConnectionError;
using engine::testing::Listen;
using engine::testing::LocalPort;
using Link = platform::ServiceStatus::Link;
using service::testing::Caller;
using service::testing::PrivateSystemBus;
using service::testing::ServiceUnderTest;
using service::testing::TempDir;

constexpr char kListed[] = "127.0.0.2";
constexpr char kDefinitions[] = "V007\r\n127.0.0.2\r\n";
constexpr char kFirstUser[] = "nobody";
// The main window's controls, in its client coordinates: the switch's rectangle, and centres.
constexpr int kBtnOnLeft = 8, kBtnOnTop = 8, kBtnOnWidth = 153, kBtnOnHeight = 233;
constexpr int kBtnOnX = kBtnOnLeft + kBtnOnWidth / 2, kBtnOnY = kBtnOnTop + kBtnOnHeight / 2;
constexpr int kBtnExitX = 392 + 97 / 2, kBtnExitY = 248 + 33 / 2;
constexpr int kBtnTrayX = 288 + 97 / 2, kBtnTrayY = 248 + 33 / 2;
// BtnOptions and BtnUpdate sit at the same place inside their frames ("Options" at 168, 8; "Update" at
// 168, 128); BtnClose on the Options window.
constexpr int kBtnOptionsX = 168 + 192 + 225 / 2, kBtnOptionsY = 8 + 64 + 33 / 2;
constexpr int kBtnUpdateX = kBtnOptionsX, kBtnUpdateY = 128 + 64 + 33 / 2;
constexpr int kBtnCloseX = 312 + 97 / 2, kBtnCloseY = 224 + 33 / 2;
// How long the window waits for a tray host before it shows itself, and a margin for a slow machine.
constexpr auto kTrayHostWait = 5s;
constexpr auto kSlack = 20s;
// Longer than any double-click interval: clicks this far apart are separate clicks.
constexpr auto kBeyondDoubleClick = 1200ms;
// What a crash of the service may lose: the count of the last second.
constexpr auto kCountAtRisk = 1s;

// The real user id of a running process, from /proc.
std::optional<uid_t> ProcessUid(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Uid:", 0) == 0) return static_cast<uid_t>(std::stoul(line.substr(4)));
    }
    return std::nullopt;
}

class WindowOnTheService : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static const std::string accounts = [] {
            std::string why = service::testing::EnsureServiceAccounts();
            if (why.empty()) why = EnsureSystemUser(kSecondUser);
            return why;
        }();
        setupError_ = accounts;
    }

    void SetUp() override {
        // main() put this program in a private network namespace, which needs root; so do the accounts.
        ASSERT_EQ(::geteuid(), 0u) << "the end-to-end tests run as root";
        ASSERT_EQ(setupError_, "");
        ASSERT_FALSE(folders_.Path().empty());
        ASSERT_EQ(desktop_.Start(), "");
        ASSERT_EQ(bus_.Start(), "");
        service_ = std::make_unique<ServiceUnderTest>(bus_);
        ASSERT_EQ(service_->WriteDefinitions(kDefinitions), "");
    }

    void TearDown() override {
        if (HasFailure() && service_) std::fprintf(stderr, "corvaned said:\n%s\n", service_->Output().c_str());
        for (const auto& user : users_)
            if (HasFailure()) std::fprintf(stderr, "%s's windows said:\n%s\n", user->Name().c_str(), user->Log().c_str());
    }

    void StartService() { ASSERT_EQ(service_->Start(), ""); }

    // A user at the desktop, with folders of its own for this test.
    DesktopUser& User(const std::string& name, Membership membership) {
        users_.push_back(std::make_unique<DesktopUser>(name, membership, folders_.Path()));
        EXPECT_EQ(users_.back()->Error(), "");
        return *users_.back();
    }

    Child StartWindow(const DesktopUser& user, const std::vector<std::string>& env = {}) {
        return user.StartWindow(desktop_, bus_.Address(), env);
    }

    // The window's main window once it shows, or "".
    std::string MainWindow(Child& program) {
        std::string window;
        WaitFor([&] { return !(window = desktop_.VisibleWindowNamed(program.Pid(), "Corvane - ")).empty(); }, kSlack);
        return window;
    }

    bool CaptionBecomes(const std::string& window, const std::string& caption) {
        return WaitFor([&] { return desktop_.WindowName(window) == caption; }, kSlack);
    }

    // Whether the switch comes to show ON (green writing on the button's face) or OFF (a red face).
    bool SwitchShows(const std::string& window, bool on) {
        return WaitFor(
            [&] {
                return desktop_.GreenOrRed(window, kBtnOnLeft + 6, kBtnOnTop + 6, kBtnOnWidth - 12,
                                            kBtnOnHeight - 12) == on;
            },
            kSlack);
    }

    // The service's stored value.
    std::string Stored(const char* name) { return service_->Setting(name).value_or("(none)"); }
    bool StoredBecomes(const char* name, const std::string& value) {
        return WaitFor([&] { return Stored(name) == value; }, kSlack);
    }

    // A property as the service reports it to root (dbus-send's "int32 3", "boolean true").
    std::string Property(const char* name) {
        const service::testing::CommandResult got = service_->GetProperty(Caller::kRoot, name);
        if (!got.Succeeded()) return "(no answer)";
        const auto at = got.out.find("variant");
        if (at == std::string::npos) return got.out;
        std::string value = got.out.substr(at + 7);
        value.erase(0, value.find_first_not_of(" \n"));
        while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
        return value;
    }

    // The count the service reports comes to `count` (a teardown is seen here a moment before it is counted).
    bool CountBecomes(int count) {
        const std::string expected = "int32 " + std::to_string(count);
        return WaitFor([&] { return Property("Attempts") == expected; }, kSlack);
    }

    // A listed connection, made by this test: it must be torn down, the count going up by one.
    void Block() {
        auto listener = Listen(kListed);
        ASSERT_TRUE(listener.Valid());
        auto connection = Connect(kListed, LocalPort(listener.Get()));
        // Refused by the kernel at the connect itself, or torn down right after it.
        if (!connection.Valid()) return;
        ASSERT_TRUE(WaitFor([&] { return ConnectionError(connection.Get()) != 0; }, kSlack)) << "not torn down";
    }

    static inline std::string setupError_;
    TempDir folders_{"corvane-e2e"};
    VirtualDesktop desktop_;
    PrivateSystemBus bus_;
    std::unique_ptr<ServiceUnderTest> service_;
    std::vector<std::unique_ptr<DesktopUser>> users_;
};

TEST_F(WindowOnTheService, AMembersSessionFromFirstStartToExit) {
    StartService();
    ASSERT_TRUE(desktop_.StartTray());
    const DesktopUser& member = User(kFirstUser, Membership::kMember);
    Child program = StartWindow(member);
    ASSERT_TRUE(WaitFor([&] { return desktop_.TrayIcons(program.Pid()).size() == 1; }, kSlack)) << "no tray icon";
    // Only the tray icon: no window shows.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(desktop_.VisibleWindows(program.Pid()).size(), 1u);

    // A click on the icon shows the window with the service's count in its caption.
    const auto icon = desktop_.TrayIcons(program.Pid());
    ASSERT_EQ(icon.size(), 1u);
    ASSERT_TRUE(desktop_.Click(icon[0], 8, 8));
    const std::string window = MainWindow(program);
    ASSERT_NE(window, "");
    EXPECT_EQ(ProcessUid(program.Pid()), member.Uid());  // the user's window, not root's
    EXPECT_EQ(desktop_.WindowName(window), ui::StartupCaption(0));
    EXPECT_TRUE(SwitchShows(window, true));

    // The switch: off, then on again, each time in the service, which stores it as "Run".
    ASSERT_TRUE(desktop_.Click(window, kBtnOnX, kBtnOnY));
    EXPECT_TRUE(StoredBecomes("Run", "0"));
    EXPECT_EQ(Property("Protection"), "boolean false");
    EXPECT_TRUE(SwitchShows(window, false));
    std::this_thread::sleep_for(kBeyondDoubleClick);  // two clicks, not a double click
    ASSERT_TRUE(desktop_.Click(window, kBtnOnX, kBtnOnY));
    EXPECT_TRUE(StoredBecomes("Run", "1"));
    EXPECT_EQ(Property("Protection"), "boolean true");
    EXPECT_TRUE(SwitchShows(window, true));

    // A second start by the same user ends at once and adds no icon.
    Child second = StartWindow(member);
    EXPECT_EQ(second.WaitExit(kSlack), 0);
    EXPECT_EQ(desktop_.TrayIcons(program.Pid()).size(), 1u);
    EXPECT_TRUE(program.Running());

    // A listed connection is torn down by the service and its count shows in the caption.
    Block();
    EXPECT_TRUE(CaptionBecomes(window, ui::BlockedCaption(1))) << desktop_.WindowName(window);
    EXPECT_TRUE(StoredBecomes("Attempts", "1"));

    // Exit: the window and its icon go; protection and the count stay with the service.
    ASSERT_TRUE(desktop_.Click(window, kBtnExitX, kBtnExitY));
    EXPECT_EQ(program.WaitExit(kSlack), 0);
    EXPECT_EQ(desktop_.Run("xdotool search --name '^Corvane' 2>/dev/null"), "");
    Block();
    EXPECT_TRUE(CountBecomes(2));
    EXPECT_TRUE(StoredBecomes("Attempts", "2"));
}

// Options and Update open the Options window on their own tab (its caption names the tab), and Close
// takes it away again.
TEST_F(WindowOnTheService, OptionsAndUpdateOpenTheOptionsWindowOnTheirTab) {
    StartService();
    const DesktopUser& member = User(kFirstUser, Membership::kMember);
    ASSERT_EQ(member.SetSetting("Tray", "0"), "");
    Child program = StartWindow(member);
    const std::string window = MainWindow(program);
    ASSERT_NE(window, "");
    struct Command {
        int x, y;
        std::string title;
    };
    for (const Command& command :
         {Command{kBtnOptionsX, kBtnOptionsY, "Options"}, Command{kBtnUpdateX, kBtnUpdateY, "Updates"}}) {
        ASSERT_TRUE(desktop_.Click(window, command.x, command.y));
        std::string options;
        ASSERT_TRUE(WaitFor(
            [&] { return !(options = desktop_.VisibleWindowNamed(program.Pid(), command.title)).empty(); }, kSlack))
            << command.title;
        EXPECT_EQ(desktop_.WindowName(options), command.title);
        ASSERT_TRUE(desktop_.Click(options, kBtnCloseX, kBtnCloseY));
        EXPECT_TRUE(WaitFor([&] { return desktop_.VisibleWindowNamed(program.Pid(), command.title).empty(); }, kSlack))
            << command.title;
        std::this_thread::sleep_for(kBeyondDoubleClick);
    }
    EXPECT_TRUE(program.Running());
}

// Two members at once (two accounts, each with its own runtime folder): the one count of the machine,
// and one switch that both windows show.
TEST_F(WindowOnTheService, TwoMembersWindowsShowOneCountAndOneSwitch) {
    StartService();
    const DesktopUser& first = User(kFirstUser, Membership::kMember);
    const DesktopUser& second = User(kSecondUser, Membership::kMember);
    ASSERT_EQ(first.SetSetting("Tray", "0"), "");
    ASSERT_EQ(second.SetSetting("Tray", "0"), "");
    Child firstProgram = StartWindow(first);
    Child secondProgram = StartWindow(second);
    const std::string firstWindow = MainWindow(firstProgram);
    const std::string secondWindow = MainWindow(secondProgram);
    ASSERT_NE(firstWindow, "");
    ASSERT_NE(secondWindow, "");
    // Side by side, so that clicks and pixels reach the window meant (no window manager places them).
    ASSERT_EQ(desktop_.Run("timeout 20 xdotool windowmove --sync " + firstWindow + " 20 20 >/dev/null 2>&1; echo $?"),
              "0");
    ASSERT_EQ(
        desktop_.Run("timeout 20 xdotool windowmove --sync " + secondWindow + " 660 420 >/dev/null 2>&1; echo $?"),
        "0");
    // Two users' processes, neither of them root.
    EXPECT_EQ(ProcessUid(firstProgram.Pid()), first.Uid());
    EXPECT_EQ(ProcessUid(secondProgram.Pid()), second.Uid());
    EXPECT_TRUE(CaptionBecomes(firstWindow, ui::StartupCaption(0)));
    EXPECT_TRUE(CaptionBecomes(secondWindow, ui::StartupCaption(0)));

    constexpr int kConnections = 5;
    for (int i = 0; i < kConnections; ++i) Block();
    EXPECT_TRUE(CaptionBecomes(firstWindow, ui::BlockedCaption(kConnections))) << desktop_.WindowName(firstWindow);
    EXPECT_TRUE(CaptionBecomes(secondWindow, ui::BlockedCaption(kConnections))) << desktop_.WindowName(secondWindow);
    EXPECT_TRUE(StoredBecomes("Attempts", std::to_string(kConnections)));
    EXPECT_EQ(Property("Attempts"), "int32 " + std::to_string(kConnections));  // each counted once

    // The switch flipped in one window shows in the other.
    ASSERT_TRUE(SwitchShows(firstWindow, true));
    ASSERT_TRUE(SwitchShows(secondWindow, true));
    ASSERT_TRUE(desktop_.Click(firstWindow, kBtnOnX, kBtnOnY));
    EXPECT_TRUE(StoredBecomes("Run", "0"));
    EXPECT_TRUE(SwitchShows(secondWindow, false));
    EXPECT_TRUE(SwitchShows(firstWindow, false));
    ASSERT_TRUE(desktop_.Click(secondWindow, kBtnOnX, kBtnOnY));
    EXPECT_TRUE(StoredBecomes("Run", "1"));
    EXPECT_TRUE(SwitchShows(firstWindow, true));
    EXPECT_TRUE(SwitchShows(secondWindow, true));
    EXPECT_TRUE(firstProgram.Running());
    EXPECT_TRUE(secondProgram.Running());
}

// A user outside the group: the window shows nothing as protected although the service protects, says
// the service refuses it, and its switch changes nothing.
TEST_F(WindowOnTheService, AnOutsidersWindowIsRefusedAndChangesNothing) {
    StartService();
    const DesktopUser& outsider = User(kFirstUser, Membership::kOutsider);
    ASSERT_EQ(outsider.SetSetting("Tray", "0"), "");
    Child program = StartWindow(outsider);
    const std::string window = MainWindow(program);
    ASSERT_NE(window, "");
    EXPECT_TRUE(CaptionBecomes(window, ui::NotProtectedCaption(Link::kRefused))) << desktop_.WindowName(window);
    EXPECT_EQ(Property("Protection"), "boolean true");
    EXPECT_TRUE(SwitchShows(window, false));

    // With protection off in the service, the outsider's click would turn it on were it let through.
    const service::testing::CommandResult off =
        service_->Call(Caller::kRoot, "SetProtection", {"boolean:false"});
    ASSERT_TRUE(off.Succeeded()) << off.out;
    ASSERT_TRUE(StoredBecomes("Run", "0"));
    ASSERT_TRUE(desktop_.Click(window, kBtnOnX, kBtnOnY));
    // The refusal comes in a message box (titled as the program), after the service's answer.
    std::string box;
    ASSERT_TRUE(WaitFor([&] { return !(box = desktop_.VisibleWindowNamedExactly(program.Pid(), "Corvane")).empty(); },
                        kSlack))
        << "no message box";
    EXPECT_EQ(Stored("Run"), "0");
    EXPECT_EQ(Property("Protection"), "boolean false");
    ASSERT_TRUE(desktop_.PressKey(box, "Return"));
    EXPECT_TRUE(WaitFor([&] { return desktop_.VisibleWindowNamedExactly(program.Pid(), "Corvane").empty(); }, kSlack));
    EXPECT_TRUE(SwitchShows(window, false));
    EXPECT_EQ(desktop_.WindowName(window), ui::NotProtectedCaption(Link::kRefused));
    EXPECT_EQ(Stored("Run"), "0");
    EXPECT_TRUE(program.Running());
}

// The service killed (kill -9) and started again: the window says it is not running, then shows the count
// and protection again. What was counted more than a second before the kill is kept.
TEST_F(WindowOnTheService, TheWindowFollowsTheServiceThroughAKillAndARestart) {
    StartService();
    const DesktopUser& member = User(kFirstUser, Membership::kMember);
    ASSERT_EQ(member.SetSetting("Tray", "0"), "");
    Child program = StartWindow(member);
    const std::string window = MainWindow(program);
    ASSERT_NE(window, "");
    EXPECT_TRUE(CaptionBecomes(window, ui::StartupCaption(0)));
    Block();
    Block();
    EXPECT_TRUE(CaptionBecomes(window, ui::BlockedCaption(2)));
    // Not a wait for anything: the time a crash may lose, and a little more.
    std::this_thread::sleep_for(kCountAtRisk + 200ms);

    ASSERT_TRUE(service_->Signal(SIGKILL));
    ASSERT_TRUE(service_->Wait(kSlack).has_value());
    EXPECT_TRUE(CaptionBecomes(window, ui::NotProtectedCaption(Link::kUnreachable))) << desktop_.WindowName(window);
    EXPECT_TRUE(SwitchShows(window, false));
    EXPECT_EQ(Stored("Attempts"), "2");

    StartService();
    EXPECT_TRUE(CaptionBecomes(window, ui::BlockedCaption(2))) << desktop_.WindowName(window);
    EXPECT_TRUE(SwitchShows(window, true));
    Block();
    EXPECT_TRUE(CaptionBecomes(window, ui::BlockedCaption(3))) << desktop_.WindowName(window);
    EXPECT_TRUE(program.Running());
}

// The count is the service's alone: windows killed, terminated or started again neither keep nor lose any
// of it, and the service's termination stores it.
TEST_F(WindowOnTheService, TheCountIsTheServicesWhateverBecomesOfTheWindow) {
    ASSERT_EQ(service_->SetSetting("Attempts", "40"), "");
    StartService();
    const DesktopUser& member = User(kFirstUser, Membership::kMember);
    ASSERT_EQ(member.SetSetting("Tray", "0"), "");
    {
        Child program = StartWindow(member);
        const std::string window = MainWindow(program);
        ASSERT_NE(window, "");
        EXPECT_TRUE(CaptionBecomes(window, ui::StartupCaption(40))) << desktop_.WindowName(window);
        Block();
        EXPECT_TRUE(CaptionBecomes(window, ui::BlockedCaption(41))) << desktop_.WindowName(window);
        program.Signal(SIGKILL);
        EXPECT_EQ(program.WaitExit(kSlack), 128 + SIGKILL);
    }
    Block();
    EXPECT_TRUE(CountBecomes(42));
    {
        Child program = StartWindow(member);
        const std::string window = MainWindow(program);
        ASSERT_NE(window, "");
        EXPECT_TRUE(CaptionBecomes(window, ui::StartupCaption(42))) << desktop_.WindowName(window);
        program.Signal(SIGTERM);
        EXPECT_EQ(program.WaitExit(kSlack), 0);
    }
    Block();
    ASSERT_TRUE(CountBecomes(43));
    // At once, well within the service's own delay before it writes a change.
    ASSERT_TRUE(service_->Signal(SIGTERM));
    const std::optional<int> status = service_->Wait(kSlack);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_EQ(Stored("Attempts"), "43");
}

// Before the desktop session ends its manager asks every client to save. The window has nothing to save
// (the count and the switch are the service's): it answers, keeps running and keeps following the count.
TEST_F(WindowOnTheService, TheSessionManagersSaveRequestLeavesTheWindowRunning) {
    TestSessionManager manager;
    const std::string address = manager.Start();
    ASSERT_NE(address, "") << manager.Error();
    StartService();
    const DesktopUser& member = User(kFirstUser, Membership::kMember);
    ASSERT_EQ(member.SetSetting("Tray", "0"), "");
    Child program = StartWindow(member, {"SESSION_MANAGER=" + address});
    const std::string window = MainWindow(program);
    ASSERT_NE(window, "");
    ASSERT_TRUE(WaitFor([&] { return manager.Registered(); }, kSlack)) << "the window never joined the session";
    Block();
    EXPECT_TRUE(CaptionBecomes(window, ui::BlockedCaption(1)));
    ASSERT_TRUE(manager.SaveYourself(kSlack)) << "no answer to the save request";
    EXPECT_TRUE(program.Running());
    Block();
    EXPECT_TRUE(CaptionBecomes(window, ui::BlockedCaption(2))) << desktop_.WindowName(window);
    EXPECT_TRUE(program.Running());
}

// At login the window may start before the panel: the icon appears when the tray comes, and the window
// stays hidden.
TEST_F(WindowOnTheService, ATrayHostStartingLaterGetsTheIconAndTheWindowStaysHidden) {
    StartService();
    const DesktopUser& member = User(kFirstUser, Membership::kMember);
    Child program = StartWindow(member);
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(desktop_.VisibleWindows(program.Pid()).empty());
    ASSERT_TRUE(desktop_.StartTray());
    EXPECT_TRUE(WaitFor([&] { return desktop_.TrayIcons(program.Pid()).size() == 1; }, kSlack));
    std::this_thread::sleep_for(kTrayHostWait + 1s);
    EXPECT_EQ(desktop_.VisibleWindowNamed(program.Pid(), "Corvane - "), "");
    EXPECT_TRUE(program.Running());
}

// Without any tray host the window shows after the wait, since a hidden window would have no way back.
TEST_F(WindowOnTheService, WithoutATrayHostTheWindowShowsAfterTheWait) {
    StartService();
    const DesktopUser& member = User(kFirstUser, Membership::kMember);
    Child program = StartWindow(member);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(desktop_.VisibleWindowNamed(program.Pid(), "Corvane - "), "");
    EXPECT_TRUE(WaitFor([&] { return desktop_.VisibleWindowNamed(program.Pid(), ui::StartupCaption(0)) != ""; },
                        kTrayHostWait + kSlack));
}

// Without a tray host, Tray keeps the window reachable (minimised, not withdrawn: with no window manager
// here it stays on the screen), and a second start brings it back and ends.
TEST_F(WindowOnTheService, WithoutATrayHostTrayKeepsTheWindowAndASecondStartBringsItBack) {
    StartService();
    const DesktopUser& member = User(kFirstUser, Membership::kMember);
    ASSERT_EQ(member.SetSetting("Tray", "0"), "");
    Child program = StartWindow(member);
    const std::string window = MainWindow(program);
    ASSERT_NE(window, "");
    ASSERT_TRUE(desktop_.Click(window, kBtnTrayX, kBtnTrayY));
    // Not a wait for anything: the time a hide would take to withdraw the window.
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(desktop_.VisibleWindowNamed(program.Pid(), "Corvane - "), window) << "the window was withdrawn";
    Child second = StartWindow(member);
    EXPECT_EQ(second.WaitExit(kSlack), 0);
    EXPECT_EQ(desktop_.VisibleWindowNamed(program.Pid(), "Corvane - "), window);
    EXPECT_TRUE(CaptionBecomes(window, ui::StartupCaption(0)));
    EXPECT_TRUE(program.Running());
}

}  // namespace
}  // namespace corvane::e2e
