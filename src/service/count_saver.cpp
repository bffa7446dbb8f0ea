#include "service/count_saver.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <vector>

#include "platform/linux/registry_hive.h"
#include "platform/registry.h"

namespace corvane::service {

namespace {

using settings::StoreAnswer;

std::int32_t SaturatedSum(std::int32_t a, std::int32_t b) {
    const std::int64_t sum = static_cast<std::int64_t>(a) + b;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(sum, 0, std::numeric_limits<std::int32_t>::max()));
}

// How long one try of the last write may wait for another process's lock.
constexpr std::chrono::milliseconds kFinalTryWait{250};

}  // namespace

CountSaver::Store CountSaver::MachineStore() {
    Store store;
    // Each read and write opens the store afresh: damage done to the file since the last one is seen
    // (a connection kept open trusts the pages it holds), and a removed file is made again.
    store.read = [] {
        platform::close_cached_hives();
        return settings::ReadStoredNumber(settings::Setting::Attempts);
    };
    store.write = [](std::int32_t count) {
        platform::close_cached_hives();
        return settings::WriteStoredSetting(settings::Setting::Attempts, count);
    };
    store.repair = [] {
        return settings::RepairDamagedStore(settings::kHkeyLocalMachine, {settings::Setting::Attempts});
    };
    store.keepAside = [] { return settings::KeepNonNumberAside(settings::Setting::Attempts, kAsideName); };
    store.foundEmpty = []() -> std::optional<std::string> {
        const std::filesystem::path file = platform::hive_path(platform::kHkeyLocalMachine);
        if (!platform::take_empty_hive_made(file)) return std::nullopt;
        return file.string();
    };
    // Beside the store, in the service's own folder.
    const std::filesystem::path journal =
        platform::hive_path(platform::kHkeyLocalMachine).parent_path() / "attempts.count";
    store.journalName = journal.string();
    store.readJournal = [journal] { return ReadCountJournal(journal); };
    store.writeJournal = [journal](const CountJournal& content) { return WriteCountJournal(journal, content); };
    return store;
}

CountSaver::CountSaver(Store store, std::function<void(const std::string&)> notice,
                       std::function<void(std::int32_t)> onStoredRead)
    : store_(std::move(store)), notice_(std::move(notice)), onStoredRead_(std::move(onStoredRead)) {}

CountSaver::~CountSaver() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void CountSaver::Start(std::optional<std::int32_t> stored) {
    Launch(stored ? Base::kKnown : Base::kUnread, stored.value_or(0), stored);
}

std::optional<std::int32_t> CountSaver::StartFromStore() {
    const CountJournalRead journal = store_.readJournal ? store_.readJournal() : CountJournalRead{};
    const settings::StoredNumber read = store_.read();
    const std::optional<std::string> empty = FoundEmpty();
    std::vector<std::string> said;
    if (!journal.why.empty())
        said.push_back("the count kept beside the store in " + store_.journalName + " is not used: " + journal.why);
    std::optional<std::int32_t> count;
    {
        std::lock_guard lock(mutex_);
        journalAtStart_ = journal.journal;
        journaled_ = journal.journal;
        if (read.answer == StoreAnswer::kDone) {
            Choice choice = Choose(read, empty);
            count = choice.count;
            keepAsideDue_ = choice.keepAside;
            if (!choice.said.empty()) said.push_back(std::move(choice.said));
        } else {
            if (empty)
                said.push_back("the settings store " + *empty +
                               " was an empty file (0 bytes): the settings it held are lost");
            said.push_back(std::string("the stored count cannot be read now (") +
                           (read.answer == StoreAnswer::kBusy      ? "the settings store is locked by another process"
                            : read.answer == StoreAnswer::kDamaged ? "the settings store is damaged"
                                                                   : "the settings store refused") +
                           "): blocks since start are counted and added to it once it is read");
        }
    }
    for (const std::string& line : said) notice_(line);
    Launch(count ? Base::kKnown : Base::kUnread, count.value_or(0), read.number);
    return count;
}

void CountSaver::Launch(Base base, std::int32_t count, std::optional<std::int32_t> inStore) {
    {
        std::lock_guard lock(mutex_);
        if (thread_.joinable() || finishing_) return;
        base_ = base;
        const Clock::time_point now = Clock::now();
        if (base == Base::kKnown) {
            saved_ = inStore;
            latest_ = count;
            // Taken from the journal, or a count that is no number: stored at once.
            if (DueCount()) changedAt_ = now - kDelay;
        } else {
            saved_.reset();
            latest_ = 0;
        }
        if (JournalDue()) journalChangedAt_ = now - kDelay;
        retryAt_ = now;
    }
    thread_ = std::thread([this] { Run(); });
}

