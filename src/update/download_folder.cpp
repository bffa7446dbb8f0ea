#include "update/download_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "platform/paths.h"

namespace corvane::update {
namespace {

using platform::UniqueFd;

std::string EnvText(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

struct Account {
    std::string name;
    std::string home;
};

Account CurrentAccount() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return {found->pw_name != nullptr ? found->pw_name : "", found->pw_dir != nullptr ? found->pw_dir : ""};
    return {std::to_string(::geteuid()), {}};
}

std::string Joined(const std::string& folder, std::string_view name) {
    if (folder.empty() || folder.back() != '/') return folder + "/" + std::string(name);
    return folder + std::string(name);
}

std::string Parent(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The value of XDG_DOWNLOAD_DIR in user-dirs.dirs, with $HOME put in; empty when absent or unusable.
std::string FromUserDirs(const std::string& configHome, const std::string& home) {
    std::ifstream file(Joined(configHome, "user-dirs.dirs"));
    std::string line;
    std::string found;
    while (std::getline(file, line)) {
        constexpr std::string_view kKey = "XDG_DOWNLOAD_DIR=\"";
        std::string_view text(line);
        while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
        if (!text.starts_with(kKey)) continue;
        text.remove_prefix(kKey.size());
        std::string value;
        bool closed = false;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\\' && i + 1 < text.size()) {
                value.push_back(text[++i]);
            } else if (text[i] == '"') {
                closed = true;
                break;
            } else {
                value.push_back(text[i]);
            }
        }
        if (!closed) continue;
        if (value == "$HOME" || value.starts_with("$HOME/")) {
            value = home + value.substr(5);
        } else if (value.empty() || value.front() != '/') {
            continue;
        }
        found = value;  // the last line wins, as the shell reads the file
    }
    // The home folder itself stands for "no download folder" in this file.
    if (!found.empty() && WithoutTrailingSlashes(found) == WithoutTrailingSlashes(home)) return {};
    return found;
}

// Whether the group of a folder holds only this user: a user private group, named after the user.
bool GroupIsTheUsersOwn(gid_t group, const std::string& user) {
    if (group != ::getegid()) return false;
    std::vector<char> buffer(16384);
    struct group entry {};
    struct group* found = nullptr;
    if (::getgrgid_r(group, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return false;
    if (found->gr_name == nullptr || user != found->gr_name) return false;
    for (char** member = found->gr_mem; member != nullptr && *member != nullptr; ++member) {
        if (user != *member) return false;
    }
    return true;
}

// Empty when no user but this one (and root) can change what is in a folder with this status.
std::string OthersMayChange(const struct stat& status, bool rootMayOwn) {
    if (status.st_uid != ::geteuid() && !(rootMayOwn && status.st_uid == 0)) return "it belongs to another user";
    if ((status.st_mode & S_ISVTX) != 0) return {};
    if ((status.st_mode & S_IWOTH) != 0) return "every user may write to it";
    if ((status.st_mode & S_IWGRP) != 0 && !GroupIsTheUsersOwn(status.st_gid, CurrentAccount().name))
        return "its group's members may write to it";
    return {};
}

std::string Failed(const std::string& what, int error) { return what + ": " + std::strerror(error); }

}  // namespace

std::string DownloadFolderPath(const DownloadFolderSources& sources) {
    if (!sources.xdgDownloadDir.empty() && sources.xdgDownloadDir.front() == '/')
        return WithoutTrailingSlashes(sources.xdgDownloadDir);
    if (std::string named = FromUserDirs(sources.configHome, sources.home); !named.empty())
        return WithoutTrailingSlashes(named);
    return Joined(sources.home, "Downloads");
}

DownloadFolderSources CurrentDownloadFolderSources() {
    const Account account = CurrentAccount();
    DownloadFolderSources sources;
    if (const std::filesystem::path root = platform::corvane_root(); !root.empty()) {
        sources.home = (root / "home" / account.name).string();
        sources.configHome = sources.home + "/.config";
        return sources;
    }
    sources.xdgDownloadDir = EnvText("XDG_DOWNLOAD_DIR");
    sources.home = EnvText("HOME");
    if (sources.home.empty()) sources.home = account.home.empty() ? "/" : account.home;
    const std::string xdgConfig = EnvText("XDG_CONFIG_HOME");
    sources.configHome = !xdgConfig.empty() && xdgConfig.front() == '/' ? xdgConfig : Joined(sources.home, ".config");
    return sources;
}

DownloadFolder DownloadFolder::Open(const std::string& path, bool create, std::string& why) {
    DownloadFolder folder;
    if (path.empty() || path.front() != '/') {
        why = "the download folder \"" + path + "\" is not an absolute path";
        return folder;
    }
    if (create) {
        if (const int error = platform::make_directories(path, 0700); error != 0) {
            why = Failed("the download folder " + path + " cannot be made", error);
            return folder;
        }
    }
    struct stat named {};
    if (::lstat(path.c_str(), &named) != 0) {
        why = Failed("the download folder " + path + " cannot be found", errno);
        return folder;
    }
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    if (S_ISLNK(named.st_mode)) {
        // A link is followed only when nobody else can have placed it: it is this user's (or root's),
        // in a folder no other user may write to.
        struct stat holder {};
        std::string problem;
        if (named.st_uid != ::geteuid() && named.st_uid != 0)
            problem = "the link belongs to another user";
        else if (::stat(Parent(path).c_str(), &holder) != 0)
            problem = std::strerror(errno);
        else
            problem = OthersMayChange(holder, true);
        if (!problem.empty()) {
            why = "the download folder " + path + " is a link that is not followed: " + problem;
            return folder;
        }
    } else {
        flags |= O_NOFOLLOW;
    }
    UniqueFd fd(::open(path.c_str(), flags));
    if (!fd.Valid()) {
        why = Failed("the download folder " + path + " cannot be opened", errno);
        return folder;
    }
    struct stat status {};
    if (::fstat(fd.Get(), &status) != 0) {
        why = Failed("the download folder " + path + " cannot be examined", errno);
        return folder;
    }
    if (const std::string problem = OthersMayChange(status, false); !problem.empty()) {
        why = "the download folder " + path + " is not used: " + problem;
        return folder;
    }
    folder.fd_ = std::move(fd);
    folder.path_ = WithoutTrailingSlashes(path);
    return folder;
}

std::string DownloadFolder::PathOf(std::string_view name) const { return Joined(path_, name); }

std::string PartialPrefix(std::string_view name) { return "." + std::string(name) + ".part-"; }

int RemoveStalePartials(const DownloadFolder& folder, std::string_view name, const timespec& before) {
    if (!folder.Valid()) return 0;
    // The listing gets a descriptor of its own: closedir closes that one, not the folder's.
    const int listed = ::fcntl(folder.Fd(), F_DUPFD_CLOEXEC, 0);
    DIR* const stream = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (stream == nullptr) {
        if (listed >= 0) static_cast<void>(::close(listed));
        return 0;
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> closer(stream, ::closedir);
    // fdopendir reads from the descriptor's offset, which the duplicate shares with the folder's.
    ::rewinddir(stream);
    const std::string prefix = PartialPrefix(name);
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(stream)) {
        if (std::string_view(entry->d_name).starts_with(prefix)) stale.emplace_back(entry->d_name);
    }
    int removed = 0;
    for (const std::string& candidate : stale) {
        struct stat status {};
        if (::fstatat(folder.Fd(), candidate.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) continue;
        const bool older = status.st_mtim.tv_sec < before.tv_sec ||
                           (status.st_mtim.tv_sec == before.tv_sec && status.st_mtim.tv_nsec < before.tv_nsec);
        if (older && ::unlinkat(folder.Fd(), candidate.c_str(), 0) == 0) ++removed;
    }
    return removed;
}

}  // namespace corvane::update
