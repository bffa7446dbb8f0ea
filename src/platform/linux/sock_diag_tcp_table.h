#pragma once
// TCP table read through the kernel's sock_diag netlink interface (libmnl).
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/tcp_table.h"

struct mnl_socket;

namespace corvane::platform::linux_impl {

// Kernel TCP states (include/net/tcp_states.h, 1..12) to MIB_TCP_STATE numbers.
std::uint32_t MibStateFromKernel(std::uint8_t state);

class SockDiagTcpTable final : public TcpTableService {
public:
    // How the table is read. kOneWalk asks for TCP sockets of every family in one
    // dump (the inet_diag request without a family), so the kernel walks its
    // connection hash once instead of once per family; a kernel that refuses it
    // is asked per family from then on. kPerFamily always asks per family
    // (inet_diag_req_v2: IPv4, then IPv6). Either way the table has the IPv4
    // rows first, then the IPv6 ones.
    enum class Walk { kOneWalk, kPerFamily };

    explicit SockDiagTcpTable(Walk walk = Walk::kOneWalk);
    ~SockDiagTcpTable() override;
    SockDiagTcpTable(const SockDiagTcpTable&) = delete;
    SockDiagTcpTable& operator=(const SockDiagTcpTable&) = delete;

    std::uint32_t GetTcpTable(TcpTable& table) override;
    std::uint32_t GetConnectingRows(TcpTable& table) override;
    std::uint32_t SetTcpEntry(const TcpRow& row) override;
    std::uint32_t GetTcpEntryState(const TcpRow& row, std::uint32_t& state) override;

    // One dump of one family (AF_UNSPEC: the one-walk dump of every family), each
    // message only counted: the bare cost of talking to the kernel, for comparison
    // in benchmarks.
    std::uint32_t DumpOnly(std::uint8_t family, std::size_t& messages);

    Walk walk() const noexcept { return walk_; }

private:
    std::uint32_t EnsureOpen();
    std::uint32_t ReadTable(TcpTable& table, std::uint32_t states);
    std::uint32_t SendDumpRequest(std::uint8_t family, std::uint32_t states);
    std::uint32_t SendOneWalkDumpRequest(std::uint32_t states);
    std::uint32_t Finish(std::uint32_t result, TcpTable& table);
    // Sends one request about the exact socket of `row` (no dump); false, with the reason in
    // `result`, when the row names no socket or sending failed.
    bool SendExactRequest(std::uint16_t type, std::uint16_t flags, const TcpRow& row, std::uint32_t& result);
    template <typename OnMessage>
    std::uint32_t ReceiveAll(OnMessage& onMessage);

    struct SocketCloser {
        void operator()(mnl_socket* socket) const noexcept;
    };
    std::unique_ptr<mnl_socket, SocketCloser> socket_;
    Walk walk_;
    unsigned int portId_ = 0;
    unsigned int sequence_ = 0;
    std::vector<char> buffer_;
    std::vector<TcpRow> laterRows_;  // a one-walk dump's IPv6 rows, until its IPv4 rows are all in
};

}  // namespace corvane::platform::linux_impl
