#pragma once
// The count kept beside the settings store, so that a count the store cannot take (another process
// holds it locked, it is damaged, gone or emptied) is not lost when the service ends without its last
// save (kill -9, a crash, a power cut).
//
// One small text file of the service's own: mode 0600, its owner and kind checked when read, never
// opened through a link, and replaced whole each time (a new file beside it, flushed to disk, renamed
// over it, the folder flushed), so a reader finds the old content or the new one, never a mix.
//
//   count 10037      the service's count (- while the stored count was never known)
//   stored 40        the count the store held as far as the service knew then (- for none)
//   added 0          blocks counted on top of a stored count not read yet
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::service {

struct CountJournal {
    std::optional<std::int32_t> count;
    std::optional<std::int32_t> stored;
    std::int32_t added = 0;

    bool operator==(const CountJournal&) const = default;
};

struct CountJournalRead {
    std::optional<CountJournal> journal;  // nullopt when there is none or it cannot be used
    std::string why;                      // why it cannot be used; empty when read or absent
};

// The journal at `file`.
CountJournalRead ReadCountJournal(const std::filesystem::path& file);
// Replaces the journal at `file`; empty when done, else why not.
std::string WriteCountJournal(const std::filesystem::path& file, const CountJournal& journal);

// The journal's text, and the journal a text holds (nullopt when it is not in that form).
std::string CountJournalText(const CountJournal& journal);
std::optional<CountJournal> ParseCountJournal(std::string_view text);

}  // namespace corvane::service
