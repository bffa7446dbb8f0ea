#include "service/definitions_installer.h"

#include <QMetaObject>

#include <utility>

#include "service/definitions_file.h"

namespace corvane::service {

DefinitionsInstaller::DefinitionsInstaller(std::string stateDir)
    : stateDir_(std::move(stateDir)), worker_([this] { Run(); }) {}

DefinitionsInstaller::~DefinitionsInstaller() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        jobs_.clear();
    }
    wake_.notify_all();
    worker_.join();
}

bool DefinitionsInstaller::Submit(QDBusUnixFileDescriptor file, std::function<void(InstalledDefinitions)> done) {
    if (pending_ >= kMaxPending) return false;
    ++pending_;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(Job{std::move(file), std::move(done)});
    }
    wake_.notify_one();
    return true;
}

void DefinitionsInstaller::Run() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        InstalledDefinitions outcome = Install(job.file);
        job.file = QDBusUnixFileDescriptor();  // the caller's file is not kept a moment longer
        // Delivered on the owner's thread; dropped there if the installer has gone meanwhile.
        static_cast<void>(QMetaObject::invokeMethod(
            &context_,
            [this, done = std::move(job.done), outcome = std::move(outcome)]() mutable {
                --pending_;
                done(std::move(outcome));
            },
            Qt::QueuedConnection));
    }
}

InstalledDefinitions DefinitionsInstaller::Install(const QDBusUnixFileDescriptor& file) const {
    InstalledDefinitions outcome;
    std::string bytes;
    if (!ReadDefinitionsDescriptor(file.fileDescriptor(), bytes, outcome.why) ||
        !CheckDefinitions(bytes, outcome.definitions, outcome.why)) {
        outcome.refused = true;
        outcome.why = "not a definitions file: " + outcome.why;
        return outcome;
    }
    outcome.bytes = bytes.size();
    if (!ReplaceDefinitionsFile(stateDir_, bytes, outcome.why)) return outcome;
    outcome.ok = true;
    return outcome;
}

}  // namespace corvane::service
