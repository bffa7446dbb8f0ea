#pragma once
// Open counters read from /proc/net/snmp through a descriptor kept open.
#include <array>
#include <cstdint>

#include "platform/unique_fd.h"
#include "platform/open_counters.h"

namespace corvane::platform::linux_impl {

class ProcNetSnmpCounters final : public OpenCounterService {
public:
    ProcNetSnmpCounters() = default;
    std::uint32_t ReadOpens(std::uint64_t& opens) override;

    // One bare read of the file, parsing nothing: the floor a tick stands on.
    std::uint32_t ReadRaw(std::size_t& bytes);

private:
    std::uint32_t EnsureOpen();

    UniqueFd fd_;
    std::array<char, 8192> buffer_{};
};

}  // namespace corvane::platform::linux_impl
