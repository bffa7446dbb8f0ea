#pragma once
// Before the window's application starts: can the window be shown anywhere? Qt ends the program with
// its own text (and a core dump) when the platform it picks cannot be used: no X server, a socket left
// behind by a server that has gone, an X server that refuses the user's authorization, a Wayland
// compositor without Qt's Wayland plugin, … The program connects first, says in its own words what is
// wrong, and otherwise points Qt at a display that works when Qt's own pick would not.
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace corvane::ui {

// What a connection to a display server found.
struct DisplayContact {
    enum class State {
        kAnswers,        // connected (for X: the server took this user's authorization)
        kNoServer,       // no socket there at all
        kNobodyListens,  // the socket is left, but nothing listens on it: its server has gone
        kRefused,        // the server answered and refused the connection
        kUnreachable,    // any other failure; `reason` says which
    };
    State state = State::kNoServer;
    // The server's own words for a refusal, or the system's for a failure; may be empty.
    std::string reason;
    // The connection, kept open until the toolkit has made its own: an X server whose last client
    // leaves starts afresh and refuses whoever connects in that moment. Null when not kept.
    std::shared_ptr<void> connection;
};

// What the decision reads: the environment, the display servers and Qt's platform plugins.
struct DisplayEnvironment {
    std::optional<std::string> qpaPlatform;     // QT_QPA_PLATFORM
    std::optional<std::string> display;         // DISPLAY
    std::optional<std::string> waylandDisplay;  // WAYLAND_DISPLAY
    std::optional<std::string> waylandSocket;   // WAYLAND_SOCKET (a connection handed over)
    std::optional<std::string> runtimeDir;      // XDG_RUNTIME_DIR
    std::optional<std::string> xauthority;      // XAUTHORITY (else ~/.Xauthority), for the messages
    // Connects to the X server that DISPLAY names, as the toolkit will (with this user's authorization).
    std::function<DisplayContact(const std::string& display)> connectX;
    // Connects to a Wayland compositor's socket (a path).
    std::function<DisplayContact(const std::string& socket)> connectWayland;
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
    // The check's own connection to the X server, to be let go once Qt has connected; may be null.
    std::shared_ptr<void> connection;
};

DisplayChoice ChooseDisplay(const DisplayEnvironment& environment);

}  // namespace corvane::ui
