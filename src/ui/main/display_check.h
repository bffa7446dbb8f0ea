#pragma once
// Before the window's application starts: can the window be shown anywhere? Qt ends the program with
// its own text (and a core dump) when the platform it picks cannot be used: no X server, a Wayland
// compositor without Qt's Wayland plugin, … The program looks first, says in its own words what is
// missing, and otherwise points Qt at a display that works when Qt's own pick would not.
#include <functional>
#include <optional>
#include <string>

namespace corvane::ui {

// What the decision reads: the environment, the machine's sockets and Qt's platform plugins.
struct DisplayEnvironment {
    std::optional<std::string> qpaPlatform;     // QT_QPA_PLATFORM
    std::optional<std::string> display;         // DISPLAY
    std::optional<std::string> waylandDisplay;  // WAYLAND_DISPLAY
    std::optional<std::string> waylandSocket;   // WAYLAND_SOCKET (a connection handed over)
    std::optional<std::string> runtimeDir;      // XDG_RUNTIME_DIR
    // Whether a Unix socket accepts a connection; "@name" is a name in the abstract namespace.
    std::function<bool(const std::string& socket)> answers;
    // Where Qt's platform plugins are looked for, for the messages.
    std::string pluginFolders;
    // Whether Qt has a platform plugin of the family: "xcb" or "wayland".
    std::function<bool(const std::string& family)> hasPlugin;

    // This process's: its environment, real connections, the plugin folders of QT_PLUGIN_PATH and of
    // Qt's installation (QLibraryInfo::PluginsPath).
    static DisplayEnvironment OfThisProcess();
};

struct DisplayChoice {
    bool usable = false;
    // The platform to give Qt (QT_QPA_PLATFORM) when its own pick would fail; empty to leave Qt's.
    std::string platform;
    // Why nothing can be used, in the user's words.
    std::string problem;
};

DisplayChoice ChooseDisplay(const DisplayEnvironment& environment);

}  // namespace corvane::ui
