#include "service/list_watch.h"

#include <QSocketNotifier>
#include <QTimer>

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <utility>

namespace corvane::service {

namespace {

using platform::UniqueFd;

constexpr std::uint32_t kParentEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_ONLYDIR;
constexpr std::uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_MODIFY |
                                        IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// A list's own file (through a link, the file it names).
constexpr std::uint32_t kFileEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

// The names LoadListFolder reads ("*.list", not hidden).
bool IsListName(std::string_view name) {
    constexpr std::string_view kSuffix = ".list";
    return !name.empty() && name.front() != '.' && name.size() > kSuffix.size() && name.ends_with(kSuffix);
}

std::string Failed(const std::string& what, int error) { return what + ": " + std::strerror(error); }

}  // namespace

ListWatch::ListWatch(std::string folder, Prepare prepare, Loaded loaded, Notice notice, QObject* parent)
    : QObject(parent),
      folder_(std::move(folder)),
      prepare_(std::move(prepare)),
      loaded_(std::move(loaded)),
      notice_(std::move(notice)),
      inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
      settle_(new QTimer(this)) {
    settle_->setSingleShot(true);
    connect(settle_, &QTimer::timeout, this, [this] { Settled(); });
    if (!inotify_.Valid()) {
        Say(Failed("the lists in " + folder_ + " are not watched (they are read again on a reload)", errno));
        return;
    }
    events_ = new QSocketNotifier(inotify_.Get(), QSocketNotifier::Read, this);
    connect(events_, &QSocketNotifier::activated, this, [this] { TakeEvents(); });
}

ListWatch::~ListWatch() {
    // Before the descriptor it looks at is closed.
    delete events_;
    if (running_.valid()) running_.wait();
}

void ListWatch::Say(const std::string& line) {
    if (notice_) notice_(line);
}

void ListWatch::LoadNow() {
    PreparedLists read;
    read.lists = engine::LoadListFolder(folder_);
    loaded_(std::move(read));
    Rewatch();
}

void ListWatch::Load(std::function<void()> done) {
    if (done) held_.push_back(std::move(done));
    readDue_ = true;
    ReadNow();
}

void ListWatch::ReadNow() {
    // What the kernel reported so far first: a list whose writer has begun is not read yet.
    TakeEvents();
    if (!writing_.empty()) {
        if (!settle_->isActive()) settle_->start(kRecheck);
        return;
    }
    readDue_ = false;
    std::vector<std::function<void()>> callers;
    callers.swap(held_);
    if (running_.valid()) {
        // Whatever changed may have been read already, or not: read once more after this one.
        again_ = true;
        for (auto& done : callers) next_.push_back(std::move(done));
        return;
    }
    for (auto& done : callers) waiting_.push_back(std::move(done));
    Begin();
}

void ListWatch::Begin() {
    changesInPlaceAtBegin_ = changesInPlace_;
    running_ = std::async(std::launch::async, [this, folder = folder_] {
        engine::AddressLists lists = engine::LoadListFolder(folder);
        PreparedLists read;
        if (prepare_) {
            read = prepare_(std::move(lists));
        } else {
            read.lists = std::move(lists);
        }
        // The destructor waits for this read, so the object is still there to be told.
        QMetaObject::invokeMethod(this, [this] { Finished(); }, Qt::QueuedConnection);
        return read;
    });
}

void ListWatch::Finished() {
    if (!running_.valid()) return;
    PreparedLists read = running_.get();
    // A list changed in place while it was read may have been read half-written: the lists in force
    // stay, and the folder is read again once its writer is done.
    TakeEvents();
    const bool torn = changesInPlace_ != changesInPlaceAtBegin_;
    std::vector<std::function<void()>> told;
    told.swap(waiting_);
    if (torn) {
        for (auto& done : told) held_.push_back(std::move(done));
        told.clear();
    } else {
        loaded_(std::move(read));
        Rewatch();
    }
    for (const auto& done : told) done();
    const bool again = torn || again_;
    if (again_) {
        again_ = false;
        for (auto& done : next_) held_.push_back(std::move(done));
        next_.clear();
    }
    // Asked for, or owed: at once (or once the list written in place is complete). Other changes
    // seen meanwhile are read once they settle.
    if (again) {
        readDue_ = true;
        ReadNow();
    }
}

void ListWatch::ListChangedInPlace(const std::string& name) {
    ++changesInPlace_;
    auto [at, added] = writing_.try_emplace(name);
    at->second.since = Clock::now();
    if (!added) return;
    struct stat now {};
    if (::stat((folder_ + "/" + name).c_str(), &now) == 0) {
        at->second.size = now.st_size;
        at->second.modified = now.st_mtim;
    }
    const std::string line = "list " + folder_ + "/" + name +
                             " is being written in place: the lists in force stay until it is closed (lists are "
                             "best replaced whole, by a rename)";
    if (told_.insert(line).second) Say(line);
}

void ListWatch::TakeEvents() {
    if (!inotify_.Valid()) return;
    alignas(inotify_event) char buffer[16384];
    const std::string folderName = std::filesystem::path(folder_).filename().string();
    for (;;) {
        const ssize_t got = ::read(inotify_.Get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) {
                const std::string line = Failed("the watch of the lists in " + folder_ + " cannot be read", errno);
                if (told_.insert(line).second) Say(line);
                readDue_ = true;
            }
            break;
        }
        if (got == 0) break;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            const std::string name = event->len > 0 ? std::string(event->name) : std::string();
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                // Events were lost: whatever happened is read.
                readDue_ = true;
                continue;
            }
            if (event->wd == parentWatch_) {
                if (name == folderName) {
                    readDue_ = true;
                    rewatchDue_ = true;
                }
                if ((event->mask & IN_IGNORED) != 0) {
                    parentWatch_ = -1;
                    rewatchDue_ = true;
                }
                continue;
            }
            std::string list;
            if (event->wd == folderWatch_) {
                if ((event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
                    if ((event->mask & IN_IGNORED) != 0) folderWatch_ = -1;
                    readDue_ = true;
                    rewatchDue_ = true;
                    continue;
                }
                if (!IsListName(name)) continue;  // temporary files, editors' backups
                list = name;
            } else if (const auto found = fileWatches_.find(event->wd); found != fileWatches_.end()) {
                list = found->second;
                if ((event->mask & IN_IGNORED) != 0) fileWatches_.erase(found);
                if ((event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
                    readDue_ = true;
                    rewatchDue_ = true;
                    continue;
                }
            } else {
                continue;  // a watch given up already
            }
            if ((event->mask & IN_MODIFY) != 0) {
                ListChangedInPlace(list);
            } else if ((event->mask & IN_CLOSE_WRITE) != 0) {
                writing_.erase(list);
                readDue_ = true;
            } else {
                // Added, removed, renamed in or out, its mode or owner changed.
                if ((event->mask & (IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE)) != 0) writing_.erase(list);
                readDue_ = true;
                if ((event->mask & (IN_CREATE | IN_MOVED_TO)) != 0) rewatchDue_ = true;
            }
        }
    }
    // Each change puts the read off until the changes settle.
    if (readDue_ || rewatchDue_ || !writing_.empty()) settle_->start(writing_.empty() ? kSettle : kRecheck);
}

