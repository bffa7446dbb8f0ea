#include "probe/rights_probe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace corvane::rights {
namespace {

// The probe is loaded into other programs as part of a plugin: it keeps its own descriptor type.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) static_cast<void>(::close(fd_));
    }
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }

private:
    int fd_;
};

std::string StatusLine(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key + ":", 0) == 0) {
            std::string value = line.substr(key.size() + 1);
            const auto first = value.find_first_not_of(" \t");
            return first == std::string::npos ? std::string() : value.substr(first);
        }
    }
    return "unknown";
}

std::string Teardown() {
    const char* target = std::getenv("CORVANE_RIGHTS_TARGET");
    if (target == nullptr) return "none";
    unsigned sourcePort = 0;
    unsigned destPort = 0;
    std::istringstream ports(target);
    if (!(ports >> sourcePort >> destPort) || sourcePort > 0xffff || destPort > 0xffff) return "bad-target";
    return std::to_string(TryTeardown(static_cast<std::uint16_t>(sourcePort), static_cast<std::uint16_t>(destPort)));
}

}  // namespace

int TryTeardown(std::uint16_t sourcePort, std::uint16_t destPort) {
    Descriptor socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!socket.Valid()) return errno;

    struct {
        nlmsghdr header;
        inet_diag_req_v2 body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DESTROY;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    request.header.nlmsg_seq = 1;
    request.body.sdiag_family = AF_INET;
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = ~0U;
    request.body.id.idiag_sport = htons(sourcePort);
    request.body.id.idiag_dport = htons(destPort);
    request.body.id.idiag_src[0] = htonl(INADDR_LOOPBACK);
    request.body.id.idiag_dst[0] = htonl(INADDR_LOOPBACK);
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(socket.Get(), &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel),
                 sizeof kernel) != static_cast<ssize_t>(sizeof request))
        return errno;

    std::array<char, 8192> answer{};
    const ssize_t got = ::recv(socket.Get(), answer.data(), answer.size(), 0);
    if (got < 0) return errno;
    const auto* header = reinterpret_cast<const nlmsghdr*>(answer.data());
    if (!NLMSG_OK(header, static_cast<unsigned>(got)) || header->nlmsg_type != NLMSG_ERROR) return EPROTO;
    const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
    return -error->error;
}

void RecordRights(const char* plugin) {
    static std::atomic<bool> recorded{false};
    if (recorded.exchange(true)) return;
    const char* path = std::getenv("CORVANE_RIGHTS_RECORD");
    if (path == nullptr || *path == '\0') return;

    std::array<char, 4096> exe{};
    const ssize_t exeLength = ::readlink("/proc/self/exe", exe.data(), exe.size() - 1);
    std::ostringstream record;
    record << "plugin=" << plugin << "\n"
           << "pid=" << ::getpid() << "\n"
           << "uid=" << ::getuid() << "\n"
           << "exe=" << (exeLength > 0 ? std::string(exe.data(), static_cast<std::size_t>(exeLength)) : "") << "\n"
           << "CapEff=" << StatusLine("CapEff") << "\n"
           << "CapPrm=" << StatusLine("CapPrm") << "\n"
           << "CapAmb=" << StatusLine("CapAmb") << "\n"
           << "teardown=" << Teardown() << "\n";
    const std::string text = record.str();

    // Written beside the record and renamed into place: the reader never sees half a record.
    const std::string part = std::string(path) + ".part";
    {
        Descriptor file(::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file.Valid()) return;
        if (::write(file.Get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) return;
    }
    static_cast<void>(::rename(part.c_str(), path));
}

std::map<std::string, std::string> ReadRecord(const std::string& path) {
    std::map<std::string, std::string> values;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

}  // namespace corvane::rights
