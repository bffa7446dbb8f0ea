// Connected UDP sockets disconnected through the kernel's sock_diag netlink interface (libmnl):
// a dump of the connected UDP sockets of each family, then SOCK_DESTROY for each listed one.
#include "platform/udp_teardown.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/inet_diag.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/linux/sock_diag_request.h"
#include "platform/win32_error.h"

namespace corvane::platform {
namespace {

using linux_impl::PutSockDiagRequest;

// Large enough for the biggest datagram the kernel builds for a dump.
constexpr std::size_t kReceiveBufferSize = 64 * 1024;
// A connected UDP socket is in state 1 (TCP_ESTABLISHED); one only bound is in 7 (TCP_CLOSE).
constexpr std::uint8_t kConnected = 1;

// A connected socket met in a dump: what the predicate is asked about, and how the kernel finds
// the very same socket again (its addresses, ports, interface and cookie).
struct Connected {
    DestroyedUdp socket;
    std::uint8_t family = 0;
    inet_diag_sockid id{};
};

bool IsV4Mapped(const __be32 address[4]) {
    return address[0] == 0 && address[1] == 0 && address[2] == htonl(0x0000ffffU);
}

// Fills connected from one dump message of `family`; false for messages about anything else.
bool ConnectedFromMessage(const inet_diag_msg& message, std::uint8_t family, Connected& connected) {
    const inet_diag_sockid& id = message.id;
    // A kernel may send more than was asked for.
    if (message.idiag_family != family || message.idiag_state != kConnected || id.idiag_dport == 0) return false;
    DestroyedUdp& socket = connected.socket;
    if (family == AF_INET) {
        socket.remoteAddress = id.idiag_dst[0];
    } else if (IsV4Mapped(id.idiag_dst)) {
        socket.mapped = true;
        socket.remoteAddress = id.idiag_dst[3];
    } else {
        socket.native6 = true;
        std::memcpy(socket.remoteAddress6.data(), id.idiag_dst, socket.remoteAddress6.size());
    }
    socket.remotePort = ntohs(id.idiag_dport);
    socket.localPort = ntohs(id.idiag_sport);
    socket.uid = message.idiag_uid;
    socket.inode = message.idiag_inode;
    connected.family = family;
    connected.id = id;
    return true;
}

// The error a dump ended with. The kernel puts it after NLMSG_DONE, which libmnl takes as the
// plain end of the dump.
int DumpEndError(const char* data, std::size_t length) {
    int remaining = static_cast<int>(length);
    for (auto* header = reinterpret_cast<const nlmsghdr*>(data); mnl_nlmsg_ok(header, remaining);
         header = mnl_nlmsg_next(header, &remaining)) {
        if (header->nlmsg_type != NLMSG_DONE || mnl_nlmsg_get_payload_len(header) < sizeof(int)) continue;
        int error = 0;
        std::memcpy(&error, mnl_nlmsg_get_payload(header), sizeof error);
        return error < 0 ? -error : 0;
    }
    return 0;
}

// "a.b.c.d:port" or "[v6]:port": the remote end of socket, for reasons.
std::string RemoteText(const DestroyedUdp& socket) {
    char text[INET6_ADDRSTRLEN] = {};
    if (socket.native6) {
        if (::inet_ntop(AF_INET6, socket.remoteAddress6.data(), text, sizeof text) == nullptr) text[0] = '\0';
        // Built with snprintf: GCC 12 at -O3 warns falsely (-Wrestrict) on chains of string appends.
        char line[INET6_ADDRSTRLEN + 16];
        std::snprintf(line, sizeof line, "[%s]:%u", text, static_cast<unsigned>(socket.remotePort));
        return line;
    }
    if (::inet_ntop(AF_INET, &socket.remoteAddress, text, sizeof text) == nullptr) text[0] = '\0';
    char line[INET6_ADDRSTRLEN + 16];
    std::snprintf(line, sizeof line, "%s%s:%u", socket.mapped ? "::ffff:" : "", text,
                  static_cast<unsigned>(socket.remotePort));
    return line;
}

// One sock_diag netlink socket, for one round of dumps and destroys. Each call gives 0 or the
// errno it failed with.
class UdpDiagLink {
public:
    UdpDiagLink() : buffer_(kReceiveBufferSize) {}

    int Open() {
        socket_.reset(mnl_socket_open2(NETLINK_SOCK_DIAG, SOCK_CLOEXEC));
        if (!socket_) return errno;
        if (mnl_socket_bind(socket_.get(), 0, MNL_SOCKET_AUTOPID) < 0) return errno;
        portId_ = mnl_socket_get_portid(socket_.get());
        return 0;
    }

