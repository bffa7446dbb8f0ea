#include "update/file_download.h"

#include <cmath>
#include <optional>
#include <span>
#include <vector>

#include "settings/registry_variant.h"
#include "update/replacement_file.h"
#include "update/update_addresses.h"

namespace corvane::update {
namespace {

constexpr char kTitlePrefix[] = "Online Updater - ";
constexpr char kInstallQuestion[] = "Please exit Corvane before install the update. Exit Now?";
constexpr char kInstallTitle[] = "Install";
constexpr char kUpdateLater[] = "Corvane update later...";
constexpr char kNotStartedUnsafe[] =
    "Corvane update downloaded but not started: it came over an unencrypted connection";

double RoundHalfToEven(double x) {
    const double lower = std::floor(x);
    const double fraction = x - lower;
    if (fraction > 0.5) return lower + 1;
    if (fraction < 0.5) return lower;
    return std::fmod(lower, 2.0) == 0.0 ? lower : lower + 1;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

int DownloadPercent(std::int64_t received, const std::string& size) {
    std::int32_t expected = 0;
    if (!settings::TryParseInt32(size, expected) || expected == 0) return 0;
    const double percent = RoundHalfToEven(static_cast<double>(received) / static_cast<double>(expected) * 100.0);
    if (!(percent > 0)) return 0;
    return percent > 100 ? 100 : static_cast<int>(percent);
}

FileDownload::FileDownload(platform::Inet& inet, UpdateHost& host, std::string programFolder)
    : inet_(inet), host_(host), programFolder_(std::move(programFolder)) {
    inet_.SetStateChanged([this](int state) { InetStateChanged(state); });
}

FileDownload::~FileDownload() { inet_.SetStateChanged(nullptr); }

std::string FileDownload::PathOf(const std::string& file) const {
    return programFolder_ == "/" ? "/" + file : programFolder_ + "/" + file;
}

void FileDownload::WaitWhileExecuting() {
    while (inet_.StillExecuting()) host_.WaitForMessages();
}

std::int32_t FileDownload::GetFileSize(const std::string& url) {
    SizeQueryBusy = true;
    if (!inet_.Execute(url, "HEAD " + Quoted(url))) host_.SetLblStat(kErrorDownloading);
    WaitWhileExecuting();
    const std::string length = inet_.GetHeader("Content-length");
    WaitWhileExecuting();
    std::int32_t size = -1;
    if (!settings::TryParseInt32(length, size)) size = -1;
    SizeQueryBusy = false;
    return size > 0 ? size : -1;
}

bool FileDownload::Fetch(const std::string& url) { return Get(url, Quoted(PathOf(DownloadFile))); }

bool FileDownload::FetchPrivate(const std::string& url, PrivateFile& into) {
    privateTarget_ = &into;
    const bool written = Get(url, Quoted(DownloadFile));
    privateTarget_ = nullptr;
    return written;
}

bool FileDownload::Get(const std::string& url, const std::string& description) {
    lastFetchWritten_ = false;
    if (cancelled_) return false;
    if (!inet_.Execute(url, "GET " + description)) {
        host_.SetLblStat(kErrorDownloading);
        return false;
    }
    WaitWhileExecuting();
    return lastFetchWritten_;
}

void FileDownload::Cancel() {
    cancelled_ = true;
    inet_.Cancel();
}

void FileDownload::InetStateChanged(int state) {
    int percent = 0;
    if (state == platform::Inet::icResponseCompleted) {
        // The end of a size query: GetFileSize collects its result itself.
        if (SizeQueryBusy) return;
        WriteCompletedBody(percent);
        if (!lastFetchWritten_) return;
    } else if (state == platform::Inet::icError) {
        host_.SetLblStat(kErrorDownloading);
        return;
    }
    CommonEnd(percent);
}

void FileDownload::WriteCompletedBody(int& percent) {
    // Into the program folder, the body goes to a private file beside the target and replaces it only
    // once all of it is written, so a failure leaves the old file whole.
    std::optional<ReplacementFile> file;
    if (privateTarget_ == nullptr) file.emplace(PathOf(DownloadFile));
    std::int64_t received = 0;
    for (;;) {
        const std::vector<std::uint8_t> chunk = inet_.GetChunk(kChunkSize);
        received += static_cast<std::int64_t>(chunk.size());
        percent = DownloadPercent(received, DownloadSize);
        host_.SetTitle(kTitlePrefix + std::to_string(percent) + "%");
        // A failed append is remembered by the file and reported at its end below.
        static_cast<void>(file ? file->Append(chunk) : privateTarget_->Append(chunk));
        if (chunk.empty()) break;
        host_.Yield();
    }
    if (!(file ? file->Commit() : privateTarget_->Finish())) {
        host_.SetLblStat(kErrorDownloading);
        return;
    }
    lastFetchWritten_ = true;
}

void FileDownload::CommonEnd(int percent) {
    host_.SetLblStat("");
    if (percent != 100 || !InstallerDownload) return;
    // A program that travelled unencrypted from another machine may have been swapped on the way.
    if (!MayStartProgramFrom(inet_.ResponseUrl())) {
        host_.SetLblMain(kNotStartedUnsafe);
        return;
    }
    if (!host_.AskYesNo(kInstallQuestion, kInstallTitle)) {
        host_.SetLblMain(kUpdateLater);
        return;
    }
    const platform::ShellResult started = host_.StartSetupProgram(PathOf(DownloadFile));
    if (!started.Succeeded()) {
        host_.SetLblMain("Corvane update could not be started: " + started.description);
        return;
    }
    host_.EndSystem();
}

}  // namespace corvane::update
