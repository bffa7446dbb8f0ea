#pragma once
// TCP connections to watched addresses, reported by the kernel the moment they open.
//
// The kernel side watches the network namespace the process is in when the service is made. For
// every TCP socket of that namespace entering SYN_SENT, SYN_RECV or ESTABLISHED whose remote end is
// covered by a watched prefix (IPv4 prefixes: plain IPv4 sockets and IPv4-mapped IPv6 ones; IPv6
// prefixes: IPv6 sockets talking IPv6), it queues one report; nothing else leaves the kernel. The
// prefixes sit in one longest-prefix-match map per family. The queue's descriptor becomes readable when reports wait, so an event loop can
// watch it without a thread or a timer.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "platform/ip_prefix.h"
#include "platform/tcp_table.h"

namespace corvane::platform {

inline constexpr std::size_t kCommandLength = 16;

struct ConnectionEvent {
    // The socket as a table row: MIB state, addresses and ports in network byte order, family,
    // bound interface and cookie, ready to be handed back for a teardown.
    TcpRow row;
    bool outbound = false;                  // reported on entering SYN_SENT: this side connected
    std::uint32_t pid = 0;                  // the connecting process, for an outbound report; else 0
    char command[kCommandLength + 1] = {};  // its command name, NUL-terminated; empty when unknown
};

class ConnectionEventService {
public:
    virtual ~ConnectionEventService() = default;
    // Readable while reports wait.
    virtual int Descriptor() const = 0;
    // How many prefixes the kernel side can hold, in each family's map.
    virtual std::size_t Capacity() const = 0;
    // Replaces the watched prefixes (each once per family; an address is a prefix of full length).
    // Returns a Win32 code: kErrorNotEnoughMemory when a family has more than Capacity(); on
    // failure the old sets stay (an update part-way may leave a mix; the caller scans after).
    virtual std::uint32_t SetWatched(std::span<const IpPrefix4> v4, std::span<const IpPrefix6> v6) = 0;
    // Bytes of kernel memory the maps of watched prefixes take now (0 when unknown).
    virtual std::uint64_t WatchedMemory() const { return 0; }
    // Nothing is reported while inactive (the initial state).
    virtual std::uint32_t SetActive(bool active) = 0;
    // Hands every waiting report to onEvent, oldest first, and adds to lost how many reports the
    // kernel dropped since the last call because the queue was full. Returns a Win32 code.
    virtual std::uint32_t Drain(const std::function<void(const ConnectionEvent&)>& onEvent, std::uint64_t& lost) = 0;
};

struct ConnectionEventsLoad {
    std::unique_ptr<ConnectionEventService> service;  // null when the kernel side cannot run here
    std::string why;                                  // on failure, why not (one line)
};

// The kernel's reports for this process's network namespace, room for capacity prefixes a family.
ConnectionEventsLoad CreateSystemConnectionEvents(std::size_t capacity);

}  // namespace corvane::platform
