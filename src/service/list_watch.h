#pragma once
// The administrator's list folder, read in the background and watched for changes.
//
// A read runs on a thread of its own, so the lists in force keep protecting while a long new one
// is read; the result is handed over on this object's thread. A change in the folder (a file added,
// removed, renamed or written) reads it again once the changes have settled for a moment.
#include <QObject>

#include <functional>
#include <future>
#include <string>
#include <vector>

#include "engine/address_lists.h"
#include "engine/m_firewall.h"
#include "service/refusal_layer.h"

class QFileSystemWatcher;
class QTimer;

namespace corvane::service {

// A read's result, with the kernel sides made for it on the reading thread when the lists are long.
struct PreparedLists {
    engine::AddressLists lists;
    engine::PreparedEvents events;  // no service unless made
    PreparedRefusal refusal;        // no service unless made
};

class ListWatch final : public QObject {
    Q_OBJECT
public:
    // Runs on the reading thread, after the read.
    using Prepare = std::function<PreparedLists(engine::AddressLists lists)>;
    using Loaded = std::function<void(PreparedLists prepared)>;

    // `loaded` gets every read's result, on this object's thread; `prepare` (if any) makes ready on
    // the reading thread what can be made there.
    ListWatch(std::string folder, Prepare prepare, Loaded loaded, QObject* parent = nullptr);
    // Waits for a read under way; its result is dropped.
    ~ListWatch() override;

    ListWatch(const ListWatch&) = delete;
    ListWatch& operator=(const ListWatch&) = delete;

    // Reads the folder now, on this thread (nothing prepared), hands the result to `loaded` and
    // starts watching.
    void LoadNow();
    // Reads the folder again in the background. `done` (if any) is called once a read that began
    // after this call has been handed to `loaded`.
    void Load(std::function<void()> done = {});
    const std::string& Folder() const noexcept { return folder_; }

private:
    void Begin();
    void Finished();
    // Watches the folder, the files in it and the folder above (where the folder may appear).
    void Rewatch();

    std::string folder_;
    Prepare prepare_;
    Loaded loaded_;
    QFileSystemWatcher* watcher_;  // a child of this object
    QTimer* settle_;               // a child of this object
    std::future<PreparedLists> running_;
    std::vector<std::function<void()>> waiting_;  // told when the read under way is handed over
    bool again_ = false;                          // asked for while a read was under way
    std::vector<std::function<void()>> next_;     // told after the read that follows
};

}  // namespace corvane::service
