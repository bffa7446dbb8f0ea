#include "service/count_saver.h"

#include <algorithm>
#include <limits>

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
    {
        std::lock_guard lock(mutex_);
        if (thread_.joinable() || finishing_) return;
        if (stored) {
            base_ = Base::kKnown;
            saved_ = *stored;
            latest_ = *stored;
        } else {
            base_ = Base::kUnread;
            latest_ = 0;
        }
        retryAt_ = Clock::now();
    }
    thread_ = std::thread([this] { Run(); });
}

void CountSaver::Changed(std::int32_t count) {
    {
        std::lock_guard lock(mutex_);
        if (finishing_) return;
        latest_ = count;
        if (!changedAt_) changedAt_ = Clock::now();
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
        retryAt_ = Clock::now();
    }
    wake_.notify_all();
}

bool CountSaver::Finish(std::int32_t count, std::chrono::milliseconds limit) {
    {
        std::lock_guard lock(mutex_);
        if (finishing_) return saved_ && base_ == Base::kKnown && *saved_ == latest_;
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
    return saved_ && base_ == Base::kKnown && *saved_ == latest_;
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
    if (saved_ && *saved_ == latest_) return std::nullopt;
    return latest_;
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
    if (base_ == Base::kUnread) {
        // What the damaged file still held is the stored count; nothing, when it held nothing.
        pendingStored_ = repair.salvagedAttempts.value_or(0);
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
    lock.lock();
    if (base_ != Base::kUnread) return;
    switch (read.answer) {
        case StoreAnswer::kDone: {
            retryStep_ = kFirstRetry;
            pendingStored_ = read.number.value_or(0);
            base_ = Base::kReadAwaitingMerge;
            // The stored value as read: a merged count differs from it and is written.
            saved_ = pendingStored_;
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
    const std::int32_t count = latest_;
    lock.unlock();
    const StoreAnswer answer = store_.write(count);
    lock.lock();
    switch (answer) {
        case StoreAnswer::kDone:
            saved_ = count;
            retryStep_ = kFirstRetry;
            toldFailure_ = false;
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
        if (base_ == Base::kUnread) {
            next = retryAt_;
        } else if (DueCount()) {
            next = std::max(changedAt_ ? *changedAt_ + kDelay : now, retryAt_);
            if (now >= *next) {
                WriteLatest(lock);
                continue;
            }
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
            lock.lock();
            if (read.answer == StoreAnswer::kDone) {
                saved_ = read.number.value_or(0);
                latest_ = SaturatedSum(read.number.value_or(0), latest_);
                base_ = Base::kKnown;
            } else if (read.answer == StoreAnswer::kDamaged) {
                static_cast<void>(Repair(lock));
            }
        }
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
