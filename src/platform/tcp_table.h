#pragma once
// The TCP connection table: reading it and tearing one connection down.
//
// Rows follow the platform row layout the scan was written against (MIB_TCPROW):
// a state code 1..12, addresses in network byte order, ports in network byte
// order in the low 16 bits. Each row also carries what the kernel needs to find
// the very same socket again (its family, interface and cookie).
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace corvane::platform {

// MIB_TCP_STATE numbers.
enum TcpState : std::uint32_t {
    kTcpStateClosed = 1,
    kTcpStateListen = 2,
    kTcpStateSynSent = 3,
    kTcpStateSynRcvd = 4,
    kTcpStateEstab = 5,
    kTcpStateFinWait1 = 6,
    kTcpStateFinWait2 = 7,
    kTcpStateCloseWait = 8,
    kTcpStateClosing = 9,
    kTcpStateLastAck = 10,
    kTcpStateTimeWait = 11,
    kTcpStateDeleteTcb = 12,
};

struct TcpRow {
    std::uint32_t dwState = 0;
    std::uint32_t dwLocalAddr = 0;   // network byte order
    std::uint32_t dwLocalPort = 0;   // network byte order, low 16 bits
    std::uint32_t dwRemoteAddr = 0;  // network byte order
    std::uint32_t dwRemotePort = 0;  // network byte order, low 16 bits
    // Identity of the kernel socket behind the row.
    std::uint8_t family = 0;  // AF_INET, or AF_INET6
    // An IPv6 socket talking IPv6 (native6): its ends are in the 16-byte fields only, and dwLocalAddr
    // and dwRemoteAddr are 0. An IPv6 socket talking IPv4 (::ffff:a.b.c.d) is an IPv4 row: its ends
    // are in dwLocalAddr and dwRemoteAddr, and the 16-byte fields may stay empty.
    bool native6 = false;
    std::array<std::uint8_t, 16> localAddr6{};   // network byte order, for native6
    std::array<std::uint8_t, 16> remoteAddr6{};  // network byte order, for native6
    std::uint32_t interfaceIndex = 0;
    std::uint64_t cookie = 0;
};

// The table as read: the row count is rows.size(). Reading into the same table
// again reuses its storage.
struct TcpTable {
    std::vector<TcpRow> rows;
};

class TcpTableService {
public:
    virtual ~TcpTableService() = default;
    // GetTcpTable's role: replaces table's rows with the whole current table (however many
    // connections): IPv4 sockets, then IPv6 ones (talking IPv4 or IPv6). Returns a Win32 code; on failure the table is empty.
    virtual std::uint32_t GetTcpTable(TcpTable& table) = 0;
    // SetTcpEntry's role: a row handed back with dwState 12 (DELETE_TCB) is torn down.
    // 0 on success, 5 without the right to do it, 1168 when the socket is gone,
    // 87 for any other state.
    virtual std::uint32_t SetTcpEntry(const TcpRow& row) = 0;
    // The state the socket of `row` (found by its addresses, ports, interface and cookie, as
    // SetTcpEntry finds it) is in now, in MIB numbering. 1168 when it is gone. A service that
    // cannot look gives the row's own state.
    virtual std::uint32_t GetTcpEntryState(const TcpRow& row, std::uint32_t& state) {
        state = row.dwState;
        return 0;
    }
    // The rows of the sockets that are connecting (SYN_SENT) only: a connect reported before its
    // local port was chosen is found here once it has one. Returns a Win32 code.
    virtual std::uint32_t GetConnectingRows(TcpTable& table) {
        const std::uint32_t result = GetTcpTable(table);
        std::erase_if(table.rows, [](const TcpRow& row) { return row.dwState != kTcpStateSynSent; });
        return result;
    }
};

// The machine's own table (kernel sock_diag over netlink), for the network
// namespace the process is in when the service first talks to the kernel.
std::unique_ptr<TcpTableService> CreateSystemTcpTable();

}  // namespace corvane::platform
