#pragma once
// What the BPF loaders share: libbpf's messages, kept for the reason a step failed, and a kernel hash
// map of IPv4 addresses brought to a new set.
#if CORVANE_HAVE_EVENT_ENGINE

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace corvane::platform::linux_impl {

// From now on, libbpf's warnings reach the calling thread's own last message (nothing is printed),
// which starts empty. Loaders on two threads each keep their own.
void CaptureLibbpfMessages();

// "step: the error's text (rightsHint) [libbpf's last warning]"; the hint only for EPERM and EACCES.
std::string BpfReason(const std::string& step, int error, const char* rightsHint);

// Brings the kernel hash map `map` (key: IPv4 address in network byte order, value: one byte) from
// `current` (ascending, each once) to the set `wanted` (any order, repeats allowed). New addresses go
// in before old ones go out, so an address of both sets is never missing meanwhile. More than
// `capacity` distinct addresses: kErrorNotEnoughMemory and nothing changes. Returns a Win32 code;
// `current` is always what the map holds afterwards.
std::uint32_t UpdateAddressMap(int map, std::vector<std::uint32_t>& current, std::span<const std::uint32_t> wanted,
                               std::size_t capacity);

}  // namespace corvane::platform::linux_impl

#endif
