#pragma once
// The kernel's count of TCP connections opened so far (active + passive opens),
// for the network namespace the process was in when the reader was created.
// Every new connection moves it, so an unchanged count means no connection
// opened in between.
#include <cstdint>
#include <memory>

namespace corvane::platform {

class OpenCounterService {
public:
    virtual ~OpenCounterService() = default;
    // Reads ActiveOpens + PassiveOpens into opens. Returns a Win32 code.
    virtual std::uint32_t ReadOpens(std::uint64_t& opens) = 0;
};

// The machine's counters (/proc/net/snmp, kept open).
std::unique_ptr<OpenCounterService> CreateSystemOpenCounters();

// Sums the "Tcp:" ActiveOpens and PassiveOpens columns of /proc/net/snmp text.
// False when the text does not hold both. Allocates nothing.
bool ParseTcpOpens(const char* text, std::size_t length, std::uint64_t& opens) noexcept;

}  // namespace corvane::platform
