// A damaged or vanished hive file: found damaged in each way it can be, set aside with what can still
// be read from it, and made again.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/linux/registry_hive.h"
#include "platform/registry.h"
#include "temp_root.h"

namespace corvane::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

Bytes text_value(const std::string& text) { return Bytes(text.begin(), text.end()); }

class HiveDamage : public testing::TempRootTest {
protected:
    // A machine hive holding Software\Corvane with Attempts and Run, closed in this process.
    void MakeStore(const std::string& attempts) {
        RegistryKey key;
        ASSERT_EQ(create_key(root_key(kHkeyLocalMachine), "Software\\Corvane", kKeyAllAccess, key), kErrorSuccess);
        ASSERT_EQ(set_value(key, "Attempts", kRegSz, text_value(attempts)), kErrorSuccess);
        ASSERT_EQ(set_value(key, "Run", kRegSz, text_value("0")), kErrorSuccess);
        key.reset();
        close_cached_hives();
    }
    void Sql(const std::string& statements) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(hklm_file().c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, statements.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    RegStatus OpenSettings() {
        RegistryKey key;
        return open_key(root_key(kHkeyLocalMachine), "Software\\Corvane", kKeyRead, key);
    }
    std::string Read(const std::string& name) {
        RegistryKey key;
        if (open_key(root_key(kHkeyLocalMachine), "Software\\Corvane", kKeyRead, key) != kErrorSuccess) return "?";
        Bytes data(64);
        std::uint32_t type = 0;
        std::uint32_t size = 64;
        if (query_value(key, name, type, data, size) != kErrorSuccess) return "-";
        return std::string(data.begin(), data.begin() + size - 1);
    }
};

TEST_F(HiveDamage, EveryKindOfDamageReadsAsADamagedStore) {
    struct Case {
        const char* what;
        std::function<void()> damage;
    };
    const std::vector<Case> cases = {
        {"truncated", [&] { fs::resize_file(hklm_file(), fs::file_size(hklm_file()) / 2); }},
        {"random bytes",
         [&] {
             std::mt19937 random(7);
             std::string noise(16384, '\0');
             for (char& c : noise) c = static_cast<char>(random());
             std::ofstream(hklm_file(), std::ios::binary | std::ios::trunc) << noise;
         }},
        {"dropped table", [&] { Sql("DROP TABLE vals"); }},
        {"wrong-shaped table", [&] { Sql("DROP TABLE vals; CREATE TABLE vals(key, name, value)"); }},
        {"dropped tables and another", [&] { Sql("DROP TABLE vals; DROP TABLE keys; CREATE TABLE t(x)"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        close_cached_hives();
        for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(hklm_file().string() + suffix);
        MakeStore("41");
        c.damage();
        EXPECT_EQ(OpenSettings(), kErrorBadDb);
        // Nothing of it is overwritten by a use that meets the damage.
        RegistryKey key;
        EXPECT_EQ(create_key(root_key(kHkeyLocalMachine), "Software\\Corvane", kKeyAllAccess, key), kErrorBadDb);
    }
}

TEST_F(HiveDamage, SetAsideKeepsTheFileBesideAndTheNextUseMakesANewStore) {
    MakeStore("41");
    Sql("DROP TABLE keys");
    ASSERT_EQ(OpenSettings(), kErrorBadDb);
    const std::uintmax_t size = fs::file_size(hklm_file());

    fs::path kept;
    ASSERT_EQ(set_damaged_hive_aside(kHkeyLocalMachine, kept), kErrorSuccess);
    EXPECT_EQ(kept.parent_path(), hklm_file().parent_path());
    EXPECT_EQ(kept.filename().string().rfind("hklm.db.damaged-", 0), 0U) << kept;
    EXPECT_EQ(fs::file_size(kept), size);
    EXPECT_FALSE(fs::exists(hklm_file()));
    EXPECT_EQ(damaged_hives(kHkeyLocalMachine), std::vector<fs::path>{kept});

    // A second one in the same second gets a name of its own.
    EXPECT_EQ(OpenSettings(), kErrorFileNotFound) << "a new, empty store";
    fs::path second;
    ASSERT_EQ(set_damaged_hive_aside(kHkeyLocalMachine, second), kErrorSuccess);
    EXPECT_NE(second, kept);
    EXPECT_EQ(damaged_hives(kHkeyLocalMachine).size(), 2U);
    EXPECT_TRUE(fs::exists(kept));
}

TEST_F(HiveDamage, SalvageReadsWhatTheDamagedFileStillHolds) {
    MakeStore("41");
    // The newest values are in the log beside the file: it moves with it.
    ASSERT_TRUE(fs::exists(hklm_file().string() + "-wal"));
    fs::path kept;
    ASSERT_EQ(set_damaged_hive_aside(kHkeyLocalMachine, kept), kErrorSuccess);
    std::vector<SalvagedValue> values = salvage_values(kept, "software\\corvane");
    ASSERT_EQ(values.size(), 2U);
    EXPECT_EQ(values[0].name, "Attempts");
    EXPECT_EQ(values[0].data, text_value(std::string("41", 3)));
    EXPECT_EQ(values[0].type, kRegSz);

    std::ofstream(kept, std::ios::binary | std::ios::trunc) << std::string(4096, 'Z');
    fs::remove(kept.string() + "-wal");
    EXPECT_TRUE(salvage_values(kept, "Software\\Corvane").empty()) << "random bytes hold nothing";
}

TEST_F(HiveDamage, AStoreRemovedWhileOpenIsMadeAgainWithoutTheOldLog) {
    MakeStore("41");
    EXPECT_EQ(Read("Attempts"), "41");  // cached and open in this process
    fs::remove(hklm_file());
    RegistryKey key;
    ASSERT_EQ(create_key(root_key(kHkeyLocalMachine), "Software\\Corvane", kKeyAllAccess, key), kErrorSuccess);
    ASSERT_EQ(set_value(key, "Attempts", kRegSz, text_value("43")), kErrorSuccess);
    key.reset();
    ASSERT_TRUE(fs::exists(hklm_file()));
    EXPECT_EQ(Read("Attempts"), "43");
    EXPECT_EQ(Read("Run"), "-") << "the old file's values are gone with it";
    close_cached_hives();
    EXPECT_EQ(Read("Attempts"), "43") << "on disk, not only in this connection";
}

}  // namespace
}  // namespace corvane::platform
