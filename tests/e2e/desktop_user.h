#pragma once
// The people at the desktop: system accounts the window runs as, each with folders of its own (a home,
// its configuration, a private runtime folder for the one-instance lock), as a member of the control
// group "corvane" or as an outsider. The window gets exactly the environment a session would give it,
// with the system bus pointing at the test's.
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "desktop.h"

namespace corvane::e2e {

// The account beside "nobody" for a second member's window, created when missing.
inline constexpr char kSecondUser[] = "corvane-peer";

// Creates the system user `name` (no home, no login shell) when it is missing. Empty, or why not.
std::string EnsureSystemUser(const std::string& name);

enum class Membership { kMember, kOutsider };

class DesktopUser {
public:
    // The user's folder goes inside `base`, a folder of the test's that others may only pass through.
    DesktopUser(const std::string& name, Membership membership, const std::filesystem::path& base);
    DesktopUser(const DesktopUser&) = delete;
    DesktopUser& operator=(const DesktopUser&) = delete;

    // Empty when the account and its folders are ready, else why not.
    const std::string& Error() const { return error_; }
    const std::string& Name() const { return name_; }
    uid_t Uid() const { return uid_; }

    // The environment of this user's programs on `display`, with the system bus at `busAddress`.
    std::vector<std::string> Environment(const std::string& display, const std::string& busAddress) const;
    // `argv` run as this user, with the groups this test gives it.
    std::vector<std::string> As(const std::vector<std::string>& argv) const;

    // Sets a value under HKCU\Software\Corvane as this user would (corvane-reg). Empty, or why not.
    std::string SetSetting(const std::string& name, const std::string& value) const;

    // Starts the window on `desktop`, its output to Log(); `env` adds to (or overrides) the session's.
    Child StartWindow(const VirtualDesktop& desktop, const std::string& busAddress,
                      const std::vector<std::string>& env = {}) const;
    // The same on an X display by name, or on none ("", for a Wayland session given in `env`).
    Child StartWindowOn(const std::string& display, const std::string& busAddress,
                        const std::vector<std::string>& env = {}) const;
    // The user's home and private runtime folder (XDG_RUNTIME_DIR).
    std::filesystem::path Home() const { return home_; }
    std::filesystem::path Runtime() const { return home_ / "runtime"; }
    // What this user's windows wrote so far.
    std::string Log() const;

private:
    std::string name_;
    Membership membership_;
    std::string error_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    gid_t controlGid_ = 0;
    std::filesystem::path home_;
    std::filesystem::path log_;
};

}  // namespace corvane::e2e
