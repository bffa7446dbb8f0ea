#include "update/private_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

namespace corvane::update {

PrivateFile::PrivateFile() : fd_(::memfd_create("corvane-download", MFD_CLOEXEC | MFD_ALLOW_SEALING)) {
    if (!fd_.Valid()) Fail(errno);
}

void PrivateFile::Fail(int error) {
    if (error_ == 0) error_ = error != 0 ? error : EIO;
}

bool PrivateFile::Append(std::span<const std::uint8_t> bytes) {
    if (!Ok() || finished_) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd_.Get(), bytes.data() + done, bytes.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            Fail(errno);
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    size_ += static_cast<std::int64_t>(bytes.size());
    return true;
}

bool PrivateFile::Finish() {
    if (!Ok() || finished_) return false;
    if (::fcntl(fd_.Get(), F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0 ||
        ::lseek(fd_.Get(), 0, SEEK_SET) != 0) {
        Fail(errno);
        return false;
    }
    finished_ = true;
    return true;
}

}  // namespace corvane::update
