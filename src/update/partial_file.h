#pragma once
// A downloaded file written whole or not at all into the user's download folder: the bytes go to a new
// file of this user's alone, ".<name>.part-XXXXXX", made by this object (never opened through a link
// or over anything already there), and only Commit moves it to its name in one step. Until then, and
// after any failure, the name is as it was; an uncommitted partial file is removed when the object
// goes (one left by a killed program is removed by RemoveStalePartials at the next check).
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "update/download_folder.h"

namespace corvane::update {

class PartialFile {
public:
    // Makes the partial file for `name` in `folder`. `mode` is what the file gets at Commit (0700 for a
    // program to start); until then it is 0600. Check Ok() before writing.
    PartialFile(const DownloadFolder& folder, std::string name, mode_t mode);
    ~PartialFile();
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    bool Ok() const { return error_ == 0; }
    // errno of the first failure, 0 while all went well.
    int Error() const { return error_; }

    // Appends bytes (buffered). False once anything has failed.
    bool Append(std::span<const std::uint8_t> bytes);

    // Writes out what is buffered, gives the file its mode, makes it durable and renames it to its
    // name. False, with the name untouched, on any failure.
    bool Commit();

    const std::string& TemporaryName() const { return temporary_; }

private:
    bool Flush();
    void Fail(int error);
    void Abandon();

    platform::UniqueFd folder_;
    platform::UniqueFd fd_;
    std::string name_;
    std::string temporary_;
    std::vector<std::uint8_t> buffer_;
    mode_t mode_;
    int error_ = 0;
    bool committed_ = false;
};

}  // namespace corvane::update
