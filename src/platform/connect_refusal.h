#pragma once
// Outbound TCP connects to listed addresses, refused by the kernel before any packet leaves.
//
// While attached, every TCP connect (and TCP Fast Open send) made in the network namespace the
// process was in when the service was made, to an address a refused prefix covers (IPv4 prefixes:
// plain IPv4 and IPv4-mapped IPv6 connects; IPv6 prefixes: native IPv6 connects),
// fails at once with ECONNREFUSED: no SYN is sent, no connection exists, nothing is left to tear
// down. Connects from other namespaces, UDP and connections open before the attach are untouched.
// Nothing of it outlives the service object (or the process): detached, or gone, means the kernel
// runs none of it.
//
// Each refusal is counted exactly in the kernel. A report naming the address and the process is
// queued as well, but while the reader is behind (a storm) reports are left out: the counters
// count, the reports only name examples. The queue's descriptor becomes readable when reports
// wait, so an event loop can watch it without a thread or a timer.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "platform/ip_prefix.h"

namespace corvane::platform {

inline constexpr std::size_t kRefusedCommandLength = 16;

struct RefusedConnect {
    std::uint32_t remoteAddress = 0;  // IPv4, network byte order; 0 for native6
    std::uint16_t remotePort = 0;     // host byte order
    bool mapped = false;              // connected as ::ffff:a.b.c.d
    bool native6 = false;             // an IPv6 address, in remoteAddress6
    std::array<std::uint8_t, 16> remoteAddress6{};  // network byte order, for native6
    std::uint32_t pid = 0;            // the connecting process
    char command[kRefusedCommandLength + 1] = {};  // its command name, NUL-terminated
};

class ConnectRefusalService {
public:
    virtual ~ConnectRefusalService() = default;
    // Readable while reports wait.
    virtual int Descriptor() const = 0;
    // How many prefixes the kernel side can hold, in each family's map.
    virtual std::size_t Capacity() const = 0;
    // Replaces the refused prefixes (each once per family); they apply to the next connect.
    // Returns a Win32 code: kErrorNotEnoughMemory when a family has more than Capacity(); on
    // failure the old sets stay.
    virtual std::uint32_t SetRefused(std::span<const IpPrefix4> v4, std::span<const IpPrefix6> v6) = 0;
    // Attached: connects are refused. Detached (the initial state): no program of ours runs.
    // Returns a Win32 code, with `why` (one line) on failure; a refused attach
    // (kErrorAccessDenied without CAP_NET_ADMIN) leaves it detached.
    virtual std::uint32_t SetAttached(bool attached, std::string& why) = 0;
    virtual bool Attached() const = 0;
    // The refusals counted since the service was made, all processors together.
    virtual std::uint32_t ReadRefusals(std::uint64_t& total) = 0;
    // Hands every waiting report to onReport, oldest first. Returns a Win32 code.
    virtual std::uint32_t Drain(const std::function<void(const RefusedConnect&)>& onReport) = 0;
};

struct ConnectRefusalLoad {
    std::unique_ptr<ConnectRefusalService> service;  // null when the kernel side cannot run here
    std::string why;                                 // on failure, why not (one line)
};

// The kernel side for this process's network namespace, room for capacity prefixes a family,
// detached.
// It attaches to the root of the cgroup2 hierarchy this process sees mounted.
ConnectRefusalLoad CreateSystemConnectRefusal(std::size_t capacity);

}  // namespace corvane::platform
