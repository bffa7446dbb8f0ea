// The journal's native protocol through libsystemd. Its own library (corvane_platform_journal), so
// that only the programs that write entries link libsystemd.
//
// The code location sd_journal_sendv would add names the build's source paths, not the event: left out.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/journal.h"

namespace corvane::platform {

namespace {

// The journal's last refusal said in the system log (a negative errno): each new one is said once.
std::atomic<int> toldRefusal{0};

void TellRefusal(int result) {
    if (toldRefusal.exchange(result) == result) return;
    static_cast<void>(WriteSystemLog(LogLevel::kWarning, "the journal refused an entry (" +
                                                             std::string(std::strerror(-result)) +
                                                             "): entries go to the system log without their fields"));
}

}  // namespace

bool WriteJournalEntry(LogLevel level, std::string_view line, std::span<const JournalField> fields) {
    if (line.find('\0') != std::string_view::npos) return false;
    std::vector<std::string> items;
    items.reserve(fields.size() + 4);
    items.push_back("MESSAGE=" + std::string(line));
    // The priority and facility the plain line has (LOG_NOTICE or LOG_WARNING, LOG_DAEMON).
    items.emplace_back(level == LogLevel::kWarning ? "PRIORITY=4" : "PRIORITY=5");
    items.emplace_back("SYSLOG_FACILITY=3");
    items.emplace_back("SYSLOG_IDENTIFIER=corvane");
    for (const JournalField& field : fields) {
        std::string item;
        item.reserve(field.name.size() + 1 + field.value.size());
        item.append(field.name).append(1, '=').append(field.value);
        items.push_back(std::move(item));
    }
    std::vector<iovec> parts;
    parts.reserve(items.size());
    for (std::string& item : items) parts.push_back(iovec{item.data(), item.size()});

    // libsystemd sends on a blocking socket of its own and has no way to be told otherwise: while
    // journald is stalled with its queue full, this waits for room. The block log calls it for at
    // most 20 lines and one summary a second. (A value with a newline goes in the protocol's binary
    // form; libsystemd chooses it.)
    const int result = ::sd_journal_sendv(parts.data(), static_cast<int>(parts.size()));
    if (result >= 0) return true;
    // No journal here: no socket (no systemd, a private mount namespace) or nobody behind it
    // (journald stopped). The plain line is all there is, as on any syslog machine.
    if (result != -ENOENT && result != -ECONNREFUSED) TellRefusal(result);
    return WriteSystemLog(level, line);
}

}  // namespace corvane::platform
