#pragma once
// TCP connections to watched IPv4 addresses, reported by the kernel the moment they open.
//
// The kernel side watches the network namespace the process is in when the service is made. For
// every TCP socket of that namespace entering SYN_SENT, SYN_RECV or ESTABLISHED whose remote end is
// a watched IPv4 address (plain, or IPv4-mapped IPv6), it queues one report; nothing else leaves
// the kernel. The queue's descriptor becomes readable when reports wait, so an event loop can
// watch it without a thread or a timer.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

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
    // How many addresses the kernel side can hold.
    virtual std::size_t Capacity() const = 0;
    // Replaces the watched addresses (IPv4, network byte order, each once). Returns a Win32 code:
    // kErrorNotEnoughMemory when there are more than Capacity(); on failure the old set stays.
    virtual std::uint32_t SetAddresses(std::span<const std::uint32_t> addresses) = 0;
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

// The kernel's reports for this process's network namespace, room for capacity addresses.
ConnectionEventsLoad CreateSystemConnectionEvents(std::size_t capacity);

}  // namespace corvane::platform
