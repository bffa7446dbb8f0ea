#pragma once
// A file written whole or not at all: the bytes go to a new private file in the target's folder, and
// only Commit moves it over the target in one step. Until then (and after any failure) the target is
// as it was; an uncommitted temporary file is removed when the object goes. A link in the target's place
// is followed only when no other user can have placed it (see replacement_file.cpp), else replaced.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace corvane::update {

class ReplacementFile {
public:
    // Creates the temporary file next to `target`. Check Ok() before writing.
    explicit ReplacementFile(std::string target);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    bool Ok() const { return error_ == 0; }
    // errno of the first failure, 0 while all went well.
    int Error() const { return error_; }

    // Appends bytes (buffered). False once anything has failed.
    bool Append(std::span<const std::uint8_t> bytes);

    // Writes out what is buffered, makes it durable, gives it the target's mode (or rw-r--r-- for a new
    // file) and renames it over the target. False, with the target untouched, on any failure.
    bool Commit();

    const std::string& TemporaryPath() const { return temporary_; }

private:
    bool Flush();
    void Fail(int error);

    std::string target_;
    std::string temporary_;
    std::vector<std::uint8_t> buffer_;
    int fd_ = -1;
    int error_ = 0;
    bool committed_ = false;
};

}  // namespace corvane::update
