#pragma once
// Keeps the stored count ("Attempts") close behind the engine's, on a thread of its own: the engine's
// thread only hands over the latest count and never waits for the store.
//
// A change is written within kDelay (several changes in that time in one write): to the journal beside
// the store first (count_journal.h), then to the store. A write the store cannot take now (another
// process holds it locked) is tried again later, the count kept meanwhile; the journal follows every
// change within kDelay all the same, so a kill or a crash loses no more than that.
// A count that could not be read at start is never overwritten: the engine counts the blocks since
// start, the stored value is read again until it can be, then handed to the engine's thread
// (OnStoredRead), which makes the count stored + since start and gives it back (Merged); only then
// is it written. A damaged store is set aside and made again with the count (one notice each time).
//
// The count goes on from the stored one, except where the journal knows better: when the store still
// holds the count the journal was written against (a save it did not take), holds no count (made anew,
// emptied) or one that is no number, the journal's count is taken. A stored count that is no number is
// kept aside (kAsideName) before it is written over. Each of these is said.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "service/count_journal.h"
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
    // A journal that could not be written is tried again this much later.
    static constexpr std::chrono::milliseconds kJournalRetry{1000};
    // The value a stored count that is no number is kept as.
    static constexpr char kAsideName[] = "AttemptsNotANumber";

    // The store as the saver uses it; the service's own is MachineStore(). Those after `repair` may be
    // left empty: no journal, nothing kept aside, nothing found empty.
    struct Store {
        std::function<settings::StoredNumber()> read;               // "Attempts" as stored
        std::function<settings::StoreAnswer(std::int32_t)> write;   // "Attempts" := count
        std::function<settings::StoreRepair()> repair;              // damaged: set aside, made again
        std::function<settings::StoreAnswer()> keepAside;           // "Attempts", no number, as kAsideName
        // The store's file, when it was found empty (0 bytes) and made anew since the last ask.
        std::function<std::optional<std::string>()> foundEmpty;
        std::function<CountJournalRead()> readJournal;
        std::function<std::string(const CountJournal&)> writeJournal;  // empty when written, else why
        std::string journalName;                                        // for notices
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

    // Reads the stored count and the journal (on this thread, waiting for another process's lock as
    // long as its store wait), says what needs saying and starts the thread. The count the engine
    // starts from; nullopt when the stored count cannot be read now (the engine then counts the
    // blocks since start from 0, and OnStoredRead follows once it is read).
    std::optional<std::int32_t> StartFromStore();
    // Starts the thread without a look at the journal: `stored` is the count read at start (nothing
    // due for it), nullopt when it could not be read.
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
    // The count to go on from, given the stored count as read, and what is to be said about it.
    struct Choice {
        std::int32_t count = 0;
        std::string said;
        bool keepAside = false;  // the stored count is no number
    };
    Choice Choose(const settings::StoredNumber& read, const std::optional<std::string>& foundEmpty) const;
    void Launch(Base base, std::int32_t count, std::optional<std::int32_t> inStore);
    // Whether the store was found empty since the last look (said when the count was known).
    std::optional<std::string> FoundEmpty();

    void Run();
    // One try each, made outside the lock.
    void ReadBase(std::unique_lock<std::mutex>& lock);
    void WriteLatest(std::unique_lock<std::mutex>& lock);
    void WriteJournal(std::unique_lock<std::mutex>& lock);
    // What the journal is to hold now, and whether it does not hold that yet.
    CountJournal JournalNow() const;
    bool JournalDue() const;
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
    std::int32_t pendingStored_ = 0;  // read (or taken from the journal), not merged yet
    std::int32_t latest_ = 0;
    std::optional<std::int32_t> saved_;  // what the store holds as far as known
    bool keepAsideDue_ = false;          // the stored count is no number: kept aside before it is written over
    // The journal as read at start (it stands for the count while the stored one is unread) and as last
    // written; the first change not written to it yet.
    std::optional<CountJournal> journalAtStart_;
    std::optional<CountJournal> journaled_;
    std::optional<Clock::time_point> journalChangedAt_;
    Clock::time_point journalRetryAt_{};
    bool toldJournal_ = false;
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
