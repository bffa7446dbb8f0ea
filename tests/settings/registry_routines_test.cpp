// RegistryRoutines: the fourteen operations and their edge cases.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "../registry/temp_root.h"
#include "platform/registry.h"
#include "settings/registry_routines.h"

namespace corvane::settings {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::string_literals;

class Routines : public testing::TempRootTest {
protected:
    void SetUp() override {
        TempRootTest::SetUp();
        routines_.set_hkey(kHkeyLocalMachine);
        routines_.set_KeyRoot("Software\\Corvane");
        ASSERT_EQ(routines_.CreateKey(), "0");
    }
    // Stores exactly these bytes, as another program could.
    void store_raw(const std::string& name, std::uint32_t type, const Bytes& data) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(hklm_file().c_str(), &db), SQLITE_OK);
        sqlite3_stmt* stmt = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db,
                                     "INSERT OR REPLACE INTO vals(key, name, type, data) "
                                     "SELECT id, ?1, ?2, ?3 FROM keys WHERE path = 'Software\\Corvane'",
                                     -1, &stmt, nullptr),
                  SQLITE_OK);
        sqlite3_bind_text(stmt, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(stmt, 2, type);
        sqlite3_bind_blob(stmt, 3, data.empty() ? "" : static_cast<const void*>(data.data()),
                          static_cast<int>(data.size()), SQLITE_TRANSIENT);
        EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE);
        EXPECT_EQ(sqlite3_changes(db), 1);
        sqlite3_finalize(stmt);
        sqlite3_close(db);
    }
    Bytes stored_bytes(const std::string& name) {
        platform::RegistryKey key;
        EXPECT_EQ(
            platform::open_key(platform::root_key(kHkeyLocalMachine), "Software\\Corvane", platform::kKeyRead, key), 0);
        std::uint32_t type = 0;
        std::uint32_t size = 0;
        if (platform::query_value(key, name, type, std::span<std::uint8_t>(), size) != 0) return {};
        Bytes data(size);
        EXPECT_EQ(platform::query_value(key, name, type, data, size), 0);
        return data;
    }

    RegistryRoutines routines_;
    const RegistryVariant kDefault = "dflt"s;
};

TEST_F(Routines, StringsRoundTripThroughTextPlusNul) {
    ASSERT_TRUE(routines_.SetRegistryValue("Run", "1"s, 1));
    EXPECT_EQ(stored_bytes("Run"), (Bytes{'1', 0}));
    EXPECT_EQ(routines_.GetRegistryValue("Run", kDefault), RegistryVariant("1"s));

    // Integers become their decimal digits.
    ASSERT_TRUE(routines_.SetRegistryValue("Attempts", -42, 1));
    EXPECT_EQ(routines_.GetRegistryValue("Attempts"), RegistryVariant("-42"s));

    // An empty text is stored as zero bytes and reads as absent.
    ASSERT_TRUE(routines_.SetRegistryValue("Empty", ""s, 1));
    EXPECT_TRUE(stored_bytes("Empty").empty());
    EXPECT_EQ(routines_.GetRegistryValue("Empty", kDefault), kDefault);
    EXPECT_EQ(routines_.GetRegistryValue("Empty"), RegistryVariant());

    // Another program's string without its NUL loses its last character.
    store_raw("Raw", 1, Bytes{'a', 'b', 'c'});
    EXPECT_EQ(routines_.GetRegistryValue("Raw"), RegistryVariant("ab"s));

    // Inner NULs survive.
    ASSERT_TRUE(routines_.SetRegistryValue("Nul", "a\0b"s, 1));
    EXPECT_EQ(routines_.GetRegistryValue("Nul"), RegistryVariant("a\0b"s));
}

TEST_F(Routines, LongValuesAreReadWholeThroughTheSecondQuery) {
    for (std::size_t length : {1023u, 1024u, 1025u, 5000u, 1u << 20}) {
        std::string text(length, 'x');
        for (std::size_t i = 0; i < length; i += 97) text[i] = static_cast<char>('a' + i % 26);
        ASSERT_TRUE(routines_.SetRegistryValue("Long", text, 1)) << length;
        EXPECT_EQ(routines_.GetRegistryValue("Long"), RegistryVariant(text)) << length;
    }
    Bytes big(1 << 20);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i % 251);
    ASSERT_TRUE(routines_.SetRegistryValue("Blob", big, 3));
    EXPECT_EQ(routines_.GetRegistryValue("Blob"), RegistryVariant(big));
}

