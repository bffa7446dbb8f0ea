#include "desktop.h"

#include <fcntl.h>
#include <signal.h>
#include <xcb/xcb.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>
#include <utility>

#include "platform/unique_fd.h"

namespace corvane::e2e {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::UniqueFd;

Child::Child(Child&& other) noexcept { *this = std::move(other); }

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        End();
        pid_ = std::exchange(other.pid_, -1);
        reaped_ = other.reaped_;
        status_ = other.status_;
    }
    return *this;
}

Child::~Child() { End(); }

void Child::End() {
    if (pid_ > 0 && !reaped_) {
        // Asked first, so an X server removes its socket; then made to. The leader is not reaped
        // until the whole group has been signalled: while it is a zombie its number, the group's,
        // cannot go to a process of another test running beside this one.
        static_cast<void>(::kill(-pid_, SIGTERM));
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        siginfo_t info{};
        while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        static_cast<void>(::kill(-pid_, SIGKILL));  // whatever of its group is left
        static_cast<void>(::waitpid(pid_, nullptr, 0));
    }
    pid_ = -1;
    reaped_ = false;
}

bool Child::Running() { return pid_ > 0 && WaitExit(0ms) == -1; }

void Child::Signal(int signal) const {
    if (pid_ > 0 && !reaped_) static_cast<void>(::kill(pid_, signal));
}

