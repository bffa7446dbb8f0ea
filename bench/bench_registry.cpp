// GetRegistryValue of a REG_SZ (open the key, query, close) against a bare SQLite point query of
// the same row on a connection of its own. Prints the ratio of the two; the goal is at most 2.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "platform/paths.h"
#include "platform/registry.h"
#include "settings/registry_routines.h"

namespace {

using corvane::settings::RegistryRoutines;

std::string g_root;

RegistryRoutines settings_key() {
    RegistryRoutines routines;
    routines.set_hkey(corvane::settings::kHkeyLocalMachine);
    routines.set_KeyRoot("Software\\Corvane");
    return routines;
}

void BM_GetRegistryValue(benchmark::State& state) {
    for (auto _ : state) {
        auto value = settings_key().GetRegistryValue("Attempts", std::string("0"));
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_GetRegistryValue);

void BM_BareSqlitePointQuery(benchmark::State& state) {
    const std::string file = (corvane::platform::machine_state_dir() / "hklm.db").string();
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        state.SkipWithError("cannot open the hive");
        sqlite3_close_v2(db);
        return;
    }
    sqlite3_stmt* find = nullptr;
    sqlite3_prepare_v2(db, "SELECT id FROM keys WHERE path = 'Software\\Corvane'", -1, &find, nullptr);
    sqlite3_int64 key = -1;
    if (find != nullptr && sqlite3_step(find) == SQLITE_ROW) key = sqlite3_column_int64(find, 0);
    sqlite3_finalize(find);
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, "SELECT type, data FROM vals WHERE key = ?1 AND name = 'Attempts'", -1, &query, nullptr);
    if (key < 0 || query == nullptr) state.SkipWithError("no such row");
    for (auto _ : state) {
        sqlite3_bind_int64(query, 1, key);
        if (sqlite3_step(query) != SQLITE_ROW) state.SkipWithError("row missing");
        std::string text(static_cast<const char*>(sqlite3_column_blob(query, 1)),
                         static_cast<std::size_t>(sqlite3_column_bytes(query, 1)));
        benchmark::DoNotOptimize(text);
        sqlite3_reset(query);
    }
    sqlite3_finalize(query);
    sqlite3_close_v2(db);
}
BENCHMARK(BM_BareSqlitePointQuery);

// Remembers each benchmark's time per iteration so the ratio can be printed after the run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal; a log gets plain text.
    RatioReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                real[run.benchmark_name()] = run.GetAdjustedRealTime();
                cpu[run.benchmark_name()] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> real;
    std::map<std::string, double> cpu;
};

}  // namespace

int main(int argc, char** argv) {
    char pattern[] = "/tmp/corvane-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    g_root = pattern;
    setenv("CORVANE_ROOT", g_root.c_str(), 1);
    {
        RegistryRoutines routines = settings_key();
        if (routines.CreateKey() != "0" || !routines.SetRegistryValue("Attempts", std::string("12345"), 1)) {
            std::fprintf(stderr, "cannot prepare the hive\n");
            return 1;
        }
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    // CPU time (user and system, so the file locking counts) is the verdict; wall time is printed
    // too but is disturbed by whatever else shares the machine.
    const auto ratio = [](const std::map<std::string, double>& times) {
        const auto ours = times.find("BM_GetRegistryValue");
        const auto bare = times.find("BM_BareSqlitePointQuery");
        return ours != times.end() && bare != times.end() && bare->second > 0 ? ours->second / bare->second : -1.0;
    };
    const double by_cpu = ratio(reporter.cpu);
    if (by_cpu > 0) {
        std::printf(
            "ratio GetRegistryValue / bare SQLite point query: %.2fx CPU time, %.2fx wall time (goal <= 2.00x) %s\n",
            by_cpu, ratio(reporter.real), by_cpu <= 2.0 ? "met" : "NOT met");
    }
    corvane::platform::close_cached_hives();
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
    return 0;
}
