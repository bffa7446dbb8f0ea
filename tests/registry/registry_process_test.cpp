// Several processes on one hive, a writer killed in the middle, and a user without rights.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "settings/registry_routines.h"
#include "temp_root.h"

namespace corvane::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string read_text(const RegistryKey& key, const std::string& name, RegStatus& status) {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    Bytes data(256);
    status = query_value(key, name, type, data, size);
    if (status != kErrorSuccess || size == 0) return {};
    return std::string(data.begin(), data.begin() + size - 1);
}

std::string integrity(const std::filesystem::path& file) {
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return result;
}

class RegistryProcesses : public testing::TempRootTest {};

TEST_F(RegistryProcesses, TwoProcessesWritingOneHiveAtOnceBothSucceed) {
    constexpr int kCount = 40;
    std::vector<pid_t> pids;
    for (const char* prefix : {"a", "b"}) {
        const std::string count = std::to_string(kCount);
        char* argv[] = {const_cast<char*>(CORVANE_REGISTRY_HELPER), const_cast<char*>("write-many"),
                        const_cast<char*>(prefix), const_cast<char*>(count.c_str()), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, CORVANE_REGISTRY_HELPER, nullptr, nullptr, argv, environ), 0);
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "every write of both writers was acknowledged";
    }
    RegistryKey key;
    ASSERT_EQ(open_key(root_key(kHkeyLocalMachine), "Software\\Test", kKeyRead, key), kErrorSuccess);
    for (const char* prefix : {"a", "b"}) {
        for (int i = 0; i < kCount; ++i) {
            RegStatus status = 0;
            EXPECT_EQ(read_text(key, prefix + std::to_string(i), status), std::to_string(i));
            EXPECT_EQ(status, kErrorSuccess);
        }
    }
}

TEST_F(RegistryProcesses, KillingAWriterLosesNoAcknowledgedValue) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char* argv[] = {const_cast<char*>(CORVANE_REGISTRY_HELPER), const_cast<char*>("write-ack"),
                    const_cast<char*>("1000"), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, CORVANE_REGISTRY_HELPER, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);

    std::mt19937 random(std::random_device{}());
    const int kill_after = std::uniform_int_distribution<int>(20, 300)(random);
    int acknowledged = -1;
    std::string pending;
    char buffer[256];
    while (acknowledged + 1 < kill_after) {
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
            acknowledged = std::stoi(pending.substr(0, nl));
        }
    }
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    // Acknowledgements already in the pipe count too.
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) {
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
            acknowledged = std::stoi(pending.substr(0, nl));
        }
    }
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer was killed in the middle, not finished";
    ASSERT_GE(acknowledged, kill_after - 1);

    EXPECT_EQ(integrity(hklm_file()), "ok");
    RegistryKey key;
    ASSERT_EQ(open_key(root_key(kHkeyLocalMachine), "Software\\Test", kKeyAllAccess, key), kErrorSuccess);
    for (int i = 0; i <= acknowledged; ++i) {
        RegStatus read_status = 0;
        ASSERT_EQ(read_text(key, "v" + std::to_string(i), read_status), "value-" + std::to_string(i)) << i;
    }
    EXPECT_EQ(set_value(key, "after", kRegSz, Bytes{'o', 'k'}), kErrorSuccess) << "the hive is writable again";
}

