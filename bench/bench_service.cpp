// corvaned as the machine runs it (its own user, only its capabilities, a private bus with the
// package's policy), measured from outside:
//
//   start -> READY=1      from the exec of the unit's command line until the service tells the
//                         notification socket it is ready; goal: median at most 50 ms. Beside it, the same
//                         command line starting /bin/true, so the difference is the service's own cost.
//   idle wake-ups         context switches of all the service's threads a second, protection on with the
//                         event engine and nothing happening; goal: 0. Beside it, a `sleep` process
//                         measured the same way over the same seconds.
//   block -> client       from connect() of a listed connection until a client of the service on the bus
//                         (the clients' library, as the window uses it) hears the new Attempts; goal:
//                         median at most 50 ms. Beside it, a GetAll round trip to the service on that bus.
//   a storm of blocks     1,000 listed connections a second for a second: the PropertiesChanged signals a
//                         client hears in its busiest second (goal: at most 20), and the final count,
//                         which must be exact.
//
// Runs as root only, in a private network namespace where the service sees only the benchmark's own
// connections.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../tests/engine/private_network.h"
#include "platform/dbus/bus_names.h"
#include "platform/protection_service.h"
#include "service_bench_support.h"

namespace {

using namespace corvane::bench;
namespace bus = corvane::platform::bus;
using corvane::engine::testing::Listen;
using corvane::engine::testing::LocalPort;
using corvane::platform::ServiceStatus;
using corvane::service::testing::Child;
using Clock = std::chrono::steady_clock;

constexpr char kListed[] = "127.0.0.2";
constexpr char kDefinitions[] = "V001\r\n127.0.0.2\r\n";
constexpr char kPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
constexpr int kStarts = 5;
constexpr double kStartGoalMs = 50;
constexpr auto kIdleWindow = 3s;
constexpr int kClientSamples = 20;
constexpr double kClientGoalMs = 50;
constexpr int kStormConnections = 1000;
constexpr double kSignalsGoal = 20;

std::string gSetupError;
std::optional<PrivateSystemBus> gBus;
std::unique_ptr<RunningService> gService;  // the one the idle, client and storm measures share
std::string gEngine;                        // its status line once its engine had settled
bool gStormRan = false;

bool Ready(benchmark::State& state) {
    if (!gSetupError.empty()) state.SkipWithError(gSetupError.c_str());
    return gSetupError.empty();
}

// Runs the event loop until `done`, at most `limit`; the last answer of `done`.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    QElapsedTimer clock;
    clock.start();
    QTimer wake;  // WaitForMoreEvents returns at least this often, to look at the clock
    wake.start(5);
    while (!done()) {
        if (clock.elapsed() > limit.count()) return done();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void PumpFor(std::chrono::milliseconds time) {
    const auto end = Clock::now() + time;
    static_cast<void>(PumpUntil([end] { return Clock::now() >= end; }, time + 1s));
}

// The shared service, started on first use with the event engine running. Null (the benchmark skipped)
// when it cannot be had.
RunningService* SharedService(benchmark::State& state) {
    if (!gService) {
        auto service = std::make_unique<RunningService>(*gBus);
        // Blocks reach clients through the teardown engine here: the connect refusal, which would
        // refuse the storm's connects before they open, has no cgroup2 hierarchy to attach to.
        service->Service().SetCgroupHierarchyVisible(false);
        std::string why = service->Prepare(kDefinitions, Engine::kAuto);
        if (why.empty()) why = service->Start();
        // Where the event engine cannot run, the timer's figures are measured and said to be that.
        if (why.empty()) static_cast<void>(service->WaitForEngine("event engine"));
        if (!why.empty()) {
            state.SkipWithError(why.c_str());
            return nullptr;
        }
        gEngine = service->LastStatus();
        gService = std::move(service);
    }
    return gService.get();
}

// --- start -> READY=1 ---------------------------------------------------------------------------------

double gStartMs = 0, gTrueMs = 0;

// The unit's command line (as the harness runs it: setpriv, then the unit's seccomp settings through
// corvane-unit-sandbox) with /bin/true in place of the service: started, and waited for without reaping,
// so the Child still owns it.
double TrueThroughSetprivMs() {
    const std::vector<std::string> command =
        corvane::service::testing::AsTheUnitStarts({"/bin/true"}, corvane::service::testing::UnitCapabilities());
    const auto start = Clock::now();
    Child child = Child::Start(command, {kPath});
    if (!child.Valid()) return 0;
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(child.Pid()), &info, WEXITED | WNOWAIT) != 0) return 0;
    const double ms = MsSince(start);
    if (info.si_code != CLD_EXITED || info.si_status != 0) return 0;
    return ms;
}

