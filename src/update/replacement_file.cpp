#include "update/replacement_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace corvane::update {
namespace {

constexpr std::size_t kBufferSize = 64 * 1024;

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool OwnedByUsOrRoot(const struct stat& status) { return status.st_uid == 0 || status.st_uid == ::geteuid(); }

// Where the bytes for `target` really belong. An installed program keeps its definitions in a
// group-writable data folder and a link to them beside the executable; such a link is followed when
// nobody else can have placed it: the link and its folder belong to root or to this user, and the
// folder is writable by no one else. Any other link is replaced, never followed, so no other user can
// steer the write to a file of their choice.
std::string ResolveTarget(const std::string& target) {
    struct stat link {};
    if (::lstat(target.c_str(), &link) != 0 || !S_ISLNK(link.st_mode) || !OwnedByUsOrRoot(link)) return target;
    struct stat folder {};
    if (::stat(FolderOf(target).c_str(), &folder) != 0 || !OwnedByUsOrRoot(folder) || (folder.st_mode & 022) != 0)
        return target;
    char* resolved = ::realpath(target.c_str(), nullptr);
    if (resolved == nullptr) return target;
    std::string result(resolved);
    std::free(resolved);
    return result;
}

}  // namespace

ReplacementFile::ReplacementFile(std::string target) : target_(ResolveTarget(target)) {
    std::string pattern = FolderOf(target_) + "/." + NameOf(target_) + ".part-XXXXXX";
    // mkostemp creates a new file (O_EXCL) readable by this user alone.
    fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ < 0) {
        error_ = errno;
        return;
    }
    temporary_ = pattern;
    buffer_.reserve(kBufferSize);
}

ReplacementFile::~ReplacementFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !temporary_.empty()) ::unlink(temporary_.c_str());
}

void ReplacementFile::Fail(int error) {
    if (error_ == 0) error_ = error != 0 ? error : EIO;
}

bool ReplacementFile::Flush() {
    std::size_t done = 0;
    while (done < buffer_.size()) {
        const ssize_t written = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
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

bool ReplacementFile::Append(std::span<const std::uint8_t> bytes) {
    if (!Ok() || committed_) return false;
    if (buffer_.size() + bytes.size() > kBufferSize && !Flush()) return false;
    if (bytes.size() >= kBufferSize) {
        buffer_.assign(bytes.begin(), bytes.end());
        return Flush();
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return true;
}

bool ReplacementFile::Commit() {
    if (!Ok() || committed_) return false;
    if (!Flush()) return false;
    struct stat existing {};
    mode_t mode = 0644;
    if (::lstat(target_.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) mode = existing.st_mode & 0777;
    if (::fchmod(fd_, mode) != 0 || ::fsync(fd_) != 0) {
        Fail(errno);
        return false;
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        Fail(errno);
        return false;
    }
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        Fail(errno);
        return false;
    }
    committed_ = true;
    return true;
}

}  // namespace corvane::update
