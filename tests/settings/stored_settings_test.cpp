// The service's reads and writes of its settings: an answer for every outcome, a locked store never
// read as a default, and a damaged one set aside and made again with what it still held.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "../registry/temp_root.h"
#include "platform/linux/registry_hive.h"
#include "settings/stored_settings.h"

namespace corvane::settings {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class StoredSettings : public testing::TempRootTest {
protected:
    // Another connection, as another process would hold it.
    struct OtherConnection {
        sqlite3* db = nullptr;
        explicit OtherConnection(const fs::path& file) { sqlite3_open(file.c_str(), &db); }
        ~OtherConnection() { sqlite3_close(db); }
        int Exec(const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }
    };
};

TEST_F(StoredSettings, AbsentValuesAreReadAsAbsentAndWrittenOnesAsStored) {
    const StoredNumber fresh = ReadStoredNumber(Setting::Attempts);
    EXPECT_EQ(fresh.answer, StoreAnswer::kDone);
    EXPECT_FALSE(fresh.number.has_value());
    RegistryRoutines key;
    key.set_hkey(kHkeyLocalMachine);
    key.set_KeyRoot("Software\\Corvane");
    EXPECT_FALSE(key.KeyExists()) << "reading made no key";

    EXPECT_EQ(WriteStoredSetting(Setting::Attempts, std::int32_t{17}), StoreAnswer::kDone);
    const StoredNumber written = ReadStoredNumber(Setting::Attempts);
    EXPECT_EQ(written.answer, StoreAnswer::kDone);
    EXPECT_EQ(written.number, 17);
    EXPECT_EQ(ReadBlockedCount(), 17) << "the readers of the settings table read the same value";
    EXPECT_TRUE(WriteSetting(Setting::Attempts, std::string("twelve")));
    const StoredNumber text = ReadStoredNumber(Setting::Attempts);
    EXPECT_EQ(text.answer, StoreAnswer::kDone);
    EXPECT_FALSE(text.number.has_value());
}

TEST_F(StoredSettings, ALockedStoreAnswersBusyAtOnceAndNeverAsADefault) {
    ASSERT_EQ(WriteStoredSetting(Setting::Attempts, std::int32_t{40}), StoreAnswer::kDone);
    const platform::ScopedStoreWait noWait(0ms);
    {
        // A writer in the log: reads go on, writes are busy.
        OtherConnection other(hklm_file());
        ASSERT_EQ(other.Exec("BEGIN EXCLUSIVE"), SQLITE_OK);
        EXPECT_EQ(ReadStoredNumber(Setting::Attempts).number, 40);
        EXPECT_EQ(WriteStoredSetting(Setting::Attempts, std::int32_t{41}), StoreAnswer::kBusy);
    }
    platform::close_cached_hives();
    {
        // A process holding the file itself: nothing can be read.
        OtherConnection other(hklm_file());
        ASSERT_EQ(other.Exec("PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE"), SQLITE_OK);
        const auto start = std::chrono::steady_clock::now();
        const StoredNumber read = ReadStoredNumber(Setting::Attempts);
        EXPECT_EQ(read.answer, StoreAnswer::kBusy);
        EXPECT_FALSE(read.number.has_value());
        EXPECT_EQ(WriteStoredSetting(Setting::Attempts, std::int32_t{41}), StoreAnswer::kBusy);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "no wait with a budget of none";
    }
    EXPECT_EQ(ReadStoredNumber(Setting::Attempts).number, 40);
    EXPECT_EQ(WriteStoredSetting(Setting::Attempts, std::int32_t{41}), StoreAnswer::kDone);
}

TEST_F(StoredSettings, ADamagedStoreIsSetAsideAndMadeAgainWithWhatItStillHeld) {
    ASSERT_EQ(WriteStoredSetting(Setting::Attempts, std::int32_t{40}), StoreAnswer::kDone);
    ASSERT_EQ(WriteStoredSetting(Setting::Run, std::string("0")), StoreAnswer::kDone);
    ASSERT_EQ(WriteStoredSetting(Setting::UpdateServer, std::string("https://mirror.example/")), StoreAnswer::kDone);
    {
        OtherConnection other(hklm_file());
        ASSERT_EQ(other.Exec("CREATE TABLE keys_shape(x); ALTER TABLE keys RENAME TO keys_old;"
                             "CREATE TABLE keys(id, parent, name)"),
                  SQLITE_OK);
    }
    platform::close_cached_hives();
    EXPECT_EQ(ReadStoredNumber(Setting::Attempts).answer, StoreAnswer::kDamaged);
    EXPECT_EQ(WriteStoredSetting(Setting::Attempts, std::int32_t{45}), StoreAnswer::kDamaged);

    const StoreRepair repair = RepairDamagedStore(kHkeyLocalMachine, {Setting::Attempts});
    ASSERT_EQ(repair.answer, StoreAnswer::kDone) << repair.why;
    EXPECT_EQ(repair.file, hklm_file());
    EXPECT_TRUE(fs::exists(repair.damaged));
    EXPECT_EQ(DamagedMachineStores(), std::vector<fs::path>{repair.damaged});
    const std::string notice = DamagedStoreNotice(repair);
    EXPECT_NE(notice.find(repair.damaged.string()), std::string::npos) << notice;
    EXPECT_NE(notice.find(hklm_file().string()), std::string::npos) << notice;

    // The damaged table held the keys: nothing of Software\Corvane could be found.
    EXPECT_FALSE(repair.salvagedAttempts.has_value());
    const StoredNumber fresh = ReadStoredNumber(Setting::Attempts);
    EXPECT_EQ(fresh.answer, StoreAnswer::kDone);
    EXPECT_FALSE(fresh.number.has_value());
    EXPECT_EQ(WriteStoredSetting(Setting::Attempts, std::int32_t{45}), StoreAnswer::kDone);
    EXPECT_EQ(ReadStoredNumber(Setting::Attempts).number, 45);
}

TEST_F(StoredSettings, RepairCarriesOverTheReadableValuesButNotTheReplacedOnes) {
    ASSERT_EQ(WriteStoredSetting(Setting::Attempts, std::int32_t{40}), StoreAnswer::kDone);
    ASSERT_EQ(WriteStoredSetting(Setting::Run, std::string("0")), StoreAnswer::kDone);
    {
        // The values are readable, but their table has a column more than the hive's.
        OtherConnection other(hklm_file());
        ASSERT_EQ(other.Exec("ALTER TABLE vals ADD COLUMN extra"), SQLITE_OK);
    }
    platform::close_cached_hives();
    ASSERT_EQ(ReadStoredNumber(Setting::Run).answer, StoreAnswer::kDamaged);
    const StoreRepair repair = RepairDamagedStore(kHkeyLocalMachine, {Setting::Attempts});
    ASSERT_EQ(repair.answer, StoreAnswer::kDone) << repair.why;
    EXPECT_EQ(repair.salvagedAttempts, 40);
    EXPECT_EQ(ReadStoredNumber(Setting::Run).number, 0) << "carried over";
    const StoredNumber attempts = ReadStoredNumber(Setting::Attempts);
    EXPECT_EQ(attempts.answer, StoreAnswer::kDone);
    EXPECT_FALSE(attempts.number.has_value()) << "left to the caller, who knows the count";
}

}  // namespace
}  // namespace corvane::settings
