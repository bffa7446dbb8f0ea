#pragma once
// Connected UDP sockets to listed addresses, disconnected by the kernel.
//
// Connect refusal stops connects made while it is attached; a UDP socket connected to a listed
// address before that (or before a list named the address) would go on sending. Such sockets are
// found in the kernel's socket table of the network namespace the process is in, and disconnected:
// the socket stays open, but its next send without an address fails with EDESTADDRREQ (nothing is
// sent), its next receive with ECONNABORTED. A new connect by its owner meets connect refusal.
//
// Needs CAP_NET_ADMIN, and a kernel with UDP socket diagnostics that may destroy sockets
// (CONFIG_INET_UDP_DIAG, CONFIG_INET_DIAG_DESTROY).
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace corvane::platform {

// One connected UDP socket: what the predicate is asked about, and, once disconnected, what is
// reported.
struct DestroyedUdp {
    bool native6 = false;                           // an IPv6 socket connected to an IPv6 address, in remoteAddress6
    bool mapped = false;                            // an IPv6 socket connected to ::ffff:a.b.c.d, in remoteAddress
    std::uint32_t remoteAddress = 0;                // IPv4, network byte order (also when mapped); 0 for native6
    std::array<std::uint8_t, 16> remoteAddress6{};  // network byte order, for native6
    std::uint16_t remotePort = 0;                   // host byte order
    std::uint16_t localPort = 0;                    // host byte order
    std::uint32_t uid = 0;                          // the socket's owner
    std::uint64_t inode = 0;                        // the socket's inode (st_ino of its descriptor)
};

// Finds every UDP socket of this network namespace (IPv4 and IPv6, IPv4-mapped included) that is
// connected to an address `listed` says yes to, and disconnects it. Sockets only bound, and the
// ones `listed` says no to, are left alone. `destroyed` is replaced by the sockets disconnected,
// in the order they were; a socket that went away before its turn is neither an error nor among
// them. Returns a Win32 code: kErrorAccessDenied without CAP_NET_ADMIN, kErrorNotSupported on a
// kernel that cannot do it; on failure `why` says why (one line) and `destroyed` holds the sockets
// disconnected before it.
std::uint32_t DestroyConnectedUdp(const std::function<bool(const DestroyedUdp&)>& listed,
                                  std::vector<DestroyedUdp>& destroyed, std::string& why);

}  // namespace corvane::platform
