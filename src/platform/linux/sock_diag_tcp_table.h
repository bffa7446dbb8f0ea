#pragma once
// TCP table read through the kernel's sock_diag netlink interface (libmnl).
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/tcp_table.h"

struct mnl_socket;

namespace corvane::platform::linux_impl {

class SockDiagTcpTable final : public TcpTableService {
public:
    SockDiagTcpTable();
    ~SockDiagTcpTable() override;
    SockDiagTcpTable(const SockDiagTcpTable&) = delete;
    SockDiagTcpTable& operator=(const SockDiagTcpTable&) = delete;

    std::uint32_t GetTcpTable(TcpTable& table) override;
    std::uint32_t SetTcpEntry(const TcpRow& row) override;

    // One dump of one family, each message handed to nothing: the bare cost of
    // talking to the kernel, for comparison in benchmarks. Counts the messages.
    std::uint32_t DumpOnly(std::uint8_t family, std::size_t& messages);

private:
    std::uint32_t EnsureOpen();
    std::uint32_t SendDumpRequest(std::uint8_t family);
    template <typename OnMessage>
    std::uint32_t ReceiveAll(OnMessage&& onMessage);

    struct SocketCloser {
        void operator()(mnl_socket* socket) const noexcept;
    };
    std::unique_ptr<mnl_socket, SocketCloser> socket_;
    unsigned int portId_ = 0;
    unsigned int sequence_ = 0;
    std::vector<char> buffer_;
};

}  // namespace corvane::platform::linux_impl
