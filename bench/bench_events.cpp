// The event engine against the timer engine, each figure printed beside the timer engine's from
// the same run:
//
//   connect() to abort, median           goal <= 0.2 ms (timer engine: about 1.5 ms)
//   idle, 200 open connections           wake-ups a second <= 1, CPU <= 0.1% of a core
//   storm of unlisted connections        1,000 a second: CPU <= 1% of a core
//   1,000 listed connections at once     every one torn down and counted: count exactly 1,000
//   connect() to abort, median, with address lists of 1,000,000 prefixes against 10 (the event
//   engine both times, the listed address covered by a prefix)   goal <= 1.2x; and the kernel's
//   bytes a watched prefix
//
// Each engine runs on a thread of its own, as the program's window thread would run it: the event
// engine waits on its report descriptor, the timer engine ticks every millisecond. Wake-ups are
// that thread's context switches, CPU its own CPU time.
//
// The default run is short; longer figures: --idle_seconds=10 --storm_seconds=10 --latency_connections=500
// --prefix_rounds=40.
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
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../tests/engine/private_network.h"
#include "engine/m_firewall.h"
#include "random_prefixes.h"

namespace {

using corvane::engine::EngineChoice;
using corvane::engine::EngineKind;
using corvane::engine::mFirewall;
using corvane::engine::ParseDefinitions;
using corvane::platform::UniqueFd;
namespace net = corvane::engine::testing;

double gIdleSeconds = 1.0;
double gStormSeconds = 1.0;
int gLatencyConnections = 50;
int gListedStorm = 1000;
int gPrefixRounds = 10;       // rounds of each engine, in turn
int gPrefixConnections = 25;  // connects a round

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
    void CountChanged(std::int32_t) override {}
    bool WatchDescriptor(int fd, std::function<void()> onReadable) override {
        fd_ = fd;
        onReadable_ = std::move(onReadable);
        return true;
    }
    int fd_ = -1;
    std::function<void()> onReadable_;
};

