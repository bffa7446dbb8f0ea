#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/named_mutex.h"
#include "platform/paths.h"
#include "platform/win32_error.h"

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;
using platform::UniqueFd;

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
    std::string guardPath;
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
                    if (UniqueFd home = OpenPrivateFolder(folders.paths[1], ignored); home.Valid()) {
                        opened.guard = OpenLockFile(home.Get(), file, ignored);
                        if (opened.guard.Valid()) opened.guardPath = (folders.paths[1] / file).string();
                    }
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
            const bool held = errno == EWOULDBLOCK;
            result_ = held ? kErrorAlreadyExists : Win32FromErrno(errno);
            if (held) heldElsewhere_ = fd == &opened.fd ? path_ : opened.guardPath;
            return;  // a lock taken already goes with its descriptor
        }
    }
    fd_ = std::move(opened.fd);
    guard_ = std::move(opened.guard);
    guardPath_ = std::move(opened.guardPath);
}

// ---- The holder's channel ----

namespace {

constexpr char kShowRequest[] = "show";
constexpr char kShownAnswer[] = "shown\n";
constexpr std::size_t kLongestRequest = 512;

// A socket address for `path`. A path too long for sun_path is reached through its folder's
// descriptor (/proc/self/fd/N/name), which `folder` then holds for as long as the address is used.
bool SocketAddress(const std::string& path, sockaddr_un& address, UniqueFd& folder, std::string& why) {
    address = {};
    address.sun_family = AF_UNIX;
    std::string reach = path;
    if (reach.size() >= sizeof address.sun_path) {
        const fs::path full(path);
        folder = UniqueFd(::open(full.parent_path().c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder.Valid()) {
            why = full.parent_path().string() + ": " + std::strerror(errno);
            return false;
        }
        reach = "/proc/self/fd/" + std::to_string(folder.Get()) + "/" + full.filename().string();
        if (reach.size() >= sizeof address.sun_path) {
            why = path + ": name too long for a socket";
            return false;
        }
    }
    std::memcpy(address.sun_path, reach.c_str(), reach.size() + 1);
    return true;
}

// Whether the process at the other end of a connected socket is this user or root.
bool PeerIsThisUser(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
    return peer.uid == ::geteuid() || peer.uid == 0;
}

// Waits until `fd` is readable or `deadline` passes.
bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 60000)));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

// Reads one line (without its newline) of at most kLongestRequest bytes before `deadline`. Nothing,
// with `error` ETIMEDOUT, ECONNRESET (the other end closed) or EPROTO (no line), when there is none.
std::optional<std::string> ReadLine(int fd, std::chrono::steady_clock::time_point deadline, int& error) {
    std::string line;
    for (;;) {
        if (!WaitReadable(fd, deadline)) {
            error = ETIMEDOUT;
            return std::nullopt;
        }
        char buffer[128];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got <= 0) {
            error = got == 0 ? ECONNRESET : errno;
            return std::nullopt;
        }
        line.append(buffer, static_cast<std::size_t>(got));
        if (const auto end = line.find('\n'); end != std::string::npos) return line.substr(0, end);
        if (line.size() > kLongestRequest) {
            error = EPROTO;
            return std::nullopt;
        }
    }
}

bool SendAll(int fd, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t put = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        sent += static_cast<std::size_t>(put);
    }
    return true;
}

}  // namespace

std::string ChannelPathOf(const std::string& lockPath) {
    fs::path path(lockPath);
    path.replace_extension(".sock");
    return path.string();
}

std::string NamedMutex::Listen() {
    if (!Held()) return "the mutex is not held";
    channels_.clear();
    std::string why;
    for (const std::string* lock : {&path_, &guardPath_}) {
        if (lock->empty()) continue;
        const std::string path = ChannelPathOf(*lock);
        sockaddr_un address{};
        UniqueFd folder;
        if (!SocketAddress(path, address, folder, why)) continue;
        // Only a holder gets here, so a socket in its place is an ended holder's.
        if (::unlink(address.sun_path) != 0 && errno != ENOENT) {
            why = path + ": " + std::strerror(errno);
            continue;
        }
        UniqueFd channel(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!channel.Valid() || ::bind(channel.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::chmod(address.sun_path, 0600) != 0 || ::listen(channel.Get(), 16) != 0) {
            why = path + ": " + std::strerror(errno);
            continue;
        }
        channels_.push_back(std::move(channel));
    }
    return channels_.empty() ? (why.empty() ? "no channel" : why) : std::string();
}

std::vector<int> NamedMutex::Channels() const {
    std::vector<int> fds;
    for (const UniqueFd& channel : channels_) fds.push_back(channel.Get());
    return fds;
}

bool ShowRequest::Answer() {
    if (!connection_.Valid()) return false;
    const bool told = SendAll(connection_.Get(), kShownAnswer);
    connection_ = UniqueFd();
    return told;
}

std::optional<ShowRequest> TakeShowRequest(int channel, std::chrono::milliseconds limit) {
    UniqueFd connection(::accept4(channel, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!connection.Valid() || !PeerIsThisUser(connection.Get())) return std::nullopt;
    int error = 0;
    const std::optional<std::string> line =
        ReadLine(connection.Get(), std::chrono::steady_clock::now() + limit, error);
    if (!line) return std::nullopt;
    // "show" or "show TOKEN"; a token is printable and has no blanks.
    const std::string_view text(*line);
    const std::string_view verb = text.substr(0, text.find(' '));
    if (verb != kShowRequest) return std::nullopt;
    std::string token = verb.size() < text.size() ? std::string(text.substr(verb.size() + 1)) : std::string();
    for (const char c : token)
        if (c <= ' ' || c > '~') return std::nullopt;
    return ShowRequest(std::move(connection), std::move(token));
}

int AskHolderToShow(const NamedMutex& mutex, std::string_view token, std::chrono::milliseconds limit) {
    if (mutex.HeldElsewherePath().empty()) return ENOENT;
    for (const char c : token)
        if (c <= ' ' || c > '~' || token.size() > kLongestRequest / 2) return EINVAL;
    sockaddr_un address{};
    UniqueFd folder;
    std::string why;
    if (!SocketAddress(ChannelPathOf(mutex.HeldElsewherePath()), address, folder, why)) return ENAMETOOLONG;
    UniqueFd connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!connection.Valid()) return errno;
    if (::connect(connection.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return errno == EAGAIN ? ECONNREFUSED : errno;  // a full queue: as good as nobody listening yet
    // The socket lies in the user's private folder; the one listening must be the user as well.
    if (!PeerIsThisUser(connection.Get())) return EPERM;
    std::string request = kShowRequest;
    if (!token.empty()) request.append(" ").append(token);
    if (!SendAll(connection.Get(), request + "\n")) return errno != 0 ? errno : EPIPE;
    int error = 0;
    const std::optional<std::string> answer =
        ReadLine(connection.Get(), std::chrono::steady_clock::now() + limit, error);
    if (!answer) return error;
    return *answer + "\n" == kShownAnswer ? 0 : EPROTO;
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
