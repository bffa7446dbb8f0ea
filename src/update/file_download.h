#pragma once
// Downloads through the transfer component: the size query (a HEAD request), the GET whose completion
// writes the body in 1024-byte chunks with the percentage in the window's title (into the program
// folder, or into a private anonymous file), and the offer to run a downloaded setup program.
#include <cstdint>
#include <string>

#include "platform/inet.h"
#include "update/private_file.h"
#include "update/update_host.h"

namespace corvane::update {

inline constexpr char kErrorDownloading[] = "Error downloading file";
inline constexpr std::size_t kChunkSize = 1024;

// received ÷ size × 100, rounded to the nearest integer (halves to even) and kept within 0…100. `size`
// is decimal text; a size that is not a positive number gives 0.
int DownloadPercent(std::int64_t received, const std::string& size);

class FileDownload {
public:
    // Becomes the component's StateChanged handler for its own lifetime.
    FileDownload(platform::Inet& inet, UpdateHost& host, std::string programFolder);
    ~FileDownload();
    FileDownload(const FileDownload&) = delete;
    FileDownload& operator=(const FileDownload&) = delete;

    // The window's download state; empty / false each time the window loads.
    std::string DownloadFile;  // file name inside the program folder the next completed GET is written to
    std::string DownloadSize;  // expected size as decimal text, "-1" when unknown
    bool SizeQueryBusy = false;
    bool InstallerDownload = false;

    // The size the server announces for `url`, or -1 (also for 0, a missing or non-numeric header, or a
    // failed request).
    std::int32_t GetFileSize(const std::string& url);

    // Starts the GET of `url` into program folder + "/" + DownloadFile and waits while it runs. True when
    // the whole body arrived and replaced the file.
    bool Fetch(const std::string& url);
    // The same GET into `into` instead, which is finished (sealed, read from its start) when this
    // returns true. No folder sees the bytes.
    bool FetchPrivate(const std::string& url, PrivateFile& into);

    // Waits while the component is executing, letting window messages through.
    void WaitWhileExecuting();

    // The component's StateChanged event.
    void InetStateChanged(int state);

    // Stops a running transfer (the window is closing); the check ends early after this.
    void Cancel();
    bool Cancelled() const { return cancelled_; }

    // The target path of a file name in the program folder.
    std::string PathOf(const std::string& file) const;

private:
    bool Get(const std::string& url, const std::string& description);
    void WriteCompletedBody(int& percent);
    void CommonEnd(int percent);

    platform::Inet& inet_;
    UpdateHost& host_;
    std::string programFolder_;
    PrivateFile* privateTarget_ = nullptr;  // set while a FetchPrivate runs
    bool lastFetchWritten_ = false;
    bool cancelled_ = false;
};

}  // namespace corvane::update
