#pragma once
// A desktop of the test's own for the built program: an X server (Xvfb) on a free display, an XEmbed tray
// host (trayer) when the test says, the program started as a user would start it, and the user's hands
// (xdotool).
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace corvane::e2e {

// A child process, ended (with its process group) when the object goes.
class Child {
public:
    Child() = default;
    explicit Child(pid_t pid) : pid_(pid) {}
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    pid_t Pid() const { return pid_; }
    bool Running();
    void Signal(int signal) const;
    // Exit code, 128 + signal, or -1 when still running at the deadline.
    int WaitExit(std::chrono::milliseconds limit);

private:
    void End();  // kills a child still running, with its group

    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

// Starts `argv` with `env` added to this process's environment, in a process group of its own, with
// standard output and error to `log` (or /dev/null when empty).
Child Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& log = {});

class VirtualDesktop {
public:
    // Starts Xvfb on a display it picks; empty, or why it failed.
    std::string Start();
    const std::string& Display() const { return display_; }
    // Starts trayer and waits until it owns the tray; false when it did not.
    bool StartTray();
    // Ends the X server, as when the display goes away under the program.
    void KillServer();

    // Runs a command with DISPLAY set; its standard output, trimmed.
    std::string Run(const std::string& command) const;
    // The visible windows of a process.
    std::vector<std::string> VisibleWindows(pid_t pid) const;
    std::string WindowName(const std::string& window) const;
    // The windows of a process that the tray host has taken in.
    std::vector<std::string> TrayIcons(pid_t pid) const;
    // The process's visible window whose name begins with `prefix`, or "".
    std::string VisibleWindowNamed(pid_t pid, const std::string& prefix) const;
    // A left click at (x, y) inside a window.
    bool Click(const std::string& window, int x, int y) const;

private:
    Child server_;
    Child tray_;
    std::string display_;
};

// A fresh settings root and program folder (a copy of the built program beside a qd.def), removed when
// the object goes; CORVANE_ROOT points at it meanwhile, so the test reads the program's settings.
class Installation {
public:
    explicit Installation(const std::string& definitions);
    ~Installation();
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;

    const std::filesystem::path& Root() const { return root_; }
    const std::filesystem::path& Executable() const { return executable_; }
    // Starts the program on `desktop`, with `env` added to its environment.
    Child Start(const VirtualDesktop& desktop, const std::string& log = {},
                const std::vector<std::string>& env = {}) const;

private:
    std::filesystem::path root_;
    std::filesystem::path executable_;
};

template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds limit);

}  // namespace corvane::e2e

#include <thread>

namespace corvane::e2e {

template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace corvane::e2e
