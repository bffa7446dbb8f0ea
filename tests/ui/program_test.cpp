// The built program, run as a user would run it: a copy of the executable in a folder of its own. No
// protection service answers it here (a system bus address of the test's own that nothing serves): the
// window runs all the same, saying it is not protected.
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

#include "platform/named_mutex.h"
#include "ui_test_support.h"

namespace corvane::ui {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

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

// Many starts at the same moment, as a session restoring its programs or a double click twice: exactly
// one instance goes on; every other ends at once, without a window or a tray icon of its own.
TEST(Program, OfManySimultaneousStartsExactlyOneRuns) {
    testing::ScratchRoot root;
    const fs::path folder = root.path() / "Corvane";
    fs::create_directories(folder);
    const fs::path executable = folder / "corvane";
    fs::copy_file(CORVANE_BINARY, executable);
    const std::string bus = "unix:path=" + (root.path() / "no-system-bus").string();

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
            static_cast<void>(!::read(gate[0], &byte, 1));
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.c_str(), 1);
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
