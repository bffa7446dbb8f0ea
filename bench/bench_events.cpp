// The event engine against the timer engine, each figure printed beside the timer engine's from
// the same run:
//
//   connect() to abort, median           goal <= 0.2 ms (timer engine: about 1.5 ms)
//   idle, 200 open connections           wake-ups a second <= 1, CPU <= 0.1% of a core
//   storm of unlisted connections        1,000 a second: CPU <= 1% of a core
//   1,000 listed connections at once     every one torn down and counted: count exactly 1,000
//
// Each engine runs on a thread of its own, as the program's window thread would run it: the event
// engine waits on its report descriptor, the timer engine ticks every millisecond. Wake-ups are
// that thread's context switches, CPU its own CPU time.
//
// The default run is short; longer figures: --idle_seconds=10 --storm_seconds=10 --latency_connections=500.
// Needs root (a private network namespace, BPF programs).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tests/engine/private_network.h"
#include "engine/m_firewall.h"

namespace {

using corvane::engine::EngineChoice;
using corvane::engine::EngineKind;
using corvane::engine::mFirewall;
using corvane::engine::ParseDefinitions;
using corvane::platform::linux_impl::UniqueFd;
namespace net = corvane::engine::testing;

double gIdleSeconds = 1.0;
double gStormSeconds = 1.0;
int gLatencyConnections = 50;
int gListedStorm = 1000;

// What each run measured, by name, for the lines printed at the end.
std::map<std::string, double> gFigures;

// Sleeps until one millisecond after `next` (on the monotonic clock) and moves `next` there: a loop
// that calls it runs once a millisecond without drifting.
void SleepToNextMillisecond(timespec& next) {
    next.tv_nsec += 1000000;
    if (next.tv_nsec >= 1000000000) {
        next.tv_nsec -= 1000000000;
        ++next.tv_sec;
    }
    ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
}

class ThreadHost final : public corvane::engine::ScanHost {
public:
    void Yield() override {}
    void ShowBlockedCaption(const std::string&) override {}
    bool WatchDescriptor(int fd, std::function<void()> onReadable) override {
        fd_ = fd;
        onReadable_ = std::move(onReadable);
        return true;
    }
    int fd_ = -1;
    std::function<void()> onReadable_;
};

// One engine on its own thread until Stop().
class EngineThread {
public:
    EngineThread(EngineKind wanted, const char* list) {
        firewall_ = mFirewall::CreateForSystem(
            host_, wanted == EngineKind::kTimer ? EngineChoice::kTimer : EngineChoice::kAuto);
        firewall_->SetNoticeSink([](const std::string&) {});
        firewall_->SetBlockLogSink([](const std::string&) {});
        firewall_->SetDefinitions(ParseDefinitions(list));
        ok_ = firewall_->Engine() == wanted;
        if (!ok_) return;
        firewall_->SetProtection(true);
        stop_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        thread_ = std::thread([this] { Run(); });
        while (tid_.load() == 0) std::this_thread::yield();
    }
    ~EngineThread() { Stop(); }
    bool ok() const { return ok_; }
    std::int32_t Count() const { return count_.load(); }
    void Stop() {
        if (!thread_.joinable()) return;
        const std::uint64_t one = 1;
        static_cast<void>(::write(stop_.Get(), &one, sizeof one));
        thread_.join();
    }
    // The engine thread's context switches and CPU seconds so far.
    std::uint64_t Switches() const {
        std::ifstream status("/proc/self/task/" + std::to_string(tid_.load()) + "/status");
        std::string line;
        std::uint64_t total = 0;
        while (std::getline(status, line)) {
            if (line.starts_with("voluntary_ctxt_switches:") || line.starts_with("nonvoluntary_ctxt_switches:"))
                total += std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
        }
        return total;
    }
    double CpuSeconds() {
        clockid_t clock{};
        timespec used{};
        if (pthread_getcpuclockid(thread_.native_handle(), &clock) != 0 || ::clock_gettime(clock, &used) != 0) return 0;
        return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
    }

private:
    void Run() {
        tid_ = static_cast<pid_t>(::syscall(SYS_gettid));
        if (firewall_->UsesTimer()) {
            timespec next{};
            ::clock_gettime(CLOCK_MONOTONIC, &next);
            for (;;) {
                pollfd stop{stop_.Get(), POLLIN, 0};
                if (::poll(&stop, 1, 0) > 0) break;
                firewall_->Tick();
                count_ = firewall_->BlockedCount();
                SleepToNextMillisecond(next);
            }
        } else {
            for (;;) {
                pollfd watched[2] = {{stop_.Get(), POLLIN, 0}, {host_.fd_, POLLIN, 0}};
                if (::poll(watched, 2, -1) < 0) continue;
                if (watched[0].revents != 0) break;
                if (watched[1].revents != 0) host_.onReadable_();
                count_ = firewall_->BlockedCount();
            }
        }
    }