std::optional<std::string> CountSaver::FoundEmpty() {
    return store_.foundEmpty ? store_.foundEmpty() : std::nullopt;
}

CountSaver::Choice CountSaver::Choose(const settings::StoredNumber& read,
                                      const std::optional<std::string>& foundEmpty) const {
    Choice choice;
    const std::optional<std::int32_t> kept = journalAtStart_ ? journalAtStart_->count : std::nullopt;
    const std::string keptText = kept ? std::to_string(*kept) : std::string();
    const std::string beside = " kept beside the store in " + store_.journalName;
    if (read.number) {
        choice.count = *read.number;
        // The store still holds what the journal was written against: the journal's count is newer.
        if (kept && journalAtStart_->stored == read.number && *kept != *read.number) {
            choice.count = *kept;
            choice.said = "the stored count " + std::to_string(*read.number) +
                          " is behind (the store did not take the last saves): the count goes on from " + keptText +
                          beside;
        }
    } else if (read.notNumber) {
        choice.count = kept.value_or(0);
        choice.keepAside = true;
        choice.said = "the stored count " + *read.notNumber + " is not a number: it is kept as the value \"" +
                      kAsideName + "\" and the count goes on from " + std::to_string(choice.count) +
                      (kept ? beside : std::string(" (no count was kept beside the store)"));
    } else {
        choice.count = kept.value_or(0);
        if (kept && *kept != 0) choice.said = "the count goes on from " + keptText + beside;
        if (kept && *kept != 0 && !foundEmpty) choice.said = "the settings store holds no count: " + choice.said;
    }
    if (foundEmpty)
        choice.said = "the settings store " + *foundEmpty +
                      " was an empty file (0 bytes): the settings it held are lost and a new one was made; " +
                      (choice.said.empty() ? std::string("no count was kept beside it: the count starts from ") +
                                                 std::to_string(choice.count)
                                           : choice.said);
    // Blocks a run counted before it could read the count it went on from.
    const std::int32_t added = journalAtStart_ ? journalAtStart_->added : 0;
    if (added > 0) {
        choice.count = SaturatedSum(choice.count, added);
        choice.said += (choice.said.empty() ? std::string("the count goes on from ") + std::to_string(choice.count)
                                            : std::string()) +
                       " (with " + std::to_string(added) + " blocks counted before the stored count could be read)";
    }
    return choice;
}

void CountSaver::Changed(std::int32_t count) {
    {
        std::lock_guard lock(mutex_);
        if (finishing_) return;
        latest_ = count;
        const Clock::time_point now = Clock::now();
        if (!changedAt_) changedAt_ = now;
        if (!journalChangedAt_) journalChangedAt_ = now;
    }
    wake_.notify_all();
}

void CountSaver::Merged(std::int32_t count) {
    {
        std::lock_guard lock(mutex_);
        if (finishing_ || base_ != Base::kReadAwaitingMerge) return;
        base_ = Base::kKnown;
        latest_ = count;
        // The stored value itself is not the merged count: written at once.
        changedAt_ = Clock::now() - kDelay;
        journalChangedAt_ = changedAt_;
        retryAt_ = Clock::now();
    }
    wake_.notify_all();
}

bool CountSaver::Finish(std::int32_t count, std::chrono::milliseconds limit) {
    {
        std::lock_guard lock(mutex_);
        if (finishing_) return base_ == Base::kKnown && !DueCount();
        finishing_ = true;
        finishDeadline_ = Clock::now() + limit;
        latest_ = count;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    } else {
        // Never started: the last write is made here.
        Run();
    }
    std::lock_guard lock(mutex_);
    return base_ == Base::kKnown && !DueCount();
}

std::optional<std::int32_t> CountSaver::Saved() const {
    std::lock_guard lock(mutex_);
    return saved_;
}

bool CountSaver::BaseKnown() const {
    std::lock_guard lock(mutex_);
    return base_ == Base::kKnown;
}