void BM_StartToReady_Service(benchmark::State& state) {
    if (!Ready(state)) return;
    std::vector<double> times;
    for (auto _ : state) {
        for (int i = 0; i < kStarts; ++i) {
            RunningService service(*gBus);
            if (const std::string why = service.Prepare(kDefinitions, Engine::kAuto); !why.empty()) {
                state.SkipWithError(why.c_str());
                return;
            }
            const auto start = Clock::now();
            if (const std::string why = service.Start(); !why.empty()) {
                state.SkipWithError(why.c_str());
                return;
            }
            times.push_back(MsSince(start));
        }
        gStartMs = Median(times);
        state.SetIterationTime(gStartMs / 1000.0);
    }
    state.counters["median_ms"] = gStartMs;
}

void BM_StartToReady_TrueThroughSetpriv(benchmark::State& state) {
    if (!Ready(state)) return;
    std::vector<double> times;
    for (auto _ : state) {
        for (int i = 0; i < kStarts; ++i) times.push_back(TrueThroughSetprivMs());
        gTrueMs = Median(times);
        state.SetIterationTime(gTrueMs / 1000.0);
    }
    state.counters["median_ms"] = gTrueMs;
}

// --- idle wake-ups ------------------------------------------------------------------------------------

double gServiceWakeUps = 0, gSleepWakeUps = 0;
std::size_t gServiceThreads = 0;

void BM_IdleWakeUps(benchmark::State& state) {
    if (!Ready(state)) return;
    RunningService* service = SharedService(state);
    if (service == nullptr) return;
    Child sleeper = Child::Start({"/bin/sleep", "60"}, {kPath});
    // What follows the engine's change settles first (the loader's thread ends, the status is told).
    std::this_thread::sleep_for(500ms);
    for (auto _ : state) {
        // Both over the same seconds.
        const SwitchCount serviceBefore = ContextSwitches(service->Pid());
        const SwitchCount sleepBefore = ContextSwitches(sleeper.Pid());
        const auto start = Clock::now();
        std::this_thread::sleep_for(kIdleWindow);
        const SwitchCount serviceAfter = ContextSwitches(service->Pid());
        const SwitchCount sleepAfter = ContextSwitches(sleeper.Pid());
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        gServiceWakeUps = static_cast<double>(SwitchesBetween(serviceBefore, serviceAfter)) / seconds;
        gSleepWakeUps = static_cast<double>(SwitchesBetween(sleepBefore, sleepAfter)) / seconds;
        gServiceThreads = serviceAfter.byThread.size();
        state.SetIterationTime(seconds);
        if (serviceBefore.byThread.empty() || serviceAfter.byThread.empty() || sleepAfter.byThread.empty())
            state.SkipWithError("the threads' context switches could not be read from /proc");
    }
    state.counters["per_second"] = gServiceWakeUps;
    state.counters["sleep_per_second"] = gSleepWakeUps;
}

// --- block -> client, and the storm -------------------------------------------------------------------

double gClientMs = 0, gGetAllMs = 0;
int gClientMissed = 0;

std::unique_ptr<corvane::platform::ProtectionService> Client(benchmark::State& state) {
    auto client = corvane::platform::ConnectProtectionService();
    const ServiceStatus& status = client->Refresh();
    if (status.link != ServiceStatus::Link::kConnected) {
        state.SkipWithError(("the client does not reach the service: " + status.problem).c_str());
        return nullptr;
    }
    return client;
}

void BM_BlockToClient(benchmark::State& state) {
    if (!Ready(state) || SharedService(state) == nullptr) return;
    auto client = Client(state);
    if (!client) return;
    UniqueFd listener = Listen(kListed);
    const std::uint16_t port = listener.Valid() ? LocalPort(listener.Get()) : 0;
    if (!listener.Valid() || ::fcntl(listener.Get(), F_SETFL, O_NONBLOCK) != 0) {
        state.SkipWithError("no listener");
        return;
    }
    std::optional<Clock::time_point> heardAt;
    std::int32_t waitingFor = 0;
    client->SetChangeHandler([&] {
        if (!heardAt && client->Status().attempts >= waitingFor) heardAt = Clock::now();
    });
    std::vector<double> times, roundTrips;
    for (auto _ : state) {
        for (int i = 0; i < kClientSamples; ++i) {
            heardAt.reset();
            waitingFor = client->Status().attempts + 1;
            const auto start = Clock::now();
            int error = 0;
            UniqueFd connection = ConnectOnce(kListed, port, error);
            if (PumpUntil([&] { return heardAt.has_value(); }, 2s)) {
                times.push_back(std::chrono::duration<double, std::milli>(*heardAt - start).count());
            } else {
                ++gClientMissed;
            }
            connection.Reset();
            Drain(listener.Get());
            // The service tells at most 20 changes a second: the next block comes after that pause, so
            // each is told at once.
            PumpFor(60ms);
        }
        for (int i = 0; i < kClientSamples; ++i) {
            const auto start = Clock::now();
            static_cast<void>(client->Refresh());
            roundTrips.push_back(MsSince(start));
        }
        gClientMs = Median(times);
        gGetAllMs = Median(roundTrips);
        state.SetIterationTime(gClientMs / 1000.0);
    }
    client->SetChangeHandler(nullptr);
    state.counters["median_ms"] = gClientMs;
    state.counters["getall_ms"] = gGetAllMs;
}

