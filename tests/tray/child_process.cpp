#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
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

// The program file argv[0] names: itself when it has a slash, else the first match along PATH.
std::string ProgramPath(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t begin = 0;
    while (begin <= folders.size()) {
        const auto end = std::min(folders.find(':', begin), folders.size());
        const std::string candidate = folders.substr(begin, end - begin) + "/" + name;
        if (end > begin && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        begin = end + 1;
    }
    return {};
}

}  // namespace

std::optional<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv,
                                                const std::map<std::string, std::string>& environment, Output output,
                                                std::string& error) {
    const std::string program = ProgramPath(argv.front());
    if (program.empty()) {
        error = "cannot start " + argv.front() + ": not found in PATH";
        return std::nullopt;
    }
    int outputEnds[2] = {-1, -1};
    int execEnds[2] = {-1, -1};  // the child reports a failed exec here; a successful one closes it
    if ((output == Output::Captured && ::pipe2(outputEnds, O_CLOEXEC) != 0) || ::pipe2(execEnds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        for (int fd : {outputEnds[0], outputEnds[1]})
            if (fd >= 0) static_cast<void>(::close(fd));
        return std::nullopt;
    }
    auto arguments = argv;
    auto environmentTexts = MergedEnvironment(environment);
    auto argumentPointers = Pointers(arguments);
    auto environmentPointers = Pointers(environmentTexts);
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here to the exec. The child ends with the test, even when the
        // test dies without cleaning up, so no bus, display or host outlives it.
        if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent) ::_exit(127);
        if (outputEnds[1] >= 0 && ::dup2(outputEnds[1], STDOUT_FILENO) < 0) ::_exit(127);
        ::execve(program.c_str(), argumentPointers.data(), environmentPointers.data());
        const int failure = errno;
        static_cast<void>(!::write(execEnds[1], &failure, sizeof failure));
        ::_exit(127);
    }
    const int forkFailure = errno;
    static_cast<void>(::close(execEnds[1]));
    if (outputEnds[1] >= 0) static_cast<void>(::close(outputEnds[1]));
    int execFailure = 0;
    if (pid > 0) {
        ssize_t got;
        do {
            got = ::read(execEnds[0], &execFailure, sizeof execFailure);
        } while (got < 0 && errno == EINTR);
        if (got != static_cast<ssize_t>(sizeof execFailure)) execFailure = 0;
    }
    static_cast<void>(::close(execEnds[0]));
    if (pid < 0 || execFailure != 0) {
        if (outputEnds[0] >= 0) static_cast<void>(::close(outputEnds[0]));
        error = "cannot start " + argv.front() + ": " + std::strerror(pid < 0 ? forkFailure : execFailure);
        if (pid > 0) ChildProcess(pid, -1).Wait();
        return std::nullopt;
    }
    return ChildProcess(pid, outputEnds[0]);
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
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
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
