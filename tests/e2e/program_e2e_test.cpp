// The built program on a desktop of the test's own, the way a user meets it.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "../engine/private_network.h"
#include "desktop.h"
#include "session_manager.h"
#include "settings/settings_table.h"

namespace corvane::e2e {
namespace {

using namespace std::chrono_literals;
using engine::testing::Connect;
using engine::testing::ConnectionError;
using engine::testing::Listen;
using engine::testing::LocalPort;

constexpr char kDefinitions[] = "V007\r\n127.0.0.2\r\n";
// The main window's controls, in its client coordinates (centres).
constexpr int kBtnOnX = 8 + 153 / 2, kBtnOnY = 8 + 233 / 2;
constexpr int kBtnExitX = 392 + 97 / 2, kBtnExitY = 248 + 33 / 2;
// BtnOptions and BtnUpdate sit at the same place inside their frames ("Options" at 168, 8; "Update" at
// 168, 128); BtnClose on the Options window.
constexpr int kBtnOptionsX = 168 + 192 + 225 / 2, kBtnOptionsY = 8 + 64 + 33 / 2;
constexpr int kBtnUpdateX = kBtnOptionsX, kBtnUpdateY = 128 + 64 + 33 / 2;
constexpr int kBtnCloseX = 312 + 97 / 2, kBtnCloseY = 224 + 33 / 2;
// How long the program waits for a tray host before it shows its window, and a margin for a slow machine.
constexpr auto kTrayHostWait = 5s;
constexpr auto kSlack = 20s;
// Longer than any double-click interval: clicks this far apart are separate clicks.
constexpr auto kBeyondDoubleClick = 1200ms;

std::string Stored(settings::Setting setting) { return settings::ToText(settings::ReadSetting(setting)); }

void Store(settings::Setting setting, const char* text) {
    settings::EnsureSettingKey(setting);
    ASSERT_TRUE(settings::WriteSetting(setting, settings::RegistryVariant(std::string(text))));
}

class ProgramOnADesktop : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private network namespace";
        ASSERT_EQ(desktop_.Start(), "");
    }

    // Starts the program and waits until its icon is in the tray.
    Child StartDocked() {
        Child program = install_.Start(desktop_);
        EXPECT_TRUE(WaitFor([&] { return desktop_.TrayIcons(program.Pid()).size() == 1; }, kSlack)) << "no tray icon";
        return program;
    }

    // A listed connection: it must be torn down, the count going up by one.
    void Block() {
        auto listener = Listen("127.0.0.2");
        ASSERT_TRUE(listener.Valid());
        auto connection = Connect("127.0.0.2", LocalPort(listener.Get()));
        ASSERT_TRUE(connection.Valid());
        ASSERT_TRUE(WaitFor([&] { return ConnectionError(connection.Get()) != 0; }, kSlack)) << "not torn down";
    }

    VirtualDesktop desktop_;
    Installation install_{kDefinitions};
};

TEST_F(ProgramOnADesktop, AUserSessionFromFirstStartToExit) {
    ASSERT_TRUE(desktop_.StartTray());
    Child program = StartDocked();
    // Only the tray icon: no window shows.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(desktop_.VisibleWindows(program.Pid()).size(), 1u);
    EXPECT_EQ(Stored(settings::Setting::Attempts), "0");

    // A click on the icon shows the window with the count in its caption.
    const auto icon = desktop_.TrayIcons(program.Pid());
    ASSERT_EQ(icon.size(), 1u);
    ASSERT_TRUE(desktop_.Click(icon[0], 8, 8));
    std::string window;
    ASSERT_TRUE(
        WaitFor([&] { return !(window = desktop_.VisibleWindowNamed(program.Pid(), "Corvane - ")).empty(); }, kSlack));
    EXPECT_EQ(desktop_.WindowName(window), "Corvane - 0 Attempts Blocked");

    // The switch: off, then on again, each written as "Run".
    ASSERT_TRUE(desktop_.Click(window, kBtnOnX, kBtnOnY));
    EXPECT_TRUE(WaitFor([] { return Stored(settings::Setting::Run) == "0"; }, kSlack));
    std::this_thread::sleep_for(kBeyondDoubleClick);  // two clicks, not a double click
    ASSERT_TRUE(desktop_.Click(window, kBtnOnX, kBtnOnY));
    EXPECT_TRUE(WaitFor([] { return Stored(settings::Setting::Run) == "1"; }, kSlack));

    // A second start ends at once and adds no icon.
    Child second = install_.Start(desktop_);
    EXPECT_EQ(second.WaitExit(kSlack), 0);
    EXPECT_EQ(desktop_.TrayIcons(program.Pid()).size(), 1u);
    EXPECT_TRUE(program.Running());

    // A listed connection is torn down and counted in the caption.
    Block();
    EXPECT_TRUE(WaitFor([&] { return desktop_.WindowName(window) == "Corvane - 1 Attempts blocked"; }, kSlack))
        << desktop_.WindowName(window);

    // Exit: the count is saved, the icon goes with the program.
    ASSERT_TRUE(desktop_.Click(window, kBtnExitX, kBtnExitY));
    EXPECT_EQ(program.WaitExit(kSlack), 0);
    EXPECT_EQ(Stored(settings::Setting::Attempts), "1");
    EXPECT_EQ(desktop_.Run("xdotool search --name '^Corvane' 2>/dev/null"), "");
}

