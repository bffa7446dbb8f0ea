#pragma once
// Keeps the stored count ("Attempts") close behind the engine's, on a thread of its own: the engine's
// thread only hands over the latest count and never waits for the store.
//
// A change is written within kDelay (several changes in that time in one write). A write the store
// cannot take now (another process holds it locked) is tried again later, the count kept meanwhile.
// A count that could not be read at start is never overwritten: the engine counts the blocks since
// start, the stored value is read again until it can be, then handed to the engine's thread
// (OnStoredRead), which makes the count stored + since start and gives it back (Merged); only then
// is it written. A damaged store is set aside and made again with the count (one notice each time).
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "settings/stored_settings.h"

namespace corvane::service {

class CountSaver final {
public:
    using Clock = std::chrono::steady_clock;
    // Well inside the second a crash may lose, with room for the write itself.
    static constexpr std::chrono::milliseconds kDelay{500};
    // Tries after a busy store: the first soon, then further apart, never more than kLastRetry apart.
    static constexpr std::chrono::milliseconds kFirstRetry{50};
    static constexpr std::chrono::milliseconds kLastRetry{1000};

    // The store as the saver uses it; the service's own is MachineStore().
    struct Store {
        std::function<settings::StoredNumber()> read;               // "Attempts" as stored
        std::function<settings::StoreAnswer(std::int32_t)> write;   // "Attempts" := count
        std::function<settings::StoreRepair()> repair;              // damaged: set aside, made again
    };
    static Store MachineStore();

    // `notice` tells what happened to the store (from the saver's thread); `onStoredRead` hands a
    // count read late to the engine's side (from the saver's thread), which answers with Merged.
    CountSaver(Store store, std::function<void(const std::string&)> notice,
               std::function<void(std::int32_t stored)> onStoredRead);
    // Ends the thread without a last write (Finish writes it).
    ~CountSaver();
    CountSaver(const CountSaver&) = delete;
    CountSaver& operator=(const CountSaver&) = delete;

    // Starts the thread: `stored` is the count read at start (nothing due for it), nullopt when it
    // could not be read.
    void Start(std::optional<std::int32_t> stored);
    // The engine's count changed (blocks since start while the stored count is unread).
    void Changed(std::int32_t count);
    // After OnStoredRead: the engine's count is now stored + blocks since start.
    void Merged(std::int32_t count);
    // The last write: `count` is the engine's final count (unmerged while unread). Tries until it is
    // stored or `limit` has passed, then ends the thread. True when stored.
    bool Finish(std::int32_t count, std::chrono::milliseconds limit);

    // The count last written, if any (for status and tests).
    std::optional<std::int32_t> Saved() const;
    // Whether the stored count is known (read at start, or read late and merged).
    bool BaseKnown() const;

private:
    enum class Base { kKnown, kUnread, kReadAwaitingMerge };

    void Run();
    // One try each, made outside the lock.
    void ReadBase(std::unique_lock<std::mutex>& lock);
    void WriteLatest(std::unique_lock<std::mutex>& lock);
    // The store was found damaged: set aside and made again; true when done.
    bool Repair(std::unique_lock<std::mutex>& lock);
    void Failed(settings::StoreAnswer answer, const char* what);
    // The next try after a failed one, further off each time.
    void Backoff();
    // The count to write when it is due, else nullopt.
    std::optional<std::int32_t> DueCount() const;

    Store store_;
    std::function<void(const std::string&)> notice_;
    std::function<void(std::int32_t)> onStoredRead_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    Base base_ = Base::kKnown;
    std::int32_t pendingStored_ = 0;  // read, not merged yet
    std::int32_t latest_ = 0;
    std::optional<std::int32_t> saved_;
    std::optional<Clock::time_point> changedAt_;  // first change not written yet
    Clock::time_point retryAt_{};
    std::chrono::milliseconds retryStep_ = kFirstRetry;
    bool toldFailure_ = false;
    bool finishing_ = false;
    Clock::time_point finishDeadline_{};
    bool ending_ = false;
    std::thread thread_;
};

}  // namespace corvane::service
