#include "service/state_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/unique_fd.h"
#include "platform/paths.h"

namespace corvane::service {

bool PrepareStateDir(const std::string& dir, std::vector<std::string>& notes, std::string& why) {
    if (dir.empty() || dir.front() != '/') {
        why = "the state folder must be an absolute path: \"" + dir + "\"";
        return false;
    }
    if (const int error = platform::make_directories(dir, 0700); error != 0) {
        why = "the state folder " + dir + " cannot be made: " + std::strerror(error);
        return false;
    }
    const platform::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.Valid()) {
        why = "the state folder " + dir + " cannot be opened (a link is not followed): " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0) {
        why = "the state folder " + dir + " cannot be examined: " + std::strerror(errno);
        return false;
    }
    if (info.st_uid != ::geteuid()) {
        why = "the state folder " + dir + " belongs to user " + std::to_string(info.st_uid) + ", not to this service (" +
              std::to_string(::geteuid()) + ")";
        return false;
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        const mode_t tight = info.st_mode & 0755 & ~static_cast<mode_t>(S_IWGRP | S_IWOTH);
        if (::fchmod(fd.Get(), tight) != 0) {
            why = "the state folder " + dir + " is writable by others and cannot be closed to them: " +
                  std::strerror(errno);
            return false;
        }
        notes.push_back("the state folder " + dir + " was writable by others; it is not any more");
    }
    return true;
}

}  // namespace corvane::service
