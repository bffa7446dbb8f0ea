// Whether the window can be shown anywhere, decided before Qt picks a platform: the decision on the
// environments users have, and the built program without any display or with one it cannot use.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "desktop.h"
#include "platform/unique_fd.h"
#include "ui/main/display_check.h"
#include "ui_test_support.h"

namespace corvane::ui {
namespace {

// A machine the test describes: the X displays and Wayland sockets that answer, and the plugin
// families Qt has.
struct Machine {
    std::set<std::string> sockets;
    std::set<std::string> plugins{"xcb", "wayland"};
    DisplayEnvironment Env() const {
        DisplayEnvironment env;
        env.runtimeDir = "/run/user/1000";
        const auto contact = [this](const std::string& name) {
            DisplayContact found;  // no server there
            if (sockets.count(name) != 0) found.state = DisplayContact::State::kAnswers;
            return found;
        };
        env.connectX = contact;
        env.connectWayland = contact;
        env.hasPlugin = [this](const std::string& family) { return plugins.count(family) != 0; };
        env.pluginFolders = "/usr/lib/qt6/plugins/platforms";
        return env;
    }
};

bool Mentions(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(DisplayCheck, NothingToShowOnIsSaidInTheProgramsWords) {
    Machine machine;
    DisplayChoice choice = ChooseDisplay(machine.Env());
    EXPECT_FALSE(choice.usable);
    EXPECT_TRUE(Mentions(choice.problem, "DISPLAY is not set")) << choice.problem;
    EXPECT_TRUE(Mentions(choice.problem, "WAYLAND_DISPLAY is not set")) << choice.problem;

    // Names that lead nowhere: an X display without its server, a compositor that is not there.
    DisplayEnvironment env = machine.Env();
    env.display = ":7";
    env.waylandDisplay = "wayland-3";
    choice = ChooseDisplay(env);
    EXPECT_FALSE(choice.usable);
    EXPECT_TRUE(Mentions(choice.problem, "no X server answers on DISPLAY=:7")) << choice.problem;
    EXPECT_TRUE(Mentions(choice.problem, "WAYLAND_DISPLAY=wayland-3")) << choice.problem;
}

TEST(DisplayCheck, AWaylandSessionWithoutQtsPluginNorXWayland) {
    Machine machine;
    machine.sockets = {"/run/user/1000/wayland-0"};
    machine.plugins = {"xcb"};
    DisplayEnvironment env = machine.Env();
    env.waylandDisplay = "wayland-0";
    DisplayChoice choice = ChooseDisplay(env);
    EXPECT_FALSE(choice.usable);
    EXPECT_TRUE(Mentions(choice.problem, "qt6-wayland")) << choice.problem;
    EXPECT_TRUE(Mentions(choice.problem, "DISPLAY is not set")) << choice.problem;

    // With XWayland the X server does: Qt is pointed there, as its own pick might be Wayland.
    machine.sockets.insert(":0");
    env = machine.Env();
    env.waylandDisplay = "wayland-0";
    env.display = ":0";
    choice = ChooseDisplay(env);
    EXPECT_TRUE(choice.usable);
    EXPECT_EQ(choice.platform, "xcb");

    // Asked for Wayland by name: refused with the way out.
    env.qpaPlatform = "wayland";
    choice = ChooseDisplay(env);
    EXPECT_FALSE(choice.usable);
    EXPECT_TRUE(Mentions(choice.problem, "qt6-wayland")) << choice.problem;
    EXPECT_TRUE(Mentions(choice.problem, "unset QT_QPA_PLATFORM")) << choice.problem;
    // A list lets Qt fall back.
    env.qpaPlatform = "wayland;xcb";
    EXPECT_TRUE(ChooseDisplay(env).usable);
}

TEST(DisplayCheck, TheDisplayThatAnswersIsTheOneUsed) {
    Machine machine;
    machine.sockets = {"/tmp/wl/compositor", "unix:5.0"};
    DisplayEnvironment env = machine.Env();
    env.waylandDisplay = "/tmp/wl/compositor";  // an absolute socket path
    DisplayChoice choice = ChooseDisplay(env);
    EXPECT_TRUE(choice.usable);
    EXPECT_EQ(choice.platform, "wayland");

    env.display = "unix:5.0";
    choice = ChooseDisplay(env);
    EXPECT_TRUE(choice.usable);
    EXPECT_EQ(choice.platform, "") << "both there: Qt's own pick";

    // Platforms without a desktop's display are Qt's to judge.
    Machine bare;
    env = bare.Env();
    env.qpaPlatform = "offscreen";
    EXPECT_TRUE(ChooseDisplay(env).usable);
    // A runtime folder is needed to find a compositor by name.
    env = machine.Env();
    env.runtimeDir.reset();
    env.waylandDisplay = "wayland-0";
    EXPECT_TRUE(Mentions(ChooseDisplay(env).problem, "XDG_RUNTIME_DIR is not set"));
}

// The built program, with no display but those a test gives it: its own message and a plain failure,
// not Qt's abort.
class TheProgram : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::mkdir(runtime_.c_str(), 0700), 0); }

