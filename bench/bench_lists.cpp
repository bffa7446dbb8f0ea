// LoadListFolder of a folder holding one list file of 1,000,000 lines (60% IPv4 prefixes and
// addresses, 20% named IPv4 ranges, 20% IPv6 prefixes, a comment now and then), read and parsed
// whole; and the parse of the same bytes already in memory. The list is made once, from a fixed
// seed, in a private folder of its own. Prints the fastest load against the goal (at most 1 s) and
// the cost per line.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>

#include "engine/address_lists.h"
#include "platform/unique_fd.h"

namespace {

using corvane::platform::UniqueFd;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kLines = 1000000;
constexpr double kGoalSeconds = 1.0;

std::string gFolder;
std::string gContent;
std::string gSetupError;
double gBestLoadSeconds = std::numeric_limits<double>::infinity();
std::size_t gLoadedPrefixes = 0;

void AppendDotted(std::string& out, std::uint32_t a) {
    char text[16];
    const int size = std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255);
    out.append(text, static_cast<std::size_t>(size));
}

std::string MakeContent() {
    std::mt19937 random(1000000);
    std::string out;
    out.reserve(kLines * 32);
    out += "# a list of a million lines, made for the benchmark\n";
    char text[64];
    for (std::size_t line = 1; line < kLines; ++line) {
        const unsigned kind = random() % 100;
        if (kind < 1) {
            out += "# a comment\n";
        } else if (kind < 61) {
            const unsigned length = 8 + random() % 25;
            std::uint32_t address = random();
            if (length < 32) address &= ~(~std::uint32_t{0} >> length);
            AppendDotted(out, address);
            const int size = std::snprintf(text, sizeof text, "/%u\n", length);
            out.append(text, static_cast<std::size_t>(size));
        } else if (kind < 81) {
            const std::uint32_t first = random();
            const std::uint32_t span = std::min<std::uint32_t>(random() % 5000, 0xffffffffu - first);
            out += "Some Network Inc:";
            AppendDotted(out, first);
            out += '-';
            AppendDotted(out, first + span);
            out += '\n';
        } else {
            const unsigned length = 32 + random() % 33;
            const std::uint64_t high = std::uint64_t{0x2000u | (random() & 0xfffu)} << 48 | std::uint64_t{random()}
                                                                                                << 16;
            const std::uint64_t masked = length == 64 ? high : high & ~(~std::uint64_t{0} >> length);
            const int size = std::snprintf(text, sizeof text, "%x:%x:%x:%x::/%u\n", unsigned(masked >> 48),
                                           unsigned(masked >> 32 & 0xffff), unsigned(masked >> 16 & 0xffff),
                                           unsigned(masked & 0xffff), length);
            out.append(text, static_cast<std::size_t>(size));
        }
    }
    return out;
}

std::string Prepare() {
    char name[] = "/tmp/corvane-bench-lists-XXXXXX";
    if (::mkdtemp(name) == nullptr) return std::string("mkdtemp: ") + std::strerror(errno);
    gFolder = name;
    if (::chmod(name, 0755) != 0) return std::string("chmod: ") + std::strerror(errno);
    gContent = MakeContent();
    const std::string path = gFolder + "/million.list";
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd.Valid()) return path + ": " + std::strerror(errno);
    std::size_t done = 0;
    while (done < gContent.size()) {
        const ssize_t wrote = ::write(fd.Get(), gContent.data() + done, gContent.size() - done);
        if (wrote <= 0) return path + ": " + std::strerror(errno);
        done += static_cast<std::size_t>(wrote);
    }
    if (::fchmod(fd.Get(), 0644) != 0) return path + ": " + std::strerror(errno);
    return {};
}

void BM_LoadMillionLineFolder(benchmark::State& state) {
    if (!gSetupError.empty()) {
        state.SkipWithError(gSetupError.c_str());
        return;
    }
    // Run by someone else than root, the folder and the file are that user's: trusted through here.
    const corvane::engine::ListFolderOptions options{::geteuid()};
    for (auto _ : state) {
        const auto start = Clock::now();
        corvane::engine::AddressLists lists = corvane::engine::LoadListFolder(gFolder, options);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        gBestLoadSeconds = std::min(gBestLoadSeconds, seconds);
        if (lists.sources.size() != 1 || lists.sources[0].refused || !lists.problems.empty()) {
            state.SkipWithError(lists.sources.empty() ? lists.folderProblem.c_str() : "the list was not read whole");
            return;
        }
        gLoadedPrefixes = lists.v4.size() + lists.v6.size();
        benchmark::DoNotOptimize(lists);
    }
}
BENCHMARK(BM_LoadMillionLineFolder)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_ParseMillionLinesInMemory(benchmark::State& state) {
    if (!gSetupError.empty()) {
        state.SkipWithError(gSetupError.c_str());
        return;
    }
    for (auto _ : state) {
        corvane::engine::AddressLists lists;
        corvane::engine::ParseListContent(gContent, 0, lists);
        benchmark::DoNotOptimize(lists);
    }
}
BENCHMARK(BM_ParseMillionLinesInMemory)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    gSetupError = Prepare();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (gSetupError.empty() && gBestLoadSeconds < std::numeric_limits<double>::infinity()) {
        std::printf(
            "LOAD a folder with one list of %zu lines (%zu bytes, %zu prefixes): %.3f s "
            "(goal <= %.0f s: %s); %.0f ns a line\n",
            kLines, gContent.size(), gLoadedPrefixes, gBestLoadSeconds, kGoalSeconds,
            gBestLoadSeconds <= kGoalSeconds ? "met" : "MISSED", gBestLoadSeconds * 1e9 / kLines);
    } else {
        std::printf("LOAD not measured: %s\n", gSetupError.empty() ? "no run" : gSetupError.c_str());
    }
    if (!gFolder.empty()) {
        std::error_code error;
        std::filesystem::remove_all(gFolder, error);
    }
    return 0;
}
