// The built program, run as a user would run it: a copy of the executable in a folder of its own
// beside a qd.def, inside a private network namespace with real connections.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../engine/private_network.h"
#include "platform/named_mutex.h"
#include "settings/settings_table.h"
#include "ui_test_support.h"

namespace corvane::ui {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using engine::testing::Connect;
using engine::testing::ConnectionError;
using engine::testing::EnterPrivateNetwork;
using engine::testing::Listen;
using engine::testing::LocalPort;

pid_t StartProgram(const fs::path& executable) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) ::dup2(null, STDERR_FILENO);
        ::execl(executable.c_str(), executable.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

// Waits for a child; -1 when it is still running at the deadline.
int WaitExit(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(10ms);
    }
    return -1;
}

template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Runs in a forked child inside its own network namespace; returns what went wrong, or "".
std::string BlockScenario(const fs::path& executable) {
    if (auto why = EnterPrivateNetwork(); !why.empty()) return why;
    auto listed = Listen("127.0.0.2");
    auto unlisted = Listen("127.0.0.3");
    if (!listed.Valid() || !unlisted.Valid()) return "listen failed";

    const pid_t program = StartProgram(executable);
    if (!WaitFor([] { return platform::NamedMutexHeldElsewhere("Corvane"); }, 20s)) return "program did not start";

    // A second start ends at once and leaves the first running.
    const pid_t second = StartProgram(executable);
    if (const int code = WaitExit(second, 20s); code != 0) return "second instance: exit " + std::to_string(code);

    auto toListed = Connect("127.0.0.2", LocalPort(listed.Get()));
    auto toUnlisted = Connect("127.0.0.3", LocalPort(unlisted.Get()));
    if (!toListed.Valid() || !toUnlisted.Valid()) return "connect failed";

    std::string failures;
    if (!WaitFor([&] { return ConnectionError(toListed.Get()) != 0; }, 10s)) failures += "listed connection survived; ";
    std::this_thread::sleep_for(100ms);
    if (ConnectionError(toUnlisted.Get()) != 0) failures += "unlisted connection was torn down; ";
    auto again = Connect("127.0.0.3", LocalPort(unlisted.Get()));
    if (!again.Valid()) failures += "unlisted listener stopped accepting; ";

    ::kill(program, SIGTERM);
    if (const int code = WaitExit(program, 20s); code != 0) failures += "program exit " + std::to_string(code) + "; ";
    return failures;
}

TEST(Program, BlocksListedConnectionsAndSavesTheCountOnTermination) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private network namespace";
    testing::ScratchRoot root;
    const fs::path folder = root.path() / "Program Files" / "Corvane";
    fs::create_directories(folder);
    const fs::path executable = folder / "corvane";
    fs::copy_file(CORVANE_BINARY, executable);
    testing::WriteDefinitions(folder, "V007\r\n127.0.0.2\r\n");

    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(report[0]);
        const std::string failures = BlockScenario(executable);
        static_cast<void>(::write(report[1], failures.data(), failures.size()));
        ::_exit(0);
    }
    ::close(report[1]);
    std::string failures;
    char buffer[256];
    for (ssize_t got; (got = ::read(report[0], buffer, sizeof buffer)) > 0;)
        failures.append(buffer, static_cast<std::size_t>(got));
    ::close(report[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(failures, "");

    // One block, saved when the termination closed the window.
    EXPECT_EQ(settings::ToText(settings::ReadSetting(settings::Setting::Attempts)), "1");
}

// Many starts at the same moment, as a session restoring its programs or a double click twice: exactly
// one instance goes on; every other ends at once, without a window or a tray icon of its own.
TEST(Program, OfManySimultaneousStartsExactlyOneRuns) {
    testing::ScratchRoot root;
    const fs::path folder = root.path() / "Corvane";
    fs::create_directories(folder);
    const fs::path executable = folder / "corvane";
    fs::copy_file(CORVANE_BINARY, executable);
    testing::WriteDefinitions(folder, "V007\r\n127.0.0.2\r\n");

    constexpr int kStarts = 8;
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> starts;
    for (int i = 0; i < kStarts; ++i) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Every start waits at the gate, then all exec together.
            ::close(gate[1]);
            char byte;
            static_cast<void>(::read(gate[0], &byte, 1));
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            const int null = ::open("/dev/null", O_WRONLY);
            if (null >= 0) ::dup2(null, STDERR_FILENO);
            ::execl(executable.c_str(), executable.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        starts.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);  // opens the gate

    std::vector<pid_t> running = starts;
    int ended = 0;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (ended < kStarts - 1 && std::chrono::steady_clock::now() < deadline) {
        for (auto it = running.begin(); it != running.end();) {
            int status = 0;
            if (::waitpid(*it, &status, WNOHANG) == *it) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a second start failed: " << status;
                ++ended;
                it = running.erase(it);
            } else {
                ++it;
            }
        }
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(ended, kStarts - 1);
    // The one left has taken the lock and stays.
    EXPECT_TRUE(WaitFor([] { return platform::NamedMutexHeldElsewhere("Corvane"); }, 30s));
    std::this_thread::sleep_for(300ms);
    for (const pid_t pid : running) EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0) << "instance " << pid << " ended";
    EXPECT_EQ(running.size(), 1u);
    for (const pid_t pid : running) {
        ::kill(pid, SIGTERM);
        EXPECT_EQ(WaitExit(pid, 30s), 0);
    }
}

}  // namespace
}  // namespace corvane::ui
