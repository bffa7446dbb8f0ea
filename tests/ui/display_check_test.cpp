// Whether the window can be shown anywhere, decided before Qt picks a platform: the decision on the
// environments users have, and the built program without any display.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "ui/main/display_check.h"
#include "ui_test_support.h"

namespace corvane::ui {
namespace {

// A machine the test describes: the sockets that answer and the plugin families Qt has.
struct Machine {
    std::set<std::string> sockets;
    std::set<std::string> plugins{"xcb", "wayland"};
    DisplayEnvironment Env() const {
        DisplayEnvironment env;
        env.runtimeDir = "/run/user/1000";
        env.answers = [this](const std::string& socket) { return sockets.count(socket) != 0; };
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
    machine.sockets.insert("@/tmp/.X11-unix/X0");
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
    machine.sockets = {"/tmp/wl/compositor", "/tmp/.X11-unix/X5"};
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

// The built program with no display at all: its own message and a plain failure, not Qt's abort.
TEST(DisplayCheck, TheProgramWithoutADisplaySaysSoAndEnds) {
    testing::ScratchRoot root;
    const std::string runtime = (root.path() / "runtime").string();
    ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
    const std::string errors = (root.path() / "errors.txt").string();
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u WAYLAND_SOCKET -u QT_QPA_PLATFORM "
                                "XDG_RUNTIME_DIR=" + runtime + " DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent '" +
                                CORVANE_BINARY + "' 2>'" + errors + "'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 2);
    std::string said;
    if (FILE* file = std::fopen(errors.c_str(), "r")) {
        char buffer[1024];
        std::size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) said.append(buffer, got);
        std::fclose(file);
    }
    EXPECT_TRUE(Mentions(said, "corvane: no display to show the window on")) << said;
    EXPECT_TRUE(Mentions(said, "goes on protecting")) << said;
}

}  // namespace
}  // namespace corvane::ui
