#include "platform/linux/proc_net_snmp_counters.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "platform/win32_error.h"

namespace corvane::platform {

std::unique_ptr<OpenCounterService> CreateSystemOpenCounters() {
    auto counters = std::make_unique<linux_impl::ProcNetSnmpCounters>();
    // Open now, so the counters belong to the namespace the caller is in now.
    std::uint64_t ignored = 0;
    static_cast<void>(counters->ReadOpens(ignored));  // a failure shows again at the first tick
    return counters;
}

namespace {

std::string_view NextLine(std::string_view& rest) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    return line;
}

std::string_view NextField(std::string_view& line) {
    const std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    const std::size_t end = line.find(' ');
    const std::string_view field = line.substr(0, end);
    line = end == std::string_view::npos ? std::string_view{} : line.substr(end);
    return field;
}

bool ParseUnsigned(std::string_view text, std::uint64_t& value) {
    if (text.empty()) return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

}  // namespace

bool ParseTcpOpens(const char* text, std::size_t length, std::uint64_t& opens) noexcept {
    constexpr std::string_view kPrefix = "Tcp:";
    std::string_view rest(text, length);
    while (!rest.empty()) {
        std::string_view names = NextLine(rest);
        if (!names.starts_with(kPrefix)) continue;
        // The header line names the columns; the next "Tcp:" line holds the values.
        std::string_view values = NextLine(rest);
        if (!values.starts_with(kPrefix)) return false;
        names.remove_prefix(kPrefix.size());
        values.remove_prefix(kPrefix.size());
        std::uint64_t active = 0;
        std::uint64_t passive = 0;
        bool haveActive = false;
        bool havePassive = false;
        for (;;) {
            const std::string_view name = NextField(names);
            const std::string_view value = NextField(values);
            if (name.empty() || value.empty()) break;
            if (name == "ActiveOpens") haveActive = ParseUnsigned(value, active);
            if (name == "PassiveOpens") havePassive = ParseUnsigned(value, passive);
        }
        if (!haveActive || !havePassive) return false;
        opens = active + passive;
        return true;
    }
    return false;
}

namespace linux_impl {

std::uint32_t ProcNetSnmpCounters::EnsureOpen() {
    if (fd_.Valid()) return win32::kNoError;
    UniqueFd fd(::open("/proc/self/net/snmp", O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) return Win32FromErrno(errno);
    fd_ = std::move(fd);
    return win32::kNoError;
}

std::uint32_t ProcNetSnmpCounters::ReadRaw(std::size_t& bytes) {
    bytes = 0;
    const std::uint32_t result = EnsureOpen();
    if (result != win32::kNoError) return result;
    const ssize_t read = ::pread(fd_.Get(), buffer_.data(), buffer_.size(), 0);
    if (read < 0) return Win32FromErrno(errno);
    bytes = static_cast<std::size_t>(read);
    return win32::kNoError;
}

std::uint32_t ProcNetSnmpCounters::ReadOpens(std::uint64_t& opens) {
    std::size_t bytes = 0;
    const std::uint32_t result = ReadRaw(bytes);
    if (result != win32::kNoError) return result;
    // The file is far smaller than the buffer; a full buffer means it was cut.
    if (bytes == buffer_.size()) return win32::kErrorInsufficientBuffer;
    return ParseTcpOpens(buffer_.data(), bytes, opens) ? win32::kNoError : win32::kErrorInvalidData;
}

}  // namespace linux_impl
}  // namespace corvane::platform
