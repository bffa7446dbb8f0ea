// The count's saver on its own thread against a store that can be made busy, unreadable or damaged:
// no change is lost, a count that could not be read is never overwritten, and the last write ends in
// bounded time.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "service/count_saver.h"

namespace corvane::service {
namespace {

using namespace std::chrono_literals;
using settings::StoreAnswer;

// A store in memory whose answers the test chooses; every call is counted.
class FakeStore {
public:
    CountSaver::Store AsStore() {
        CountSaver::Store store;
        store.read = [this] {
            std::lock_guard lock(mutex_);
            ++reads;
            changed_.notify_all();
            const bool done = readAnswer == StoreAnswer::kDone;
            return settings::StoredNumber{readAnswer, done ? stored : std::nullopt, done ? notNumber : std::nullopt};
        };
        store.write = [this](std::int32_t count) {
            std::lock_guard lock(mutex_);
            ++writes;
            if (writeAnswer == StoreAnswer::kDone) {
                stored = count;
                notNumber.reset();
            }
            changed_.notify_all();
            return writeAnswer;
        };
        store.repair = [this] {
            std::lock_guard lock(mutex_);
            ++repairs;
            settings::StoreRepair repair;
            repair.answer = StoreAnswer::kDone;
            repair.file = "/state/hklm.db";
            repair.damaged = "/state/hklm.db.damaged-20260101T000000";
            repair.salvagedAttempts = stored;
            stored.reset();
            readAnswer = writeAnswer = StoreAnswer::kDone;
            changed_.notify_all();
            return repair;
        };
        store.keepAside = [this] {
            std::lock_guard lock(mutex_);
            if (notNumber) aside = *notNumber;
            return StoreAnswer::kDone;
        };
        store.readJournal = [this] { return CountJournalRead{journal, {}}; };
        store.writeJournal = [this](const CountJournal& kept) {
            std::lock_guard lock(mutex_);
            journal = kept;
            changed_.notify_all();
            return std::string();
        };
        store.journalName = "/state/attempts.count";
        return store;
    }
    // Waits (a generous deadline) until `done` holds under the store's lock.
    bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, done);
    }
    template <typename Body>
    void Set(Body&& body) {
        std::lock_guard lock(mutex_);
        body();
    }

    StoreAnswer readAnswer = StoreAnswer::kDone;
    StoreAnswer writeAnswer = StoreAnswer::kDone;
    std::optional<std::int32_t> stored;
    std::optional<std::string> notNumber;  // read instead of `stored`
    std::optional<std::string> aside;      // what keepAside kept
    std::optional<CountJournal> journal;
    int reads = 0;
    int writes = 0;
    int repairs = 0;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
};

// What the saver told and handed over.
struct Heard {
    std::mutex mutex;
    std::vector<std::string> notices;
    std::vector<std::int32_t> storedReads;
};

CountSaver MakeSaver(FakeStore& store, Heard& heard) {
    return CountSaver(
        store.AsStore(),
        [&heard](const std::string& line) {
            std::lock_guard lock(heard.mutex);
            heard.notices.push_back(line);
        },
        [&heard](std::int32_t stored) {
            std::lock_guard lock(heard.mutex);
            heard.storedReads.push_back(stored);
        });
}

TEST(CountSaver, ChangesAreWrittenTogetherAndKeptThroughABusyStoreUntilItFrees) {
    FakeStore store;
    store.stored = 10;
    Heard heard;
    CountSaver saver = MakeSaver(store, heard);
    saver.Start(10);
    for (std::int32_t count = 11; count <= 15; ++count) saver.Changed(count);
    ASSERT_TRUE(store.WaitFor([&] { return store.stored == 15; }));
    EXPECT_LE(store.writes, 2) << "five changes within the delay, written together";

    store.Set([&] { store.writeAnswer = StoreAnswer::kBusy; });
    for (std::int32_t count = 16; count <= 18; ++count) saver.Changed(count);
    const int before = store.writes;
    ASSERT_TRUE(store.WaitFor([&] { return store.writes >= before + 3; })) << "tried again and again";
    store.Set([&] {
        EXPECT_EQ(store.stored, 15);
        store.writeAnswer = StoreAnswer::kDone;
    });
    ASSERT_TRUE(store.WaitFor([&] { return store.stored == 18; }));
    // The saver takes note of the write once the store has answered it, a moment after the store
    // holds the value.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (saver.Saved() != 18 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(saver.Saved(), 18);
    std::lock_guard lock(heard.mutex);
    EXPECT_TRUE(heard.notices.empty()) << "a busy store is not news";
}

