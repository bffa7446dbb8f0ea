#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/named_mutex.h"
#include "platform/paths.h"
#include "platform/win32_error.h"

namespace corvane::platform {
namespace {

constexpr unsigned kErrorAlreadyExists = 183;

// A named mutex is an advisory lock on a file in the session's runtime folder; the kernel drops the
// lock when its holder ends, however it ends.
std::filesystem::path LockPath(std::string_view name) {
    std::filesystem::path dir;
    if (const auto root = corvane_root(); !root.empty())
        dir = root / "run" / "corvane";
    else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime != '\0')
        dir = std::filesystem::path(runtime) / "corvane";
    else
        dir = std::filesystem::path("/tmp") / ("corvane-" + std::to_string(::getuid()));
    static_cast<void>(make_directories(dir, 0700));  // a failure shows in the open below
    return dir / (std::string(name) + ".lock");
}

int OpenLockFile(std::string_view name) { return ::open(LockPath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600); }

}  // namespace

NamedMutex::NamedMutex(std::string_view name) {
    linux_impl::UniqueFd fd(OpenLockFile(name));
    if (!fd.Valid()) {
        result_ = Win32FromErrno(errno);
        return;
    }
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        result_ = errno == EWOULDBLOCK ? kErrorAlreadyExists : Win32FromErrno(errno);
        return;
    }
    fd_ = std::move(fd);
}

bool NamedMutexHeldElsewhere(std::string_view name) {
    linux_impl::UniqueFd fd(OpenLockFile(name));
    if (!fd.Valid()) return false;
    if (::flock(fd.Get(), LOCK_SH | LOCK_NB) != 0) return errno == EWOULDBLOCK;
    static_cast<void>(::flock(fd.Get(), LOCK_UN));
    return false;
}

}  // namespace corvane::platform
