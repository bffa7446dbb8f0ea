// Arbitrary bytes as the count kept beside the store: whatever parses is a journal the service could
// have written, and writes back to the very same text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "service/count_journal.h"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using corvane::service::CountJournal;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<CountJournal> journal = corvane::service::ParseCountJournal(text);
    if (!journal) return 0;
    Check(journal->added >= 0);
    const std::string written = corvane::service::CountJournalText(*journal);
    const std::optional<CountJournal> again = corvane::service::ParseCountJournal(written);
    Check(again.has_value() && *again == *journal);
    return 0;
}
