#pragma once
// New definitions handed to the service are read, checked and written in place of qd.def on a
// thread of their own, one after the other, so the thread that answers the bus never waits for a
// caller's file. What is done comes back to the thread that made the installer, in the order asked.
#include <QDBusUnixFileDescriptor>
#include <QObject>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "engine/block_list.h"

namespace corvane::service {

struct InstalledDefinitions {
    bool ok = false;
    bool refused = false;  // the file itself was refused (not a definitions file); else a failure of ours
    std::string why;
    std::size_t bytes = 0;  // the file's size
    engine::Definitions definitions;
};

class DefinitionsInstaller final {
public:
    // Installs beyond this many waiting or under way are refused at once.
    static constexpr std::size_t kMaxPending = 4;

    explicit DefinitionsInstaller(std::string stateDir);
    // Waits for the install under way; those still waiting are dropped unanswered.
    ~DefinitionsInstaller();
    DefinitionsInstaller(const DefinitionsInstaller&) = delete;
    DefinitionsInstaller& operator=(const DefinitionsInstaller&) = delete;

    // False when kMaxPending installs are waiting or under way (done is then never called).
    bool Submit(QDBusUnixFileDescriptor file, std::function<void(InstalledDefinitions)> done);

private:
    struct Job {
        QDBusUnixFileDescriptor file;
        std::function<void(InstalledDefinitions)> done;
    };
    void Run();
    InstalledDefinitions Install(const QDBusUnixFileDescriptor& file) const;

    const std::string stateDir_;
    QObject context_;  // on the thread that made the installer: the answers are delivered there
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::size_t pending_ = 0;  // waiting or under way; changed on the owner's thread only
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace corvane::service
