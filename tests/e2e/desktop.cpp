#include "desktop.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

namespace corvane::e2e {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

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
        // Asked first, so an X server removes its socket; then made to.
        ::kill(-pid_, SIGTERM);
        if (WaitExit(2s) == -1) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::kill(-pid_, SIGKILL);  // whatever else of its group is left
    }
    pid_ = -1;
    reaped_ = false;
}

bool Child::Running() { return pid_ > 0 && WaitExit(0ms) == -1; }

void Child::Signal(int signal) const {
    if (pid_ > 0 && !reaped_) ::kill(pid_, signal);
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

[[noreturn]] void Exec(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       const std::string& log) {
    ::setpgid(0, 0);
    // A test that dies (a timeout) takes its display, tray and program with it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (const std::string& entry : env) ::putenv(const_cast<char*>(entry.c_str()));
    const int out =
        log.empty() ? ::open("/dev/null", O_WRONLY) : ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (out >= 0) {
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
}

}  // namespace

Child Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& log) {
    const pid_t pid = ::fork();
    if (pid == 0) Exec(argv, env, log);
    return Child(pid);
}

std::string VirtualDesktop::Start() {
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
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(report[0]);
            // -displayfd: the server writes the display number there once it accepts connections.
            Exec({"Xvfb", name, "-displayfd", std::to_string(report[1]), "-screen", "0", "1280x800x24", "-nolisten",
                  "tcp"},
                 {}, {});
        }
        ::close(report[1]);
        server_ = Child(pid);
        std::string written;
        char c;
        while (::read(report[0], &c, 1) == 1 && c != '\n') written += c;
        ::close(report[0]);
        if (written == std::to_string(number)) {
            display_ = name;
            return {};
        }
    }
    return "Xvfb did not start";
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

void VirtualDesktop::KillServer() {
    server_.Signal(SIGKILL);
    server_.WaitExit(10s);
}

std::string VirtualDesktop::Run(const std::string& command) const {
    const std::string line = "DISPLAY=" + display_ + " " + command;
    std::string out;
    if (FILE* pipe = ::popen(line.c_str(), "r")) {
        char buffer[512];
        std::size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
        ::pclose(pipe);
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

Installation::Installation(const std::string& definitions) {
    std::string pattern = (fs::temp_directory_path() / "corvane-e2e-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    const fs::path folder = root_ / "opt" / "corvane";
    fs::create_directories(folder);
    executable_ = folder / "corvane";
    fs::copy_file(CORVANE_BINARY, executable_);
    std::ofstream(folder / "qd.def", std::ios::binary) << definitions;
    ::setenv("CORVANE_ROOT", root_.c_str(), 1);
}

Installation::~Installation() {
    ::unsetenv("CORVANE_ROOT");
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

Child Installation::Start(const VirtualDesktop& desktop, const std::string& log,
                          const std::vector<std::string>& env) const {
    std::vector<std::string> all{"DISPLAY=" + desktop.Display(), "QT_QPA_PLATFORM=xcb",
                                 "CORVANE_ROOT=" + root_.string(),
                                 // No session bus: the tray icon goes to the XEmbed tray.
                                 "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent",
                                 // Qt ends the program with exit() when the display goes; leaks then are Qt's.
                                 "ASAN_OPTIONS=detect_leaks=0"};
    all.insert(all.end(), env.begin(), env.end());
    return Spawn({executable_.string()}, all, log);
}

}  // namespace corvane::e2e
