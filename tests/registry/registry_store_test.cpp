// The hive store through the platform registry functions.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/registry_hive.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "temp_root.h"

namespace corvane::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

class RegistryStore : public testing::TempRootTest {
protected:
    RegistryKey create(RootKey root, std::string_view path) {
        RegistryKey key;
        EXPECT_EQ(create_key(root_key(root), path, kKeyAllAccess, key), kErrorSuccess) << path;
        return key;
    }
    // The stored type and bytes of a value, read with a buffer that fits.
    RegStatus read(const RegistryKey& key, std::string_view name, std::uint32_t& type, Bytes& data) {
        std::uint32_t size = 0;
        RegStatus status = query_value(key, name, type, std::span<std::uint8_t>(), size);
        if (status != kErrorSuccess) return status;
        data.assign(size, 0xCC);
        return query_value(key, name, type, data, size);
    }
};

TEST_F(RegistryStore, AllTypesKeepTheirBytesIncludingInnerNuls) {
    RegistryKey key = create(kHkeyLocalMachine, "Software\\Corvane");
    const Bytes text_with_nul = {'a', 0, 'b'};
    const Bytes multi = {'a', 0, 'b', 0, 0};
    const Bytes binary = {0, 0xFF, 0, 0x10, 0};
    const Bytes dword = {0xFE, 0xFF, 0xFF, 0xFF};
    struct Case {
        const char* name;
        std::uint32_t type;
        Bytes written;
        Bytes stored;
    };
    const Case cases[] = {
        // A string whose last counted byte is not NUL gets the terminator the caller's buffer has.
        {"Sz", kRegSz, text_with_nul, {'a', 0, 'b', 0}},
        {"Expand", kRegExpandSz, bytes_of("%HOME%x"), bytes_of(std::string_view("%HOME%x\0", 8))},
        {"Multi", kRegMultiSz, multi, multi},
        {"Binary", kRegBinary, binary, binary},
        {"Dword", kRegDword, dword, dword},
        {"Other", 11, {1, 2, 3}, {1, 2, 3}},
        {"EmptySz", kRegSz, {}, {}},
        {"EmptyBinary", kRegBinary, {}, {}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(set_value(key, c.name, c.type, c.written), kErrorSuccess) << c.name;
    }
    close_cached_hives();  // read back from the file, not from this connection
    RegistryKey again;
    ASSERT_EQ(open_key(root_key(kHkeyLocalMachine), "Software\\Corvane", kKeyRead, again), kErrorSuccess);
    for (const Case& c : cases) {
        std::uint32_t type = 0;
        Bytes data;
        ASSERT_EQ(read(again, c.name, type, data), kErrorSuccess) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(data, c.stored) << c.name;
    }
}

TEST_F(RegistryStore, LargeValuesAndTheMoreDataProtocol) {
    RegistryKey key = create(kHkeyCurrentUser, "Software\\Big");
    Bytes big(1 << 20);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
    ASSERT_EQ(set_value(key, "Blob", kRegBinary, big), kErrorSuccess);

    std::uint32_t type = 0;
    std::uint32_t size = 0;
    Bytes small(1024, 0xAB);
    EXPECT_EQ(query_value(key, "Blob", type, small, size), kErrorMoreData);
    EXPECT_EQ(size, big.size());
    EXPECT_EQ(type, kRegBinary);
    EXPECT_EQ(small, Bytes(1024, 0xAB)) << "a buffer that is too small is left alone";

    EXPECT_EQ(query_value(key, "Blob", type, std::span<std::uint8_t>(), size), kErrorSuccess);
    EXPECT_EQ(size, big.size());

    Bytes exact(size);
    ASSERT_EQ(query_value(key, "Blob", type, exact, size), kErrorSuccess);
    EXPECT_EQ(exact, big);

    std::string name;
    EXPECT_EQ(enum_value(key, 0, name, type, small, size), kErrorMoreData);
    EXPECT_EQ(name, "Blob");
    EXPECT_EQ(size, big.size());
}

TEST_F(RegistryStore, NamesIgnoreCaseKeepCaseAndIgnoreEmptyComponents) {
    RegistryKey key = create(kHkeyLocalMachine, "\\Software\\\\Corvane\\\\");
    ASSERT_EQ(set_value(key, "Attempts", kRegSz, bytes_of("1")), kErrorSuccess);

    for (const char* path :
         {"SOFTWARE\\corvane", "Software\\Corvane\\", "Software\\Corvane\\\\", "\\software\\CORVANE"}) {
        RegistryKey same;
        ASSERT_EQ(open_key(root_key(kHkeyLocalMachine), path, kKeyRead, same), kErrorSuccess) << path;
        std::uint32_t type = 0;
        Bytes data;
        EXPECT_EQ(read(same, "ATTEMPTS", type, data), kErrorSuccess) << path;
    }
    // Creating under another spelling opens the same key and keeps the first spelling.
    RegistryKey respelled = create(kHkeyLocalMachine, "SOFTWARE\\CORVANE");
    ASSERT_EQ(set_value(respelled, "attempts", kRegSz, bytes_of("2")), kErrorSuccess);
    RegistryKey software;
    ASSERT_EQ(open_key(root_key(kHkeyLocalMachine), "software", kKeyRead, software), kErrorSuccess);
    std::vector<std::string> names;
    std::string name;
    for (std::uint32_t i = 0; enum_key(software, i, name) == kErrorSuccess; ++i) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"Corvane", "Microsoft"}));
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    Bytes data(16);
    ASSERT_EQ(enum_value(key, 0, name, type, data, size), kErrorSuccess);
    EXPECT_EQ(name, "Attempts");
    EXPECT_EQ(std::string(data.begin(), data.begin() + size), std::string("2\0", 2));
    EXPECT_EQ(enum_value(key, 1, name, type, data, size), kErrorNoMoreItems);
}

