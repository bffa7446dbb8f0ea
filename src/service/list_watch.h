#pragma once
// The administrator's list folder, read in the background and watched for changes.
//
// A read runs on a thread of its own, so the lists in force keep protecting while a long new one
// is read; the result is handed over on this object's thread. A change in the folder (a file added,
// removed, renamed in, its mode changed, or written and closed) reads it again once the changes have
// settled for a moment.
//
// A list written in place is never read half-written: from its first change until its writer closes
// it, the lists in force stay (a reload waits too), and a read that a change in place overlapped is
// dropped and made again. A writer that keeps the file open without changing it for kOpenWriterQuiet
// is taken to be done. Lists are best replaced whole (written beside, then renamed into place).
#include <QObject>

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/address_lists.h"
#include "engine/m_firewall.h"
#include "platform/unique_fd.h"
#include "service/refusal_layer.h"

class QSocketNotifier;
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
    using Clock = std::chrono::steady_clock;
    // Editors and package tools change a folder in several steps: one read after they are done.
    static constexpr std::chrono::milliseconds kSettle{200};
    // How often a list being written in place is looked at again.
    static constexpr std::chrono::milliseconds kRecheck{250};
    // A list changed in place and not closed, unchanged (size and time) this long, is read as it is.
    static constexpr std::chrono::milliseconds kOpenWriterQuiet{5000};

    // Runs on the reading thread, after the read.
    using Prepare = std::function<PreparedLists(engine::AddressLists lists)>;
    using Loaded = std::function<void(PreparedLists prepared)>;
    using Notice = std::function<void(const std::string& line)>;

    // `loaded` gets every read's result, on this object's thread; `prepare` (if any) makes ready on
    // the reading thread what can be made there; `notice` (if any) is told what the watch cannot do
    // and when a list is held back, each once.
    ListWatch(std::string folder, Prepare prepare, Loaded loaded, Notice notice = {}, QObject* parent = nullptr);
    // Waits for a read under way; its result is dropped.
    ~ListWatch() override;

    ListWatch(const ListWatch&) = delete;
    ListWatch& operator=(const ListWatch&) = delete;

    // Reads the folder now, on this thread (nothing prepared), hands the result to `loaded` and
    // starts watching.
    void LoadNow();
    // Reads the folder again in the background (once no list is being written in place). `done` (if
    // any) is called once a read that began after this call has been handed to `loaded`.
    void Load(std::function<void()> done = {});
    const std::string& Folder() const noexcept { return folder_; }

private:
    // A list changed in place, not closed yet: as it was last looked at.
    struct Writing {
        off_t size = 0;
        struct timespec modified {};
        Clock::time_point since;  // its last change seen
    };

    void ReadNow();
    void Begin();
    void Finished();
    // Takes what the kernel reported, and schedules what follows from it.
    void TakeEvents();
    void ListChangedInPlace(const std::string& name);
    // The settle time is over: the folder is read, unless a list is still being written.
    void Settled();
    // Watches the folder, each list in it (a link's file) and the folder above (where the folder
    // may appear).
    void Rewatch();
    int Watch(const std::string& path, std::uint32_t mask, bool quietWhenAbsent);
    void Say(const std::string& line);

    std::string folder_;
    Prepare prepare_;
    Loaded loaded_;
    Notice notice_;
    platform::UniqueFd inotify_;
    QSocketNotifier* events_ = nullptr;  // a child of this object
    QTimer* settle_;                     // a child of this object
    int parentWatch_ = -1;
    int folderWatch_ = -1;
    std::map<int, std::string> fileWatches_;  // a list file's own watch: its name in the folder
    std::map<std::string, Writing> writing_;  // lists being written in place, by name
    std::uint64_t changesInPlace_ = 0;        // seen so far
    std::uint64_t changesInPlaceAtBegin_ = 0;
    bool readDue_ = false;
    bool rewatchDue_ = false;
    std::set<std::string> told_;              // said once each
    std::future<PreparedLists> running_;
    std::vector<std::function<void()>> held_;     // told after a read once nothing is written in place
    std::vector<std::function<void()>> waiting_;  // told when the read under way is handed over
    bool again_ = false;                          // asked for while a read was under way
    std::vector<std::function<void()>> next_;     // told after the read that follows
};

}  // namespace corvane::service