// One engine on its own thread until Stop(); protection on from the start.
class EngineThread {
public:
    // lists: the administrator's address lists beside qd.def; events: makes the event engine's
    // kernel side (the system's own when empty).
    EngineThread(EngineKind wanted, const char* list, corvane::engine::AddressLists lists = {},
                 mFirewall::EventsFactory events = {}) {
        firewall_ = mFirewall::CreateForSystem(
            host_, wanted == EngineKind::kTimer ? EngineChoice::kTimer : EngineChoice::kAuto, std::move(events));
        firewall_->SetNoticeSink([](const std::string&) {});
        firewall_->SetBlockLogSink([](const std::string&) {});
        firewall_->SetDefinitions(ParseDefinitions(list));
        if (!lists.sources.empty()) firewall_->SetAddressLists(std::move(lists));
        ok_ = firewall_->Engine() == wanted;
        if (!ok_) return;
        firewall_->SetProtection(true);
        stop_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        call_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        thread_ = std::thread([this] { Run(); });
        while (tid_.load() == 0) std::this_thread::yield();
    }
    // Runs work on the engine's thread, between two of its ticks or drains, and waits for it.
    void Call(const std::function<void(mFirewall&)>& work) {
        std::unique_lock<std::mutex> lock(callMutex_);
        work_ = [&] { work(*firewall_); };
        const std::uint64_t one = 1;
        static_cast<void>(!::write(call_.Get(), &one, sizeof one));
        called_.wait(lock, [this] { return !work_; });
    }
    ~EngineThread() { Stop(); }
    bool ok() const { return ok_; }
    // Keeps the engine's thread to the given CPUs; false when refused.
    bool PinTo(const cpu_set_t& cpus) {
        return ::pthread_setaffinity_np(thread_.native_handle(), sizeof cpus, &cpus) == 0;
    }
    std::int32_t Count() const { return count_.load(); }
    void Stop() {
        if (!thread_.joinable()) return;
        const std::uint64_t one = 1;
        static_cast<void>(!::write(stop_.Get(), &one, sizeof one));
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
    // Runs the work Call() left, if any, and tells Call() it is done.
    void Serve() {
        std::uint64_t calls = 0;
        if (::read(call_.Get(), &calls, sizeof calls) != sizeof calls) return;
        const std::lock_guard<std::mutex> lock(callMutex_);
        if (!work_) return;
        work_();
        work_ = nullptr;
        called_.notify_all();
    }

    void Run() {
        tid_ = static_cast<pid_t>(::syscall(SYS_gettid));
        if (firewall_->UsesTimer()) {
            timespec next{};
            ::clock_gettime(CLOCK_MONOTONIC, &next);
            for (;;) {
                pollfd waiting[2] = {{stop_.Get(), POLLIN, 0}, {call_.Get(), POLLIN, 0}};
                if (::poll(waiting, 2, 0) > 0) {
                    if (waiting[0].revents != 0) break;
                    if (waiting[1].revents != 0) Serve();
                }
                firewall_->Tick();
                count_ = firewall_->BlockedCount();
                SleepToNextMillisecond(next);
            }
        } else {
            for (;;) {
                pollfd watched[3] = {{stop_.Get(), POLLIN, 0}, {host_.fd_, POLLIN, 0}, {call_.Get(), POLLIN, 0}};
                if (::poll(watched, 3, -1) < 0) continue;
                if (watched[0].revents != 0) break;
                if (watched[1].revents != 0) host_.onReadable_();
                if (watched[2].revents != 0) Serve();
                count_ = firewall_->BlockedCount();
            }
        }
    }

    ThreadHost host_;
    std::unique_ptr<mFirewall> firewall_;
    bool ok_ = false;
    UniqueFd stop_;
    UniqueFd call_;
    std::mutex callMutex_;
    std::condition_variable called_;
    std::function<void()> work_;  // set by Call() until the engine's thread has run it
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

// One connect to a listed address on port, timed from the socket's making until the engine's
// abort reaches recv(); the server end is taken off the listener's queue after. Milliseconds;
// aborted says whether the connection was aborted (else it stayed open until recv() returned).
double ConnectToAbortMs(int listener, const char* address, std::uint16_t port, bool& aborted) {
    const auto start = std::chrono::steady_clock::now();
    UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in remote = net::V4(address, port);
    aborted = true;  // a connect refused in its handshake counts as aborted
    // A connection left open must not hold the benchmark up for good.
    const timeval patience{5, 0};
    static_cast<void>(::setsockopt(client.Get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience));
    if (::connect(client.Get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0) {
        char byte = 0;
        const ssize_t got = ::recv(client.Get(), &byte, 1, 0);  // waits for the abort
        aborted = got < 0 && errno == ECONNABORTED;
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    UniqueFd accepted(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    return ms;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

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
            bool aborted = false;
            latencies.push_back(ConnectToAbortMs(listener.Get(), "127.0.0.9", port, aborted));
            if (!aborted) state.SkipWithError("the connection was not aborted");
        }
        std::sort(latencies.begin(), latencies.end());
        const double median = latencies[latencies.size() / 2];
        state.SetIterationTime(median / 1000.0);
        state.counters["median_ms"] = median;
        state.counters["p90_ms"] = latencies[latencies.size() * 9 / 10];
        gFigures["latency_" + NameOf(kind)] = median;
    }
}

// ---- connect() to abort by the size of the address lists ---------------------

// The kernel's slab memory in bytes ("Slab:" of /proc/meminfo), 0 when unknown.
double SlabBytes() {
    std::ifstream meminfo("/proc/meminfo");
    std::string line;
    while (std::getline(meminfo, line)) {
        if (line.starts_with("Slab:")) return std::strtod(line.c_str() + 5, nullptr) * 1024.0;
    }
    return 0;
}

// What the kernel side of one engine holds: its service (kept by the engine) and how many
// prefixes it was given.
struct KernelSide {
    corvane::platform::ConnectionEventService* service = nullptr;
};

// The event engine with 10 prefixes and with 1,000,000 in its lists, 127.0.0.8/29 among them (qd.def
// names no loopback address: the lists alone cover 127.0.0.9; the connecting end, 127.0.0.1, is not
// covered, so only the client end is torn down, as in BM_ConnectToAbort), the others random, of
// both families, away from loopback. Both engines are loaded at once; one protects at a time, in
// turn (few, many, many, few, ...), so the machine's swings fall on both alike. The kernel's memory
// for each engine's prefix maps is read from the engine's own kernel side.
void BM_ConnectToAbortByPrefixCount(benchmark::State& state) {
    using corvane::bench::Avoided;
    using corvane::engine::Ipv6Number;
    const char* kNoLoopback = "V1\r\n10.9.9.9\r\n";
    corvane::bench::RandomPrefixes random(20261207);
    Avoided<std::uint32_t> avoid4;
    avoid4.Add(0x7f000000U, 0x7fffffffU);
    avoid4.Sort();
    Avoided<Ipv6Number> avoid6;
    avoid6.Add(0, 0xffffffffffffULL);  // ::, ::1 and ::ffff:0:0/96 (IPv4 talked to by IPv6 sockets)
    avoid6.Sort();
    auto listsOf = [&](std::size_t count4, std::size_t count6, const char* path) {
        corvane::engine::AddressLists lists;
        lists.v4.push_back(corvane::engine::Prefix4{0x7f000008U, 29, 0});
        random.Fill(lists, count4 - 1, count6, avoid4, avoid6);
        corvane::bench::NameList(lists, path);
        return lists;
    };
    auto factoryFor = [](const std::shared_ptr<KernelSide>& side) {
        return [side](std::size_t capacity) {
            corvane::platform::ConnectionEventsLoad load = corvane::platform::CreateSystemConnectionEvents(capacity);
            side->service = load.service.get();
            return load;
        };
    };
    UniqueFd listener = net::Listen("127.0.0.9");
    const std::uint16_t port = net::LocalPort(listener.Get());
    const auto fewSide = std::make_shared<KernelSide>();
    const auto manySide = std::make_shared<KernelSide>();
    EngineThread few(EngineKind::kEvents, kNoLoopback, listsOf(8, 2, "/etc/corvane/lists.d/few.list"),
                     factoryFor(fewSide));
    corvane::engine::AddressLists manyLists = listsOf(800000, 200000, "/etc/corvane/lists.d/many.list");
    const double slabBefore = SlabBytes();
    const auto loadStart = std::chrono::steady_clock::now();
    EngineThread many(EngineKind::kEvents, kNoLoopback, std::move(manyLists), factoryFor(manySide));
    const double loadSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - loadStart).count();
    // The maps' own count leaves out the trie's inner nodes and the allocator's rounding; the slab's
    // growth meanwhile shows them (and whatever else the machine did then).
    gFigures["prefix_slab_growth"] = SlabBytes() - slabBefore;
    if (!few.ok() || !many.ok()) {
        state.SkipWithError("event engine not available");
        return;
    }
    // Each engine's watched entries (both families) and the kernel's bytes for their maps.
    auto measure = [](EngineThread& engine, const std::shared_ptr<KernelSide>& side, const char* name) {
        engine.Call([&](mFirewall& firewall) {
            const corvane::engine::WatchedPrefixes watched =
                corvane::engine::WatchedFor(firewall.BlockList(), firewall.Lists());
            gFigures[std::string("prefix_entries_") + name] = static_cast<double>(watched.v4.size() + watched.v6.size());
            gFigures[std::string("prefix_memory_") + name] =
                side->service != nullptr ? static_cast<double>(side->service->WatchedMemory()) : 0;
        });
    };
    measure(few, fewSide, "few");
    measure(many, manySide, "many");

    // Where the scheduler happens to keep each engine's thread (beside the connecting thread, or on a
    // CPU of its own that has to be woken) weighs more than the lists do: both engines' threads are
    // kept to one CPU, and this thread to another, for the rounds.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::pthread_getaffinity_np(::pthread_self(), sizeof allowed, &allowed) != 0) {
        state.SkipWithError("pthread_getaffinity_np failed");
        return;
    }
    cpu_set_t connecting;
    cpu_set_t engineCpu;
    CPU_ZERO(&connecting);
    CPU_ZERO(&engineCpu);
    for (int cpu = 0, taken = 0; cpu < CPU_SETSIZE && taken < 2; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed)) continue;
        CPU_SET(cpu, taken == 0 ? &engineCpu : &connecting);
        ++taken;
    }
    if (CPU_COUNT(&connecting) == 0) connecting = engineCpu;  // one CPU: all on it
    if (!few.PinTo(engineCpu) || !many.PinTo(engineCpu) ||
        ::pthread_setaffinity_np(::pthread_self(), sizeof connecting, &connecting) != 0) {
        state.SkipWithError("the threads could not be kept to their CPUs");
        static_cast<void>(::pthread_setaffinity_np(::pthread_self(), sizeof allowed, &allowed));
        return;
    }
    for (auto _ : state) {
        std::vector<double> latencies[2];
        EngineThread* engines[2] = {&few, &many};
        bool missed = false;
        for (int round = 0; round < 2 * gPrefixRounds; ++round) {
            // few, many, many, few, few, many, ...
            const int protecting = (round % 4 == 0 || round % 4 == 3) ? 0 : 1;
            engines[1 - protecting]->Call([](mFirewall& firewall) { firewall.SetProtection(false); });
            engines[protecting]->Call([](mFirewall& firewall) { firewall.SetProtection(true); });
            for (int i = 0; i < gPrefixConnections; ++i) {
                bool aborted = false;
                latencies[protecting].push_back(ConnectToAbortMs(listener.Get(), "127.0.0.9", port, aborted));
                if (!aborted) missed = true;
            }
        }
        if (missed) state.SkipWithError("a connection was not aborted");
        const double fewMedian = Median(latencies[0]);
        const double manyMedian = Median(latencies[1]);
        state.SetIterationTime(manyMedian / 1000.0);
        state.counters["few_median_ms"] = fewMedian;
        state.counters["many_median_ms"] = manyMedian;
        state.counters["load_s"] = loadSeconds;
        gFigures["prefix_latency_few"] = fewMedian;
        gFigures["prefix_latency_many"] = manyMedian;
        gFigures["prefix_load_seconds"] = loadSeconds;
    }
    static_cast<void>(::pthread_setaffinity_np(::pthread_self(), sizeof allowed, &allowed));
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
        } else if (const char* v4 = value("prefix_rounds")) {
            gPrefixRounds = std::max(1, std::atoi(v4));
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

// The event engine's latency with many prefixes against few, and the kernel's bytes a prefix.
void PrintPrefixFigures() {
    const auto many = gFigures.find("prefix_latency_many");
    const auto few = gFigures.find("prefix_latency_few");
    const double manyEntries = gFigures["prefix_entries_many"];
    const double fewEntries = gFigures["prefix_entries_few"];
    const std::string what = "connect to abort median, " + std::to_string(static_cast<long long>(manyEntries)) +
                             " vs " + std::to_string(static_cast<long long>(fewEntries)) + " prefixes";
    if (many == gFigures.end() || few == gFigures.end() || few->second <= 0) {
        std::printf("RATIO %-44s n/a (not measured)\n", what.c_str());
        return;
    }
    const double ratio = many->second / few->second;
    std::printf("RATIO %-44s %8.3f  (many %.3f ms, few %.3f ms, %d connects each; goal <= 1.2: %s)\n",
                what.c_str(), ratio, many->second, few->second, gPrefixRounds * gPrefixConnections,
                ratio <= 1.2 ? "met" : "MISSED");
    for (const char* name : {"many", "few"}) {
        const double entries = gFigures[std::string("prefix_entries_") + name];
        const double bytes = gFigures[std::string("prefix_memory_") + name];
        if (bytes > 0 && entries > 0)
            std::printf("MEMORY kernel prefix maps, %.0f entries: %.0f bytes, %.1f bytes an entry\n", entries, bytes,
                        bytes / entries);
        else
            std::printf("MEMORY kernel prefix maps, %.0f entries: not known\n", entries);
    }
    const double slab = gFigures["prefix_slab_growth"];
    std::printf("MEMORY kernel slab grew by %.0f bytes while the %.0f entries were loaded, %.1f bytes an entry\n", slab,
                manyEntries, manyEntries > 0 ? slab / manyEntries : 0);
    std::printf("LOAD event engine with %.0f prefixes made in %.2f s\n", manyEntries,
                gFigures["prefix_load_seconds"]);
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
    benchmark::RegisterBenchmark("BM_ConnectToAbortByPrefixCount", BM_ConnectToAbortByPrefixCount)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
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
    PrintPrefixFigures();
    benchmark::Shutdown();
    return 0;
}