void ListWatch::Settled() {
    TakeEvents();
    settle_->stop();
    const Clock::time_point now = Clock::now();
    for (auto at = writing_.begin(); at != writing_.end();) {
        const std::string path = folder_ + "/" + at->first;
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0) {
            // Gone: the folder's events tell what follows.
            at = writing_.erase(at);
            readDue_ = true;
            continue;
        }
        Writing& writing = at->second;
        if (status.st_size != writing.size || status.st_mtim.tv_sec != writing.modified.tv_sec ||
            status.st_mtim.tv_nsec != writing.modified.tv_nsec) {
            writing.size = status.st_size;
            writing.modified = status.st_mtim;
            writing.since = now;
        } else if (now - writing.since >= kOpenWriterQuiet) {
            Say("list " + path + " was changed in place and not closed, but has not changed for " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kOpenWriterQuiet).count()) +
                " s: it is read as it stands");
            at = writing_.erase(at);
            readDue_ = true;
            continue;
        }
        ++at;
    }
    if (!writing_.empty()) {
        settle_->start(kRecheck);
        return;
    }
    if (rewatchDue_) Rewatch();
    if (readDue_ || !held_.empty()) ReadNow();
}

int ListWatch::Watch(const std::string& path, std::uint32_t mask, bool quietWhenAbsent) {
    const int watch = ::inotify_add_watch(inotify_.Get(), path.c_str(), mask);
    if (watch < 0 && !(quietWhenAbsent && (errno == ENOENT || errno == ENOTDIR))) {
        const std::string line = Failed(path + " is not watched (changes there apply on a reload)", errno);
        if (told_.insert(line).second) Say(line);
    }
    return watch;
}

void ListWatch::Rewatch() {
    rewatchDue_ = false;
    if (!inotify_.Valid()) return;
    const std::filesystem::path folder(folder_);
    if (folder.has_parent_path()) parentWatch_ = Watch(folder.parent_path().string(), kParentEvents, true);
    folderWatch_ = Watch(folder_, kFolderEvents, true);
    std::map<int, std::string> watched;
    if (folderWatch_ >= 0) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            const std::string name = entry.path().filename().string();
            // Links are followed, as the read follows them: a change to the file named counts. What is
            // no file (a link to nothing) is said when it is read.
            std::error_code kind;
            if (!IsListName(name) || !entry.is_regular_file(kind)) continue;
            const int watch = Watch(entry.path().string(), kFileEvents, true);
            if (watch >= 0) watched[watch] = name;
        }
        if (error) {
            const std::string line = "the lists in " + folder_ + " are not all watched: " + error.message();
            if (told_.insert(line).second) Say(line);
        }
    }
    for (const auto& [watch, name] : fileWatches_) {
        // A watch the kernel dropped with its file is no longer known to it (EINVAL): nothing to undo.
        if (!watched.contains(watch) && watch != folderWatch_ && watch != parentWatch_)
            static_cast<void>(::inotify_rm_watch(inotify_.Get(), watch));
    }
    fileWatches_ = std::move(watched);
}

}  // namespace corvane::service