int Child::WaitExit(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!reaped_) {
        if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
            reaped_ = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(10ms);
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

namespace {

// argv and the environment for exec, made before the fork: the child only calls what is safe there.
struct ExecArgs {
    std::vector<std::string> strings;
    std::vector<char*> argv;
    std::vector<char*> envp;
    ExecArgs(const std::vector<std::string>& args, const std::vector<std::string>& env, EnvMode how) {
        if (how == EnvMode::kInherited) {
            // This process's environment, less what `env` gives anew.
            for (char** entry = environ; *entry != nullptr; ++entry) {
                const std::string text = *entry;
                const std::string name = text.substr(0, text.find('=') + 1);
                const bool replaced = std::any_of(env.begin(), env.end(),
                                                  [&](const std::string& added) { return added.rfind(name, 0) == 0; });
                if (!replaced) strings.push_back(text);
            }
        }
        strings.insert(strings.end(), env.begin(), env.end());
        for (std::string& entry : strings) envp.push_back(entry.data());
        envp.push_back(nullptr);
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
    }
};

[[noreturn]] void Exec(const ExecArgs& exec, int output) {
    static_cast<void>(::setpgid(0, 0));
    // A test that dies (a timeout) takes its display and tray with it (a change of user clears this:
    // a window left behind ends with the display).
    static_cast<void>(::prctl(PR_SET_PDEATHSIG, SIGKILL));
    if (output >= 0) {
        static_cast<void>(::dup2(output, STDOUT_FILENO));
        static_cast<void>(::dup2(output, STDERR_FILENO));
    }
    ::execvpe(exec.argv[0], exec.argv.data(), exec.envp.data());
    ::_exit(127);
}

UniqueFd OpenLog(const std::string& log) {
    return UniqueFd(log.empty() ? ::open("/dev/null", O_WRONLY | O_CLOEXEC)
                                : ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
}

}  // namespace

Child Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& log,
            EnvMode how) {
    const ExecArgs exec(argv, env, how);
    const UniqueFd output = OpenLog(log);
    const pid_t pid = ::fork();
    if (pid == 0) Exec(exec, output.Get());
    return Child(pid);
}

// The test's own connection to the X server, for reading back what windows show.
struct VirtualDesktop::Connection {
    xcb_connection_t* xcb = nullptr;
    explicit Connection(const std::string& display) : xcb(xcb_connect(display.c_str(), nullptr)) {}
    ~Connection() {
        if (xcb != nullptr) xcb_disconnect(xcb);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
};

VirtualDesktop::VirtualDesktop() = default;
VirtualDesktop::~VirtualDesktop() {
    if (leftovers_.empty()) return;
    std::error_code ignored;  // already gone is as good
    fs::remove(fs::path("/tmp/.X11-unix") / std::string("X").append(leftovers_), ignored);
    fs::remove(fs::path("/tmp") / std::string(".X").append(leftovers_).append("-lock"), ignored);
}

std::string VirtualDesktop::Start(const std::string& authorization) {
    // Display numbers of the test's own, above the one CORVANE_DISPLAY_NUMBER gives the test run; the
    // lock files and sockets in /tmp are shared with every other network namespace.
    const char* base = std::getenv("CORVANE_DISPLAY_NUMBER");
    int number = (base != nullptr ? std::atoi(base) : 120) + 20;
    // (Paths and texts are built with fs::path and append: GCC 12 at -O3 warns falsely on
    // "literal" + std::string.)
    auto taken = [](int n) {
        const std::string digits = std::to_string(n);
        return fs::exists(fs::path("/tmp") / std::string(".X").append(digits).append("-lock")) ||
               fs::exists(fs::path("/tmp/.X11-unix") / std::string("X").append(digits));
    };
    // Tests running side by side may pick the same number: the server that loses ends at once, and
    // the next number is tried.
    for (int attempt = 0; attempt < 10; ++attempt, ++number) {
        while (taken(number)) ++number;
        const std::string name = std::string(":").append(std::to_string(number));
        int report[2];
        if (::pipe(report) != 0) return "pipe failed";
        // -displayfd: the server writes the display number there once it accepts connections. -ac: the
        // windows under test run as other users, and the display is this test's alone (no TCP). -noreset:
        // a server whose last client leaves starts afresh, refusing whoever connects in that moment.
        std::vector<std::string> args({"Xvfb", name, "-displayfd", std::to_string(report[1]), "-screen", "0",
                                       "1280x800x24", "-nolisten", "tcp", "-noreset"});
        if (authorization.empty())
            args.push_back("-ac");
        else
            args.insert(args.end(), {"-auth", authorization});
        const ExecArgs xvfb(args, {}, EnvMode::kInherited);
        const UniqueFd quiet = OpenLog({});
        const pid_t pid = ::fork();
        if (pid == 0) {
            static_cast<void>(::close(report[0]));
            Exec(xvfb, quiet.Get());
        }
        static_cast<void>(::close(report[1]));
        server_ = Child(pid);
        std::string written;
        char c;
        while (::read(report[0], &c, 1) == 1 && c != '\n') written += c;
        static_cast<void>(::close(report[0]));
        if (written == std::to_string(number)) {
            display_ = name;
            return {};
        }
    }
    return "Xvfb did not start";
}

void VirtualDesktop::Crash() {
    connection_.reset();
    server_.Signal(SIGKILL);
    static_cast<void>(server_.WaitExit(10s));
    leftovers_ = display_.substr(1);
}

bool VirtualDesktop::StartTray() {
    // A tray host that ends at once (it lost a race with the server's start) is started again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        tray_ = Spawn({"trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel", "--width", "200",
                       "--height", "24"},
                      {"DISPLAY=" + display_});
        if (WaitFor([&] { return !tray_.Running() || !Run("xdotool search --class trayer 2>/dev/null").empty(); },
                    20s) &&
            tray_.Running())
            return true;
    }
    return false;
}

