#pragma once
// Named mutexes: one holder per name in the user's login session. The program holds "Corvane" for its
// whole life, so a second start can tell that an instance is already running.
#include <string_view>

#include "platform/linux/unique_fd.h"

namespace corvane::platform {

class NamedMutex {
public:
    NamedMutex() = default;
    // Takes the mutex `name`; Held() tells whether this process now holds it. Result() is 0, or the
    // Win32-style code of the failure (ERROR_ALREADY_EXISTS, 183, when another process holds it).
    explicit NamedMutex(std::string_view name);

    bool Held() const { return fd_.Valid(); }
    unsigned Result() const { return result_; }

private:
    linux_impl::UniqueFd fd_;
    unsigned result_ = 0;
};

// Whether another process holds the mutex `name` at this moment.
bool NamedMutexHeldElsewhere(std::string_view name);

}  // namespace corvane::platform