std::optional<std::int32_t> CountSaver::DueCount() const {
    if (base_ != Base::kKnown) return std::nullopt;
    // An absent count reads as 0; one that is no number is written over once kept aside.
    if (!keepAsideDue_ && saved_.value_or(0) == latest_) return std::nullopt;
    return latest_;
}

CountJournal CountSaver::JournalNow() const {
    if (base_ == Base::kKnown) return CountJournal{latest_, saved_, 0};
    // The stored count unread: the journal read at start still stands for it, and the blocks since
    // start are added on top.
    CountJournal journal = journalAtStart_.value_or(CountJournal{});
    journal.added = SaturatedSum(journal.added, latest_);
    return journal;
}

bool CountSaver::JournalDue() const {
    if (!store_.writeJournal) return false;
    const CountJournal now = JournalNow();
    // What the store holds changes nothing by itself: the journal is read against it.
    return !journaled_ || journaled_->count != now.count || journaled_->added != now.added;
}

void CountSaver::WriteJournal(std::unique_lock<std::mutex>& lock) {
    const CountJournal journal = JournalNow();
    lock.unlock();
    const std::string why = store_.writeJournal(journal);
    lock.lock();
    const Clock::time_point now = Clock::now();
    if (!why.empty()) {
        if (!toldJournal_)
            notice_("the count cannot be kept beside the store in " + store_.journalName + ": " + why +
                    "; tried again later");
        toldJournal_ = true;
        journalRetryAt_ = now + kJournalRetry;
        return;
    }
    toldJournal_ = false;
    journaled_ = journal;
    if (JournalDue())
        journalChangedAt_ = now;
    else
        journalChangedAt_.reset();
}

void CountSaver::Backoff() {
    retryAt_ = Clock::now() + retryStep_;
    retryStep_ = std::min(retryStep_ * 2, kLastRetry);
}

void CountSaver::Failed(StoreAnswer answer, const char* what) {
    if (answer != StoreAnswer::kFailed || toldFailure_) return;
    toldFailure_ = true;
    notice_(std::string("the count could not be ") + what + " (the settings store refused); tried again later");
}

bool CountSaver::Repair(std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    const settings::StoreRepair repair = store_.repair();
    if (repair.answer == StoreAnswer::kDone) {
        notice_(settings::DamagedStoreNotice(repair));
    } else if (!toldFailure_) {
        notice_("the settings store is damaged and could not be made again: " + repair.why);
    }
    lock.lock();
    if (repair.answer != StoreAnswer::kDone) {
        toldFailure_ = true;
        Backoff();
        return false;
    }
    toldFailure_ = false;
    // The damaged file keeps whatever it held.
    keepAsideDue_ = false;
    if (base_ == Base::kUnread) {
        // What the damaged file still held is the stored count (unless the journal knows better).
        Choice choice = Choose(settings::StoredNumber{StoreAnswer::kDone, repair.salvagedAttempts, std::nullopt},
                               std::nullopt);
        pendingStored_ = choice.count;
        if (!choice.said.empty()) notice_(choice.said);
        base_ = Base::kReadAwaitingMerge;
        if (!finishing_) {
            const std::int32_t stored = pendingStored_;
            lock.unlock();
            onStoredRead_(stored);
            lock.lock();
        }
    }
    // The new store does not hold the count yet.
    saved_.reset();
    retryAt_ = Clock::now();
    return true;
}

void CountSaver::ReadBase(std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    const settings::StoredNumber read = store_.read();
    const std::optional<std::string> empty = FoundEmpty();
    lock.lock();
    if (base_ != Base::kUnread) return;
    switch (read.answer) {
        case StoreAnswer::kDone: {
            retryStep_ = kFirstRetry;
            Choice choice = Choose(read, empty);
            if (!choice.said.empty()) notice_(choice.said);
            pendingStored_ = choice.count;
            keepAsideDue_ = choice.keepAside;
            base_ = Base::kReadAwaitingMerge;
            // The stored value as read: a merged count differs from it and is written.
            saved_ = read.number;
            if (!finishing_) {
                const std::int32_t stored = pendingStored_;
                lock.unlock();
                onStoredRead_(stored);
                lock.lock();
            }
            return;
        }
        case StoreAnswer::kDamaged:
            static_cast<void>(Repair(lock));
            return;
        default:
            Failed(read.answer, "read");
            Backoff();
            return;
    }
}

