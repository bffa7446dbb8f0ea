#pragma once
// What the BPF loaders share: libbpf's messages, kept for the reason a step failed, and the pair of
// kernel longest-prefix-match maps (IPv4, IPv6) brought to a new set of prefixes.
#if CORVANE_HAVE_EVENT_ENGINE

#include <arpa/inet.h>

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/ip_prefix.h"

namespace corvane::platform::linux_impl {

// From now on, libbpf's warnings reach the calling thread's own last message (nothing is printed),
// which starts empty. Loaders on two threads each keep their own.
void CaptureLibbpfMessages();

// "step: the error's text (rightsHint) [libbpf's last warning]"; the hint only for EPERM and EACCES.
std::string BpfReason(const std::string& step, int error, const char* rightsHint);

// Keys of the prefix maps, laid out as the BPF programs have them (bpf/address_prefix.h), ordered
// so that sets of them can be compared: by address bits, then length, which is also the order in
// which the kernel's trie takes them in fastest (each insert walks mostly the path of the last).
struct PrefixKey4 {
    std::uint32_t length = 0;
    std::uint32_t address = 0;  // network byte order, bits past the length zero
    bool operator==(const PrefixKey4&) const = default;
    std::strong_ordering operator<=>(const PrefixKey4& other) const {
        if (address != other.address) return ntohl(address) <=> ntohl(other.address);
        return length <=> other.length;
    }
};
struct PrefixKey6 {
    std::uint32_t length = 0;
    std::array<std::uint8_t, 16> address{};  // network byte order, bits past the length zero
    bool operator==(const PrefixKey6&) const = default;
    std::strong_ordering operator<=>(const PrefixKey6& other) const {
        if (const auto order = address <=> other.address; order != 0) return order;
        return length <=> other.length;
    }
};

// The max_entries a prefix map is made with to hold `capacity` prefixes: room for a whole new set
// beside the old one, which goes out only once the new one is in. 0 when it cannot be that large.
std::uint32_t PrefixMapEntries(std::size_t capacity);

// The kernel's bytes for the map behind `map` (the "memlock:" of its /proc/self/fdinfo entry); 0
// when unknown.
std::uint64_t MapMemory(int map);

// A BPF program's two longest-prefix-match maps (key PrefixKey4 or PrefixKey6, value one byte),
// made with PrefixMapEntries(capacity) entries and still empty. The descriptors stay the
// caller's.
class PrefixMaps {
public:
    PrefixMaps(int map4, int map6, std::size_t capacity) : map4_(map4), map6_(map6), capacity_(capacity) {}

    // Brings both maps to the given prefixes (in any order, repeats allowed, bits past the length
    // ignored). A length past 32 or 128: kErrorInvalidParameter; more than capacity distinct
    // prefixes in a family: kErrorNotEnoughMemory; both change nothing. New prefixes go in before
    // old ones go out, so a prefix of both sets is never missing meanwhile; when the kernel refuses
    // a step the maps go back to the old sets as far as it lets them. Returns a Win32 code.
    std::uint32_t Set(std::span<const IpPrefix4> v4, std::span<const IpPrefix6> v6);

    // The kernel's bytes for both maps together; 0 when unknown.
    std::uint64_t Memory() const;

    std::size_t Capacity() const noexcept { return capacity_; }

private:
    int map4_;
    int map6_;
    std::size_t capacity_;
    // What the maps hold, ascending.
    std::vector<PrefixKey4> current4_;
    std::vector<PrefixKey6> current6_;
};

}  // namespace corvane::platform::linux_impl

#endif
