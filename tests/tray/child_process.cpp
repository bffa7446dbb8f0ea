#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

extern char** environ;

namespace corvane::platform::testing {
namespace {

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& changes) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const auto name = text.substr(0, text.find('='));
        if (!changes.contains(name)) merged.push_back(text);
    }
    for (const auto& [name, value] : changes) merged.push_back(name + "=" + value);
    return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

std::optional<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv,
                                                const std::map<std::string, std::string>& environment,
                                                Output output, std::string& error) {
    int pipeEnds[2] = {-1, -1};
    if (output == Output::Captured && ::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output == Output::Captured) posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);

    auto arguments = argv;
    auto environmentTexts = MergedEnvironment(environment);
    auto argumentPointers = Pointers(arguments);
    auto environmentPointers = Pointers(environmentTexts);
    pid_t pid = -1;
    const int result = ::posix_spawnp(&pid, argumentPointers[0], &actions, nullptr, argumentPointers.data(),
                                      environmentPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (pipeEnds[1] >= 0) static_cast<void>(::close(pipeEnds[1]));
    if (result != 0) {
        if (pipeEnds[0] >= 0) static_cast<void>(::close(pipeEnds[0]));
        error = "cannot start " + argv.front() + ": " + std::strerror(result);
        return std::nullopt;
    }
    return ChildProcess(pid, pipeEnds[0]);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      output_(std::exchange(other.output_, -1)),
      pending_(std::move(other.pending_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        Release();
        pid_ = std::exchange(other.pid_, -1);
        output_ = std::exchange(other.output_, -1);
        pending_ = std::move(other.pending_);
    }
    return *this;
}

ChildProcess::~ChildProcess() { Release(); }

void ChildProcess::Release() {
    if (pid_ > 0) {
        // The child may be gone already; then there is nothing to end, and the wait below reaps it.
        static_cast<void>(::kill(pid_, SIGTERM));
        Wait();
    }
    if (output_ >= 0) {
        static_cast<void>(::close(output_));
        output_ = -1;
    }
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const auto end = pending_.find('\n'); end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        if (output_ < 0 || left.count() <= 0) return std::nullopt;
        pollfd ready{output_, POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return std::nullopt;
        char buffer[512];
        const ssize_t got = ::read(output_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return std::nullopt;
        pending_.append(buffer, static_cast<std::size_t>(got));
    }
}

int ChildProcess::Wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(pid_, &status, 0);
    } while (waited < 0 && errno == EINTR);
    pid_ = -1;
    if (waited < 0) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace corvane::platform::testing
