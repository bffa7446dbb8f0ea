#pragma once
// Writes every byte to a descriptor, going on after short writes and interruptions.
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string_view>

namespace corvane::service {

// False (errno says why) when a write failed; nothing is said about what was written before.
inline bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
        if (wrote < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(wrote));
    }
    return true;
}

}  // namespace corvane::service
