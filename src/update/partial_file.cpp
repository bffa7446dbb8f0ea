#include "update/partial_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace corvane::update {
namespace {

using platform::UniqueFd;

constexpr std::size_t kBufferSize = 64 * 1024;
constexpr int kAttempts = 100;

// Six characters of a random name; false when the system gives no random bytes.
bool RandomSuffix(std::string& suffix) {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char bytes[6];
    ssize_t got = -1;
    do {
        got = ::getrandom(bytes, sizeof bytes, 0);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof bytes)) return false;
    suffix.clear();
    for (const unsigned char byte : bytes) suffix.push_back(kAlphabet[byte % (sizeof kAlphabet - 1)]);
    return true;
}

}  // namespace

PartialFile::PartialFile(const DownloadFolder& folder, std::string name, mode_t mode)
    : name_(std::move(name)), mode_(mode) {
    if (!folder.Valid()) {
        error_ = EBADF;
        return;
    }
    folder_ = UniqueFd(::fcntl(folder.Fd(), F_DUPFD_CLOEXEC, 0));
    if (!folder_.Valid()) {
        Fail(errno);
        return;
    }
    const std::string prefix = PartialPrefix(name_);
    std::string suffix;
    for (int attempt = 0; attempt < kAttempts && !fd_.Valid(); ++attempt) {
        if (!RandomSuffix(suffix)) {
            Fail(errno);
            return;
        }
        temporary_ = prefix + suffix;
        // A new file only: O_EXCL with O_NOFOLLOW never opens anything already there, not even a link.
        fd_ = UniqueFd(
            ::openat(folder_.Get(), temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd_.Valid() && errno != EEXIST) break;
    }
    if (!fd_.Valid()) {
        Fail(errno);
        temporary_.clear();
        return;
    }
    buffer_.reserve(kBufferSize);
}

PartialFile::~PartialFile() { Abandon(); }

void PartialFile::Abandon() {
    fd_.Reset();
    if (committed_ || temporary_.empty()) return;
    // Ours, made above; a failure here leaves it for the next check's clean-up.
    static_cast<void>(::unlinkat(folder_.Get(), temporary_.c_str(), 0));
    temporary_.clear();
}

void PartialFile::Fail(int error) {
    if (error_ == 0) error_ = error != 0 ? error : EIO;
}

bool PartialFile::Flush() {
    std::size_t done = 0;
    while (done < buffer_.size()) {
        const ssize_t written = ::write(fd_.Get(), buffer_.data() + done, buffer_.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            Fail(errno);
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    buffer_.clear();
    return true;
}

bool PartialFile::Append(std::span<const std::uint8_t> bytes) {
    if (!Ok() || committed_) return false;
    if (buffer_.size() + bytes.size() > kBufferSize && !Flush()) return false;
    if (bytes.size() >= kBufferSize) {
        buffer_.assign(bytes.begin(), bytes.end());
        return Flush();
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return true;
}

bool PartialFile::Commit() {
    if (!Ok() || committed_) return false;
    if (!Flush()) return false;
    if (::fchmod(fd_.Get(), mode_) != 0 || ::fsync(fd_.Get()) != 0) {
        Fail(errno);
        return false;
    }
    // Closed (its contents already on disk) before the rename, so the program is never started while
    // a descriptor still has it open for writing (ETXTBSY).
    fd_.Reset();
    // The rename replaces whatever has the name in this user's own folder (a link there is replaced,
    // not followed).
    if (::renameat(folder_.Get(), temporary_.c_str(), folder_.Get(), name_.c_str()) != 0) {
        Fail(errno);
        return false;
    }
    committed_ = true;
    // The rename reaches the disk with the folder; failing that, the file is in place anyway.
    static_cast<void>(::fsync(folder_.Get()));
    return true;
}

}  // namespace corvane::update
