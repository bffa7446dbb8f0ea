#pragma once
// A downloaded file that never touches a folder: an anonymous file in memory, readable only through
// its descriptor. Finish seals it, so whoever the descriptor is handed to reads exactly the bytes
// downloaded, however long it keeps it.
#include <cstdint>
#include <span>

#include "platform/unique_fd.h"

namespace corvane::update {

class PrivateFile {
public:
    PrivateFile();
    PrivateFile(const PrivateFile&) = delete;
    PrivateFile& operator=(const PrivateFile&) = delete;

    bool Ok() const { return error_ == 0; }
    // errno of the first failure, 0 while all went well.
    int Error() const { return error_; }

    // Appends bytes. False once anything has failed or after Finish.
    bool Append(std::span<const std::uint8_t> bytes);

    // Seals the contents against any change (writing, growing, shrinking) and puts the read position at
    // the start. False on any failure; the file is then not to be handed on.
    bool Finish();
    bool Finished() const { return finished_; }

    // The descriptor (close-on-exec); it stays this object's.
    int Fd() const { return fd_.Get(); }
    std::int64_t Size() const { return size_; }

private:
    void Fail(int error);

    platform::UniqueFd fd_;
    std::int64_t size_ = 0;
    int error_ = 0;
    bool finished_ = false;
};

}  // namespace corvane::update
