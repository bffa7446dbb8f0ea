// Costs of the engine's tick, each against its reference, with the ratios
// printed at the end of the run.
//
//   idle tick            vs one read of /proc/net/snmp     goal <= 1.5, 0 heap allocations
//   tick after an open   vs one bare IPv4+IPv6 dump        goal <= 1.3 at 100, 1,000, 10,000 connections
//                        (and vs the bare one-walk dump the tick itself uses)
//   100,000 listed       vs 10 listed                      goal <= 1.2
//   1,000,000 prefixes   vs 10 prefixes in the address lists (the scan alone)  goal <= 1.2
//   an isolated open     (its tick and the second read at the tick after it) vs the tick after an open
//                        alone: what closing the gap between counters and table costs
//   tick that blocks one vs `ss -K dst ADDR`; tick after an open vs a parse of /proc/net/tcp
//
// A measurement and its reference that can run side by side (the idle tick and the counters read, the
// long and the short list) are measured turn about in one loop, so the machine's swings between two
// separate runs do not show up in the ratio.
//
// As root the benchmark moves itself into a private network namespace (loopback
// up) and builds the connections there; otherwise only the parts that need no
// connections of their own run.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "../tests/engine/private_network.h"
#include "engine/m_firewall.h"
#include "random_prefixes.h"
#include "platform/linux/proc_net_snmp_counters.h"
#include "platform/linux/sock_diag_tcp_table.h"
#include "platform/unique_fd.h"

// ---- Heap allocation counter ------------------------------------------------

namespace {
std::atomic<unsigned long long> gAllocations{0};
}

// The replacements pair malloc with free themselves; GCC, seeing an inlined `new` matched with the
// `free` inside the replaced `delete`, reports a mismatch that is not there.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

using corvane::engine::mFirewall;
using corvane::engine::ParseDefinitions;
using corvane::platform::UniqueFd;

bool gPrivateNetwork = false;
unsigned long long gIdleAllocations = 0;
unsigned long long gIdleTicks = 0;
double gIdleTickUs = 0;      // mean of one idle tick
double gCountersReadUs = 0;  // mean of one read of the counters, measured beside it

// ---- Helpers ----------------------------------------------------------------

class NullHost final : public corvane::engine::ScanHost {
public:
    void Yield() override {}
    void CountChanged(std::int32_t) override {}
};

std::string ListOf(std::size_t entries, const char* extra = nullptr) {
    std::string file = "V100\r\n";
    if (extra != nullptr) file += std::string(extra) + "\r\n";
    for (std::size_t i = 0; i < entries; ++i)
        file += "11." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." +
                std::to_string(i & 255) + "\r\n";
    return file;
}

using corvane::engine::testing::CloseWithReset;
using corvane::engine::testing::V4;

struct Connection {
    UniqueFd client;
    UniqueFd server;
    void Close() {
        CloseWithReset(client);
        CloseWithReset(server);
    }
};