TEST_F(RegistryStore, MissingThingsAndBadHandlesGiveTheirCodes) {
    RegistryKey key;
    EXPECT_EQ(open_key(root_key(kHkeyLocalMachine), "Software\\Nothing", kKeyRead, key), kErrorFileNotFound);
    EXPECT_FALSE(key.is_open());
    EXPECT_EQ(open_key(root_key(0x12345), "Software", kKeyRead, key), kErrorInvalidHandle);
    EXPECT_EQ(open_key(RegistryKey(), "", kKeyRead, key), kErrorInvalidHandle);
    EXPECT_EQ(close_key(key), kErrorInvalidHandle);

    RegistryKey corvane = create(kHkeyLocalMachine, "Software\\Corvane");
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    EXPECT_EQ(query_value(corvane, "Run", type, std::span<std::uint8_t>(), size), kErrorFileNotFound);
    EXPECT_EQ(delete_value(corvane, "Run"), kErrorFileNotFound);
    std::string name;
    EXPECT_EQ(enum_key(corvane, 0, name), kErrorNoMoreItems);

    // A handle opened for reading may not write.
    RegistryKey reader;
    ASSERT_EQ(open_key(root_key(kHkeyLocalMachine), "Software\\Corvane", kKeyRead, reader), kErrorSuccess);
    EXPECT_EQ(set_value(reader, "Run", kRegSz, bytes_of("1")), kErrorAccessDenied);
    EXPECT_EQ(close_key(reader), kErrorSuccess);
    EXPECT_FALSE(reader.is_open());
}

TEST_F(RegistryStore, DeletingKeys) {
    RegistryKey child = create(kHkeyCurrentUser, "A\\B");
    ASSERT_EQ(set_value(child, "V", kRegSz, bytes_of("x")), kErrorSuccess);
    EXPECT_EQ(delete_key(root_key(kHkeyCurrentUser), "A"), kErrorAccessDenied) << "a key with sub-keys stays";
    EXPECT_EQ(delete_key(root_key(kHkeyCurrentUser), "\\"), kErrorAccessDenied) << "the root stays";
    EXPECT_EQ(delete_key(root_key(kHkeyCurrentUser), "a\\b\\"), kErrorSuccess);
    EXPECT_EQ(delete_key(root_key(kHkeyCurrentUser), "A\\B"), kErrorFileNotFound);

    std::uint32_t type = 0;
    std::uint32_t size = 0;
    EXPECT_EQ(query_value(child, "V", type, std::span<std::uint8_t>(), size), kErrorKeyDeleted);
    EXPECT_EQ(set_value(child, "V", kRegSz, bytes_of("y")), kErrorKeyDeleted);

    // A key made again with the same name starts empty: the old values went with the old key.
    RegistryKey fresh = create(kHkeyCurrentUser, "A\\B");
    EXPECT_EQ(query_value(fresh, "V", type, std::span<std::uint8_t>(), size), kErrorFileNotFound);
}