    // Appends the connected UDP sockets of family (AF_INET, or AF_INET6 with the IPv4-mapped ones).
    int Dump(std::uint8_t family, std::vector<Connected>& found) {
        nlmsghdr* header = nullptr;
        PutSockDiagRequest(buffer_.data(), header, SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST | NLM_F_DUMP, ++sequence_, family,
                           IPPROTO_UDP, 1U << kConnected);
        if (mnl_socket_sendto(socket_.get(), header, header->nlmsg_len) < 0) return errno;

        struct Sink {
            std::uint8_t family;
            std::vector<Connected>& found;
        } sink{family, found};
        auto keep = [](const nlmsghdr* message, void* data) -> int {
            if (mnl_nlmsg_get_payload_len(message) < sizeof(inet_diag_msg)) {
                errno = EBADMSG;
                return MNL_CB_ERROR;
            }
            auto& into = *static_cast<Sink*>(data);
            Connected connected;
            if (ConnectedFromMessage(*static_cast<const inet_diag_msg*>(mnl_nlmsg_get_payload(message)), into.family,
                                     connected))
                into.found.push_back(connected);
            return MNL_CB_OK;
        };
        for (;;) {
            const ssize_t received = mnl_socket_recvfrom(socket_.get(), buffer_.data(), buffer_.size());
            if (received < 0) return errno;
            const auto length = static_cast<std::size_t>(received);
            const int result = mnl_cb_run(buffer_.data(), length, sequence_, portId_, keep, &sink);
            if (result < 0) return errno;
            if (result == MNL_CB_STOP) return DumpEndError(buffer_.data(), length);
        }
    }

    // Disconnects the very socket of `connected`: ENOENT when it is no longer there.
    int Destroy(const Connected& connected) {
        nlmsghdr* header = nullptr;
        inet_diag_req_v2* request = PutSockDiagRequest(buffer_.data(), header, SOCK_DESTROY, NLM_F_REQUEST | NLM_F_ACK,
                                                       ++sequence_, connected.family, IPPROTO_UDP, 1U << kConnected);
        request->id = connected.id;
        if (mnl_socket_sendto(socket_.get(), header, header->nlmsg_len) < 0) return errno;
        const ssize_t received = mnl_socket_recvfrom(socket_.get(), buffer_.data(), buffer_.size());
        if (received < 0) return errno;
        // The acknowledgement is an NLMSG_ERROR carrying 0 or the negative errno.
        if (mnl_cb_run(buffer_.data(), static_cast<std::size_t>(received), sequence_, portId_, nullptr, nullptr) < 0)
            return errno;
        return 0;
    }

private:
    struct SocketCloser {
        // Nothing useful can follow a failed close of our own netlink socket.
        void operator()(mnl_socket* socket) const noexcept { static_cast<void>(mnl_socket_close(socket)); }
    };
    std::unique_ptr<mnl_socket, SocketCloser> socket_;
    unsigned int portId_ = 0;
    unsigned int sequence_ = 0;
    std::vector<char> buffer_;
};

std::uint32_t Failed(int error, const std::string& step, std::string& why) {
    why = step + ": " + std::strerror(error);
    if (error == EPERM || error == EACCES) why += " (needs CAP_NET_ADMIN)";
    return Win32FromErrno(error);
}

}  // namespace

std::uint32_t DestroyConnectedUdp(const std::function<bool(const DestroyedUdp&)>& listed,
                                  std::vector<DestroyedUdp>& destroyed, std::string& why) {
    destroyed.clear();
    why.clear();
    UdpDiagLink link;
    if (const int error = link.Open(); error != 0) return Failed(error, "sock_diag netlink socket", why);

    // Every dump is read to its end before the first destroy: the link carries one exchange at a time.
    std::vector<Connected> connected;
    for (const std::uint8_t family : {std::uint8_t{AF_INET}, std::uint8_t{AF_INET6}}) {
        const int error = link.Dump(family, connected);
        if (error == ENOENT) {
            why = "this kernel has no UDP socket diagnostics (CONFIG_INET_UDP_DIAG)";
            return win32::kErrorNotSupported;
        }
        if (error != 0)
            return Failed(error, family == AF_INET ? "UDP socket dump (IPv4)" : "UDP socket dump (IPv6)", why);
    }

    for (const Connected& candidate : connected) {
        if (!listed(candidate.socket)) continue;
        const int error = link.Destroy(candidate);
        if (error == ENOENT) continue;  // closed (or disconnected) since the dump
        if (error == EOPNOTSUPP) {
            why = "this kernel cannot destroy UDP sockets (CONFIG_INET_DIAG_DESTROY)";
            return win32::kErrorNotSupported;
        }
        if (error != 0) return Failed(error, "disconnecting the UDP socket to " + RemoteText(candidate.socket), why);
        destroyed.push_back(candidate.socket);
    }
    return win32::kNoError;
}

}  // namespace corvane::platform