TEST_F(RegistryProcesses, AnOrdinaryUserNeitherReadsNorWritesTheMachineHive) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a part as another user";
    {
        settings::RegistryRoutines routines;
        routines.set_hkey(settings::kHkeyLocalMachine);
        routines.set_KeyRoot("Software\\Corvane");
        ASSERT_EQ(routines.CreateKey(), "0");
        ASSERT_TRUE(routines.SetRegistryValue("Run", std::string("0"), 1));
    }
    RegistryKey run;
    ASSERT_EQ(open_key(root_key(kHkeyLocalMachine), std::string(kRunKeyPath), kKeyAllAccess, run), kErrorSuccess);
    const std::string program = "/usr/bin/corvane";
    ASSERT_EQ(set_value(run, "Corvane", kRegSz, Bytes(program.begin(), program.end())), kErrorSuccess);
    run.reset();  // no lock of ours in the way of the other user
    close_cached_hives();

    // The programs themselves must be reachable by that user: copy them into the 0755 root.
    const auto helper = root_ / "helper";
    const auto tool = root_ / "corvane-reg";
    std::filesystem::copy_file(CORVANE_REGISTRY_HELPER, helper);
    std::filesystem::copy_file(CORVANE_REG_TOOL, tool);

    const auto report = testing::run_process(testing::as_nobody({helper.string(), "routines-report"}));
    EXPECT_EQ(report.exit_code, 0) << report.err;
    // The machine hive is the service's alone: the user is on the defaults, and every write is refused.
    EXPECT_EQ(report.out,
              "key_exists=0\n"
              "create_existing=\n"
              "create_new=\n"
              "run=1\n"  // the default, not the stored 0
              "set=0\n"
              "delete=5\n"
              "save_attempts=0\n");

    const auto get =
        testing::run_process(testing::as_nobody({tool.string(), "get", "HKLM\\Software\\Corvane", "Run"}));
    EXPECT_EQ(get.exit_code, 2) << get.err;
    EXPECT_EQ(get.out, "");
    EXPECT_NE(get.err.find("access denied"), std::string::npos) << get.err;
    for (const std::vector<std::string>& denied : std::vector<std::vector<std::string>>{
             {"set", "HKLM\\Software\\Corvane", "Run", "REG_SZ", "0"},
             {"delete", "HKLM\\Software\\Corvane", "Run"},
             {"set", std::string("HKLM\\") + std::string(kRunKeyPath), "Corvane", "REG_SZ", "/tmp/x"},
             {"delete", std::string("HKLM\\") + std::string(kRunKeyPath), "Corvane"}}) {
        std::vector<std::string> argv = {tool.string()};
        argv.insert(argv.end(), denied.begin(), denied.end());
        const auto result = testing::run_process(testing::as_nobody(argv));
        EXPECT_EQ(result.exit_code, 2) << denied[0] << " " << denied[2];
        EXPECT_NE(result.err.find("access denied"), std::string::npos) << result.err;
    }

    // Nothing changed.
    RegistryKey key;
    ASSERT_EQ(open_key(root_key(kHkeyLocalMachine), "Software\\Corvane", kKeyRead, key), kErrorSuccess);
    RegStatus status = 0;
    EXPECT_EQ(read_text(key, "Run", status), "0");
    EXPECT_EQ(read_text(key, "Attempts", status), "");
    EXPECT_EQ(status, kErrorFileNotFound);
    EXPECT_TRUE(std::filesystem::exists(autostart() / "Corvane.desktop"));
}

TEST_F(RegistryProcesses, AnOrdinaryUserFindsAMissingMachineHiveEmpty) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a part as another user";
    const auto tool = root_ / "corvane-reg";
    std::filesystem::copy_file(CORVANE_REG_TOOL, tool);
    const auto get = testing::run_process(testing::as_nobody({tool.string(), "get", "HKLM\\Software\\Corvane", "Run"}));
    EXPECT_EQ(get.exit_code, 1) << get.err;
    const auto set = testing::run_process(
        testing::as_nobody({tool.string(), "set", "HKLM\\Software\\Corvane", "Run", "REG_SZ", "1"}));
    EXPECT_EQ(set.exit_code, 2);
    EXPECT_FALSE(std::filesystem::exists(hklm_file()));
}

TEST_F(RegistryProcesses, AnUnreadableMachineHiveLeavesAnOrdinaryUserOnTheDefaults) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a part as another user";
    {
        settings::RegistryRoutines routines;
        routines.set_hkey(settings::kHkeyLocalMachine);
        routines.set_KeyRoot("Software\\Corvane");
        ASSERT_EQ(routines.CreateKey(), "0");
        ASSERT_TRUE(routines.SetRegistryValue("Run", std::string("0"), 1));
    }
    close_cached_hives();
    ASSERT_EQ(::chmod(hklm_file().c_str(), 0600), 0);
    const auto helper = root_ / "helper";
    const auto tool = root_ / "corvane-reg";
    std::filesystem::copy_file(CORVANE_REGISTRY_HELPER, helper);
    std::filesystem::copy_file(CORVANE_REG_TOOL, tool);

    const auto report = testing::run_process(testing::as_nobody({helper.string(), "routines-report"}));
    EXPECT_EQ(report.exit_code, 0) << report.err;
    EXPECT_NE(report.out.find("key_exists=0\n"), std::string::npos) << report.out;
    EXPECT_NE(report.out.find("run=1\n"), std::string::npos) << "the default, not the stored 0: " << report.out;
    const auto get = testing::run_process(testing::as_nobody({tool.string(), "get", "HKLM\\Software\\Corvane", "Run"}));
    EXPECT_EQ(get.exit_code, 2);
    EXPECT_NE(get.err.find("access denied"), std::string::npos) << get.err;
}

}  // namespace
}  // namespace corvane::platform