class Listener {
public:
    explicit Listener(const char* address) : address_(address) {
        fd_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in local = V4(address, 0);
        socklen_t length = sizeof local;
        if (::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            ::listen(fd_.Get(), 65535) != 0 ||
            ::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
            std::perror("listener");
            std::exit(1);
        }
        port_ = ntohs(local.sin_port);
    }
    // accept: take the server end out of the queue too (else it stays queued,
    // a row without a descriptor, which is how the pool holds many connections).
    Connection Open(bool accept = true) const {
        Connection connection;
        connection.client = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in remote = V4(address_, port_);
        if (::connect(connection.client.Get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
            std::perror("connect");
            std::exit(1);
        }
        if (accept) connection.server = UniqueFd(::accept4(fd_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        return connection;
    }

private:
    const char* address_;
    UniqueFd fd_;
    std::uint16_t port_ = 0;
};

// The idle connections the table holds during a benchmark (two rows each: the
// client and its queued server end), and a second listener for the connections
// opened and closed around each measured tick.
class Pool {
public:
    void Resize(std::size_t connections) {
        if (!idle_) idle_ = std::make_unique<Listener>("127.0.0.3");
        while (connections_.size() > connections) {
            connections_.back().Close();
            connections_.pop_back();
        }
        while (connections_.size() < connections) connections_.push_back(idle_->Open(false));
    }
    const Listener& listener() {
        if (!churn_) churn_ = std::make_unique<Listener>("127.0.0.4");
        return *churn_;
    }

private:
    std::unique_ptr<Listener> idle_;
    std::unique_ptr<Listener> churn_;
    std::vector<Connection> connections_;
};

Pool& ThePool() {
    static Pool pool;
    return pool;
}

const Listener& BlockedListener() {
    static Listener listener("127.0.0.9");
    return listener;
}

std::unique_ptr<mFirewall> MakeFirewall(NullHost& host, std::size_t listed, const char* extra = nullptr) {
    std::unique_ptr<mFirewall> firewall = mFirewall::CreateForSystem(host);
    firewall->SetDefinitions(ParseDefinitions(ListOf(listed, extra)));
    firewall->Tick();  // the first tick reads and scans whatever is there
    return firewall;
}

// ---- Idle tick --------------------------------------------------------------

// Mean times of two measurements taken turn about, in microseconds.
struct TurnAboutTimes {
    double firstUs = 0;
    double secondUs = 0;
    std::size_t samples = 0;  // of each
};

// Times `first` and `second` turn about, twice in every iteration: first then second, and second then
// first, so whatever slows the machine during the run slows both alike, and neither always goes first
// (even in a run of one iteration). `around` runs each pair: around(pair) must call pair() once (to
// open a connection before it and close it after, say).
template <typename First, typename Second, typename Around>
TurnAboutTimes TurnAbout(benchmark::State& state, First first, Second second, Around around) {
    using Clock = std::chrono::steady_clock;
    Clock::duration firstTime{};
    Clock::duration secondTime{};
    auto timed = [](auto& measured, Clock::duration& total) {
        const Clock::time_point start = Clock::now();
        measured();
        total += Clock::now() - start;
    };
    TurnAboutTimes times;
    for (auto _ : state) {
        around([&] {
            timed(first, firstTime);
            timed(second, secondTime);
        });
        around([&] {
            timed(second, secondTime);
            timed(first, firstTime);
        });
        times.samples += 2;
    }
    if (times.samples > 0) {
        const auto n = static_cast<double>(times.samples);
        times.firstUs = std::chrono::duration<double, std::micro>(firstTime).count() / n;
        times.secondUs = std::chrono::duration<double, std::micro>(secondTime).count() / n;
    }
    return times;
}

template <typename First, typename Second>
TurnAboutTimes TurnAbout(benchmark::State& state, First first, Second second) {
    return TurnAbout(state, first, second, [](auto pair) { pair(); });
}

// The idle tick beside its reference, one read of the counters.
void BM_IdleTickBesideCountersRead(benchmark::State& state) {
    if (gPrivateNetwork) ThePool().Resize(200);
    NullHost host;
    std::unique_ptr<mFirewall> firewall = MakeFirewall(host, 10);
    // The first tick's table read is followed by one more at the next tick; only then are ticks idle.
    // Left in the loop, that one read of the table was a third of a short run's mean.
    firewall->Tick();
    corvane::platform::linux_impl::ProcNetSnmpCounters counters;
    std::size_t bytes = 0;
    unsigned long long allocations = 0;
    const TurnAboutTimes times = TurnAbout(
        state,
        [&] {
            const unsigned long long before = gAllocations.load();
            firewall->Tick();
            allocations += gAllocations.load() - before;
        },
        [&] {
            if (counters.ReadRaw(bytes) != 0) state.SkipWithError("pread /proc/net/snmp failed");
            benchmark::DoNotOptimize(bytes);
        });
    gIdleAllocations = allocations;
    gIdleTicks = times.samples;
    gIdleTickUs = times.firstUs;
    gCountersReadUs = times.secondUs;
    state.counters["tick_us"] = gIdleTickUs;
    state.counters["read_us"] = gCountersReadUs;
    state.counters["heap_allocs"] = static_cast<double>(gIdleAllocations);
}

// ---- Tick after an open vs one bare dump ------------------------------------

void BM_BareDump(benchmark::State& state) {
    ThePool().Resize(static_cast<std::size_t>(state.range(0)));
    corvane::platform::linux_impl::SockDiagTcpTable service;
    std::size_t v4 = 0;
    std::size_t v6 = 0;
    for (auto _ : state) {
        if (service.DumpOnly(AF_INET, v4) != 0 || service.DumpOnly(AF_INET6, v6) != 0)
            state.SkipWithError("dump failed");
        benchmark::DoNotOptimize(v4 + v6);
    }
    state.counters["rows"] = static_cast<double>(v4 + v6);
}

void BM_BareOneWalk(benchmark::State& state) {
    ThePool().Resize(static_cast<std::size_t>(state.range(0)));
    corvane::platform::linux_impl::SockDiagTcpTable service;
    std::size_t messages = 0;
    for (auto _ : state) {
        if (service.DumpOnly(AF_UNSPEC, messages) != 0) state.SkipWithError("dump failed");
        benchmark::DoNotOptimize(messages);
    }
    state.counters["rows"] = static_cast<double>(messages);
}

void BM_TickAfterOpen(benchmark::State& state) {
    ThePool().Resize(static_cast<std::size_t>(state.range(0)));
    NullHost host;
    std::unique_ptr<mFirewall> firewall = MakeFirewall(host, static_cast<std::size_t>(state.range(1)));
    for (auto _ : state) {
        state.PauseTiming();
        Connection opened = ThePool().listener().Open();
        state.ResumeTiming();
        firewall->Tick();
        state.PauseTiming();
        opened.Close();
        state.ResumeTiming();
    }
    if (firewall->LastTable().rows.size() < 2 * static_cast<std::size_t>(state.range(0)))
        state.SkipWithError("the tick did not read the whole table");
    state.counters["rows"] = static_cast<double>(firewall->LastTable().rows.size());
}

// The tick after an open with 100,000 listed beside the same tick with 10 listed: both engines see
// the same opens and read the same table, so the ratio is the list size's cost.
double gTickLongListUs = 0;
double gTickShortListUs = 0;

void BM_TickAfterOpenByListSize(benchmark::State& state) {
    ThePool().Resize(static_cast<std::size_t>(state.range(0)));
    NullHost host;
    std::unique_ptr<mFirewall> shortList = MakeFirewall(host, 10);
    std::unique_ptr<mFirewall> longList = MakeFirewall(host, 100000);
    const TurnAboutTimes times = TurnAbout(
        state, [&] { longList->Tick(); }, [&] { shortList->Tick(); },
        [](auto pair) {
            Connection opened = ThePool().listener().Open();
            pair();
            opened.Close();
        });
    if (longList->LastTable().rows.size() < 2 * static_cast<std::size_t>(state.range(0)))
        state.SkipWithError("the tick did not read the whole table");
    gTickLongListUs = times.firstUs;
    gTickShortListUs = times.secondUs;
    state.counters["long_us"] = gTickLongListUs;
    state.counters["short_us"] = gTickShortListUs;
}

// An open with nothing after it: the tick that sees the counters move and the
// tick after it, which reads the table once more.
void BM_IsolatedOpen(benchmark::State& state) {
    ThePool().Resize(static_cast<std::size_t>(state.range(0)));
    NullHost host;
    std::unique_ptr<mFirewall> firewall = MakeFirewall(host, 10);
    firewall->Tick();
    for (auto _ : state) {
        state.PauseTiming();
        Connection opened = ThePool().listener().Open();
        state.ResumeTiming();
        firewall->Tick();
        firewall->Tick();
        state.PauseTiming();
        opened.Close();
        state.ResumeTiming();
    }
    state.counters["rows"] = static_cast<double>(firewall->LastTable().rows.size());
}

// ---- Scan cost by list size, without the kernel -----------------------------

class ChangingTable final : public corvane::platform::TcpTableService {
public:
    explicit ChangingTable(std::vector<corvane::platform::TcpRow> rows) : rows_(std::move(rows)) {}
    explicit ChangingTable(std::size_t rows) {
        for (std::size_t i = 0; i < rows; ++i) {
            corvane::platform::TcpRow row;
            row.dwState = corvane::platform::kTcpStateEstab;
            row.dwRemoteAddr = htonl(0x0a000000U + static_cast<std::uint32_t>(i * 7919));
            row.family = AF_INET;
            row.cookie = i + 1;
            rows_.push_back(row);
        }
    }
    std::uint32_t GetTcpTable(corvane::platform::TcpTable& table) override {
        rows_[0].cookie += rows_.size();  // another socket each time: the table always changed
        table.rows.assign(rows_.begin(), rows_.end());
        return 0;
    }
    std::uint32_t SetTcpEntry(const corvane::platform::TcpRow&) override { return 0; }

private:
    std::vector<corvane::platform::TcpRow> rows_;
};

class MovingCounters final : public corvane::platform::OpenCounterService {
public:
    std::uint32_t ReadOpens(std::uint64_t& opens) override {
        opens = ++opens_;
        return 0;
    }

private:
    std::uint64_t opens_ = 0;
};

// 100,000 listed beside 10 listed, each over a table of its own that changes at every tick.
double gScanLongListUs = 0;
double gScanShortListUs = 0;

void BM_ScanOnlyByListSize(benchmark::State& state) {
    NullHost host;
    mFirewall shortList(std::make_unique<ChangingTable>(2000), std::make_unique<MovingCounters>(), host);
    mFirewall longList(std::make_unique<ChangingTable>(2000), std::make_unique<MovingCounters>(), host);
    shortList.SetDefinitions(ParseDefinitions(ListOf(10)));
    longList.SetDefinitions(ParseDefinitions(ListOf(100000)));
    const TurnAboutTimes times = TurnAbout(state, [&] { longList.Tick(); }, [&] { shortList.Tick(); });
    gScanLongListUs = times.firstUs;
    gScanShortListUs = times.secondUs;
    state.counters["long_us"] = gScanLongListUs;
    state.counters["short_us"] = gScanShortListUs;
    state.counters["rows"] = 2000;
}

// ---- Scan cost by the size of the address lists -----------------------------

constexpr std::size_t kScanRows = 2000;
double gScanManyPrefixesUs = 0;
double gScanFewPrefixesUs = 0;
std::size_t gScanPrefixes = 0;

// Two engines over tables of their own with the same rows (random remote addresses, one in five an
// IPv6 socket talking IPv6), the same 10 entries of qd.def, and address lists of 10 prefixes or of
// 1,000,000 (4 in 5 IPv4), none covering a row: every row is looked up in both tables and none is
// torn down. Made once for every run of the benchmark: a million prefixes take a while to make.
struct PrefixScanEngines {
    NullHost host;
    std::unique_ptr<mFirewall> few;
    std::unique_ptr<mFirewall> many;
    std::size_t prefixes = 0;

    PrefixScanEngines() {
        using corvane::bench::Avoided;
        using corvane::engine::Ipv6Number;
        corvane::bench::RandomPrefixes random(20261207);
        std::vector<corvane::platform::TcpRow> rows;
        Avoided<std::uint32_t> avoid4;
        Avoided<Ipv6Number> avoid6;
        for (std::size_t i = 0; i < kScanRows; ++i) {
            corvane::platform::TcpRow row;
            row.dwState = corvane::platform::kTcpStateEstab;
            row.cookie = i + 1;
            if (i % 5 == 4) {
                const Ipv6Number address = random.Address6();
                row.family = AF_INET6;
                row.native6 = true;
                row.remoteAddr6 = corvane::engine::Ipv6ToBytes(address);
                avoid6.AddAddress(address);
            } else {
                const std::uint32_t address = random.Address4();
                row.family = AF_INET;
                row.dwRemoteAddr = htonl(address);
                avoid4.AddAddress(address);
            }
            rows.push_back(row);
        }
        avoid4.Sort();
        avoid6.Sort();
        corvane::engine::AddressLists fewLists;
        random.Fill(fewLists, 8, 2, avoid4, avoid6);
        corvane::bench::NameList(fewLists, "/etc/corvane/lists.d/few.list");
        corvane::engine::AddressLists manyLists;
        random.Fill(manyLists, 800000, 200000, avoid4, avoid6);
        corvane::bench::NameList(manyLists, "/etc/corvane/lists.d/many.list");
        prefixes = manyLists.v4.size() + manyLists.v6.size();

        few = std::make_unique<mFirewall>(std::make_unique<ChangingTable>(rows), std::make_unique<MovingCounters>(),
                                          host);
        many = std::make_unique<mFirewall>(std::make_unique<ChangingTable>(rows), std::make_unique<MovingCounters>(),
                                           host);
        for (mFirewall* firewall : {few.get(), many.get()}) {
            firewall->SetNoticeSink([](const std::string&) {});
            firewall->SetBlockLogSink([](const std::string&) {});
            firewall->SetDefinitions(ParseDefinitions(ListOf(10)));
        }
        few->SetAddressLists(std::move(fewLists));
        many->SetAddressLists(std::move(manyLists));
    }
};

void BM_ScanOnlyByPrefixCount(benchmark::State& state) {
    static PrefixScanEngines engines;
    const TurnAboutTimes times =
        TurnAbout(state, [&] { engines.many->Tick(); }, [&] { engines.few->Tick(); });
    if (engines.many->LastTable().rows.size() != kScanRows || engines.few->LastTable().rows.size() != kScanRows) {
        state.SkipWithError("the tick did not read the whole table");
        return;
    }
    if (engines.many->BlockedCount() != 0 || engines.few->BlockedCount() != 0) {
        // The rows are chosen outside every prefix: the table found a prefix where there is none.
        state.SkipWithError("a row outside every prefix was found listed");
        return;
    }
    gScanManyPrefixesUs = times.firstUs;
    gScanFewPrefixesUs = times.secondUs;
    gScanPrefixes = engines.prefixes;
    state.counters["many_us"] = gScanManyPrefixesUs;
    state.counters["few_us"] = gScanFewPrefixesUs;
    state.counters["rows"] = static_cast<double>(kScanRows);
}

// ---- What a script would do instead -----------------------------------------

void BM_TickBlockingOne(benchmark::State& state) {
    ThePool().Resize(static_cast<std::size_t>(state.range(0)));
    NullHost host;
    std::unique_ptr<mFirewall> firewall = MakeFirewall(host, 10, "127.0.0.9");
    for (auto _ : state) {
        state.PauseTiming();
        Connection opened = BlockedListener().Open();
        const std::int32_t before = firewall->BlockedCount();
        state.ResumeTiming();
        firewall->Tick();
        state.PauseTiming();
        if (firewall->BlockedCount() != before + 1) state.SkipWithError("the connection was not blocked");
        opened.Close();
        state.ResumeTiming();
    }
}

void BM_SsKill(benchmark::State& state) {
    ThePool().Resize(static_cast<std::size_t>(state.range(0)));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char program[] = "ss";
    char kill[] = "-K";
    char dst[] = "dst";
    char address[] = "127.0.0.9";
    char* argv[] = {program, kill, dst, address, nullptr};
    for (auto _ : state) {
        state.PauseTiming();
        Connection opened = BlockedListener().Open();
        state.ResumeTiming();
        pid_t child = 0;
        int status = 0;
        if (posix_spawnp(&child, "ss", &actions, nullptr, argv, environ) != 0 ||
            ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("ss -K failed");
        }
        state.PauseTiming();
        char byte = 0;
        if (::recv(opened.client.Get(), &byte, 1, MSG_DONTWAIT) >= 0 || errno != ECONNABORTED)
            state.SkipWithError("ss -K did not abort the connection");
        opened.Close();
        state.ResumeTiming();
    }
    posix_spawn_file_actions_destroy(&actions);
}

void BM_ProcNetTcpParse(benchmark::State& state) {
    ThePool().Resize(static_cast<std::size_t>(state.range(0)));
    const std::unordered_set<std::uint32_t> listed = {htonl(0x7f000009U)};
    std::vector<char> buffer(1 << 20);
    std::size_t rows = 0;
    for (auto _ : state) {
        UniqueFd file(::open("/proc/net/tcp", O_RDONLY | O_CLOEXEC));
        std::size_t used = 0;
        for (;;) {
            if (used == buffer.size()) buffer.resize(buffer.size() * 2);
            const ssize_t got = ::read(file.Get(), buffer.data() + used, buffer.size() - used);
            if (got <= 0) break;
            used += static_cast<std::size_t>(got);
        }
        rows = 0;
        std::size_t matches = 0;
        const char* line = static_cast<const char*>(std::memchr(buffer.data(), '\n', used));  // skip the header
        const char* end = buffer.data() + used;
        while (line != nullptr && ++line < end) {
            unsigned local = 0, localPort = 0, remote = 0, remotePort = 0, st = 0;
            if (std::sscanf(line, "%*d: %8X:%4X %8X:%4X %2X", &local, &localPort, &remote, &remotePort, &st) == 5) {
                ++rows;
                if (st != 0x0A && listed.count(remote) != 0) ++matches;
            }
            line = static_cast<const char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
        }
        benchmark::DoNotOptimize(matches);
    }
    state.counters["rows"] = static_cast<double>(rows);
}

// ---- Set-up and the ratios --------------------------------------------------

// A private network namespace (the tests' own set-up) made fit for 10,000 connections.
std::string PrepareBenchmarkNetwork() {
    if (std::string why = corvane::engine::testing::EnterPrivateNetwork(); !why.empty()) return why;
    // Queued server ends need no descriptor, but a long accept queue.
    UniqueFd somaxconn(::open("/proc/sys/net/core/somaxconn", O_WRONLY | O_CLOEXEC));
    if (!somaxconn.Valid() || ::write(somaxconn.Get(), "65535", 5) != 5)
        return std::string("net.core.somaxconn: ") + std::strerror(errno);
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return std::string("getrlimit: ") + std::strerror(errno);
    files.rlim_cur = files.rlim_max;
    if (files.rlim_cur < 12000) return "RLIMIT_NOFILE hard limit below 12000";
    if (::setrlimit(RLIMIT_NOFILE, &files) != 0) return std::string("RLIMIT_NOFILE: ") + std::strerror(errno);
    return {};
}

class CapturingReporter final : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal; a log gets plain text.
    CapturingReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    // Microseconds per iteration, by name: CPU time of this process (kernel work
    // done for its system calls included; steadier than wall-clock time on a
    // shared machine), or wall-clock time where another process does part of the
    // work (ss -K, and the blocking tick compared with it).
    std::map<std::string, double> times;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                times[run.benchmark_name()] =
                    run.benchmark_name().ends_with("real_time") ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

void PrintRatioOf(const char* what, double measured, double reference, double goal) {
    if (measured <= 0 || reference <= 0) {
        std::printf("RATIO %-44s n/a (not measured)\n", what);
        return;
    }
    const double ratio = measured / reference;
    if (goal > 0)
        std::printf("RATIO %-44s %8.3f  (%.1f us / %.1f us, goal <= %.1f: %s)\n", what, ratio, measured, reference,
                    goal, ratio <= goal ? "met" : "MISSED");
    else
        std::printf("RATIO %-44s %8.3f  (%.1f us / %.1f us)\n", what, ratio, measured, reference);
}

void PrintRatio(const CapturingReporter& reporter, const char* what, const std::string& measured,
                const std::string& reference, double goal) {
    const auto a = reporter.times.find(measured);
    const auto b = reporter.times.find(reference);
    PrintRatioOf(what, a == reporter.times.end() ? 0 : a->second, b == reporter.times.end() ? 0 : b->second, goal);
}

}  // namespace

int main(int argc, char** argv) {
    std::string why = "not root";
    if (::geteuid() == 0) {
        why = PrepareBenchmarkNetwork();
        gPrivateNetwork = why.empty();
    }
    if (!gPrivateNetwork)
        std::printf("note: no private network namespace (%s); the real-table parts are left out\n", why.c_str());

    benchmark::RegisterBenchmark("BM_IdleTickBesideCountersRead", BM_IdleTickBesideCountersRead)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_ScanOnlyByListSize", BM_ScanOnlyByListSize)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_ScanOnlyByPrefixCount", BM_ScanOnlyByPrefixCount)->Unit(benchmark::kMicrosecond);
    if (gPrivateNetwork) {
        for (const long connections : {100L, 1000L, 10000L}) {
            benchmark::RegisterBenchmark("BM_BareDump", BM_BareDump)->Arg(connections)->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark("BM_BareOneWalk", BM_BareOneWalk)
                ->Arg(connections)
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark("BM_TickAfterOpen", BM_TickAfterOpen)
                ->Args({connections, 10})
                ->Unit(benchmark::kMicrosecond);
            if (connections == 1000) {
                benchmark::RegisterBenchmark("BM_IsolatedOpen", BM_IsolatedOpen)
                    ->Arg(connections)
                    ->Unit(benchmark::kMicrosecond);
                benchmark::RegisterBenchmark("BM_TickAfterOpenByListSize", BM_TickAfterOpenByListSize)
                    ->Arg(connections)
                    ->Unit(benchmark::kMicrosecond);
                benchmark::RegisterBenchmark("BM_TickBlockingOne", BM_TickBlockingOne)
                    ->Arg(connections)
                    ->Unit(benchmark::kMicrosecond)
                    ->UseRealTime();
                benchmark::RegisterBenchmark("BM_SsKill", BM_SsKill)
                    ->Arg(connections)
                    ->Unit(benchmark::kMicrosecond)
                    ->UseRealTime();
                benchmark::RegisterBenchmark("BM_ProcNetTcpParse", BM_ProcNetTcpParse)
                    ->Arg(connections)
                    ->Unit(benchmark::kMicrosecond);
            }
        }
    }

    benchmark::Initialize(&argc, argv);
    CapturingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\n");
    PrintRatioOf("idle tick / one counters read", gIdleTickUs, gCountersReadUs, 1.5);
    std::printf("ALLOCS idle ticks: %llu heap allocations in %llu ticks (goal 0: %s)\n", gIdleAllocations, gIdleTicks,
                gIdleAllocations == 0 ? "met" : "MISSED");
    for (const char* n : {"100", "1000", "10000"})
        PrintRatio(reporter, (std::string("tick after open / bare dump, ") + n + " conns").c_str(),
                   std::string("BM_TickAfterOpen/") + n + "/10", std::string("BM_BareDump/") + n, 1.3);
    for (const char* n : {"100", "1000", "10000"})
        PrintRatio(reporter, (std::string("tick after open / bare one-walk dump, ") + n).c_str(),
                   std::string("BM_TickAfterOpen/") + n + "/10", std::string("BM_BareOneWalk/") + n, 0);
    PrintRatioOf("tick after open, 100000 vs 10 listed", gTickLongListUs, gTickShortListUs, 1.2);
    PrintRatio(reporter, "isolated open (2 ticks) / tick after open (1000)", "BM_IsolatedOpen/1000",
               "BM_TickAfterOpen/1000/10", 0);
    PrintRatioOf("scan alone, 100000 vs 10 listed", gScanLongListUs, gScanShortListUs, 1.2);
    PrintRatioOf((std::string("scan alone, ") + std::to_string(gScanPrefixes) + " vs 10 prefixes").c_str(),
                 gScanManyPrefixesUs, gScanFewPrefixesUs, 1.2);
    PrintRatio(reporter, "tick blocking one / ss -K dst (1000 conns)", "BM_TickBlockingOne/1000/real_time",
               "BM_SsKill/1000/real_time", 0);
    PrintRatio(reporter, "tick after open / /proc/net/tcp parse (1000)", "BM_TickAfterOpen/1000/10",
               "BM_ProcNetTcpParse/1000", 0);
    benchmark::Shutdown();
    return 0;
}
