#include "ui/main/display_check.h"

#include <QByteArray>
#include <QDir>
#include <QLibraryInfo>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/unique_fd.h"

namespace corvane::ui {
namespace {

using platform::UniqueFd;
using State = DisplayContact::State;

std::optional<std::string> Env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] == '\0') return std::nullopt;
    return std::string(value);
}

// A connection to a Unix socket ("@name": a name in the abstract namespace): 0, or the errno.
int ConnectUnix(const std::string& name) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.empty() || name.size() >= sizeof address.sun_path) return ENAMETOOLONG;
    std::memcpy(address.sun_path, name.data(), name.size());
    auto length = static_cast<socklen_t>(sizeof address);
    if (name[0] == '@') {
        address.sun_path[0] = '\0';
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    }
    const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid()) return errno;
    // A full queue (EAGAIN) still means someone listens there.
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length) == 0 || errno == EAGAIN) return 0;
    return errno;
}

bool IsSocket(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// A Wayland compositor's socket: connecting is all it takes to know one listens there.
DisplayContact ConnectWayland(const std::string& path) {
    const int error = ConnectUnix(path);
    if (error == 0) return {State::kAnswers, {}, nullptr};
    if (error == ENOENT) return {State::kNoServer, {}, nullptr};
    if (error == ECONNREFUSED) return {State::kNobodyListens, {}, nullptr};
    return {State::kUnreachable, std::strerror(error), nullptr};
}

// What is written to standard error while the object lives: the X library writes an X server's
// reason for refusing a connection there, and it belongs in the program's own message. Nothing is
// taken when standard error cannot be redirected; the text then goes where it would have.
class ErrorOutputCapture {
public:
    ErrorOutputCapture() {
        if (::fcntl(STDERR_FILENO, F_GETFD) < 0) return;  // no standard error: the pipe would take its place
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
        read_ = UniqueFd(ends[0]);
        const UniqueFd write(ends[1]);
        saved_ = UniqueFd(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0));
        if (saved_.Valid() && ::dup2(write.Get(), STDERR_FILENO) < 0) saved_.Reset();
    }
    ~ErrorOutputCapture() { Restore(); }
    ErrorOutputCapture(const ErrorOutputCapture&) = delete;
    ErrorOutputCapture& operator=(const ErrorOutputCapture&) = delete;

    // Standard error back where it was, and what was written meanwhile, on one line.
    std::string Take() {
        if (!Restore()) return {};
        std::string text;
        char buffer[512];
        ssize_t got;
        while ((got = ::read(read_.Get(), buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(got));
        for (char& c : text)
            if (c == '\n' || c == '\r') c = ' ';
        while (!text.empty() && text.back() == ' ') text.pop_back();
        return text;
    }

private:
    bool Restore() {
        if (!saved_.Valid()) return false;
        const bool back = ::dup2(saved_.Get(), STDERR_FILENO) >= 0;
        saved_.Reset();
        return back;
    }

    UniqueFd read_;
    UniqueFd saved_;  // the real standard error while it is redirected
};

// The X server DISPLAY names, connected to with xcb as Qt's X11 platform connects (the same address
// and the same authorization). A failed connection is told apart by the server's socket.
DisplayContact ConnectX(const std::string& display) {
    xcb_connection_t* connection = nullptr;
    std::string said;
    {
        ErrorOutputCapture capture;
        connection = xcb_connect(display.c_str(), nullptr);
        said = capture.Take();
    }
    if (xcb_connection_has_error(connection) == 0) return {State::kAnswers, {}, {connection, xcb_disconnect}};
    xcb_disconnect(connection);  // an error connection: only given back

    char* host = nullptr;
    int number = 0;
    if (xcb_parse_display(display.c_str(), &host, &number, nullptr) == 0) return {State::kUnreachable, said, nullptr};
    const bool local = host == nullptr || host[0] == '\0' || std::strcmp(host, "unix") == 0;
    std::free(host);
    // Over the network only the server's words tell a refusal from a server that is not there.
    if (!local) return {said.empty() ? State::kUnreachable : State::kRefused, said, nullptr};
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
    if (ConnectUnix("@" + socket) == 0 || ConnectUnix(socket) == 0) return {State::kRefused, said, nullptr};
    return {IsSocket(socket) ? State::kNobodyListens : State::kNoServer, said, nullptr};
}

QStringList PluginFolders() {
    QStringList folders;
    for (const QString& entry : QString::fromLocal8Bit(qgetenv("QT_PLUGIN_PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts))
        folders << entry + QStringLiteral("/platforms");
    folders << QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms");
    return folders;
}

// A display server: usable, or why not; with the check's connection to it, where one is kept.
struct Reach {
    bool ok = false;
    std::string why;
    std::shared_ptr<void> connection;
};

std::string WithReason(const std::string& text, const std::string& reason) {
    return reason.empty() ? text : text + " (" + reason + ")";
}

// The X server DISPLAY names.
Reach XServer(const DisplayEnvironment& env) {
    if (!env.display) return {false, "DISPLAY is not set (no X server, nor XWayland)", nullptr};
    const std::string& display = *env.display;
    const auto colon = display.rfind(':');
    if (colon == std::string::npos) return {false, "DISPLAY=" + display + " names no X display", nullptr};
    const std::string host = display.substr(0, colon);
    std::string number = display.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    const bool local = host.empty() || host == "unix";
    if (local && (number.empty() || number.find_first_not_of("0123456789") != std::string::npos))
        return {false, "DISPLAY=" + display + " names no X display", nullptr};
    DisplayContact contact;
    if (env.connectX) contact = env.connectX(display);
    switch (contact.state) {
        case State::kAnswers:
            break;
        case State::kNoServer:
            return {false, "no X server answers on DISPLAY=" + display, nullptr};
        case State::kNobodyListens:
            return {false,
                    "the X server of DISPLAY=" + display + " has gone: its socket /tmp/.X11-unix/X" + number +
                        " is left, but nothing listens on it",
                    nullptr};
        case State::kRefused:
            return {false,
                    "the X server on DISPLAY=" + display + " refused this user's authorization (from " +
                        env.xauthority.value_or("~/.Xauthority") + ")" +
                        (contact.reason.empty() ? "" : ": " + contact.reason),
                    nullptr};
        case State::kUnreachable:
            return {false, WithReason("the X server on DISPLAY=" + display + " cannot be reached", contact.reason),
                    nullptr};
    }
    if (env.hasPlugin && !env.hasPlugin("xcb"))
        return {false,
                "Qt's X11 platform plugin (libqxcb.so) is not in " + env.pluginFolders +
                    " (the package qt6-qpa-plugins brings it)",
                nullptr};
    return {true, {}, std::move(contact.connection)};
}

Reach WaylandCompositor(const DisplayEnvironment& env) {
    if (!env.waylandSocket) {  // else a connection handed over by the compositor itself
        const std::string name = env.waylandDisplay.value_or("wayland-0");
        std::string path = name;
        if (name[0] != '/') {
            if (!env.runtimeDir)
                return {false,
                        env.waylandDisplay
                            ? "XDG_RUNTIME_DIR is not set, so WAYLAND_DISPLAY=" + name + " cannot be found"
                            : "WAYLAND_DISPLAY is not set (no Wayland compositor)",
                        nullptr};
            path = *env.runtimeDir + "/" + name;
        }
        DisplayContact contact;
        if (env.connectWayland) contact = env.connectWayland(path);
        if (contact.state != State::kAnswers && !env.waylandDisplay)
            return {false, "WAYLAND_DISPLAY is not set (no Wayland compositor)", nullptr};
        switch (contact.state) {
            case State::kAnswers:
                break;
            case State::kNoServer:
                return {false, "no Wayland compositor answers at WAYLAND_DISPLAY=" + name, nullptr};
            case State::kNobodyListens:
                return {false,
                        "the Wayland compositor at WAYLAND_DISPLAY=" + name + " does not answer: its socket " + path +
                            " is left, but nothing listens on it",
                        nullptr};
            case State::kRefused:
            case State::kUnreachable:
                return {false,
                        WithReason("the Wayland compositor at WAYLAND_DISPLAY=" + name + " cannot be reached",
                                   contact.reason),
                        nullptr};
        }
    }
    if (env.hasPlugin && !env.hasPlugin("wayland"))
        return {false,
                "a Wayland compositor is there, but Qt's Wayland platform plugin (libqwayland-*.so) is not in " +
                    env.pluginFolders + " (the package qt6-wayland brings it)",
                nullptr};
    return {true, {}, nullptr};
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
    env.xauthority = Env("XAUTHORITY");
    env.connectX = ConnectX;
    env.connectWayland = ConnectWayland;
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
    // Each server is connected to when the decision needs it, once.
    std::optional<Reach> xReach, waylandReach;
    const auto x = [&]() -> Reach& {
        if (!xReach) xReach = XServer(env);
        return *xReach;
    };
    const auto wayland = [&]() -> const Reach& {
        if (!waylandReach) waylandReach = WaylandCompositor(env);
        return *waylandReach;
    };
    DisplayChoice choice;
    const auto usable = [&] {
        choice.usable = true;
        if (xReach) choice.connection = std::move(xReach->connection);
        return choice;
    };
    if (env.qpaPlatform) {
        // "wayland;xcb": Qt tries each in turn; "wayland:option=…" carries options.
        bool askedX = false, askedWayland = false;
        for (const std::string& entry : Split(*env.qpaPlatform, ';')) {
            const std::string name = entry.substr(0, entry.find(':'));
            const bool isX = name == "xcb", isWayland = name.rfind("wayland", 0) == 0;
            askedX = askedX || isX;
            askedWayland = askedWayland || isWayland;
            // Other platforms (offscreen, vnc, eglfs, …) need no desktop's display: Qt's to judge.
            if ((isX && x().ok) || (isWayland && wayland().ok) || (!isX && !isWayland && !name.empty()))
                return usable();
        }
        choice.problem = "QT_QPA_PLATFORM=" + *env.qpaPlatform + " asks for a display that cannot be used";
        if (askedX) choice.problem += ": " + x().why;
        if (askedWayland) choice.problem += (askedX ? "; " : ": ") + wayland().why;
        const std::string other = askedX ? (wayland().ok ? "Wayland" : "") : (x().ok ? "the X server" : "");
        if (!other.empty()) choice.problem += " (" + other + " could be used: unset QT_QPA_PLATFORM)";
        return choice;
    }
    const bool xOk = x().ok, waylandOk = wayland().ok;
    if (xOk || waylandOk) {
        // Both there: Qt's own pick. One alone: that one, whatever Qt would have picked.
        if (xOk != waylandOk) choice.platform = xOk ? "xcb" : "wayland";
        return usable();
    }
    choice.problem = wayland().why + "; " + x().why;
    return choice;
}

}  // namespace corvane::ui