// Options and Update open the Options window on their own tab (its caption names the tab), and Close
// takes it away again.
TEST_F(ProgramOnADesktop, OptionsAndUpdateOpenTheOptionsWindowOnTheirTab) {
    ASSERT_TRUE(desktop_.StartTray());
    Store(settings::Setting::Tray, "0");
    Child program = StartDocked();
    std::string window;
    ASSERT_TRUE(
        WaitFor([&] { return !(window = desktop_.VisibleWindowNamed(program.Pid(), "Corvane - ")).empty(); }, kSlack));
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

TEST_F(ProgramOnADesktop, TerminationSavesTheCount) {
    ASSERT_TRUE(desktop_.StartTray());
    Store(settings::Setting::Attempts, "40");
    Child program = StartDocked();
    Block();
    program.Signal(SIGTERM);
    EXPECT_EQ(program.WaitExit(kSlack), 0);
    EXPECT_EQ(Stored(settings::Setting::Attempts), "41");
}

// A crash or kill -9 runs no code of the program: what was counted more than a second before is kept.
TEST_F(ProgramOnADesktop, AKilledProgramKeepsTheCountOfMoreThanASecondBefore) {
    ASSERT_TRUE(desktop_.StartTray());
    Child program = StartDocked();
    Block();
    Block();
    std::this_thread::sleep_for(2500ms);
    program.Signal(SIGKILL);
    EXPECT_EQ(program.WaitExit(kSlack), 128 + SIGKILL);
    EXPECT_EQ(Stored(settings::Setting::Attempts), "2");
}

// When the X server goes away Qt ends the program from inside its event loop; the count is saved on
// that way out too.
TEST_F(ProgramOnADesktop, LosingTheDisplaySavesTheCount) {
    ASSERT_TRUE(desktop_.StartTray());
    Child program = StartDocked();
    Block();
    // Not written yet: the running save comes a second after the block, so what follows is the exit's.
    ASSERT_EQ(Stored(settings::Setting::Attempts), "0");
    desktop_.KillServer();
    EXPECT_NE(program.WaitExit(kSlack), -1);
    EXPECT_EQ(Stored(settings::Setting::Attempts), "1");
}

// Before the desktop session ends its manager asks every client to save: the count is written then,
// without waiting for the running save a second after the block, and the program keeps running.
TEST_F(ProgramOnADesktop, TheSessionManagersSaveRequestWritesTheCount) {
    TestSessionManager manager;
    const std::string address = manager.Start();
    ASSERT_NE(address, "") << manager.Error();
    ASSERT_TRUE(desktop_.StartTray());
    Child program = install_.Start(desktop_, {}, {"SESSION_MANAGER=" + address});
    ASSERT_TRUE(WaitFor([&] { return desktop_.TrayIcons(program.Pid()).size() == 1; }, kSlack)) << "no tray icon";
    ASSERT_TRUE(WaitFor([&] { return manager.Registered(); }, kSlack)) << "the program never joined the session";
    Block();
    ASSERT_TRUE(manager.SaveYourself(kSlack)) << "no answer to the save request";
    EXPECT_EQ(Stored(settings::Setting::Attempts), "1");
    EXPECT_TRUE(program.Running());
}

// At login the program may start before the panel: the icon appears when the tray comes, and the
// window stays hidden.
TEST_F(ProgramOnADesktop, ATrayHostStartingLaterGetsTheIconAndTheWindowStaysHidden) {
    Child program = install_.Start(desktop_);
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(desktop_.VisibleWindows(program.Pid()).empty());
    ASSERT_TRUE(desktop_.StartTray());
    EXPECT_TRUE(WaitFor([&] { return desktop_.TrayIcons(program.Pid()).size() == 1; }, kSlack));
    std::this_thread::sleep_for(kTrayHostWait + 1s);
    EXPECT_EQ(desktop_.VisibleWindowNamed(program.Pid(), "Corvane - "), "");
    EXPECT_TRUE(program.Running());
}

// Without any tray host the window shows after the wait, since a hidden window would have no way back.
TEST_F(ProgramOnADesktop, WithoutATrayHostTheWindowShowsAfterTheWait) {
    Child program = install_.Start(desktop_);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(desktop_.VisibleWindowNamed(program.Pid(), "Corvane - "), "");
    EXPECT_TRUE(WaitFor([&] { return !desktop_.VisibleWindowNamed(program.Pid(), "Corvane - 0").empty(); },
                        kTrayHostWait + kSlack));
}

}  // namespace
}  // namespace corvane::e2e