TEST_F(RegistryStore, ValuesEnumerateInCreationOrder) {
    RegistryKey key = create(kHkeyCurrentUser, "Order");
    for (const char* name : {"Zeta", "Alpha", "Mid"})
        ASSERT_EQ(set_value(key, name, kRegSz, bytes_of(name)), kErrorSuccess);
    ASSERT_EQ(set_value(key, "ALPHA", kRegDword, Bytes{1, 0, 0, 0}), kErrorSuccess);  // overwrite keeps the place
    ASSERT_EQ(delete_value(key, "zeta"), kErrorSuccess);
    std::vector<std::string> names;
    std::string name;
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    Bytes data(64);
    for (std::uint32_t i = 0; enum_value(key, i, name, type, data, size) == kErrorSuccess; ++i) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "Mid"}));
}

TEST_F(RegistryStore, FileModesOfTheHives) {
    create(kHkeyLocalMachine, "Software\\Corvane");
    create(kHkeyCurrentUser, "Software\\Corvane");
    struct stat info {};
    ASSERT_EQ(stat(hklm_file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    ASSERT_EQ(stat(hklm_file().parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    const auto user_dir = user_config_dir();
    ASSERT_EQ(stat((user_dir / "hkcu.db").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    ASSERT_EQ(stat(user_dir.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(user_dir.string().rfind(root_.string(), 0), 0u) << "CORVANE_ROOT moves the user's store too";
}

TEST_F(RegistryStore, CorruptHiveGivesErrorsNotCrashes) {
    create(kHkeyLocalMachine, "Software\\Corvane");
    close_cached_hives();
    {
        std::ofstream out(hklm_file(), std::ios::binary | std::ios::trunc);
        out << std::string(8192, 'Z');
    }
    RegistryKey key;
    const RegStatus status = open_key(root_key(kHkeyLocalMachine), "Software\\Corvane", kKeyRead, key);
    EXPECT_EQ(status, kErrorBadDb);
    EXPECT_EQ(create_key(root_key(kHkeyLocalMachine), "Software\\Corvane", kKeyAllAccess, key), kErrorBadDb);
    std::string name;
    EXPECT_EQ(enum_key(root_key(kHkeyLocalMachine), 0, name), kErrorBadDb);
}

TEST_F(RegistryStore, AnotherWriterMakesWritesBusyAfterThisThreadsWaitButReadersGoOn) {
    RegistryKey key = create(kHkeyLocalMachine, "Software\\Corvane");
    ASSERT_EQ(set_value(key, "Run", kRegSz, bytes_of("0")), kErrorSuccess);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(hklm_file().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    {
        const ScopedStoreWait wait(std::chrono::milliseconds(300));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(set_value(key, "Run", kRegSz, bytes_of("1")), kErrorBusy);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250)) << "waited its budget";
    }
    {
        const ScopedStoreWait wait(std::chrono::milliseconds(0));
        EXPECT_EQ(set_value(key, "Run", kRegSz, bytes_of("1")), kErrorBusy);
    }
    // The log lets readers in while another process writes.
    RegistryKey reader;
    ASSERT_EQ(open_key(root_key(kHkeyLocalMachine), "Software\\Corvane", kKeyRead, reader), kErrorSuccess);
    std::uint32_t type = 0;
    Bytes data;
    EXPECT_EQ(read(reader, "Run", type, data), kErrorSuccess);
    EXPECT_EQ(data, bytes_of(std::string("0", 2)));
    reader.reset();
    ASSERT_EQ(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    EXPECT_EQ(set_value(key, "Run", kRegSz, bytes_of("1")), kErrorSuccess) << "usable again once free";
}

TEST_F(RegistryStore, OnlyThisMachineCanBeConnected) {
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    RegistryKey remote;
    EXPECT_EQ(connect_registry("", kHkeyLocalMachine, remote), kErrorSuccess);
    EXPECT_EQ(connect_registry(host, kHkeyCurrentUser, remote), kErrorSuccess);
    EXPECT_EQ(connect_registry(std::string("\\\\") + host, kHkeyLocalMachine, remote), kErrorSuccess);
    RegistryKey failed;
    EXPECT_EQ(connect_registry("some-other-computer", kHkeyLocalMachine, failed), kErrorBadNetPath);
    EXPECT_FALSE(failed.is_open());
    EXPECT_EQ(connect_registry("", 0x7777, failed), kErrorInvalidHandle);
}

}  // namespace
}  // namespace corvane::platform