void CountSaver::WriteLatest(std::unique_lock<std::mutex>& lock) {
    if (keepAsideDue_ && store_.keepAside) {
        // A stored count that is no number is not written over before it is kept.
        lock.unlock();
        const StoreAnswer kept = store_.keepAside();
        lock.lock();
        if (kept == StoreAnswer::kDamaged) {
            static_cast<void>(Repair(lock));
            return;
        }
        if (kept != StoreAnswer::kDone) {
            Failed(kept, "stored (the stored value, no number, could not be kept aside first)");
            Backoff();
            return;
        }
        keepAsideDue_ = false;
    }
    const std::int32_t count = latest_;
    lock.unlock();
    const StoreAnswer answer = store_.write(count);
    const std::optional<std::string> empty = answer == StoreAnswer::kDone ? FoundEmpty() : std::nullopt;
    lock.lock();
    switch (answer) {
        case StoreAnswer::kDone:
            saved_ = count;
            keepAsideDue_ = false;
            retryStep_ = kFirstRetry;
            toldFailure_ = false;
            if (empty)
                notice_("the settings store " + *empty +
                        " was found an empty file (0 bytes): a new one was made with the count " +
                        std::to_string(count) + "; the other settings it held are lost");
            if (latest_ == count)
                changedAt_.reset();
            else
                changedAt_ = Clock::now();
            return;
        case StoreAnswer::kDamaged:
            static_cast<void>(Repair(lock));
            return;
        default:
            Failed(answer, "stored");
            Backoff();
            return;
    }
}

void CountSaver::Run() {
    // Never waits inside the store for another process's lock: it tries, and tries again later.
    const platform::ScopedStoreWait noWait(std::chrono::milliseconds(0));
    std::unique_lock lock(mutex_);
    while (!ending_ && !finishing_) {
        const Clock::time_point now = Clock::now();
        if (base_ == Base::kUnread && now >= retryAt_) {
            ReadBase(lock);
            continue;
        }
        std::optional<Clock::time_point> next;
        const auto sooner = [&next](Clock::time_point at) {
            if (!next || at < *next) next = at;
        };
        // The journal first, at its own pace: a store that keeps refusing does not hold it back.
        if (JournalDue()) {
            const Clock::time_point at =
                std::max(journalChangedAt_ ? *journalChangedAt_ + kDelay : now, journalRetryAt_);
            if (now >= at) {
                WriteJournal(lock);
                continue;
            }
            sooner(at);
        }
        if (base_ == Base::kUnread) {
            sooner(retryAt_);
        } else if (DueCount()) {
            const Clock::time_point at = std::max(changedAt_ ? *changedAt_ + kDelay : now, retryAt_);
            if (now >= at) {
                WriteLatest(lock);
                continue;
            }
            sooner(at);
        }
        if (next)
            wake_.wait_until(lock, *next);
        else
            wake_.wait(lock);
    }
    if (ending_ && !finishing_) return;

    // The last write: tried until stored or out of time, each try waiting a little for a lock.
    while (Clock::now() < finishDeadline_ && !ending_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(finishDeadline_ - Clock::now());
        const platform::ScopedStoreWait wait(std::min(left, kFinalTryWait));
        if (base_ == Base::kReadAwaitingMerge) {
            latest_ = SaturatedSum(pendingStored_, latest_);
            base_ = Base::kKnown;
        }
        if (base_ == Base::kUnread) {
            lock.unlock();
            const settings::StoredNumber read = store_.read();
            const std::optional<std::string> empty = FoundEmpty();
            lock.lock();
            if (read.answer == StoreAnswer::kDone) {
                Choice choice = Choose(read, empty);
                if (!choice.said.empty()) notice_(choice.said);
                saved_ = read.number;
                keepAsideDue_ = choice.keepAside;
                latest_ = SaturatedSum(choice.count, latest_);
                base_ = Base::kKnown;
            } else if (read.answer == StoreAnswer::kDamaged) {
                static_cast<void>(Repair(lock));
            }
        }
        // Kept beside the store even when the store cannot take it now.
        if (JournalDue() && Clock::now() >= journalRetryAt_) WriteJournal(lock);
        if (base_ == Base::kKnown) {
            if (!DueCount()) return;
            WriteLatest(lock);
            if (!DueCount()) return;
        }
        // Busy past this try's wait: a moment, then again.
        const auto pause = std::min(std::chrono::milliseconds(20), left);
        lock.unlock();
        std::this_thread::sleep_for(pause);
        lock.lock();
    }
}

}  // namespace corvane::service
