#pragma once
// The user's own download folder, where a downloaded setup program is saved and started from: found
// the way the desktop names it (xdg-user-dirs), made private when missing, and written only while it
// is the user's own folder that no other user can change.
#include <sys/types.h>

#include <ctime>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace corvane::update {

// Where the download folder may be named.
struct DownloadFolderSources {
    std::string xdgDownloadDir;  // the environment's XDG_DOWNLOAD_DIR (empty when unset)
    std::string home;            // the user's home folder
    std::string configHome;      // $XDG_CONFIG_HOME or ~/.config, holding user-dirs.dirs
};

// XDG_DOWNLOAD_DIR when it is an absolute path; else the XDG_DOWNLOAD_DIR line of
// configHome/user-dirs.dirs ("$HOME/…" or an absolute path; one naming the home folder itself means
// the desktop has none); else home/Downloads.
std::string DownloadFolderPath(const DownloadFolderSources& sources);

// The current user's sources: the environment and the password database. Below CORVANE_ROOT (tests,
// portable installs) the home folder is $CORVANE_ROOT/home/<user> and the environment's
// XDG_DOWNLOAD_DIR and XDG_CONFIG_HOME do not count.
DownloadFolderSources CurrentDownloadFolderSources();

// An open download folder. Every file in it is made and replaced relative to the open folder, so the
// path is looked up once.
class DownloadFolder {
public:
    // Opens the folder at `path`, making it (and any missing parents) with mode 0700 first when
    // `create` is true. Refused, with `why` in plain words: a folder of another user, one that other
    // users may write to (unless its sticky bit keeps them from the user's files), or a link to it
    // that another user could have placed.
    static DownloadFolder Open(const std::string& path, bool create, std::string& why);

    DownloadFolder() = default;
    bool Valid() const { return fd_.Valid(); }
    int Fd() const { return fd_.Get(); }
    const std::string& Path() const { return path_; }
    // The path of a file in the folder.
    std::string PathOf(std::string_view name) const;

private:
    platform::UniqueFd fd_;
    std::string path_;
};

// The name of a partial download of `name`: ".<name>.part-" followed by six random characters.
std::string PartialPrefix(std::string_view name);

// Removes the partial downloads of `name` (left by a transfer that was killed) that are regular files
// of this user last changed before `before`. Returns how many were removed.
int RemoveStalePartials(const DownloadFolder& folder, std::string_view name, const timespec& before);

}  // namespace corvane::update