// Every PropertiesChanged signal of the service a plain bus client hears, with when.
class SignalCounter : public QObject {
    Q_OBJECT
public:
    struct Heard {
        Clock::time_point at;
        std::optional<int> attempts;
    };
    std::vector<Heard> heard;

public slots:
    void OnChanged(const QString& interface, const QVariantMap& changed, const QStringList& invalidated) {
        static_cast<void>(invalidated);
        if (interface != QLatin1String(bus::kInterface)) return;
        Heard entry{Clock::now(), std::nullopt};
        if (const auto found = changed.constFind(QLatin1String(bus::kPropAttempts)); found != changed.constEnd())
            entry.attempts = found->toInt();
        heard.push_back(entry);
    }
};

struct StormFigures {
    int made = 0;        // connections the service had to tear down
    int missed = 0;      // of them, still open after a second
    double seconds = 0;  // from the first connect() to the last abort
    int heardSignals = 0;    // heard from the storm's start until the final count
    int busiest = 0;     // heard in the busiest second
    int start = 0, expected = 0, heardFinal = -1, clientFinal = -1;
    bool finalExact = false;
};
StormFigures gStorm;

// The connections of the storm, paced one a millisecond, each waited on until it is aborted.
void RunStorm(std::uint16_t port, int listener, StormFigures& figures, std::atomic<bool>& done) {
    const auto start = Clock::now();
    for (int i = 0; i < kStormConnections; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(i));
        int error = 0;
        UniqueFd connection = ConnectOnce(kListed, port, error);
        if (connection.Valid()) {
            ++figures.made;
            if (!WaitForAbort(connection.Get(), 1s)) ++figures.missed;
        } else if (error == ECONNABORTED) {
            ++figures.made;  // torn down while connect() was under way
        }
        Drain(listener);
    }
    figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    done = true;
}

void BM_StormToClient(benchmark::State& state) {
    if (!Ready(state) || SharedService(state) == nullptr) return;
    auto client = Client(state);
    if (!client) return;
    const QString name = QStringLiteral("bench-storm");
    QDBusConnection connection = QDBusConnection::connectToBus(QString::fromStdString(gBus->Address()), name);
    SignalCounter counter;
    if (!connection.isConnected() ||
        !connection.connect(QLatin1String(bus::kServiceName), QLatin1String(bus::kObjectPath),
                            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"),
                            &counter, SLOT(OnChanged(QString, QVariantMap, QStringList)))) {
        state.SkipWithError("no listener on the bus");
        return;
    }
    UniqueFd listener = Listen(kListed);
    const std::uint16_t port = listener.Valid() ? LocalPort(listener.Get()) : 0;
    if (!listener.Valid() || ::fcntl(listener.Get(), F_SETFL, O_NONBLOCK) != 0) {
        state.SkipWithError("no listener");
        return;
    }
    for (auto _ : state) {
        StormFigures figures;
        figures.start = client->Refresh().attempts;
        PumpFor(100ms);  // the pause between signals has passed: the storm's first is told at once
        counter.heard.clear();
        std::atomic<bool> done{false};
        std::thread storm(RunStorm, port, listener.Get(), std::ref(figures), std::ref(done));
        // Until the storm is over and both clients have the count it should have left (or 10 s more).
        static_cast<void>(PumpUntil([&] { return done.load(); }, 60s));
        storm.join();
        figures.expected = figures.start + figures.made;
        const auto heardFinal = [&] {
            for (auto entry = counter.heard.rbegin(); entry != counter.heard.rend(); ++entry)
                if (entry->attempts) return *entry->attempts;
            return figures.start;
        };
        static_cast<void>(PumpUntil(
            [&] { return heardFinal() >= figures.expected && client->Status().attempts >= figures.expected; }, 10s));
        figures.heardFinal = heardFinal();
        figures.clientFinal = client->Status().attempts;
        const int asked = client->Refresh().attempts;
        figures.finalExact =
            figures.heardFinal == figures.expected && figures.clientFinal == figures.expected && asked == figures.expected;
        // Signals up to the one that told the final count, and the most in any second.
        std::vector<Clock::time_point> times;
        for (const auto& entry : counter.heard) {
            times.push_back(entry.at);
            if (entry.attempts && *entry.attempts >= figures.expected) break;
        }
        figures.heardSignals = static_cast<int>(times.size());
        for (std::size_t first = 0, last = 0; first < times.size(); ++first) {
            while (last < times.size() && times[last] - times[first] < 1s) ++last;
            figures.busiest = std::max(figures.busiest, static_cast<int>(last - first));
        }
        gStorm = figures;
        gStormRan = true;
        state.SetIterationTime(figures.seconds);
    }
    static_cast<void>(connection.disconnect(QLatin1String(bus::kServiceName), QLatin1String(bus::kObjectPath),
                                            QStringLiteral("org.freedesktop.DBus.Properties"),
                                            QStringLiteral("PropertiesChanged"), &counter,
                                            SLOT(OnChanged(QString, QVariantMap, QStringList))));
    QDBusConnection::disconnectFromBus(name);
    state.counters["busiest_second"] = gStorm.busiest;
    state.counters["signals"] = gStorm.heardSignals;
}

