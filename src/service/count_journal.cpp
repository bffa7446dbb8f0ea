#include "service/count_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/unique_fd.h"
#include "service/write_all.h"

namespace corvane::service {

namespace {

using platform::UniqueFd;

// Far more than the three lines ever take: a larger file is not the journal.
constexpr std::size_t kMaxJournalBytes = 256;

std::string Failed(const std::string& step, int error) { return step + ": " + std::strerror(error); }

std::string NumberText(const std::optional<std::int32_t>& number) {
    return number ? std::to_string(*number) : std::string("-");
}

// "NAME VALUE\n" at the front of `text`, VALUE a 32-bit number or (when `maybe`) "-"; the rest
// after it.
bool TakeLine(std::string_view& text, std::string_view name, bool maybe, std::optional<std::int32_t>& number) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return false;
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (!line.starts_with(name) || line.size() <= name.size() + 1 || line[name.size()] != ' ') return false;
    line.remove_prefix(name.size() + 1);
    if (maybe && line == "-") {
        number.reset();
        return true;
    }
    std::int32_t value = 0;
    const auto [at, error] = std::from_chars(line.data(), line.data() + line.size(), value);
    if (error != std::errc() || at != line.data() + line.size()) return false;
    number = value;
    return true;
}

}  // namespace

std::string CountJournalText(const CountJournal& journal) {
    return "count " + NumberText(journal.count) + "\nstored " + NumberText(journal.stored) + "\nadded " +
           std::to_string(journal.added) + "\n";
}

std::optional<CountJournal> ParseCountJournal(std::string_view text) {
    CountJournal journal;
    std::optional<std::int32_t> added;
    if (!TakeLine(text, "count", true, journal.count) || !TakeLine(text, "stored", true, journal.stored) ||
        !TakeLine(text, "added", false, added) || !text.empty() || *added < 0)
        return std::nullopt;
    journal.added = *added;
    return journal;
}

CountJournalRead ReadCountJournal(const std::filesystem::path& file) {
    CountJournalRead read;
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.Valid()) {
        if (errno != ENOENT) read.why = errno == ELOOP ? "it is a link (not followed)" : Failed("cannot open", errno);
        return read;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0) {
        read.why = Failed("cannot examine", errno);
        return read;
    }
    if (!S_ISREG(info.st_mode)) {
        read.why = "not a regular file";
        return read;
    }
    if (info.st_uid != ::geteuid()) {
        read.why = "it belongs to user " + std::to_string(info.st_uid) + ", not to this service";
        return read;
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        static_cast<void>(std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777)));
        read.why = std::string("others may write it (mode ") + mode + ")";
        return read;
    }
    std::string text(kMaxJournalBytes + 1, '\0');
    std::size_t have = 0;
    while (have < text.size()) {
        const ssize_t got = ::read(fd.Get(), text.data() + have, text.size() - have);
        if (got < 0) {
            if (errno == EINTR) continue;
            read.why = Failed("cannot read", errno);
            return read;
        }
        if (got == 0) break;
        have += static_cast<std::size_t>(got);
    }
    text.resize(have);
    read.journal = have <= kMaxJournalBytes ? ParseCountJournal(text) : std::nullopt;
    if (!read.journal) read.why = "not in its form (" + std::to_string(have) + " bytes)";
    return read;
}

std::string WriteCountJournal(const std::filesystem::path& file, const CountJournal& journal) {
    const std::filesystem::path fresh = file.string() + ".new";
    // A new file each time: whatever a crash left under that name is not written through.
    if (::unlink(fresh.c_str()) != 0 && errno != ENOENT) return Failed("cannot remove " + fresh.string(), errno);
    UniqueFd fd(::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.Valid()) return Failed("cannot create " + fresh.string(), errno);
    if (!WriteAll(fd.Get(), CountJournalText(journal))) return Failed("cannot write " + fresh.string(), errno);
    if (::fdatasync(fd.Get()) != 0) return Failed("cannot flush " + fresh.string(), errno);
    // Its content is on disk: closing can lose nothing more.
    fd.Reset();
    if (::rename(fresh.c_str(), file.c_str()) != 0) return Failed("cannot rename it to " + file.string(), errno);
    // The rename itself on disk.
    const UniqueFd folder(::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.Valid()) return Failed("cannot open " + file.parent_path().string(), errno);
    if (::fsync(folder.Get()) != 0) return Failed("cannot flush " + file.parent_path().string(), errno);
    return {};
}

}  // namespace corvane::service
