#pragma once
// A program a tray test starts beside itself (a private bus, a stand-in tray host, the test binary
// itself for a group that needs a fresh process). Its standard output is readable line by line; it is
// ended with SIGTERM and waited for when the object goes.
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace corvane::platform::testing {

class ChildProcess {
public:
    enum class Output { Captured, Shared };

    // Starts argv[0] (looked up in PATH when it has no slash) with the process's environment changed by
    // `environment`. Its standard output comes to ReadLine, or goes where this process's goes. On failure
    // returns nothing and says why in `error`.
    static std::optional<ChildProcess> Start(const std::vector<std::string>& argv,
                                             const std::map<std::string, std::string>& environment, Output output,
                                             std::string& error);

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    pid_t Pid() const { return pid_; }

    // The next line of the child's standard output, without its newline; nothing when none came within
    // `timeout` or the child closed its output.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);

    // Waits for the child to end; its exit status, or 128 + the signal that ended it.
    int Wait();

private:
    ChildProcess(pid_t pid, int output) : pid_(pid), output_(output) {}
    void Release();

    pid_t pid_ = -1;
    int output_ = -1;
    std::string pending_;
};

}  // namespace corvane::platform::testing
