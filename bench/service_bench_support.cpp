#include "service_bench_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "../tests/engine/private_network.h"

namespace corvane::bench {

namespace {

using Clock = std::chrono::steady_clock;

std::string ReadText(const std::string& path) {
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The value after `label` in a /proc status text, 0 when absent.
std::uint64_t StatusValue(const std::string& text, const char* label) {
    const std::size_t at = text.find(label);
    if (at == std::string::npos) return 0;
    return std::strtoull(text.c_str() + at + std::strlen(label), nullptr, 10);
}

}  // namespace

std::string PrepareMachine() {
    if (::geteuid() != 0) return "needs root: runs in a private network namespace, the service as its own user";
    if (std::string why = engine::testing::EnterPrivateNetwork(); !why.empty()) return why;
    return service::testing::EnsureServiceAccounts();
}

RunningService::~RunningService() { Stop(); }

std::string RunningService::Prepare(const std::string& definitions, Engine engine) {
    if (std::string why = service_.WriteDefinitions(definitions); !why.empty()) return why;
    if (std::string why = service_.SetSetting("Run", "1"); !why.empty()) return why;
    if (engine == Engine::kTimer) return service_.SetSetting("Engine", "timer");
    return {};
}

std::string RunningService::Start() {
    std::string why = service_.Start();
    started_ = why.empty();
    return why;
}

bool RunningService::WaitForEngine(const std::string& engine, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        // The last status is what holds now.
        const std::string status = LastStatus();
        if (status.rfind(engine + " ", 0) == 0) return true;
        if (Clock::now() >= deadline || !service_.Running()) return false;
        std::this_thread::sleep_for(5ms);
    }
}

std::string RunningService::LastStatus() {
    std::string last;
    for (const std::string& message : service_.Notifications()) {
        const std::size_t at = message.rfind("STATUS=");
        if (at == std::string::npos) continue;
        last = message.substr(at + 7);
        if (const std::size_t end = last.find('\n'); end != std::string::npos) last.resize(end);
    }
    return last;
}

void RunningService::Stop() {
    if (!started_) return;
    started_ = false;
    if (service_.Signal(SIGTERM) && service_.Wait(5s)) return;
    static_cast<void>(service_.Signal(SIGKILL));
    static_cast<void>(service_.Wait(5s));
}

double CpuSeconds(pid_t pid) {
    const std::string content = ReadText("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = content.rfind(')');
    if (close == std::string::npos || close + 2 >= content.size()) return 0;
    std::vector<std::string> fields;
    std::string field;
    for (char c : content.substr(close + 2)) {
        if (c == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    // utime and stime, the 14th and 15th fields of the line (12th and 13th after the name), cover every
    // thread of the process.
    if (fields.size() < 13) return 0;
    return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

SwitchCount ContextSwitches(pid_t pid) {
    SwitchCount count;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* folder = ::opendir(tasks.c_str());
    if (folder == nullptr) return count;
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        const std::string text = ReadText(tasks + "/" + entry->d_name + "/status");
        if (text.empty()) continue;  // ended meanwhile
        count.byThread.emplace_back(static_cast<pid_t>(std::atoi(entry->d_name)),
                                    StatusValue(text, "\nvoluntary_ctxt_switches:") +
                                        StatusValue(text, "\nnonvoluntary_ctxt_switches:"));
    }
    static_cast<void>(::closedir(folder));
    return count;
}

std::uint64_t SwitchesBetween(const SwitchCount& before, const SwitchCount& after) {
    std::uint64_t total = 0;
    for (const auto& [thread, now] : after.byThread) {
        const auto earlier = std::find_if(before.byThread.begin(), before.byThread.end(),
                                          [thread](const auto& entry) { return entry.first == thread; });
        const std::uint64_t then = earlier == before.byThread.end() ? 0 : earlier->second;
        total += now >= then ? now - then : 0;
    }
    return total;
}

double WakeUpsPerSecond(pid_t pid, std::chrono::milliseconds window, std::size_t* threads) {
    const SwitchCount before = ContextSwitches(pid);
    const auto start = Clock::now();
    std::this_thread::sleep_for(window);
    const SwitchCount after = ContextSwitches(pid);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (threads != nullptr) *threads = after.byThread.size();
    return static_cast<double>(SwitchesBetween(before, after)) / seconds;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double MsSince(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

UniqueFd ConnectOnce(const char* address, std::uint16_t port, int& error) {
    error = 0;
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        error = errno;
        return fd;
    }
    const sockaddr_in remote = engine::testing::V4(address, port);
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
        error = errno;
        return UniqueFd();
    }
    return fd;
}

bool WaitForAbort(int fd, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        // Nothing is ever sent on these connections: readable means ended.
        if (engine::testing::ConnectionError(fd) != 0) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd watch{fd, POLLIN, 0};
        if (::poll(&watch, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    }
}

void Drain(int listener) {
    while (true) {
        UniqueFd accepted(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!accepted.Valid()) return;
    }
}

}  // namespace corvane::bench
