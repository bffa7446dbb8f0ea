#include "update/file_download.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "settings/registry_variant.h"
#include "update/download_folder.h"
#include "update/partial_file.h"

namespace corvane::update {
namespace {

// What a downloaded program gets: its owner may read, write and start it, nobody else anything.
constexpr mode_t kProgramMode = 0700;

double RoundHalfToEven(double x) {
    const double lower = std::floor(x);
    const double fraction = x - lower;
    if (fraction > 0.5) return lower + 1;
    if (fraction < 0.5) return lower;
    return std::fmod(lower, 2.0) == 0.0 ? lower : lower + 1;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// A decimal size of 0 or more, else nullopt.
std::optional<std::int64_t> SizeOf(const std::string& text) {
    std::int32_t size = -1;
    if (text.empty() || !settings::TryParseInt32(text, size) || size < 0) return std::nullopt;
    return size;
}

}  // namespace

// Where a completed body goes: a partial file in the folder, or the caller's private file.
class FileDownload::Target {
public:
    explicit Target(PrivateFile& file) : private_(&file) {}
    explicit Target(std::unique_ptr<PartialFile> file) : partial_(std::move(file)) {}

    bool Append(std::span<const std::uint8_t> bytes) {
        return partial_ ? partial_->Append(bytes) : private_->Append(bytes);
    }
    bool Finish() { return partial_ ? partial_->Commit() : private_->Finish(); }
    int Error() const { return partial_ ? partial_->Error() : private_->Error(); }
    bool IsPrivate() const { return private_ != nullptr; }

private:
    PrivateFile* private_ = nullptr;
    std::unique_ptr<PartialFile> partial_;
};

int DownloadPercent(std::int64_t received, const std::string& size) {
    std::int32_t expected = 0;
    if (!settings::TryParseInt32(size, expected) || expected == 0) return 0;
    const double percent = RoundHalfToEven(static_cast<double>(received) / static_cast<double>(expected) * 100.0);
    if (!(percent > 0)) return 0;
    return percent > 100 ? 100 : static_cast<int>(percent);
}

FileDownload::FileDownload(platform::Inet& inet, UpdateHost& host, std::string folder)
    : inet_(inet), host_(host), folder_(std::move(folder)) {
    inet_.SetStateChanged([this](int state) { InetStateChanged(state); });
}

FileDownload::~FileDownload() { inet_.SetStateChanged(nullptr); }

std::string FileDownload::PathOf(const std::string& file) const {
    return folder_ == "/" ? "/" + file : folder_ + "/" + file;
}

void FileDownload::WaitWhileExecuting() {
    while (inet_.StillExecuting()) host_.WaitForMessages();
}

std::int32_t FileDownload::GetFileSize(const std::string& url) {
    SizeQueryBusy = true;
    std::int32_t size = -1;
    if (inet_.Execute(url, "HEAD " + Quoted(url))) {
        WaitWhileExecuting();
        if (!settings::TryParseInt32(inet_.GetHeader("Content-length"), size)) size = -1;
    }
    SizeQueryBusy = false;
    return size > 0 ? size : -1;
}

bool FileDownload::Fetch(const std::string& url) {
    failure_.clear();
    folderRefused_ = false;
    std::string why;
    const DownloadFolder folder = DownloadFolder::Open(folder_, true, why);
    if (!folder.Valid()) {
        folderRefused_ = true;
        Fail(why);
        return false;
    }
    auto file = std::make_unique<PartialFile>(folder, DownloadFile, kProgramMode);
    if (!file->Ok()) {
        Fail("no new file can be made in " + folder.Path() + ": " + std::strerror(file->Error()));
        return false;
    }
    Target target(std::move(file));
    return Get(url, target);
}

bool FileDownload::FetchPrivate(const std::string& url, PrivateFile& into) {
    failure_.clear();
    folderRefused_ = false;
    if (!into.Ok()) {
        Fail(std::string("no private file can be made: ") + std::strerror(into.Error()));
        return false;
    }
    Target target(into);
    return Get(url, target);
}

bool FileDownload::Get(const std::string& url, Target& target) {
    lastFetchWritten_ = false;
    if (cancelled_) {
        Fail("cancelled");
        return false;
    }
    if (!inet_.Execute(url, "GET " + Quoted(url))) {
        Fail("the request cannot be made");
        return false;
    }
    target_ = &target;
    WaitWhileExecuting();
    target_ = nullptr;
    if (!lastFetchWritten_ && failure_.empty()) Fail(cancelled_ ? "cancelled" : kErrorDownloading);
    return lastFetchWritten_;
}

void FileDownload::Fail(std::string why) {
    if (failure_.empty()) failure_ = std::move(why);
}

void FileDownload::Cancel() {
    cancelled_ = true;
    inet_.Cancel();
}

void FileDownload::InetStateChanged(int state) {
    if (state == platform::Inet::icResponseCompleted) {
        // The end of a size query: GetFileSize collects its result itself.
        if (SizeQueryBusy || target_ == nullptr) return;
        WriteCompletedBody();
    } else if (state == platform::Inet::icError && !SizeQueryBusy && target_ != nullptr) {
        const std::string why = inet_.LastError();
        Fail(why.empty() ? kErrorDownloading : why);
        host_.SetTitle(kTitleFailed);
    }
}

void FileDownload::WriteCompletedBody() {
    // The size the body must have: the size query's, else the answer's own Content-Length.
    std::optional<std::int64_t> announced = SizeOf(DownloadSize);
    if (announced && *announced == 0) announced.reset();
    if (!announced) announced = SizeOf(inet_.GetHeader("Content-Length"));
    std::int64_t received = 0;
    for (;;) {
        const std::vector<std::uint8_t> chunk = inet_.GetChunk(kChunkSize);
        received += static_cast<std::int64_t>(chunk.size());
        // 100 % is said only once the whole file is written, below.
        host_.SetTitle(kTitlePrefix + std::to_string(std::min(DownloadPercent(received, DownloadSize), 99)) + "%");
        // A failed append is remembered by the file and reported at its end below.
        static_cast<void>(target_->Append(chunk));
        if (chunk.empty()) break;
        host_.Yield();
        if (cancelled_) break;
    }
    if (cancelled_) {
        Fail("cancelled");
    } else if (announced && received != *announced) {
        // A connection that ends early without a length of its own, or a server that sends more:
        // either way not the file announced.
        Fail("the server announced " + std::to_string(*announced) + " bytes and sent " + std::to_string(received));
    } else if (!target_->Finish()) {
        Fail(std::string("the file cannot be written: ") +
             std::strerror(target_->Error() != 0 ? target_->Error() : EIO));
    } else {
        // A file in the folder is done now; a private file is done once its taker has it (the caller
        // says so).
        if (!target_->IsPrivate()) host_.SetTitle(std::string(kTitlePrefix) + "100%");
        lastFetchWritten_ = true;
        return;
    }
    host_.SetTitle(kTitleFailed);
}

}  // namespace corvane::update
