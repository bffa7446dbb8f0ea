#include "platform/linux/sock_diag_tcp_table.h"

#include <libmnl/libmnl.h>
#include <linux/inet_diag.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/sock_diag_request.h"
#include "platform/win32_error.h"

namespace corvane::platform {

std::unique_ptr<TcpTableService> CreateSystemTcpTable() { return std::make_unique<linux_impl::SockDiagTcpTable>(); }

namespace linux_impl {
namespace {

// Large enough for the biggest datagram the kernel builds for a dump.
constexpr std::size_t kReceiveBufferSize = 64 * 1024;
// The kernel's TCP states 1 (ESTABLISHED) to 12 (NEW_SYN_RECV): connections and listeners. Since
// Linux 6.7 a dump asked for every state also returns sockets that are only bound (state 13, no
// remote end); they are not part of the table.
constexpr std::uint32_t kTableStates = ((1U << 13) - 1) & ~1U;
constexpr std::uint8_t kLastTableState = 12;
constexpr std::uint32_t kSynSentOnly = 1U << 2;  // TCP_SYN_SENT

}  // namespace

std::uint32_t MibStateFromKernel(std::uint8_t state) {
    switch (state) {
        case 1:
            return kTcpStateEstab;  // TCP_ESTABLISHED
        case 2:
            return kTcpStateSynSent;  // TCP_SYN_SENT
        case 3:
            return kTcpStateSynRcvd;  // TCP_SYN_RECV
        case 4:
            return kTcpStateFinWait1;  // TCP_FIN_WAIT1
        case 5:
            return kTcpStateFinWait2;  // TCP_FIN_WAIT2
        case 6:
            return kTcpStateTimeWait;  // TCP_TIME_WAIT
        case 7:
            return kTcpStateClosed;  // TCP_CLOSE
        case 8:
            return kTcpStateCloseWait;  // TCP_CLOSE_WAIT
        case 9:
            return kTcpStateLastAck;  // TCP_LAST_ACK
        case 10:
            return kTcpStateListen;  // TCP_LISTEN
        case 11:
            return kTcpStateClosing;  // TCP_CLOSING
        case 12:
            return kTcpStateSynRcvd;  // TCP_NEW_SYN_RECV (a pending request)
        default:
            return kTcpStateClosed;
    }
}

namespace {

bool IsV4Mapped(const __be32 address[4]) {
    return address[0] == 0 && address[1] == 0 && address[2] == htonl(0x0000ffffU);
}

bool IsUnspecified(const __be32 address[4]) {
    return address[0] == 0 && address[1] == 0 && address[2] == 0 && address[3] == 0;
}

// Fills row from one inet_diag message; false for messages that are no table row.
bool RowFromMessage(const inet_diag_msg& message, TcpRow& row) {
    const inet_diag_sockid& id = message.id;
    // A kernel that does not know the state filter may still send others.
    if (message.idiag_state == 0 || message.idiag_state > kLastTableState) return false;
    if (message.idiag_family == AF_INET) {
        row.dwLocalAddr = id.idiag_src[0];
        row.dwRemoteAddr = id.idiag_dst[0];
    } else if (message.idiag_family == AF_INET6) {
        // A dual-stack socket talking IPv4 carries ::ffff:a.b.c.d on both ends (a listener bound to
        // such an address has no remote end yet): an IPv4 row. Every other IPv6 socket, listeners
        // on :: among them, talks IPv6.
        if (IsV4Mapped(id.idiag_src) && (IsV4Mapped(id.idiag_dst) || IsUnspecified(id.idiag_dst))) {
            row.dwLocalAddr = id.idiag_src[3];
            row.dwRemoteAddr = id.idiag_dst[3];
        } else {
            row.native6 = true;
            std::memcpy(row.localAddr6.data(), id.idiag_src, row.localAddr6.size());
            std::memcpy(row.remoteAddr6.data(), id.idiag_dst, row.remoteAddr6.size());
        }
    } else {
        return false;
    }
    row.dwState = MibStateFromKernel(message.idiag_state);
    row.dwLocalPort = id.idiag_sport;
    row.dwRemotePort = id.idiag_dport;
    row.family = message.idiag_family;
    row.interfaceIndex = id.idiag_if;
    row.cookie = (static_cast<std::uint64_t>(id.idiag_cookie[1]) << 32) | id.idiag_cookie[0];
    return true;
}

}  // namespace

void SockDiagTcpTable::SocketCloser::operator()(mnl_socket* socket) const noexcept {
    // Nothing useful can follow a failed close of our own netlink socket.
    static_cast<void>(mnl_socket_close(socket));
}

SockDiagTcpTable::SockDiagTcpTable(Walk walk) : walk_(walk), buffer_(kReceiveBufferSize) {}

SockDiagTcpTable::~SockDiagTcpTable() = default;

std::uint32_t SockDiagTcpTable::EnsureOpen() {
    if (socket_) return win32::kNoError;
    std::unique_ptr<mnl_socket, SocketCloser> socket(mnl_socket_open2(NETLINK_SOCK_DIAG, SOCK_CLOEXEC));
    if (!socket) return Win32FromErrno(errno);
    if (mnl_socket_bind(socket.get(), 0, MNL_SOCKET_AUTOPID) < 0) return Win32FromErrno(errno);
    portId_ = mnl_socket_get_portid(socket.get());
    socket_ = std::move(socket);
    return win32::kNoError;
}

std::uint32_t SockDiagTcpTable::SendDumpRequest(std::uint8_t family, std::uint32_t states) {
    nlmsghdr* header = nullptr;
    PutSockDiagRequest(buffer_.data(), header, SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST | NLM_F_DUMP, ++sequence_, family,
                       IPPROTO_TCP, states);
    if (mnl_socket_sendto(socket_.get(), header, header->nlmsg_len) < 0) return Win32FromErrno(errno);
    return win32::kNoError;
}

std::uint32_t SockDiagTcpTable::SendOneWalkDumpRequest(std::uint32_t states) {
    nlmsghdr* header = mnl_nlmsg_put_header(buffer_.data());
    header->nlmsg_type = TCPDIAG_GETSOCK;
    header->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header->nlmsg_seq = ++sequence_;
    auto* request = static_cast<inet_diag_req*>(mnl_nlmsg_put_extra_header(header, sizeof(inet_diag_req)));
    request->idiag_family = AF_INET;  // not looked at by the dump, which takes every family
    request->idiag_states = states;
    if (mnl_socket_sendto(socket_.get(), header, header->nlmsg_len) < 0) return Win32FromErrno(errno);
    return win32::kNoError;
}

template <typename OnMessage>
std::uint32_t SockDiagTcpTable::ReceiveAll(OnMessage& onMessage) {
    auto callback = [](const nlmsghdr* header, void* data) -> int {
        if (mnl_nlmsg_get_payload_len(header) < sizeof(inet_diag_msg)) {
            errno = EBADMSG;
            return MNL_CB_ERROR;
        }
        (*static_cast<OnMessage*>(data))(*static_cast<const inet_diag_msg*>(mnl_nlmsg_get_payload(header)));
        return MNL_CB_OK;
    };
    for (;;) {
        const ssize_t received = mnl_socket_recvfrom(socket_.get(), buffer_.data(), buffer_.size());
        if (received < 0) return Win32FromErrno(errno);
        const int result =
            mnl_cb_run(buffer_.data(), static_cast<std::size_t>(received), sequence_, portId_, callback, &onMessage);
        if (result == MNL_CB_STOP) return win32::kNoError;
        if (result < 0) return Win32FromErrno(errno);
    }
}

std::uint32_t SockDiagTcpTable::GetTcpTable(TcpTable& table) { return ReadTable(table, kTableStates); }

std::uint32_t SockDiagTcpTable::GetConnectingRows(TcpTable& table) {
    // The kernel leaves out every other state, so nothing else is copied out.
    return ReadTable(table, kSynSentOnly);
}

std::uint32_t SockDiagTcpTable::ReadTable(TcpTable& table, std::uint32_t states) {
    table.rows.clear();
    std::uint32_t result = EnsureOpen();
    if (result == win32::kNoError && walk_ == Walk::kOneWalk) {
        // The one walk meets both families mixed: the IPv6 rows wait apart and follow the IPv4 ones.
        laterRows_.clear();
        auto keepRow = [&table, this](const inet_diag_msg& message) {
            TcpRow row;
            if (RowFromMessage(message, row)) (row.family == AF_INET ? table.rows : laterRows_).push_back(row);
        };
        result = SendOneWalkDumpRequest(states);
        if (result == win32::kNoError) result = ReceiveAll(keepRow);
        if (result == win32::kErrorInvalidParameter || result == win32::kErrorNotSupported ||
            result == win32::kErrorNotFound) {
            // This kernel has no such request: ask per family from now on.
            walk_ = Walk::kPerFamily;
            table.rows.clear();
            socket_.reset();
            result = EnsureOpen();
        } else {
            if (result == win32::kNoError) table.rows.insert(table.rows.end(), laterRows_.begin(), laterRows_.end());
            laterRows_.clear();
            return Finish(result, table);
        }
    }
    auto keepRow = [&table](const inet_diag_msg& message) {
        TcpRow row;
        if (RowFromMessage(message, row)) table.rows.push_back(row);
    };
    // IPv4 sockets first, then IPv6 sockets (talking IPv4 or IPv6).
    for (const std::uint8_t family : {std::uint8_t{AF_INET}, std::uint8_t{AF_INET6}}) {
        if (result != win32::kNoError) break;
        result = SendDumpRequest(family, states);
        if (result == win32::kNoError) result = ReceiveAll(keepRow);
    }
    return Finish(result, table);
}

std::uint32_t SockDiagTcpTable::Finish(std::uint32_t result, TcpTable& table) {
    if (result != win32::kNoError) {
        // A dump broken off leaves unread datagrams behind; start afresh next time.
        socket_.reset();
        table.rows.clear();
    }
    return result;
}

std::uint32_t SockDiagTcpTable::DumpOnly(std::uint8_t family, std::size_t& messages) {
    messages = 0;
    std::uint32_t result = EnsureOpen();
    if (result == win32::kNoError)
        result = family == AF_UNSPEC ? SendOneWalkDumpRequest(kTableStates) : SendDumpRequest(family, kTableStates);
    auto countMessage = [&messages](const inet_diag_msg&) { ++messages; };
    if (result == win32::kNoError) result = ReceiveAll(countMessage);
    if (result != win32::kNoError) socket_.reset();
    return result;
}

bool SockDiagTcpTable::SendExactRequest(std::uint16_t type, std::uint16_t flags, const TcpRow& row,
                                        std::uint32_t& result) {
    if ((row.family != AF_INET && row.family != AF_INET6) || (row.native6 && row.family != AF_INET6)) {
        result = win32::kErrorInvalidParameter;
        return false;
    }
    result = EnsureOpen();
    if (result != win32::kNoError) return false;

    nlmsghdr* header = nullptr;
    inet_diag_req_v2* request =
        PutSockDiagRequest(buffer_.data(), header, type, flags, ++sequence_, row.family, IPPROTO_TCP, kTableStates);
    inet_diag_sockid& id = request->id;
    id.idiag_sport = static_cast<__be16>(row.dwLocalPort);
    id.idiag_dport = static_cast<__be16>(row.dwRemotePort);
    if (row.family == AF_INET) {
        id.idiag_src[0] = row.dwLocalAddr;
        id.idiag_dst[0] = row.dwRemoteAddr;
    } else if (row.native6) {
        std::memcpy(id.idiag_src, row.localAddr6.data(), row.localAddr6.size());
        std::memcpy(id.idiag_dst, row.remoteAddr6.data(), row.remoteAddr6.size());
    } else {
        id.idiag_src[2] = htonl(0x0000ffffU);
        id.idiag_src[3] = row.dwLocalAddr;
        if (row.dwRemoteAddr != 0) {
            id.idiag_dst[2] = htonl(0x0000ffffU);
            id.idiag_dst[3] = row.dwRemoteAddr;
        }
    }
    id.idiag_if = row.interfaceIndex;
    id.idiag_cookie[0] = static_cast<std::uint32_t>(row.cookie);
    id.idiag_cookie[1] = static_cast<std::uint32_t>(row.cookie >> 32);

    if (mnl_socket_sendto(socket_.get(), header, header->nlmsg_len) < 0) {
        result = Win32FromErrno(errno);
        socket_.reset();
        return false;
    }
    return true;
}

std::uint32_t SockDiagTcpTable::GetTcpEntryState(const TcpRow& row, std::uint32_t& state) {
    std::uint32_t result = win32::kNoError;
    if (!SendExactRequest(SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST, row, result)) return result;
    // The answer is the socket's one message, or an NLMSG_ERROR carrying the negative errno.
    const ssize_t received = mnl_socket_recvfrom(socket_.get(), buffer_.data(), buffer_.size());
    if (received < 0) {
        result = Win32FromErrno(errno);
        socket_.reset();
        return result;
    }
    int kernelState = -1;
    auto keepState = [](const nlmsghdr* header, void* data) -> int {
        if (mnl_nlmsg_get_payload_len(header) < sizeof(inet_diag_msg)) {
            errno = EBADMSG;
            return MNL_CB_ERROR;
        }
        *static_cast<int*>(data) = static_cast<const inet_diag_msg*>(mnl_nlmsg_get_payload(header))->idiag_state;
        return MNL_CB_OK;
    };
    if (mnl_cb_run(buffer_.data(), static_cast<std::size_t>(received), sequence_, portId_, keepState, &kernelState) <
        0) {
        const int error = errno;
        if (error != ENOENT) socket_.reset();  // out of step with the kernel, or a broken answer
        return Win32FromErrno(error);
    }
    if (kernelState < 0) {
        socket_.reset();
        return win32::kErrorInvalidData;
    }
    state = MibStateFromKernel(static_cast<std::uint8_t>(kernelState));
    return win32::kNoError;
}

std::uint32_t SockDiagTcpTable::SetTcpEntry(const TcpRow& row) {
    if (row.dwState != kTcpStateDeleteTcb) return win32::kErrorInvalidParameter;
    std::uint32_t result = win32::kNoError;
    if (!SendExactRequest(SOCK_DESTROY, NLM_F_REQUEST | NLM_F_ACK, row, result)) return result;
    const ssize_t received = mnl_socket_recvfrom(socket_.get(), buffer_.data(), buffer_.size());
    if (received < 0) {
        result = Win32FromErrno(errno);
        socket_.reset();
        return result;
    }
    // The acknowledgement is an NLMSG_ERROR carrying 0 or the negative errno.
    if (mnl_cb_run(buffer_.data(), static_cast<std::size_t>(received), sequence_, portId_, nullptr, nullptr) < 0) {
        const int error = errno;
        if (error == ESRCH || error == EPROTO) socket_.reset();  // out of step with the kernel
        return Win32FromErrno(error);
    }
    return win32::kNoError;
}

}  // namespace linux_impl
}  // namespace corvane::platform