    // Runs it with `settings` ("NAME=value …") and waits for its end: the exit code, or -1 when a signal
    // ended it. What it wrote to standard error is in said_.
    int Run(const std::string& settings) {
        const std::string errors = (root_.path() / "errors.txt").string();
        const std::string command =
            "env -u DISPLAY -u WAYLAND_DISPLAY -u WAYLAND_SOCKET -u QT_QPA_PLATFORM "
            "-u XAUTHORITY XDG_RUNTIME_DIR=" +
            runtime_ + " DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent " + settings + " '" + CORVANE_BINARY + "' 2>'" +
            errors + "'";
        const int status = std::system(command.c_str());
        said_.clear();
        if (FILE* file = std::fopen(errors.c_str(), "r")) {
            char buffer[1024];
            std::size_t got;
            while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) said_.append(buffer, got);
            std::fclose(file);
        }
        // The shell reports a program ended by a signal as 128 + the signal.
        return WIFEXITED(status) && WEXITSTATUS(status) < 128 ? WEXITSTATUS(status) : -1;
    }

    testing::ScratchRoot root_;
    const std::string runtime_ = (root_.path() / "runtime").string();
    std::string said_;
};

TEST_F(TheProgram, WithoutADisplaySaysSoAndEnds) {
    EXPECT_EQ(Run(""), 2);
    EXPECT_TRUE(Mentions(said_, "corvane: no display to show the window on: ")) << said_;
    EXPECT_TRUE(Mentions(said_, "DISPLAY is not set")) << said_;
    EXPECT_TRUE(Mentions(said_, "goes on protecting")) << said_;
}

// Displays whose socket is there but that cannot be used: each is said, and the program ends.
TEST_F(TheProgram, ADisplayThatCannotBeUsedIsSaidAndEnds) {
    // A compositor that has gone, its socket file left in the runtime folder.
    {
        const platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s/wayland-gone", runtime_.c_str());
        ASSERT_EQ(::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    EXPECT_EQ(Run("WAYLAND_DISPLAY=wayland-gone"), 2);
    EXPECT_TRUE(Mentions(said_, "the Wayland compositor at WAYLAND_DISPLAY=wayland-gone does not answer")) << said_;

    // An X server killed, its socket file left in /tmp/.X11-unix.
    e2e::VirtualDesktop crashed;
    ASSERT_EQ(crashed.Start(), "");
    crashed.Crash();
    EXPECT_EQ(Run("DISPLAY=" + crashed.Display()), 2);
    EXPECT_TRUE(Mentions(said_, "the X server of DISPLAY=" + crashed.Display() + " has gone")) << said_;

    // An X server that takes only its own cookie, and a user whose Xauthority file has another.
    const auto cookie = [](const std::string& file, const std::string& display, const std::string& hex) {
        return std::system(
            ("xauth -q -f '" + file + "' add " + display + " MIT-MAGIC-COOKIE-1 " + hex + " 2>/dev/null").c_str());
    };
    const std::string own = (root_.path() / "server.auth").string(), other = (root_.path() / "user.auth").string();
    ASSERT_EQ(cookie(own, ":0", "00112233445566778899aabbccddeeff"), 0);
    e2e::VirtualDesktop guarded;
    ASSERT_EQ(guarded.Start(own), "");
    ASSERT_EQ(cookie(other, guarded.Display(), "ffeeddccbbaa99887766554433221100"), 0);
    EXPECT_EQ(Run("DISPLAY=" + guarded.Display() + " XAUTHORITY='" + other + "'"), 2);
    EXPECT_TRUE(Mentions(said_, "the X server on DISPLAY=" + guarded.Display() +
                                    " refused this user's authorization (from " + other +
                                    "): Invalid MIT-MAGIC-COOKIE-1 key"))
        << said_;
}

}  // namespace
}  // namespace corvane::ui
