#include "platform/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace corvane::platform {
namespace fs = std::filesystem;

namespace {

std::string env_text(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

// The current user's name from the password database, else the numeric uid.
std::string user_name() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    const int rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (rc == 0 && found != nullptr && found->pw_name != nullptr && found->pw_name[0] != '\0') {
        return found->pw_name;
    }
    return std::to_string(getuid());
}

std::string home_dir() {
    std::string home = env_text("HOME");
    if (!home.empty()) return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    const int rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (rc == 0 && found != nullptr && found->pw_dir != nullptr) return found->pw_dir;
    return "/";
}

// The user's configuration home: $XDG_CONFIG_HOME, else ~/.config.
fs::path user_config_home() {
    const std::string root = env_text("CORVANE_ROOT");
    if (!root.empty()) return fs::path(root) / "home" / user_name() / ".config";
    const std::string xdg = env_text("XDG_CONFIG_HOME");
    // XDG_CONFIG_HOME counts only when it is an absolute path.
    if (!xdg.empty() && xdg.front() == '/') return fs::path(xdg);
    return fs::path(home_dir()) / ".config";
}

}  // namespace

fs::path corvane_root() { return fs::path(env_text("CORVANE_ROOT")); }

fs::path machine_state_dir() {
    const fs::path root = corvane_root();
    return root.empty() ? fs::path("/var/lib/corvane") : root / "var/lib/corvane";
}

fs::path user_config_dir() { return user_config_home() / "corvane"; }

fs::path autostart_dir() {
    const fs::path root = corvane_root();
    return root.empty() ? fs::path("/etc/xdg/autostart") : root / "etc/xdg/autostart";
}

fs::path user_autostart_dir() { return user_config_home() / "autostart"; }

int make_directories(const fs::path& dir, unsigned mode) {
    if (dir.empty()) return EINVAL;
    fs::path partial;
    for (const fs::path& part : dir) {
        partial /= part;
        if (::mkdir(partial.c_str(), static_cast<mode_t>(mode)) == 0) {
            // The umask may have taken bits away; the mode asked for is the one meant.
            if (::chmod(partial.c_str(), static_cast<mode_t>(mode)) != 0) return errno;
            continue;
        }
        if (errno == EEXIST) continue;
        const int error = errno;
        struct stat info {};
        if (::stat(partial.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
        return error;
    }
    struct stat info {};
    if (::stat(dir.c_str(), &info) != 0) return errno;
    return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

}  // namespace corvane::platform
