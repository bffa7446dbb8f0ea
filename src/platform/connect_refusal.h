#pragma once
// Listed addresses kept out by the kernel, before any packet leaves or reaches an application.
//
// While attached, in the network namespace the process was in when the service was made, for
// addresses a refused prefix covers (IPv4 prefixes: IPv4 and IPv4-mapped IPv6 addresses; IPv6
// prefixes: the rest), four hooks refuse:
// - connect: a TCP, UDP or ping socket's connect() (and a TCP Fast Open send) fails at once with
//   ECONNREFUSED: no SYN, no datagram, the socket stays unconnected;
// - send: a UDP datagram sent with the listed address given fails with EPERM, nothing leaves;
// - inbound: a listed peer's TCP SYN is answered with a reset (no handshake, no accept(), no Fast
//   Open data) and its UDP datagrams reach no socket;
// - ICMP: ICMP and ICMPv6 to listed addresses from raw and unconnected ping sockets (and the
//   kernel's echo replies) are dropped.
// Connects from other namespaces and connections open before the attach are untouched. Nothing of
// it outlives the service object (or the process): detached, or gone, means the kernel runs none
// of it. A hook the kernel lacks does not run; the others do, and Hooks() says why.
//
// Each refused connect, each inbound TCP attempt and each flow of datagrams (socket, remote address
// and port) is counted exactly in the kernel. A report naming the address and the process is
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

// The hooks, in the order Hooks() gives them.
enum class RefusalHook { kConnect, kSend, kInbound, kIcmp };
inline constexpr std::size_t kRefusalHooks = 4;

struct RefusalHookState {
    bool attached = false;
    std::string why;  // why it is not, while the others are (one line); empty otherwise
};

struct RefusedConnect {
    RefusalHook hook = RefusalHook::kConnect;
    std::uint8_t protocol = 6;        // IPPROTO_TCP, _UDP, _ICMP or _ICMPV6
    bool inbound = false;             // a listed peer's attempt to reach this machine
    std::uint16_t localPort = 0;      // host byte order; inbound attempts only
    std::uint32_t remoteAddress = 0;  // IPv4, network byte order; 0 for native6
    std::uint16_t remotePort = 0;     // host byte order; 0 for ICMP
    bool mapped = false;              // connected as ::ffff:a.b.c.d
    bool native6 = false;             // an IPv6 address, in remoteAddress6
    std::array<std::uint8_t, 16> remoteAddress6{};  // network byte order, for native6
    std::uint32_t pid = 0;            // the process that tried; 0 when the kernel cannot tell
    char command[kRefusedCommandLength + 1] = {};  // its command name, NUL-terminated
};

// A pair of prefix maps (IPv4, IPv6) made apart from any service, to be filled on any thread and
// then taken over by a service in one step (UsePrefixes): a list too long for the maps in use gets
// new ones while the old ones go on refusing.
class RefusedPrefixes {
public:
    virtual ~RefusedPrefixes() = default;
    virtual std::size_t Capacity() const = 0;
    // As ConnectRefusalService::SetRefused.
    virtual std::uint32_t Set(std::span<const IpPrefix4> v4, std::span<const IpPrefix6> v6) = 0;
};

struct RefusedPrefixesLoad {
    std::unique_ptr<RefusedPrefixes> prefixes;  // null when they cannot be made
    std::string why;
};

// Empty maps with room for `capacity` prefixes a family; safe on any thread.
RefusedPrefixesLoad CreateRefusedPrefixes(std::size_t capacity);

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
    // Refuses what `prefixes` hold from the next packet on, in place of the maps in use (the
    // hooks stay attached throughout). Returns a Win32 code; on failure the old maps stay.
    virtual std::uint32_t UsePrefixes(std::unique_ptr<RefusedPrefixes> prefixes) = 0;
    // Attached: every hook that can run here refuses. Detached (the initial state): no program of
    // ours runs. Returns a Win32 code, with `why` (one line), when no hook could be attached
    // (kErrorAccessDenied without CAP_NET_ADMIN); a hook that cannot run while others do only says
    // so in Hooks().
    virtual std::uint32_t SetAttached(bool attached, std::string& why) = 0;
    // Some hook is attached.
    virtual bool Attached() const = 0;
    virtual std::array<RefusalHookState, kRefusalHooks> Hooks() const = 0;
    // The refusals counted since the service was made, all hooks and processors together.
    virtual std::uint32_t ReadRefusals(std::uint64_t& total) = 0;
    // Hands every waiting report to onReport, oldest first. Returns a Win32 code.
    virtual std::uint32_t Drain(const std::function<void(const RefusedConnect&)>& onReport) = 0;
};

struct ConnectRefusalLoad {
    std::unique_ptr<ConnectRefusalService> service;  // null when the kernel side cannot run here
    std::string why;                                 // on failure, why not (one line)
};

// The kernel side for this process's network namespace, room for capacity prefixes a family,
// detached. Its connect, send and ICMP hooks attach to the root of the cgroup2 hierarchy this
// process sees mounted, the inbound one to the network namespace; without a cgroup2 hierarchy only
// the inbound hook runs.
ConnectRefusalLoad CreateSystemConnectRefusal(std::size_t capacity);

}  // namespace corvane::platform
