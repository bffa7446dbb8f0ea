// A 10 MB file from a loopback HTTP server, downloaded into a folder: through the transfer component
// and the update machinery (size query, GET, 1024-byte chunks with the title and a message-loop yield
// between them, temporary file and rename), and through curl writing the same file. Prints the
// component's throughput as a share of curl's; the goal is at least 0.5x.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "loopback_http_server.h"
#include "platform/inet.h"
#include "platform/message_loop.h"
#include "update/file_download.h"

extern char** environ;

namespace {

using corvane::testing::LoopbackHttpServer;
using corvane::testing::PatternBody;
using corvane::testing::ScriptedReply;

constexpr std::size_t kFileSize = 10u << 20;

LoopbackHttpServer* g_server = nullptr;
std::string g_folder;

// A window that shows nothing: titles and labels are counted, the message loop is the real one.
class QuietHost final : public corvane::update::UpdateHost {
public:
    int titles = 0;
    std::string lblStat;
    void SetTitle(const std::string&) override { ++titles; }
    void SetLblStat(const std::string& text) override { lblStat = text; }
    void SetLblDefs(const std::string&) override {}
    void SetLblMain(const std::string&) override {}
    void SetLblDefsDetail(const std::string&) override {}
    bool AskYesNo(const std::string&, const std::string&) override { return false; }
    void Yield() override { corvane::platform::Yield(); }
    void WaitForMessages() override { corvane::platform::WaitForMessages(); }
    // The download measured here is not a definitions file; nothing is handed to the service.
    bool InstallDefinitions(int, std::string&) override { return false; }
    corvane::platform::ShellResult StartSetupProgram(const std::string&) override { return {}; }
    void EndSystem() override {}
};

void BM_ComponentDownload(benchmark::State& state) {
    auto inet = corvane::platform::CreateInet();
    QuietHost host;
    corvane::update::FileDownload download(*inet, host, g_folder);
    const std::string url = g_server->Url("/big");
    // One untimed round first: the component's first request sets up its manager and connection.
    download.DownloadFile = "component.bin";
    download.DownloadSize = std::to_string(download.GetFileSize(url));
    download.Fetch(url);
    for (auto _ : state) {
        download.DownloadFile = "component.bin";
        download.DownloadSize = std::to_string(download.GetFileSize(url));
        if (!download.Fetch(url)) state.SkipWithError("download failed");
    }
    if (std::filesystem::file_size(g_folder + "/component.bin") != kFileSize) state.SkipWithError("wrong size");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}
BENCHMARK(BM_ComponentDownload)->Unit(benchmark::kMillisecond)->UseRealTime();

// curl writing `target`; false when it cannot be started or fails.
bool RunCurl(const std::string& url, const std::string& target) {
    const char* argv[] = {"curl",     "--silent",     "--fail",    "--noproxy", "*",
                          "--output", target.c_str(), url.c_str(), nullptr};
    pid_t pid = 0;
    if (::posix_spawnp(&pid, "curl", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return false;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_CurlDownload(benchmark::State& state) {
    const std::string url = g_server->Url("/big");
    const std::string target = g_folder + "/curl.bin";
    // One untimed round first, as for the component (the program's pages come into memory).
    if (!RunCurl(url, target)) {
        state.SkipWithError("curl cannot be started or failed");
        return;
    }
    for (auto _ : state) {
        if (!RunCurl(url, target)) state.SkipWithError("curl failed");
    }
    if (std::filesystem::file_size(target) != kFileSize) state.SkipWithError("wrong size");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}
BENCHMARK(BM_CurlDownload)->Unit(benchmark::kMillisecond)->UseRealTime();

class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0 && !run.error_occurred)
                real[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> real;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    char pattern[] = "/tmp/corvane-bench-update-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    g_folder = pattern;
    LoopbackHttpServer server;
    server.Route("/big", ScriptedReply::Ok(PatternBody(kFileSize)));
    g_server = &server;

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto ours = reporter.real.find("BM_ComponentDownload/real_time");
    const auto curl = reporter.real.find("BM_CurlDownload/real_time");
    if (ours != reporter.real.end() && curl != reporter.real.end() && ours->second > 0) {
        const double ratio = curl->second / ours->second;
        std::printf("ratio component / curl throughput, 10 MB from loopback: %.2fx (goal >= 0.50x) %s\n", ratio,
                    ratio >= 0.5 ? "met" : "NOT met");
    }
    std::error_code ignored;
    std::filesystem::remove_all(g_folder, ignored);
    return 0;
}