BENCHMARK(BM_StartToReady_Service)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartToReady_TrueThroughSetpriv)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdleWakeUps)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BlockToClient)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StormToClient)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    // Before any thread exists: the namespace is this thread's, and every child's.
    gSetupError = PrepareMachine();
    if (gSetupError.empty()) {
        gBus.emplace();
        gSetupError = gBus->Start();
    }
    // The clients here reach the service on the private bus as the system bus.
    if (gSetupError.empty() && ::setenv("DBUS_SYSTEM_BUS_ADDRESS", gBus->Address().c_str(), 1) != 0)
        gSetupError = "DBUS_SYSTEM_BUS_ADDRESS cannot be set";
    static char appName[] = "bench_service";
    static char* appArgv[] = {appName, nullptr};
    int appArgc = 1;
    QCoreApplication app(appArgc, appArgv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gService.reset();
    if (!gSetupError.empty()) {
        std::printf("bench_service: %s\n", gSetupError.c_str());
        return ::geteuid() == 0 ? 1 : 0;  // as root everything here can run
    }
    std::printf("\nservice start -> READY=1: median %.1f ms over %d starts (goal <= %.0f ms), ratio to goal %.2f; "
                "/bin/true through the same setpriv line %.1f ms, the service's own %.1f ms\n",
                gStartMs, kStarts, kStartGoalMs, gStartMs / kStartGoalMs, gTrueMs, gStartMs - gTrueMs);
    if (gEngine.rfind("event engine", 0) != 0) std::printf("(no event engine here; the service ran: %s)\n", gEngine.c_str());
    if (gServiceThreads == 0) std::printf("(the service's threads could not be read from /proc)\n");
    std::printf("idle wake-ups over %.0f s, event engine, protection on: service %.2f a second (%zu threads; goal 0), "
                "`sleep` %.2f a second; ratio service/sleep %s\n",
                std::chrono::duration<double>(kIdleWindow).count(), gServiceWakeUps, gServiceThreads, gSleepWakeUps,
                gSleepWakeUps > 0 ? std::to_string(gServiceWakeUps / gSleepWakeUps).c_str()
                                  : (gServiceWakeUps > 0 ? "above 0 (goal missed)" : "0/0 (goal met)"));
    std::printf("block -> client (connect() until a client hears the new Attempts): median %.2f ms (goal <= %.0f ms), "
                "ratio to goal %.3f; a GetAll round trip on the same bus %.2f ms, ratio %.1f\n",
                gClientMs, kClientGoalMs, gClientMs / kClientGoalMs, gGetAllMs,
                gGetAllMs > 0 ? gClientMs / gGetAllMs : 0.0);
    if (gClientMissed > 0) std::printf("  (%d blocks never reached the client within 2 s)\n", gClientMissed);
    std::printf("storm of %d listed connections in %.2f s (%.0f a second): busiest second %d PropertiesChanged "
                "(goal <= %.0f), ratio to goal %.2f; %d signals in all; final Attempts heard %d, client %d, "
                "expected %d: %s\n",
                gStorm.made, gStorm.seconds, gStorm.seconds > 0 ? gStorm.made / gStorm.seconds : 0.0, gStorm.busiest,
                kSignalsGoal, gStorm.busiest / kSignalsGoal, gStorm.heardSignals, gStorm.heardFinal, gStorm.clientFinal,
                gStorm.expected, gStorm.finalExact ? "exact" : "NOT exact");
    if (gStorm.missed > 0) std::printf("  (%d storm connections were still open after 1 s)\n", gStorm.missed);
    gBus.reset();
    // A count that is not exact is a fault, not a slow figure.
    return !gStormRan || gStorm.finalExact ? 0 : 1;
}

#include "bench_service.moc"