TEST(CountSaver, ACountThatCouldNotBeReadIsNeverOverwrittenAndIsMergedOnceRead) {
    FakeStore store;
    store.stored = 40;
    store.readAnswer = StoreAnswer::kBusy;
    Heard heard;
    CountSaver saver = MakeSaver(store, heard);
    saver.Start(std::nullopt);
    saver.Changed(1);
    saver.Changed(3);  // blocks since start
    ASSERT_TRUE(store.WaitFor([&] { return store.reads >= 3; }));
    store.Set([&] {
        EXPECT_EQ(store.writes, 0);
        EXPECT_EQ(store.stored, 40);
        store.readAnswer = StoreAnswer::kDone;
    });
    EXPECT_FALSE(saver.BaseKnown());
    ASSERT_TRUE(store.WaitFor([&] {
        std::lock_guard lock(heard.mutex);
        return !heard.storedReads.empty();
    }));
    {
        std::lock_guard lock(heard.mutex);
        EXPECT_EQ(heard.storedReads, std::vector<std::int32_t>{40});
    }
    // Not written before the engine's side merged.
    saver.Changed(4);
    store.Set([&] { EXPECT_EQ(store.writes, 0); });
    saver.Merged(44);
    ASSERT_TRUE(store.WaitFor([&] { return store.stored == 44; }));
    EXPECT_TRUE(saver.BaseKnown());
}

TEST(CountSaver, ADamagedStoreIsMadeAgainWithTheCountAndToldOnce) {
    FakeStore store;
    store.stored = 40;
    Heard heard;
    CountSaver saver = MakeSaver(store, heard);
    saver.Start(40);
    store.Set([&] { store.writeAnswer = StoreAnswer::kDamaged; });
    saver.Changed(42);
    ASSERT_TRUE(store.WaitFor([&] { return store.stored == 42; }));
    saver.Changed(43);
    ASSERT_TRUE(store.WaitFor([&] { return store.stored == 43; }));
    store.Set([&] { EXPECT_EQ(store.repairs, 1); });
    std::lock_guard lock(heard.mutex);
    ASSERT_EQ(heard.notices.size(), 1U);
    EXPECT_NE(heard.notices[0].find("hklm.db.damaged-20260101T000000"), std::string::npos) << heard.notices[0];
}

TEST(CountSaver, TheJournalFollowsABusyStoreAndIsTakenOnlyWhereTheStoreIsBehindOrHoldsNoNumber) {
    {
        FakeStore store;
        store.stored = 40;
        store.writeAnswer = StoreAnswer::kBusy;
        Heard heard;
        CountSaver saver = MakeSaver(store, heard);
        ASSERT_EQ(saver.StartFromStore(), 40);
        saver.Changed(45);
        EXPECT_TRUE(store.WaitFor([&] { return store.journal == CountJournal{45, 40, 0}; }));
        store.Set([&] { EXPECT_EQ(store.stored, 40); });
    }  // ended without a last write, as by a kill
    struct Case {
        const char* what;
        std::optional<std::int32_t> stored;
        std::optional<std::string> notNumber;
        CountJournal journal;
        std::int32_t expected;
    };
    const Case cases[] = {
        {"the store behind the journal", 40, {}, {45, 40, 0}, 45},
        {"a count written by another since", 7, {}, {45, 40, 0}, 7},
        {"no count stored", {}, {}, {45, 40, 0}, 45},
        {"a count that is no number", {}, "\"many\"", {45, 40, 0}, 45},
        {"blocks counted before a count was read", 40, {}, {{}, {}, 3}, 43},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeStore store;
        store.stored = c.stored;
        store.notNumber = c.notNumber;
        store.journal = c.journal;
        Heard heard;
        CountSaver saver = MakeSaver(store, heard);
        EXPECT_EQ(saver.StartFromStore(), c.expected);
        EXPECT_TRUE(store.WaitFor([&] { return store.stored == c.expected; }));
        store.Set([&] { EXPECT_EQ(store.aside, c.notNumber); });
        std::lock_guard lock(heard.mutex);
        EXPECT_EQ(heard.notices.size(), c.expected == c.stored ? 0U : 1U);
    }
}

TEST(CountSaver, TheLastWriteMergesAnUnreadCountAndEndsWithinItsLimit) {
    {
        // The store stays busy: the last write gives up in time and says so.
        FakeStore store;
        store.writeAnswer = StoreAnswer::kBusy;
        Heard heard;
        CountSaver saver = MakeSaver(store, heard);
        saver.Start(10);
        saver.Changed(12);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(saver.Finish(13, 300ms));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        EXPECT_FALSE(store.stored.has_value());
    }
    {
        // Unread all along, readable at the end: stored + blocks since start.
        FakeStore store;
        store.stored = 40;
        store.readAnswer = StoreAnswer::kBusy;
        Heard heard;
        CountSaver saver = MakeSaver(store, heard);
        saver.Start(std::nullopt);
        saver.Changed(5);
        ASSERT_TRUE(store.WaitFor([&] { return store.reads >= 1; }));
        store.Set([&] { store.readAnswer = StoreAnswer::kDone; });
        EXPECT_TRUE(saver.Finish(6, 5s));
        store.Set([&] { EXPECT_EQ(store.stored, 46); });
    }
}

}  // namespace
}  // namespace corvane::service
