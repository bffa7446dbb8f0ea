#include "service/list_watch.h"

#include <QFileSystemWatcher>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <utility>

namespace corvane::service {

namespace {
// Editors and package tools change a file in several steps: one read after they are done.
constexpr std::chrono::milliseconds kSettle{200};
}  // namespace

ListWatch::ListWatch(std::string folder, Prepare prepare, Loaded loaded, QObject* parent)
    : QObject(parent),
      folder_(std::move(folder)),
      prepare_(std::move(prepare)),
      loaded_(std::move(loaded)),
      watcher_(new QFileSystemWatcher(this)),
      settle_(new QTimer(this)) {
    settle_->setSingleShot(true);
    settle_->setInterval(kSettle);
    connect(settle_, &QTimer::timeout, this, [this] { Load(); });
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, [this] { settle_->start(); });
    connect(watcher_, &QFileSystemWatcher::fileChanged, this, [this] { settle_->start(); });
}

ListWatch::~ListWatch() {
    if (running_.valid()) running_.wait();
}

void ListWatch::LoadNow() {
    PreparedLists read;
    read.lists = engine::LoadListFolder(folder_);
    loaded_(std::move(read));
    Rewatch();
}

void ListWatch::Load(std::function<void()> done) {
    if (running_.valid()) {
        // Whatever changed may have been read already, or not: read once more after this one.
        again_ = true;
        if (done) next_.push_back(std::move(done));
        return;
    }
    if (done) waiting_.push_back(std::move(done));
    Begin();
}

void ListWatch::Begin() {
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
    loaded_(running_.get());
    Rewatch();
    std::vector<std::function<void()>> told;
    told.swap(waiting_);
    for (const auto& done : told) done();
    if (again_) {
        again_ = false;
        waiting_.swap(next_);
        Begin();
    }
}

void ListWatch::Rewatch() {
    const QStringList watched = watcher_->files() + watcher_->directories();
    if (!watched.isEmpty()) static_cast<void>(watcher_->removePaths(watched));
    QStringList paths;
    const std::filesystem::path folder(folder_);
    std::error_code error;
    if (folder.has_parent_path() && std::filesystem::is_directory(folder.parent_path(), error))
        paths << QString::fromStdString(folder.parent_path().string());
    if (std::filesystem::is_directory(folder, error)) {
        paths << QString::fromStdString(folder_);
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            if (entry.path().extension() == ".list") paths << QString::fromStdString(entry.path().string());
        }
    }
    // A path that cannot be watched (gone meanwhile, no inotify left) is read again only on a
    // reload; the rest are still watched.
    if (!paths.isEmpty()) static_cast<void>(watcher_->addPaths(paths));
}

}  // namespace corvane::service
