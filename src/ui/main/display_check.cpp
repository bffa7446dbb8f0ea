#include "ui/main/display_check.h"

#include <QByteArray>
#include <QDir>
#include <QLibraryInfo>
#include <QString>
#include <QStringList>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace corvane::ui {
namespace {

std::optional<std::string> Env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] == '\0') return std::nullopt;
    return std::string(value);
}

// Whether a server listens at a Unix socket, found without connecting to it: a connection that
// closes at once is a client to an X server, and a server whose last client leaves starts afresh,
// refusing the connection the toolkit makes a moment later. A named socket is looked at in the file
// system; an abstract one ("@…") among the listening sockets of this network namespace.
bool SocketAnswers(const std::string& name) {
    if (name.empty()) return false;
    if (name[0] != '@') {
        struct stat info {};
        return ::stat(name.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
    }
    std::ifstream table("/proc/net/unix");
    std::string line;
    std::getline(table, line);  // the heading: Num RefCount Protocol Flags Type St Inode Path
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string number, references, protocol, flags, type, state, inode, path;
        if (!(fields >> number >> references >> protocol >> flags >> type >> state >> inode >> path)) continue;
        constexpr unsigned long kAcceptsConnections = 0x10000;  // __SO_ACCEPTCON: a listening socket
        if (path == name && (std::strtoul(flags.c_str(), nullptr, 16) & kAcceptsConnections) != 0) return true;
    }
    return false;
}

QStringList PluginFolders() {
    QStringList folders;
    for (const QString& entry : QString::fromLocal8Bit(qgetenv("QT_PLUGIN_PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts))
        folders << entry + QStringLiteral("/platforms");
    folders << QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms");
    return folders;
}

// The X server DISPLAY names: usable, or why not.
struct Reach {
    bool ok = false;
    std::string why;
};

Reach XServer(const DisplayEnvironment& env) {
    if (!env.display) return {false, "DISPLAY is not set (no X server, nor XWayland)"};
    const std::string& display = *env.display;
    const auto colon = display.rfind(':');
    if (colon == std::string::npos) return {false, "DISPLAY=" + display + " names no X display"};
    const std::string host = display.substr(0, colon);
    std::string number = display.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    Reach reach;
    if (!host.empty() && host != "unix") {
        reach.ok = true;  // a server over the network: only Qt's own connection can tell
    } else if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
        return {false, "DISPLAY=" + display + " names no X display"};
    } else {
        const std::string socket = "/tmp/.X11-unix/X" + number;
        reach.ok = env.answers && (env.answers("@" + socket) || env.answers(socket));
        if (!reach.ok) return {false, "no X server answers on DISPLAY=" + display};
    }
    if (env.hasPlugin && !env.hasPlugin("xcb"))
        return {false, "Qt's X11 platform plugin (libqxcb.so) is not in " + env.pluginFolders +
                           " (the package qt6-qpa-plugins brings it)"};
    return reach;
}

Reach WaylandCompositor(const DisplayEnvironment& env) {
    Reach reach;
    if (env.waylandSocket) {
        reach.ok = true;  // a connection handed over by the compositor itself
    } else {
        const std::string name = env.waylandDisplay.value_or("wayland-0");
        std::string path = name;
        if (name[0] != '/') {
            if (!env.runtimeDir)
                return {false, env.waylandDisplay ? "XDG_RUNTIME_DIR is not set, so WAYLAND_DISPLAY=" + name +
                                                        " cannot be found"
                                                  : "WAYLAND_DISPLAY is not set (no Wayland compositor)"};
            path = *env.runtimeDir + "/" + name;
        }
        reach.ok = env.answers && env.answers(path);
        if (!reach.ok)
            return {false, env.waylandDisplay ? "no Wayland compositor answers at WAYLAND_DISPLAY=" + name
                                              : "WAYLAND_DISPLAY is not set (no Wayland compositor)"};
    }
    if (env.hasPlugin && !env.hasPlugin("wayland"))
        return {false, "a Wayland compositor is there, but Qt's Wayland platform plugin (libqwayland-*.so) is not in " +
                           env.pluginFolders + " (the package qt6-wayland brings it)"};
    return reach;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const auto end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

}  // namespace

DisplayEnvironment DisplayEnvironment::OfThisProcess() {
    DisplayEnvironment env;
    env.qpaPlatform = Env("QT_QPA_PLATFORM");
    env.display = Env("DISPLAY");
    env.waylandDisplay = Env("WAYLAND_DISPLAY");
    env.waylandSocket = Env("WAYLAND_SOCKET");
    env.runtimeDir = Env("XDG_RUNTIME_DIR");
    env.answers = SocketAnswers;
    const QStringList folders = PluginFolders();
    env.pluginFolders = folders.join(QStringLiteral(", ")).toStdString();
    env.hasPlugin = [folders](const std::string& family) {
        const QString pattern = family == "wayland" ? QStringLiteral("libqwayland-*.so") : QStringLiteral("libqxcb.so");
        for (const QString& folder : folders)
            if (!QDir(folder).entryList({pattern}, QDir::Files).isEmpty()) return true;
        return false;
    };
    return env;
}

DisplayChoice ChooseDisplay(const DisplayEnvironment& env) {
    const Reach x = XServer(env);
    const Reach wayland = WaylandCompositor(env);
    DisplayChoice choice;
    if (env.qpaPlatform) {
        // "wayland;xcb": Qt tries each in turn; "wayland:option=…" carries options.
        bool askedX = false, askedWayland = false;
        for (const std::string& entry : Split(*env.qpaPlatform, ';')) {
            const std::string name = entry.substr(0, entry.find(':'));
            const bool isX = name == "xcb", isWayland = name.rfind("wayland", 0) == 0;
            askedX = askedX || isX;
            askedWayland = askedWayland || isWayland;
            // Other platforms (offscreen, vnc, eglfs, …) need no desktop's display: Qt's to judge.
            if ((isX && x.ok) || (isWayland && wayland.ok) || (!isX && !isWayland && !name.empty())) {
                choice.usable = true;
                return choice;
            }
        }
        choice.problem = "QT_QPA_PLATFORM=" + *env.qpaPlatform + " asks for a display that cannot be used";
        if (askedX) choice.problem += ": " + x.why;
        if (askedWayland) choice.problem += (askedX ? "; " : ": ") + wayland.why;
        const std::string other = askedX ? (wayland.ok ? "Wayland" : "") : (x.ok ? "the X server" : "");
        if (!other.empty()) choice.problem += " (" + other + " could be used: unset QT_QPA_PLATFORM)";
        return choice;
    }
    if (x.ok || wayland.ok) {
        choice.usable = true;
        // Both there: Qt's own pick. One alone: that one, whatever Qt would have picked.
        if (x.ok != wayland.ok) choice.platform = x.ok ? "xcb" : "wayland";
        return choice;
    }
    choice.problem = wayland.why + "; " + x.why;
    return choice;
}

}  // namespace corvane::ui
