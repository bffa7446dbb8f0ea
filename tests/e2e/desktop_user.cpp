#include "desktop_user.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "../service/service_harness.h"
#include "platform/unique_fd.h"

#ifndef CORVANE_BINARY
#error "CORVANE_BINARY names the built window"
#endif
#ifndef CORVANE_REG_TOOL
#error "CORVANE_REG_TOOL names the built corvane-reg"
#endif

namespace corvane::e2e {
namespace {

namespace fs = std::filesystem;
namespace harness = service::testing;
using platform::UniqueFd;

constexpr char kPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

std::string SystemTool(const std::string& name) {
    for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
        const std::string path = std::string(dir) + name;
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return name;
}

// The account's primary group.
std::optional<gid_t> PrimaryGroup(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return std::nullopt;
    return found->pw_gid;
}

// A folder made by this (root) process inside one of its own: no link followed, mode exactly `mode`.
// The owner is handed over later, innermost first, so the user never holds a folder the test still
// fills.
UniqueFd MakeFolder(const fs::path& path, mode_t mode, std::string& why) {
    if (::mkdir(path.c_str(), mode) != 0) {
        why = "mkdir " + path.string() + " failed";
        return {};
    }
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.Valid() || ::fchmod(fd.Get(), mode) != 0) {
        why = "cannot open " + path.string();
        return {};
    }
    return fd;
}

}  // namespace

std::string EnsureSystemUser(const std::string& name) {
    if (harness::UserId(name)) return {};
    const harness::CommandResult made = harness::Run(
        {SystemTool("adduser"), "--system", "--no-create-home", "--home", "/nonexistent", "--shell",
         "/usr/sbin/nologin", name},
        {kPath});
    if (harness::UserId(name)) return {};
    const harness::CommandResult fallback = harness::Run(
        {SystemTool("useradd"), "--system", "--no-create-home", "--home-dir", "/nonexistent", "--shell",
         "/usr/sbin/nologin", name},
        {kPath});
    if (harness::UserId(name)) return {};
    return "cannot create the system user " + name + ": " + made.out + fallback.out;
}

DesktopUser::DesktopUser(const std::string& name, Membership membership, const fs::path& base)
    : name_(name), membership_(membership) {
    const auto uid = harness::UserId(name);
    const auto control = harness::GroupId(harness::kControlGroup);
    if (!uid || !control) {
        error_ = "no account " + name + " or no group " + harness::kControlGroup;
        return;
    }
    uid_ = *uid;
    controlGid_ = *control;
    gid_ = PrimaryGroup(uid_).value_or(65534);
    home_ = base / name;
    log_ = base / (name + ".log");
    UniqueFd home = MakeFolder(home_, 0700, error_);
    if (!home.Valid()) return;
    // The one-instance lock wants a runtime folder that is the user's alone.
    UniqueFd runtime = MakeFolder(home_ / "runtime", 0700, error_);
    if (!runtime.Valid()) return;
    UniqueFd config = MakeFolder(home_ / ".config", 0700, error_);
    if (!config.Valid()) return;
    for (const UniqueFd* folder : {&runtime, &config, &home}) {
        if (::fchown(folder->Get(), uid_, gid_) != 0) {
            error_ = "cannot hand the folders of " + name + " over";
            return;
        }
    }
}

std::vector<std::string> DesktopUser::Environment(const std::string& display, const std::string& busAddress) const {
    std::vector<std::string> env = {kPath,
                                    "HOME=" + home_.string(),
                                    "USER=" + name_,
                                    "LOGNAME=" + name_,
                                    "XDG_CONFIG_HOME=" + (home_ / ".config").string(),
                                    "XDG_RUNTIME_DIR=" + (home_ / "runtime").string(),
                                    "QT_QPA_PLATFORM=xcb",
                                    // No session bus: the tray icon goes to the XEmbed tray.
                                    "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent"};
    if (!display.empty()) env.push_back("DISPLAY=" + display);
    if (!busAddress.empty()) env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + busAddress);
    // Under the sanitizers: Qt's own allocations at exit are not this program's leaks.
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr && asan[0] != '\0' ? std::string(asan) + ":" : "") +
                  "detect_leaks=0");
    for (const char* passed : {"UBSAN_OPTIONS", "LANG"}) {
        if (const char* value = std::getenv(passed)) env.push_back(std::string(passed) + "=" + value);
    }
    return env;
}

std::vector<std::string> DesktopUser::As(const std::vector<std::string>& argv) const {
    std::vector<std::string> command = {SystemTool("setpriv"), "--reuid=" + std::to_string(uid_),
                                        "--regid=" + std::to_string(gid_)};
    command.push_back(membership_ == Membership::kMember ? "--groups=" + std::to_string(controlGid_)
                                                         : std::string("--clear-groups"));
    command.push_back("--");
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

std::string DesktopUser::SetSetting(const std::string& name, const std::string& value) const {
    const harness::CommandResult set =
        harness::Run(As({CORVANE_REG_TOOL, "set", "HKCU\\Software\\Corvane", name, "REG_SZ", value}),
                     Environment({}, {}));
    return set.Succeeded() ? std::string() : "corvane-reg set " + name + " as " + name_ + " failed: " + set.out;
}

Child DesktopUser::StartWindow(const VirtualDesktop& desktop, const std::string& busAddress,
                               const std::vector<std::string>& env) const {
    return StartWindowOn(desktop.Display(), busAddress, env);
}

Child DesktopUser::StartWindowOn(const std::string& display, const std::string& busAddress,
                                 const std::vector<std::string>& env) const {
    std::vector<std::string> all = Environment(display, busAddress);
    // Later entries win: the test's additions replace the session's values.
    for (const std::string& added : env) {
        const std::string name = added.substr(0, added.find('=') + 1);
        std::erase_if(all, [&](const std::string& entry) { return entry.rfind(name, 0) == 0; });
        all.push_back(added);
    }
    return Spawn(As({CORVANE_BINARY}), all, log_.string(), EnvMode::kExactly);
}

std::string DesktopUser::Log() const {
    std::ifstream file(log_, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace corvane::e2e