std::string VirtualDesktop::Run(const std::string& command) const {
    const std::string line = "DISPLAY=" + display_ + " " + command;
    std::string out;
    if (FILE* pipe = ::popen(line.c_str(), "r")) {
        char buffer[512];
        std::size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
        static_cast<void>(::pclose(pipe));
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

std::vector<std::string> VirtualDesktop::VisibleWindows(pid_t pid) const {
    std::vector<std::string> windows;
    std::istringstream list(Run("xdotool search --onlyvisible --pid " + std::to_string(pid) + " 2>/dev/null"));
    for (std::string id; std::getline(list, id);)
        if (!id.empty()) windows.push_back(id);
    return windows;
}

std::string VirtualDesktop::WindowName(const std::string& window) const {
    return Run("xdotool getwindowname " + window + " 2>/dev/null");
}

std::vector<std::string> VirtualDesktop::TrayIcons(pid_t pid) const {
    // A docked icon is a visible window of the program inside one of the tray host's windows.
    std::vector<unsigned long> tray;
    std::istringstream trayList(Run("xdotool search --class trayer 2>/dev/null"));
    for (std::string id; std::getline(trayList, id);)
        if (!id.empty()) tray.push_back(std::stoul(id));
    std::vector<std::string> icons;
    if (tray.empty()) return icons;
    for (const std::string& window : VisibleWindows(pid)) {
        std::string current = window;
        for (int depth = 0; depth < 8; ++depth) {
            const std::string info =
                Run("xwininfo -children -id " + current + " 2>/dev/null | grep 'Parent window id'");
            const auto at = info.find("0x");
            if (at == std::string::npos || info.find("(the root window)") != std::string::npos) break;
            const unsigned long parent = std::stoul(info.substr(at), nullptr, 16);
            if (parent == 0) break;
            if (std::find(tray.begin(), tray.end(), parent) != tray.end()) {
                icons.push_back(window);
                break;
            }
            current = std::to_string(parent);
        }
    }
    return icons;
}

std::string VirtualDesktop::VisibleWindowNamed(pid_t pid, const std::string& prefix) const {
    for (const std::string& window : VisibleWindows(pid))
        if (WindowName(window).rfind(prefix, 0) == 0) return window;
    return {};
}

bool VirtualDesktop::Click(const std::string& window, int x, int y) const {
    const std::string move = "xdotool mousemove --window " + window + " " + std::to_string(x) + " " +
                             std::to_string(y) + " click 1 >/dev/null 2>&1; echo $?";
    return Run(move) == "0";
}

std::string VirtualDesktop::VisibleWindowNamedExactly(pid_t pid, const std::string& name) const {
    for (const std::string& window : VisibleWindows(pid))
        if (WindowName(window) == name) return window;
    return {};
}

bool VirtualDesktop::PressKey(const std::string& window, const std::string& key) const {
    // No window manager runs: the focus is set directly, and the key goes through XTEST to it.
    return Run("xdotool windowfocus --sync " + window + " key " + key + " >/dev/null 2>&1; echo $?") == "0";
}

std::optional<bool> VirtualDesktop::GreenOrRed(const std::string& window, int x, int y, int width,
                                                int height) const {
    if (!connection_) connection_ = std::make_unique<Connection>(display_);
    xcb_connection_t* xcb = connection_->xcb;
    if (xcb_connection_has_error(xcb) != 0) return std::nullopt;
    xcb_window_t id = 0;
    try {
        id = static_cast<xcb_window_t>(std::stoul(window));
    } catch (const std::exception&) {
        return std::nullopt;
    }
    const auto cookie = xcb_get_image(xcb, XCB_IMAGE_FORMAT_Z_PIXMAP, id, static_cast<std::int16_t>(x),
                                      static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
                                      static_cast<std::uint16_t>(height), ~0u);
    xcb_generic_error_t* rawError = nullptr;
    const std::unique_ptr<xcb_get_image_reply_t, decltype(&std::free)> reply(
        xcb_get_image_reply(xcb, cookie, &rawError), &std::free);
    const std::unique_ptr<xcb_generic_error_t, decltype(&std::free)> error(rawError, &std::free);
    if (!reply || error) return std::nullopt;
    // A 24-bit window on this server: four bytes a pixel, blue first where the server is little-endian.
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const int length = xcb_get_image_data_length(reply.get());
    // Enough to be a drawing (a word, a mark) rather than a stray pixel of antialiasing.
    constexpr std::size_t kSomePixels = 10;
    if (reply->depth != 24 || pixels == 0 || static_cast<std::size_t>(length) != pixels * 4) return std::nullopt;
    const bool blueFirst = xcb_get_setup(xcb)->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    const std::uint8_t* data = xcb_get_image_data(reply.get());
    std::size_t green = 0, red = 0;
    for (std::size_t i = 0; i < pixels; ++i) {
        const std::uint8_t* p = data + 4 * i;
        const int r = blueFirst ? p[2] : p[1];
        const int g = blueFirst ? p[1] : p[2];
        const int b = blueFirst ? p[0] : p[3];
        if (g > r + 64 && g > b + 64) ++green;
        if (r > g + 64 && r > b + 64) ++red;
    }
    if (2 * red > pixels) return false;
    if (red == 0 && green >= kSomePixels) return true;
    return std::nullopt;
}

}  // namespace corvane::e2e
