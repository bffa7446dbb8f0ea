#include <syslog.h>

#include <mutex>
#include <string>

#include "platform/system_log.h"

namespace corvane::platform {

bool WriteSystemLog(LogLevel level, std::string_view line) {
    if (line.find('\0') != std::string_view::npos) return false;
    static std::once_flag opened;
    std::call_once(opened, [] { ::openlog("corvane", LOG_PID | LOG_NDELAY, LOG_DAEMON); });
    const std::string text(line);
    // The text goes as an argument, never as the format.
    ::syslog(level == LogLevel::kWarning ? LOG_WARNING : LOG_NOTICE, "%s", text.c_str());
    return true;
}

}  // namespace corvane::platform
