#pragma once
// Named mutexes: one holder per name and user. The program holds "Corvane" for its whole life, so a
// second start can tell that an instance is already running.
//
// The mutex is an advisory lock on "<name>.lock" in a folder only the user can enter: the session's
// runtime folder ($XDG_RUNTIME_DIR/corvane), else <temp>/corvane-UID (temp is $TMPDIR, else /tmp).
// A folder there that is not a directory owned by the user, closed to group and others, is refused
// (another user may have made it to plant a link or to hold the lock); the lock then goes to the
// user's own ~/.cache/corvane, and Notes() says so. A lock in the shared temporary folder is taken in
// ~/.cache/corvane as well, so starts sent to either place still find each other.
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/unique_fd.h"

namespace corvane::platform {

inline constexpr unsigned kErrorAlreadyExists = 183;  // ERROR_ALREADY_EXISTS

class NamedMutex {
public:
    NamedMutex() = default;
    // Creates and takes the mutex `name` in one act: Held() tells whether this process now holds it.
    // Result() is 0, or the Win32-style code of the failure (ERROR_ALREADY_EXISTS, 183, when another
    // process holds it).
    explicit NamedMutex(std::string_view name);

    bool Held() const { return fd_.Valid(); }
    unsigned Result() const { return result_; }
    // The lock file used (empty when no folder could be used).
    const std::string& Path() const { return path_; }
    // Folders refused on the way, one line each, for the user to see.
    const std::vector<std::string>& Notes() const { return notes_; }

private:
    linux_impl::UniqueFd fd_;
    linux_impl::UniqueFd guard_;
    unsigned result_ = 0;
    std::string path_;
    std::vector<std::string> notes_;
};

// Whether another process holds the mutex `name` at this moment.
bool NamedMutexHeldElsewhere(std::string_view name);

}  // namespace corvane::platform
