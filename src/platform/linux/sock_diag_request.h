#pragma once
// One request to the kernel's socket diagnostics (sock_diag) over netlink, built in a caller's buffer:
// a dump of a family's sockets of a protocol in some states, or an exact request (a lookup, a
// SOCK_DESTROY) for the socket the caller then names in the request's id.
#include <libmnl/libmnl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>

#include <cstdint>

namespace corvane::platform::linux_impl {

// Puts the netlink header and an inet_diag_req_v2 at the start of `buffer` (at least
// MNL_SOCKET_BUFFER_SIZE bytes); the request is returned for the caller to fill in further. The message
// to send is the returned request's header: `*header`, `header->nlmsg_len` bytes.
inline inet_diag_req_v2* PutSockDiagRequest(void* buffer, nlmsghdr*& header, std::uint16_t type,
                                            std::uint16_t flags, unsigned int sequence, std::uint8_t family,
                                            std::uint8_t protocol, std::uint32_t states) {
    header = mnl_nlmsg_put_header(buffer);
    header->nlmsg_type = type;
    header->nlmsg_flags = flags;
    header->nlmsg_seq = sequence;
    auto* request = static_cast<inet_diag_req_v2*>(mnl_nlmsg_put_extra_header(header, sizeof(inet_diag_req_v2)));
    request->sdiag_family = family;
    request->sdiag_protocol = protocol;
    request->idiag_states = states;
    return request;
}

}  // namespace corvane::platform::linux_impl
