#pragma once
// What the benchmarks of corvaned share: the service started as its unit starts it on a private bus
// (tests/service/service_harness.h), and the figures read about a running process from /proc.
//
// The benchmark process enters a private network namespace before anything here starts: the bus, the
// service and every connection made are then in it, and the service sees only the benchmark's own.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../tests/service/service_harness.h"
#include "platform/unique_fd.h"

namespace corvane::bench {

using namespace std::chrono_literals;
using service::testing::PrivateSystemBus;
using service::testing::ServiceUnderTest;
using platform::UniqueFd;

// Root, a private network namespace with loopback up, and the service's accounts. Call before any
// thread exists (the namespace is the calling thread's). Empty on success, else why not.
std::string PrepareMachine();

enum class Engine { kAuto, kTimer };

// corvaned with `definitions` in its state folder, protection on ("Run" 1), the engine chosen by
// `engine`. After Start the event engine may still be loading; WaitForEngine waits for it.
class RunningService {
public:
    explicit RunningService(const PrivateSystemBus& bus) : service_(bus) {}
    ~RunningService();
    RunningService(const RunningService&) = delete;
    RunningService& operator=(const RunningService&) = delete;

    // Writes the definitions and settings. Empty on success, else why not.
    std::string Prepare(const std::string& definitions, Engine engine);
    // Starts it and waits for READY=1. Empty on success, else why not.
    std::string Start();
    // Waits until the service says (STATUS=…) that `engine` protects: "event engine" or "timer engine".
    // False at the deadline; LastStatus() then says what runs instead and why.
    bool WaitForEngine(const std::string& engine, std::chrono::milliseconds limit = 15s);
    std::string LastStatus();
    // Ends it as systemd would (SIGTERM), killed after a few seconds.
    void Stop();

    ServiceUnderTest& Service() { return service_; }
    pid_t Pid() const { return service_.Pid(); }

private:
    ServiceUnderTest service_;
    bool started_ = false;
};

// CPU time (user + system) of a whole process, all its threads, in seconds.
double CpuSeconds(pid_t pid);

// Context switches (voluntary and not) of every thread of a process, by thread.
struct SwitchCount {
    std::vector<std::pair<pid_t, std::uint64_t>> byThread;
};
SwitchCount ContextSwitches(pid_t pid);
// The switches between two readings: threads seen in both count their difference, threads that came
// up in between count all of theirs.
std::uint64_t SwitchesBetween(const SwitchCount& before, const SwitchCount& after);

// Wake-ups a second of `pid` over `window`: its threads' context switches. `threads` gets how many
// threads it had at the end.
double WakeUpsPerSecond(pid_t pid, std::chrono::milliseconds window, std::size_t* threads = nullptr);

double Median(std::vector<double> values);
double MsSince(std::chrono::steady_clock::time_point start);

// A connection from this process to `address`:`port`, made with a blocking connect(). Invalid when
// connect() failed (`error` then says why; ECONNABORTED: torn down while it was being made).
UniqueFd ConnectOnce(const char* address, std::uint16_t port, int& error);
// Waits until the connection on `fd` is aborted or `limit` passes; true when it was aborted.
bool WaitForAbort(int fd, std::chrono::milliseconds limit);
// Accepts and drops whatever is pending on a non-blocking listener, so its queue never fills.
void Drain(int listener);

}  // namespace corvane::bench