    ThreadHost host_;
    std::unique_ptr<mFirewall> firewall_;
    bool ok_ = false;
    UniqueFd stop_;
    std::thread thread_;
    std::atomic<pid_t> tid_{0};
    std::atomic<std::int32_t> count_{0};
};

const char* kList = "V1\r\n127.0.0.9\r\n10.9.9.9\r\n";

EngineKind KindOf(const benchmark::State& state) {
    return state.range(0) == 0 ? EngineKind::kTimer : EngineKind::kEvents;
}
std::string NameOf(EngineKind kind) { return kind == EngineKind::kTimer ? "timer" : "events"; }

// ---- connect() to abort -----------------------------------------------------

void BM_ConnectToAbort(benchmark::State& state) {
    const EngineKind kind = KindOf(state);
    UniqueFd listener = net::Listen("127.0.0.9");
    const std::uint16_t port = net::LocalPort(listener.Get());
    EngineThread engine(kind, kList);
    if (!engine.ok()) {
        state.SkipWithError("engine not available");
        return;
    }
    std::vector<double> latencies;
    for (auto _ : state) {
        latencies.clear();
        for (int i = 0; i < gLatencyConnections; ++i) {
            const auto start = std::chrono::steady_clock::now();
            UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            const sockaddr_in remote = net::V4("127.0.0.9", port);
            if (::connect(client.Get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0) {
                char byte = 0;
                const ssize_t got = ::recv(client.Get(), &byte, 1, 0);  // waits for the abort
                if (got >= 0 || errno != ECONNABORTED) state.SkipWithError("the connection was not aborted");
            }
            latencies.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            UniqueFd accepted(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        }
        std::sort(latencies.begin(), latencies.end());
        const double median = latencies[latencies.size() / 2];
        state.SetIterationTime(median / 1000.0);
        state.counters["median_ms"] = median;
        state.counters["p90_ms"] = latencies[latencies.size() * 9 / 10];
        gFigures["latency_" + NameOf(kind)] = median;
    }
}

// ---- Idle -------------------------------------------------------------------

void BM_Idle(benchmark::State& state) {
    const EngineKind kind = KindOf(state);
    UniqueFd listener = net::Listen("127.0.0.3");
    std::vector<UniqueFd> open;
    for (int i = 0; i < 200; ++i) {
        open.push_back(net::Connect("127.0.0.3", net::LocalPort(listener.Get())));
        open.emplace_back(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    }
    EngineThread engine(kind, kList);
    if (!engine.ok()) {
        state.SkipWithError("engine not available");
        return;
    }
    for (auto _ : state) {
        const std::uint64_t switches = engine.Switches();
        const double cpu = engine.CpuSeconds();
        std::this_thread::sleep_for(std::chrono::duration<double>(gIdleSeconds));
        const double wakeups = static_cast<double>(engine.Switches() - switches) / gIdleSeconds;
        const double cpuPercent = (engine.CpuSeconds() - cpu) / gIdleSeconds * 100.0;
        state.SetIterationTime(gIdleSeconds);
        state.counters["wakeups_per_s"] = wakeups;
        state.counters["cpu_percent"] = cpuPercent;
        gFigures["idle_wakeups_" + NameOf(kind)] = wakeups;
        gFigures["idle_cpu_" + NameOf(kind)] = cpuPercent;
    }
}

// ---- Storms -----------------------------------------------------------------

void BM_UnlistedStorm(benchmark::State& state) {
    const EngineKind kind = KindOf(state);
    UniqueFd listener = net::Listen("127.0.0.4");
    const std::uint16_t port = net::LocalPort(listener.Get());
    EngineThread engine(kind, kList);
    if (!engine.ok()) {
        state.SkipWithError("engine not available");
        return;
    }
    for (auto _ : state) {
        const double cpu = engine.CpuSeconds();
        const int connections = static_cast<int>(gStormSeconds * 1000);
        timespec next{};
        ::clock_gettime(CLOCK_MONOTONIC, &next);
        for (int i = 0; i < connections; ++i) {
            UniqueFd client = net::Connect("127.0.0.4", port);
            UniqueFd server(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            net::CloseWithReset(client);
            net::CloseWithReset(server);
            SleepToNextMillisecond(next);
        }
        const double cpuPercent = (engine.CpuSeconds() - cpu) / gStormSeconds * 100.0;
        state.SetIterationTime(gStormSeconds);
        state.counters["cpu_percent"] = cpuPercent;
        gFigures["storm_cpu_" + NameOf(kind)] = cpuPercent;
        if (engine.Count() != 0) state.SkipWithError("an unlisted connection was blocked");
    }
}

void BM_ListedStorm(benchmark::State& state) {
    const EngineKind kind = KindOf(state);
    UniqueFd listener = net::Listen("127.0.0.9");
    const std::uint16_t port = net::LocalPort(listener.Get());
    EngineThread engine(kind, kList);
    if (!engine.ok()) {
        state.SkipWithError("engine not available");
        return;
    }
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        std::vector<UniqueFd> clients;
        std::vector<UniqueFd> servers;  // kept open: a server end closing would end its client first
        int abortedInConnect = 0;
        for (int i = 0; i < gListedStorm; ++i) {
            UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            const sockaddr_in remote = net::V4("127.0.0.9", port);
            if (::connect(client.Get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
                if (errno == ECONNABORTED) ++abortedInConnect;  // torn down during its handshake
            } else {
                clients.push_back(std::move(client));
            }
            servers.emplace_back(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (engine.Count() < gListedStorm && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        int aborted = abortedInConnect;
        for (const UniqueFd& client : clients) {
            if (net::ConnectionError(client.Get()) == ECONNABORTED) ++aborted;
        }
        // The count settles only once the engine has seen every report.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        state.counters["counted"] = engine.Count();
        state.counters["aborted"] = aborted;
        gFigures["listed_counted_" + NameOf(kind)] = engine.Count();
        gFigures["listed_aborted_" + NameOf(kind)] = aborted;
    }
}

// ---- Set-up and the summary -------------------------------------------------

std::string PrepareNetwork() {
    if (std::string why = net::EnterPrivateNetwork(); !why.empty()) return why;
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return std::string("getrlimit: ") + std::strerror(errno);
    files.rlim_cur = files.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &files) != 0) return std::string("RLIMIT_NOFILE: ") + std::strerror(errno);
    return {};
}

// Takes this program's own --name=value flags out of argv.
void TakeFlags(int& argc, char** argv) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto value = [&](const char* name) -> const char* {
            const std::string prefix = std::string("--") + name + "=";
            return argument.starts_with(prefix) ? argv[i] + prefix.size() : nullptr;
        };
        if (const char* v = value("idle_seconds")) {
            gIdleSeconds = std::max(0.1, std::atof(v));
        } else if (const char* v2 = value("storm_seconds")) {
            gStormSeconds = std::max(0.1, std::atof(v2));
        } else if (const char* v3 = value("latency_connections")) {
            gLatencyConnections = std::max(1, std::atoi(v3));
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
}

// "RATIO what  events/timer  (events figure, timer figure, goal on the event engine's figure)".
void Print(const char* what, const std::string& events, const std::string& timer, const char* unit, double goal) {
    const auto e = gFigures.find(events);
    const auto t = gFigures.find(timer);
    if (e == gFigures.end() || t == gFigures.end()) {
        std::printf("RATIO %-44s n/a (not measured)\n", what);
        return;
    }
    const double ratio = t->second > 0 ? e->second / t->second : 0;
    std::printf("RATIO %-44s %8.3f  (events %.3f %s, timer %.3f %s; goal events <= %.3g %s: %s)\n", what, ratio,
                e->second, unit, t->second, unit, goal, unit, e->second <= goal ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
    TakeFlags(argc, argv);
    std::string why = "not root";
    if (::geteuid() == 0) why = PrepareNetwork();
    if (!why.empty()) {
        std::printf("note: no private network namespace (%s); nothing to measure\n", why.c_str());
        return 0;
    }
    for (const long engine : {0L, 1L}) {
        benchmark::RegisterBenchmark("BM_ConnectToAbort", BM_ConnectToAbort)
            ->Arg(engine)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_Idle", BM_Idle)->Arg(engine)->Iterations(1)->UseManualTime();
        benchmark::RegisterBenchmark("BM_UnlistedStorm", BM_UnlistedStorm)->Arg(engine)->Iterations(1)->UseManualTime();
        benchmark::RegisterBenchmark("BM_ListedStorm", BM_ListedStorm)
            ->Arg(engine)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::ConsoleReporter reporter(::isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                                                : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\n(arg 0: timer engine, 1: event engine; idle %.1f s, storm %.1f s, %d connections for latency)\n",
                gIdleSeconds, gStormSeconds, gLatencyConnections);
    Print("connect to abort, median, events / timer", "latency_events", "latency_timer", "ms", 0.2);
    Print("idle wake-ups a second (200 conns), events / timer", "idle_wakeups_events", "idle_wakeups_timer", "/s", 1.0);
    Print("idle CPU (200 conns), events / timer", "idle_cpu_events", "idle_cpu_timer", "%", 0.1);
    Print("unlisted storm 1,000/s CPU, events / timer", "storm_cpu_events", "storm_cpu_timer", "%", 1.0);
    const auto counted = gFigures.find("listed_counted_events");
    if (counted != gFigures.end()) {
        std::printf(
            "RATIO %-44s %8.3f  (events counted %.0f, aborted %.0f of %d, goal exactly %d: %s; timer counted "
            "%.0f)\n",
            "listed storm, counted / opened", counted->second / gListedStorm, counted->second,
            gFigures["listed_aborted_events"], gListedStorm, gListedStorm,
            counted->second == gListedStorm && gFigures["listed_aborted_events"] == gListedStorm ? "met" : "MISSED",
            gFigures["listed_counted_timer"]);
    }
    benchmark::Shutdown();
    return 0;
}