TEST_F(Routines, EachTypeConvertsAsItsReadersExpect) {
    ASSERT_TRUE(routines_.SetRegistryValue("Dword", "-7"s, 4));
    EXPECT_EQ(stored_bytes("Dword"), (Bytes{0xF9, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(routines_.GetRegistryValue("Dword", kDefault), RegistryVariant(std::int32_t{-7}));

    const Bytes binary = {0, 0xFF, 0, 0x10};
    ASSERT_TRUE(routines_.SetRegistryValue("Binary", binary, 3));
    EXPECT_EQ(routines_.GetRegistryValue("Binary"), RegistryVariant(binary));
    ASSERT_TRUE(routines_.SetRegistryValue("TextAsBinary", "ab"s, 3));
    EXPECT_EQ(routines_.GetRegistryValue("TextAsBinary"), RegistryVariant(Bytes{'a', 'b'}));
    store_raw("EmptyBinary", 3, {});
    EXPECT_EQ(routines_.GetRegistryValue("EmptyBinary", kDefault), RegistryVariant(Bytes{}));

    // The caller supplies the separators; the final pair of NULs is dropped on reading.
    ASSERT_TRUE(routines_.SetRegistryValue("Multi", "one\0two\0\0"s, 7));
    EXPECT_EQ(routines_.GetRegistryValue("Multi", kDefault), RegistryVariant("one\0two"s));
    ASSERT_TRUE(routines_.SetRegistryValue("MultiEmptyFirst", "\0two\0\0"s, 7));
    EXPECT_EQ(routines_.GetRegistryValue("MultiEmptyFirst", kDefault), kDefault);
    store_raw("MultiShort", 7, Bytes{0});
    EXPECT_EQ(routines_.GetRegistryValue("MultiShort", kDefault), kDefault);

    // Types that are not converted, and a double word too short to be one, leave the default.
    store_raw("Qword", 11, Bytes(8, 1));
    EXPECT_EQ(routines_.GetRegistryValue("Qword", kDefault), kDefault);
    store_raw("ShortDword", 4, Bytes{1, 2});
    EXPECT_EQ(routines_.GetRegistryValue("ShortDword", kDefault), kDefault);
    EXPECT_EQ(routines_.GetRegistryValue("Missing", kDefault), kDefault);
}

TEST_F(Routines, ExpandableStringsExpandEvenWhenTheResultIsLonger) {
    setenv("CORVANE_TEST_LONG", "/a/rather/long/folder/name/indeed", 1);
    ASSERT_TRUE(routines_.SetRegistryValue("Path", "%CORVANE_TEST_LONG%\\x"s, 2));
    EXPECT_EQ(routines_.GetRegistryValue("Path"), RegistryVariant("/a/rather/long/folder/name/indeed\\x"s));
    const auto values = RegistryRoutines::EnumRegistryValues(kHkeyLocalMachine, "Software\\Corvane");
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].data, RegistryVariant("/a/rather/long/folder/name/indeed\\x"s));
    unsetenv("CORVANE_TEST_LONG");
}

TEST_F(Routines, ValuesThatCannotBeConvertedRaiseAndWriteNothing) {
    EXPECT_THROW(routines_.SetRegistryValue("Dword", "twelve"s, 4), RegistryConversionError);
    EXPECT_THROW(routines_.SetRegistryValue("Dword", Bytes{1}, 4), RegistryConversionError);
    EXPECT_THROW(routines_.SetRegistryValue("Dword", "99999999999"s, 4), RegistryConversionError);
    EXPECT_THROW(routines_.SetRegistryValue("Binary", 5, 3), RegistryConversionError);
    EXPECT_THROW(routines_.SetRegistryValue("Binary", RegistryVariant(), 3), RegistryConversionError);
    EXPECT_EQ(routines_.GetRegistryValue("Dword", kDefault), kDefault);
    EXPECT_EQ(routines_.GetRegistryValue("Binary", kDefault), kDefault);
    EXPECT_TRUE(RegistryRoutines::EnumRegistryValues(kHkeyLocalMachine, "Software\\Corvane").empty());
    // The key opened for the failed write was closed: a write from another connection is not blocked.
    platform::close_cached_hives();
    EXPECT_TRUE(routines_.SetRegistryValue("After", "1"s, 1));

    // Into a missing key nothing is converted and nothing written.
    RegistryRoutines missing;
    missing.set_hkey(kHkeyLocalMachine);
    missing.set_KeyRoot("Software\\Missing");
    EXPECT_FALSE(missing.SetRegistryValue("Dword", "twelve"s, 4));
    EXPECT_FALSE(missing.SetRegistryValue("Run", "1"s, 1));
    EXPECT_FALSE(missing.KeyExists()) << "writes do not create keys";

    // Unknown type codes write nothing.
    EXPECT_FALSE(routines_.SetRegistryValue("Odd", "1"s, 5));
    EXPECT_EQ(routines_.GetRegistryValue("Odd", kDefault), kDefault);
}

TEST_F(Routines, KeysAreEnsuredCreatedAndDeleted) {
    RegistryRoutines r;
    r.set_hkey(kHkeyCurrentUser);
    r.set_KeyRoot("Software\\Microsoft\\Internet Explorer\\Main\\");
    EXPECT_FALSE(r.KeyExists());
    EXPECT_EQ(r.CreateKey(), "0") << "creates KeyRoot itself when Subkey is empty";
    EXPECT_TRUE(r.KeyExists());
    EXPECT_EQ(r.CreateKey(), "0") << "an existing key counts as created";
    r.set_KeyRoot("Software\\Microsoft\\Internet Explorer\\Main");
    EXPECT_TRUE(r.KeyExists());
    r.set_KeyRoot("Software\\Microsoft\\Internet Explorer\\Main\\\\");
    EXPECT_TRUE(r.KeyExists());

    r.set_KeyRoot("Software\\App");
    EXPECT_EQ(r.CreateKey("Child"s), "0");
    EXPECT_EQ(r.CreateKey(7), "0") << "a KeyName variant converts to text";
    EXPECT_EQ(RegistryRoutines::EnumRegistryKeys(kHkeyCurrentUser, "software\\app"),
              (std::vector<std::string>{"7", "Child"}));
    r.set_Subkey("Child");
    EXPECT_TRUE(r.KeyExists()) << "the path is KeyRoot\\Subkey";
    EXPECT_EQ(r.DeleteKey("Child"), 0);
    EXPECT_FALSE(r.KeyExists());
    EXPECT_NE(r.DeleteKey("Child"), 0);

    RegistryRoutines bad;
    bad.set_KeyRoot("Software");  // hkey still 0
    EXPECT_FALSE(bad.KeyExists());
    EXPECT_EQ(bad.CreateKey(), "");
}

TEST_F(Routines, DeleteValueReportsTheCode) {
    ASSERT_TRUE(routines_.SetRegistryValue("Keep", "k"s, 1));
    ASSERT_TRUE(routines_.SetRegistryValue("Gone", "g"s, 1));
    EXPECT_EQ(routines_.DeleteValue("Gone"), 0);
    EXPECT_EQ(routines_.DeleteValue("Gone"), 2);
    EXPECT_EQ(routines_.GetRegistryValue("Keep"), RegistryVariant("k"s)) << "the key is untouched";
    RegistryRoutines missing;
    missing.set_hkey(kHkeyLocalMachine);
    missing.set_KeyRoot("Software\\Missing");
    EXPECT_EQ(missing.DeleteValue("Gone"), 2) << "the open's code";
}

TEST_F(Routines, EnumerationsListKeysAndFormatValues) {
    ASSERT_TRUE(routines_.SetRegistryValue("Sz", "text"s, 1));
    ASSERT_TRUE(routines_.SetRegistryValue("EmptySz", ""s, 1));
    ASSERT_TRUE(routines_.SetRegistryValue("Bin", Bytes{0x00, 0xAB, 0x05}, 3));
    ASSERT_TRUE(routines_.SetRegistryValue("Dw", 123456, 4));
    ASSERT_TRUE(routines_.SetRegistryValue("Multi", "a\0b\0\0"s, 7));
    store_raw("Other", 11, Bytes{1});
    ASSERT_TRUE(routines_.SetRegistryValue("Huge", std::string(10000, 'h'), 1));

    const auto values = RegistryRoutines::EnumRegistryValues(kHkeyLocalMachine, "Software\\Corvane\\");
    ASSERT_EQ(values.size(), 7u);
    const std::vector<std::pair<std::string, RegistryVariant>> expected = {{"Sz", "text"s},
                                                                           {"EmptySz", ""s},
                                                                           {"Bin", "00 AB 05"s},
                                                                           {"Dw", std::int32_t{123456}},
                                                                           {"Multi", "a,b"s},
                                                                           {"Other", RegistryVariant()},
                                                                           {"Huge", std::string(10000, 'h')}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(values[i].name, expected[i].first);
        EXPECT_EQ(values[i].data, expected[i].second) << expected[i].first;
    }

    EXPECT_EQ(RegistryRoutines::EnumRegistryKeys(kHkeyLocalMachine, ""), (std::vector<std::string>{"SOFTWARE"}));
    EXPECT_EQ(RegistryRoutines::EnumRegistryKeys(kHkeyLocalMachine, "Software"),
              (std::vector<std::string>{"Corvane", "Microsoft"}));
    EXPECT_TRUE(RegistryRoutines::EnumRegistryKeys(kHkeyLocalMachine, "No\\Such").empty());
    EXPECT_TRUE(RegistryRoutines::EnumRegistryValues(kHkeyLocalMachine, "No\\Such").empty());
    EXPECT_TRUE(RegistryRoutines::EnumRegistryKeys(0, "").empty());
}

TEST_F(Routines, RemoteOperationsReachOnlyThisMachine) {
    ASSERT_TRUE(routines_.SetRegistryValue("Run", "1"s, 1));
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    EXPECT_EQ(routines_.ReadRemoteRegistryValue("", kHkeyLocalMachine, "Run"), RegistryVariant("1"s));
    EXPECT_EQ(routines_.ReadRemoteRegistryValue(host, kHkeyLocalMachine, "Run", "SOFTWARE\\CORVANE"s),
              RegistryVariant("1"s));
    EXPECT_EQ(routines_.ReadRemoteRegistryValue("elsewhere", kHkeyLocalMachine, "Run"), RegistryVariant("Error!"s));
    EXPECT_EQ(routines_.ReadRemoteRegistryValue("", kHkeyLocalMachine, "Run", "No\\Key"s), RegistryVariant());

    EXPECT_TRUE(routines_.WriteRemoteRegistryValue("", kHkeyLocalMachine, "Tray", "0"s, 1));
    EXPECT_EQ(routines_.GetRegistryValue("Tray"), RegistryVariant("0"s));
    EXPECT_FALSE(routines_.WriteRemoteRegistryValue("elsewhere", kHkeyLocalMachine, "Tray", "1"s, 1));
    EXPECT_FALSE(routines_.WriteRemoteRegistryValue("", kHkeyLocalMachine, "Tray", "1"s, 1, "No\\Key"s));
    EXPECT_EQ(routines_.GetRegistryValue("Tray"), RegistryVariant("0"s));
}

TEST_F(Routines, DamagedHiveLeavesCallersOnTheirDefaults) {
    ASSERT_TRUE(routines_.SetRegistryValue("Run", "0"s, 1));
    platform::close_cached_hives();
    {
        std::ofstream out(hklm_file(), std::ios::binary | std::ios::trunc);
        out << "SQLite format 3" << std::string(4000, '\x7f');
    }
    EXPECT_FALSE(routines_.KeyExists());
    EXPECT_EQ(routines_.CreateKey(), "");
    EXPECT_EQ(routines_.GetRegistryValue("Run", "1"s), RegistryVariant("1"s));
    EXPECT_FALSE(routines_.SetRegistryValue("Run", "1"s, 1));
    EXPECT_NE(routines_.DeleteValue("Run"), 0);
    EXPECT_TRUE(RegistryRoutines::EnumRegistryKeys(kHkeyLocalMachine, "").empty());
}

TEST(TrimNull, CutsAtTheFirstNulInPlace) {
    std::string item = "abc\0def\0"s;
    EXPECT_EQ(RegistryRoutines::TrimNull(item), "abc");
    EXPECT_EQ(item, "abc");
    std::string none = "plain";
    EXPECT_EQ(RegistryRoutines::TrimNull(none), "plain");
    std::string leading = "\0x"s;
    EXPECT_EQ(RegistryRoutines::TrimNull(leading), "");
    std::string long_text(40000, 'l');
    long_text += '\0';
    EXPECT_EQ(RegistryRoutines::TrimNull(long_text).size(), 40000u) << "no 16-bit limit on positions";
}

TEST(RegistryVariantConversion, NumbersTextsAndBytes) {
    std::int32_t n = 0;
    struct Case {
        const char* text;
        bool ok;
        std::int32_t value;
    };
    for (const Case& c :
         {Case{"0", true, 0}, Case{" 17 ", true, 17}, Case{"-2147483648", true, INT32_MIN},
          Case{"2147483647", true, INT32_MAX}, Case{"2147483648", false, 0}, Case{"+5", true, 5}, Case{"1.5", true, 2},
          Case{"2.5", true, 2}, Case{"2.51", true, 3}, Case{"-0.5", true, 0}, Case{"", false, 0}, Case{"abc", false, 0},
          Case{"1x", false, 0}, Case{"-", false, 0}, Case{"99999999999999999999", false, 0}, Case{".", false, 0}}) {
        n = -99;
        EXPECT_EQ(TryParseInt32(c.text, n), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(n, c.value) << c.text;
        }
    }
    EXPECT_EQ(ToText(std::int32_t{-12}), "-12");
    EXPECT_EQ(ToText(RegistryVariant()), "");
    EXPECT_EQ(ToInt32(RegistryVariant()), 0);
    EXPECT_THROW(ToInt32(""s), RegistryConversionError);
    EXPECT_EQ(ToBytes("a\0"s), (Bytes{'a', 0}));
}

}  // namespace
}  // namespace corvane::settings
