#pragma once
// Entries in the systemd journal that carry fields of their own beside the message, so that
// `journalctl -t corvane CORVANE_ADDRESS=192.0.2.1` finds them. Where no journal listens (no
// systemd, or journald not running) the message alone goes to the system log (system_log.h), as it
// reads there anyway.
#include <span>
#include <string>
#include <string_view>

#include "platform/system_log.h"

namespace corvane::platform {

struct JournalField {
    std::string_view name;  // upper-case letters, digits and '_', not starting with '_'
    std::string value;      // any bytes
};

// Writes one entry under the tag "corvane" (SYSLOG_IDENTIFIER), with MESSAGE=line, the priority of
// `level` and `fields`. Returns false when it reached neither the journal nor the system log (a NUL
// byte in line). A journal that refuses the entry for another reason than not being there is said
// once in the system log (for each new reason), and the line goes there instead.
//
// The journal's socket is a blocking one: while journald is stalled with its queue full, this waits
// until there is room. Callers keep to a few entries a second.
bool WriteJournalEntry(LogLevel level, std::string_view line, std::span<const JournalField> fields);

}  // namespace corvane::platform
