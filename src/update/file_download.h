#pragma once
// Downloads through the transfer component: the size query (a HEAD request), and the GET whose
// completion writes the body in 1024-byte chunks with the percentage in the window's title, into the
// user's download folder or into a private anonymous file. A body counts only when it is whole: as
// long as the size query or the answer's Content-Length announced, when either did.
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/inet.h"
#include "update/private_file.h"
#include "update/update_host.h"

namespace corvane::update {

inline constexpr char kErrorDownloading[] = "Error downloading file";
inline constexpr char kTitlePrefix[] = "Online Updater - ";
// The title after a download that did not end whole and written.
inline constexpr char kTitleFailed[] = "Online Updater - failed";
inline constexpr std::size_t kChunkSize = 1024;

// received ÷ size × 100, rounded to the nearest integer (halves to even) and kept within 0…100. `size`
// is decimal text; a size that is not a positive number gives 0.
int DownloadPercent(std::int64_t received, const std::string& size);

class FileDownload {
public:
    // Becomes the component's StateChanged handler for its own lifetime. `folder` is where Fetch
    // writes (see SetFolder).
    FileDownload(platform::Inet& inet, UpdateHost& host, std::string folder);
    ~FileDownload();
    FileDownload(const FileDownload&) = delete;
    FileDownload& operator=(const FileDownload&) = delete;

    // The window's download state; empty / false each time the window loads.
    std::string DownloadFile;  // name of the file in the folder the next Fetch writes
    std::string DownloadSize;  // expected size as decimal text, "-1" when unknown
    bool SizeQueryBusy = false;

    // The size the server announces for `url`, or -1 (also for 0, a missing or non-numeric header, or a
    // failed request).
    std::int32_t GetFileSize(const std::string& url);

    // Starts the GET of `url` into folder + "/" + DownloadFile and waits while it runs. The folder is
    // opened as the user's own download folder (see DownloadFolder: made private when missing,
    // refused when another user could change it); the file is written as a new partial file there
    // and renamed to its name, mode 0700, once the whole body is written. True when that happened.
    bool Fetch(const std::string& url);
    // The same GET into `into` instead, which is finished (sealed, read from its start) when this
    // returns true. No folder sees the bytes. The title stops short of 100 %: the file is not in
    // place until whoever it is for has taken it, and the caller says so.
    bool FetchPrivate(const std::string& url, PrivateFile& into);

    // Why the last Fetch or FetchPrivate did not succeed, in plain words; empty after a success.
    const std::string& Failure() const { return failure_; }
    // Whether that was because the folder was refused or could not be made.
    bool FolderRefused() const { return folderRefused_; }

    // Waits while the component is executing, letting window messages through.
    void WaitWhileExecuting();

    // The component's StateChanged event.
    void InetStateChanged(int state);

    // Stops a running transfer (the window is closing); the check ends early after this.
    void Cancel();
    bool Cancelled() const { return cancelled_; }

    void SetFolder(std::string folder) { folder_ = std::move(folder); }
    const std::string& Folder() const { return folder_; }
    // The path of a file name in the folder.
    std::string PathOf(const std::string& file) const;

private:
    class Target;
    bool Get(const std::string& url, Target& target);
    void WriteCompletedBody();
    void Fail(std::string why);

    platform::Inet& inet_;
    UpdateHost& host_;
    std::string folder_;
    Target* target_ = nullptr;  // set while a fetch runs
    std::string failure_;
    bool lastFetchWritten_ = false;
    bool folderRefused_ = false;
    bool cancelled_ = false;
};

}  // namespace corvane::update
