// The longest life of a listed connection (connect until this end sees the abort) while another
// process holds the settings store locked for writing, against the same with the store free, measured
// turn about in one run of the built corvaned (timer engine). Every block changes the count, so the
// service tries to save it all through the locked rounds. Prints the ratio; the goal is at most 2.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "../tests/engine/private_network.h"
#include "../tests/service/service_harness.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using corvane::platform::UniqueFd;
namespace harness = corvane::service::testing;

constexpr char kListed[] = "127.0.0.2";
constexpr int kRounds = 3;
constexpr auto kRoundLength = 700ms;
constexpr auto kSpacing = 20ms;

std::string g_setupError;
std::unique_ptr<harness::PrivateSystemBus> g_bus;
std::unique_ptr<harness::ServiceUnderTest> g_service;

// A child process holding BEGIN EXCLUSIVE on the store until it is ended.
class LockHolder {
public:
    explicit LockHolder(const std::string& file) {
        int ends[2] = {-1, -1};
        if (::pipe2(ends, O_CLOEXEC) != 0) return;
        UniqueFd readEnd(ends[0]);
        UniqueFd writeEnd(ends[1]);
        pid_ = ::fork();
        if (pid_ == 0) {
            sqlite3* db = nullptr;
            char ok = 0;
            if (sqlite3_open(file.c_str(), &db) == SQLITE_OK) {
                sqlite3_busy_timeout(db, 10000);
                ok = sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK ? 1 : 0;
            }
            static_cast<void>(!::write(writeEnd.Get(), &ok, 1));
            for (;;) ::pause();
        }
        writeEnd.Reset();
        char ok = 0;
        locked_ = pid_ > 0 && ::read(readEnd.Get(), &ok, 1) == 1 && ok == 1;
    }
    ~LockHolder() {
        if (pid_ <= 0) return;
        static_cast<void>(::kill(pid_, SIGKILL));
        int status = 0;
        static_cast<void>(::waitpid(pid_, &status, 0));
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    bool Locked() const { return locked_; }

private:
    pid_t pid_ = -1;
    bool locked_ = false;
};

// Listed connections every kSpacing for kRoundLength: the longest life among them, or nullopt when one
// was not torn down within 10 s.
std::optional<Clock::duration> LongestLife(int listener, int& count) {
    const std::uint16_t port = corvane::engine::testing::LocalPort(listener);
    Clock::duration longest{};
    const auto end = Clock::now() + kRoundLength;
    while (Clock::now() < end) {
        const auto start = Clock::now();
        UniqueFd connection = corvane::engine::testing::Connect(kListed, port);
        if (connection.Valid()) {
            while (corvane::engine::testing::ConnectionError(connection.Get()) == 0) {
                if (Clock::now() - start > 10s) return std::nullopt;
                std::this_thread::yield();
            }
        }
        longest = std::max(longest, Clock::now() - start);
        ++count;
        std::this_thread::sleep_until(start + kSpacing);
    }
    return longest;
}

void BM_ListedConnectionLifeStoreLockedVsFree(benchmark::State& state) {
    if (!g_setupError.empty()) {
        state.SkipWithError(g_setupError.c_str());
        return;
    }
    UniqueFd listener = corvane::engine::testing::Listen(kListed);
    const std::string store = (g_service->StateDir() / "hklm.db").string();
    double freeUs = 0;
    double lockedUs = 0;
    int count = 0;
    for (auto _ : state) {
        Clock::duration free{};
        Clock::duration locked{};
        for (int round = 0; round < kRounds; ++round) {
            const std::optional<Clock::duration> unlocked = LongestLife(listener.Get(), count);
            std::optional<Clock::duration> held;
            {
                LockHolder holder(store);
                if (!holder.Locked()) {
                    state.SkipWithError("the store could not be locked");
                    return;
                }
                held = LongestLife(listener.Get(), count);
            }
            if (!unlocked || !held) {
                state.SkipWithError("a listed connection was not torn down");
                return;
            }
            free = std::max(free, *unlocked);
            locked = std::max(locked, *held);
        }
        freeUs = std::chrono::duration<double, std::micro>(free).count();
        lockedUs = std::chrono::duration<double, std::micro>(locked).count();
        state.SetIterationTime(std::chrono::duration<double>(locked).count());
    }
    state.counters["free_longest_us"] = freeUs;
    state.counters["locked_longest_us"] = lockedUs;
    state.counters["connections"] = count;
    state.counters["ratio"] = freeUs > 0 ? lockedUs / freeUs : 0;
    std::printf("longest life of a listed connection: %.0f us with the store locked, %.0f us free; "
                "ratio %.2f (goal <= 2)\n",
                lockedUs, freeUs, freeUs > 0 ? lockedUs / freeUs : 0.0);
}
BENCHMARK(BM_ListedConnectionLifeStoreLockedVsFree)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

std::string Prepare() {
    if (::geteuid() != 0) return "needs root";
    // Before any thread exists: the namespace is the calling thread's, and every child's.
    std::string why = corvane::engine::testing::EnterPrivateNetwork();
    if (!why.empty()) return why;
    why = harness::EnsureServiceAccounts();
    if (!why.empty()) return why;
    g_bus = std::make_unique<harness::PrivateSystemBus>();
    why = g_bus->Start();
    if (!why.empty()) return why;
    g_service = std::make_unique<harness::ServiceUnderTest>(*g_bus);
    // Listed connections must open to live at all: without a cgroup2 hierarchy to attach to, the
    // connect refusal leaves them to the teardown engine, whose waits on the store are measured.
    g_service->SetCgroupHierarchyVisible(false);
    for (const std::string& step : {g_service->WriteDefinitions("V001\r\n127.0.0.2\r\n"),
                                    g_service->SetSetting("Engine", "timer"), g_service->Start()}) {
        if (!step.empty()) return step;
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    g_setupError = Prepare();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_service.reset();
    g_bus.reset();
    return 0;
}
