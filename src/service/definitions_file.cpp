#include "service/definitions_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/unique_fd.h"
#include "service/write_all.h"

namespace corvane::service {

namespace {

using platform::UniqueFd;

constexpr char kDefinitionsName[] = "qd.def";
// New definitions are written under this prefix first (see ReplaceDefinitionsFile); earlier versions
// of the window wrote theirs as ".qd.def.part-…" beside the definitions.
constexpr std::string_view kTemporaryPrefix = ".qd.def.";

std::string Failed(const char* step, int error) { return std::string(step) + ": " + std::strerror(error); }

}  // namespace

bool ReadDefinitionsDescriptor(int fd, std::string& bytes, std::string& why) {
    bytes.clear();
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        why = Failed("the file cannot be examined", errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        why = "not a regular file";
        return false;
    }
    if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > kMaxDefinitionsBytes) {
        why = "larger than " + std::to_string(kMaxDefinitionsBytes) + " bytes";
        return false;
    }
    // The file may still grow while it is read: one byte past the limit tells.
    bytes.resize(kMaxDefinitionsBytes + 1);
    std::size_t have = 0;
    while (have < bytes.size()) {
        const ssize_t got = ::pread(fd, bytes.data() + have, bytes.size() - have, static_cast<off_t>(have));
        if (got < 0) {
            if (errno == EINTR) continue;
            why = Failed("the file cannot be read", errno);
            bytes.clear();
            return false;
        }
        if (got == 0) break;
        have += static_cast<std::size_t>(got);
    }
    if (have > kMaxDefinitionsBytes) {
        why = "larger than " + std::to_string(kMaxDefinitionsBytes) + " bytes";
        bytes.clear();
        return false;
    }
    bytes.resize(have);
    return true;
}

bool IsDottedShape(std::string_view text) {
    int groups = 0;
    std::size_t digits = 0;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            if (++digits > 3) return false;
        } else if (c == '.' && digits > 0 && groups < 3) {
            ++groups;
            digits = 0;
        } else {
            return false;
        }
    }
    return groups == 3 && digits > 0;
}

bool CheckDefinitions(std::string_view bytes, engine::Definitions& definitions, std::string& why) {
    if (bytes.empty()) {
        why = "the file is empty";
        return false;
    }
    // Every line of a whole file ends; a file cut off part-way has a last line that does not.
    if (!bytes.ends_with("\r\n")) {
        why = "the file does not end with a line end (CR LF): it is cut off or not a definitions file";
        return false;
    }
    definitions = engine::ParseDefinitions(bytes);
    if (definitions.defsVersion.empty()) {
        why = "no version line (a line starting with \"V\", lines ending in CR LF)";
        return false;
    }
    // A version is a number, compared as one: "~~~" would sort after every later version.
    if (!std::all_of(definitions.defsVersion.begin(), definitions.defsVersion.end(),
                     [](char c) { return c >= '0' && c <= '9'; })) {
        why = "the version \"" + definitions.defsVersion + "\" is no number";
        definitions = {};
        return false;
    }
    if (definitions.blockList.empty()) {
        why = "nothing is listed";
        return false;
    }
    // Each entry as the loader reads it: a server's error page, a file with other line ends or a
    // damaged one shows as entries that are no address at all.
    for (std::size_t i = 0; i < definitions.blockList.size(); ++i) {
        if (!IsDottedShape(definitions.blockList[i])) {
            why = "entry " + std::to_string(i + 1) + " is not an IPv4 address in dotted form";
            definitions = {};
            return false;
        }
    }
    return true;
}

bool ReplaceDefinitionsFile(const std::string& stateDir, std::string_view bytes, std::string& why) {
    const UniqueFd dir(::open(stateDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.Valid()) {
        why = Failed("the state folder cannot be opened", errno);
        return false;
    }
    // A name of our own in our own folder; O_EXCL with O_NOFOLLOW never opens anything already there.
    static unsigned serial = 0;
    std::string temporary;
    UniqueFd file;
    for (int attempt = 0; attempt < 100 && !file.Valid(); ++attempt) {
        temporary = ".qd.def." + std::to_string(::getpid()) + "." + std::to_string(++serial);
        file = UniqueFd(
            ::openat(dir.Get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!file.Valid() && errno != EEXIST) break;
    }
    if (!file.Valid()) {
        why = Failed("a new file cannot be made in the state folder", errno);
        return false;
    }
    auto abandon = [&](const char* step) {
        const int error = errno;
        static_cast<void>(::unlinkat(dir.Get(), temporary.c_str(), 0));
        why = Failed(step, error);
        return false;
    };
    // The service's umask is private; the definitions are for everyone to read.
    if (::fchmod(file.Get(), 0644) != 0) return abandon("the new file's mode cannot be set");
    if (!WriteAll(file.Get(), bytes)) return abandon("the new file cannot be written");
    if (::fsync(file.Get()) != 0) return abandon("the new file cannot be flushed to disk");
    file.Reset();
    if (::renameat(dir.Get(), temporary.c_str(), dir.Get(), kDefinitionsName) != 0)
        return abandon("the new file cannot be put in place");
    // The rename itself reaches the disk with the folder. Failing that, the new file is in place
    // anyway; a crash may bring the old one back.
    static_cast<void>(::fsync(dir.Get()));
    return true;
}

std::vector<std::string> RemoveStaleTemporaries(const std::string& stateDir) {
    std::vector<std::string> notes;
    const UniqueFd dir(::open(stateDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.Valid()) {
        notes.push_back(Failed("stale temporary files not looked for: the state folder cannot be opened", errno));
        return notes;
    }
    // The listing gets a descriptor of its own: closedir closes that one, not `dir`.
    const int listed = ::dup(dir.Get());
    DIR* const stream = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (stream == nullptr) {
        const int error = errno;
        if (listed >= 0) static_cast<void>(::close(listed));
        notes.push_back(Failed("stale temporary files not looked for: the state folder cannot be read", error));
        return notes;
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> closer(stream, ::closedir);
    std::vector<std::string> stale;
    errno = 0;
    while (const dirent* entry = ::readdir(stream)) {
        const std::string_view name(entry->d_name);
        if (name.starts_with(kTemporaryPrefix)) stale.emplace_back(name);
        errno = 0;
    }
    if (errno != 0) notes.push_back(Failed("the state folder could not be read to its end", errno));
    for (const std::string& name : stale) {
        struct stat info {};
        // Never into a folder: only files and links (removed as links) left by an interrupted write.
        if (::fstatat(dir.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(info.st_mode)) continue;
        if (::unlinkat(dir.Get(), name.c_str(), 0) == 0)
            notes.push_back("removed the stale temporary file " + name);
        else
            notes.push_back(Failed(("the stale temporary file " + name + " cannot be removed").c_str(), errno));
    }
    return notes;
}

}  // namespace corvane::service
