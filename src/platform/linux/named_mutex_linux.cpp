#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/named_mutex.h"
#include "platform/paths.h"
#include "platform/win32_error.h"

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;
using linux_impl::UniqueFd;

// The folders to try, best first. The kernel drops a lock when its holder ends, however it ends.
// `shared` tells that the first lies in the shared temporary folder.
struct Folders {
    std::vector<fs::path> paths;
    bool shared = false;
};

Folders LockFolders() {
    Folders result;
    auto& folders = result.paths;
    if (const auto root = corvane_root(); !root.empty()) {
        folders.push_back(root / "run" / "corvane");
    } else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/') {
        folders.push_back(fs::path(runtime) / "corvane");
    } else {
        // Without a runtime folder (the usual case under sudo): a folder of the user's in the shared
        // temporary folder. glibc drops TMPDIR for programs started with raised capabilities.
        const char* tmp = std::getenv("TMPDIR");
        const fs::path base = tmp != nullptr && tmp[0] == '/' ? fs::path(tmp) : fs::path("/tmp");
        folders.push_back(base / ("corvane-" + std::to_string(::geteuid())));
        result.shared = true;
    }
    // The fallback lies below the user's home, where no other user can create anything.
    fs::path home;
    if (const char* env = std::getenv("HOME"); env != nullptr && env[0] == '/') {
        home = env;
    } else {
        std::vector<char> buffer(16384);
        passwd entry{};
        passwd* found = nullptr;
        if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
            found->pw_dir != nullptr && found->pw_dir[0] == '/')
            home = found->pw_dir;
    }
    if (!home.empty()) folders.push_back(home / ".cache" / "corvane");
    return result;
}

std::string Octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Opens `dir` (creating it 0700 when missing) if it is the user's private folder: a real directory, not
// a link, owned by the user, with no rights for group or others. Otherwise says why in `why`.
UniqueFd OpenPrivateFolder(const fs::path& dir, std::string& why) {
    if (const int parents = make_directories(dir.parent_path(), 0700); parents != 0) {
        why = dir.parent_path().string() + ": " + std::strerror(parents);
        return {};
    }
    if (::mkdir(dir.c_str(), 0700) == 0) {
        // The umask may have taken bits away; nothing more is ever meant.
        static_cast<void>(::chmod(dir.c_str(), 0700));
    } else if (errno != EEXIST) {
        why = dir.string() + ": " + std::strerror(errno);
        return {};
    }
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.Valid()) {
        why = dir.string() +
              (errno == ELOOP || errno == ENOTDIR ? ": not a directory" : ": " + std::string(std::strerror(errno)));
        return {};
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0) {
        why = dir.string() + ": " + std::strerror(errno);
        return {};
    }
    if (info.st_uid != ::geteuid()) {
        why = dir.string() + ": owned by user " + std::to_string(info.st_uid) + ", not by this user";
        return {};
    }
    if ((info.st_mode & 077) != 0) {
        why = dir.string() + ": open to other users (mode " + Octal(info.st_mode) + ")";
        return {};
    }
    return fd;
}

// Opens the lock file inside a checked folder: never through a link, never someone else's file.
UniqueFd OpenLockFile(int dirFd, const std::string& file, std::string& why) {
    UniqueFd fd(::openat(dirFd, file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.Valid()) {
        why = file + ": " + std::strerror(errno);
        return {};
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        why = file + ": not a file of this user";
        return {};
    }
    return fd;
}

struct OpenedLock {
    UniqueFd fd;
    // With the lock in the shared temporary folder, the same lock below the home as well: another user
    // who made the shared folder first sends a start there, and removing it later must not let a
    // second start in beside it.
    UniqueFd guard;
    std::string path;
    int error = 0;  // errno of the last failure when no folder could be used
};

OpenedLock OpenLock(std::string_view name, std::vector<std::string>* notes) {
    OpenedLock opened;
    const std::string file = std::string(name) + ".lock";
    opened.error = ENOENT;
    const Folders folders = LockFolders();
    for (std::size_t i = 0; i < folders.paths.size(); ++i) {
        const fs::path& dir = folders.paths[i];
        std::string why;
        UniqueFd dirFd = OpenPrivateFolder(dir, why);
        if (dirFd.Valid()) {
            opened.fd = OpenLockFile(dirFd.Get(), file, why);
            if (opened.fd.Valid()) {
                opened.path = (dir / file).string();
                opened.error = 0;
                if (i == 0 && folders.shared && folders.paths.size() > 1) {
                    std::string ignored;  // without a usable home the shared folder alone decides
                    if (UniqueFd home = OpenPrivateFolder(folders.paths[1], ignored); home.Valid())
                        opened.guard = OpenLockFile(home.Get(), file, ignored);
                }
                return opened;
            }
        }
        opened.error = EACCES;
        if (notes != nullptr) notes->push_back("refused lock folder " + why);
    }
    return opened;
}

}  // namespace

NamedMutex::NamedMutex(std::string_view name) {
    OpenedLock opened = OpenLock(name, &notes_);
    if (!opened.fd.Valid()) {
        result_ = Win32FromErrno(opened.error);
        return;
    }
    path_ = std::move(opened.path);
    // Taking the lock is the test for another holder: two starts at the same moment cannot both
    // succeed.
    for (const UniqueFd* fd : {&opened.fd, &opened.guard}) {
        if (fd->Valid() && ::flock(fd->Get(), LOCK_EX | LOCK_NB) != 0) {
            result_ = errno == EWOULDBLOCK ? kErrorAlreadyExists : Win32FromErrno(errno);
            return;  // a lock taken already goes with its descriptor
        }
    }
    fd_ = std::move(opened.fd);
    guard_ = std::move(opened.guard);
}

bool NamedMutexHeldElsewhere(std::string_view name) {
    OpenedLock opened = OpenLock(name, nullptr);
    for (const UniqueFd* fd : {&opened.fd, &opened.guard}) {
        if (!fd->Valid()) continue;
        if (::flock(fd->Get(), LOCK_SH | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) return true;
            continue;
        }
        static_cast<void>(::flock(fd->Get(), LOCK_UN));
    }
    return false;
}

}  // namespace corvane::platform
