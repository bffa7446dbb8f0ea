#pragma once
// A desktop of the test's own for the built window: an X server (Xvfb) on a free display that every
// local user may draw on, an XEmbed tray host (trayer) when the test says, and the user's hands and eyes
// (xdotool, and the window's pixels read back from the server).
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
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

// How a child gets its environment: this process's with `env` added, or exactly `env`.
enum class EnvMode { kInherited, kExactly };

// Starts `argv` in a process group of its own, with standard output and error to `log` (or /dev/null
// when empty).
Child Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& log = {},
            EnvMode how = EnvMode::kInherited);

class VirtualDesktop {
public:
    VirtualDesktop();
    ~VirtualDesktop();
    VirtualDesktop(const VirtualDesktop&) = delete;
    VirtualDesktop& operator=(const VirtualDesktop&) = delete;
    // Starts Xvfb on a display it picks; empty, or why it failed. Every local user may draw on it, or,
    // given an Xauthority file, only clients that offer one of its cookies.
    std::string Start(const std::string& authorization = {});
    const std::string& Display() const { return display_; }
    // Kills the server as a crash would: its socket file in /tmp/.X11-unix stays behind, and its lock
    // file, until the object goes.
    void Crash();
    // Starts trayer and waits until it owns the tray; false when it did not.
    bool StartTray();

    // Runs a command with DISPLAY set; its standard output, trimmed.
    std::string Run(const std::string& command) const;
    // The visible windows of a process.
    std::vector<std::string> VisibleWindows(pid_t pid) const;
    std::string WindowName(const std::string& window) const;
    // The windows of a process that the tray host has taken in.
    std::vector<std::string> TrayIcons(pid_t pid) const;
    // The process's visible window whose name begins with `prefix`, or "".
    std::string VisibleWindowNamed(pid_t pid, const std::string& prefix) const;
    // The process's visible window named exactly `name`, or "".
    std::string VisibleWindowNamedExactly(pid_t pid, const std::string& name) const;
    // A left click at (x, y) inside a window.
    bool Click(const std::string& window, int x, int y) const;
    // A key (an xdotool key name) pressed in a window, which gets the input focus first.
    bool PressKey(const std::string& window, const std::string& key) const;

    // What a rectangle of a window shows: false when it is mostly red, true when it has green in it and
    // no red at all, nullopt for anything else (or a window that could not be read).
    std::optional<bool> GreenOrRed(const std::string& window, int x, int y, int width, int height) const;

private:
    struct Connection;  // the test's own connection to the X server, for reading pixels
    Child server_;
    Child tray_;
    std::string display_;
    std::string leftovers_;  // the number of a crashed server, whose files are removed at the end
    mutable std::unique_ptr<Connection> connection_;  // made on first use, gone before the server
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
