#pragma once
// Where the platform layer keeps its machine-wide and per-user files.
//
// Every folder moves below the directory named by the environment variable CORVANE_ROOT when it is
// set (tests and portable installs use it): the machine state folder becomes
// $CORVANE_ROOT/var/lib/corvane, the autostart folder $CORVANE_ROOT/etc/xdg/autostart, the user's
// configuration folder $CORVANE_ROOT/home/<user>/.config/corvane and the user's autostart folder
// $CORVANE_ROOT/home/<user>/.config/autostart.
#include <filesystem>
#include <string>

namespace corvane::platform {

// The value of CORVANE_ROOT, or an empty path when it is unset or empty.
std::filesystem::path corvane_root();

// /var/lib/corvane: the machine-wide settings store (HKEY_LOCAL_MACHINE).
std::filesystem::path machine_state_dir();

// $XDG_CONFIG_HOME/corvane, else ~/.config/corvane: the current user's store (HKEY_CURRENT_USER).
std::filesystem::path user_config_dir();

// /etc/xdg/autostart: system-wide programs started at login.
std::filesystem::path autostart_dir();

// $XDG_CONFIG_HOME/autostart, else ~/.config/autostart: the programs the current user starts at login.
std::filesystem::path user_autostart_dir();

// Creates `dir` and its missing parents; folders this call creates get `mode`. Returns 0 or errno.
int make_directories(const std::filesystem::path& dir, unsigned mode);

}  // namespace corvane::platform
