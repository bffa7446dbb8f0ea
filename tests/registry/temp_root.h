#pragma once
// Test support: a private CORVANE_ROOT per test, and running helper programs.
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/registry.h"

extern char** environ;

namespace corvane::testing {

// Gives the test its own CORVANE_ROOT (mode 0755, so another user can look inside) and removes it
// afterwards.
class TempRootTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/corvane-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
        ASSERT_EQ(setenv("CORVANE_ROOT", root_.c_str(), 1), 0);
        platform::close_cached_hives();
    }
    void TearDown() override {
        platform::close_cached_hives();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
        unsetenv("CORVANE_ROOT");
    }
    std::filesystem::path hklm_file() const { return root_ / "var/lib/corvane/hklm.db"; }
    std::filesystem::path autostart() const { return root_ / "etc/xdg/autostart"; }

    std::filesystem::path root_;
};

struct ProcessResult {
    int exit_code = -1;  // -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Runs `argv` to its end and collects its exit code and output.
inline ProcessResult run_process(const std::vector<std::string>& argv) {
    ProcessResult result;
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
    posix_spawn_file_actions_addclose(&actions, err_pipe[0]);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    auto drain = [](int fd, std::string& into) {
        char buffer[4096];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0) into.append(buffer, static_cast<std::size_t>(n));
        close(fd);
    };
    drain(out_pipe[0], result.out);
    drain(err_pipe[0], result.err);
    if (spawned != 0) return result;
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    return result;
}

// The arguments that run `program` as the unprivileged user nobody.
inline std::vector<std::string> as_nobody(std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    return argv;
}

}  // namespace corvane::testing
