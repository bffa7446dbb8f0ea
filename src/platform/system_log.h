#pragma once
// The system log (syslog(3); on a systemd machine the journal: `journalctl -t corvane`).
#include <string_view>

namespace corvane::platform {

enum class LogLevel { kNotice, kWarning };

// Writes one line under the tag "corvane". Returns false when the text could not be handed over
// (it holds a NUL byte); the log itself reports nothing back.
bool WriteSystemLog(LogLevel level, std::string_view line);

}  // namespace corvane::platform
