// unit_sandbox_probe: tries the calls a unit's seccomp settings decide on and prints, one line each,
// "NAME=0" when the call succeeded or "NAME=ERRNO" (EPERM, EAFNOSUPPORT, ...) when it failed. Every call
// is harmless when allowed: sockets are only opened, mappings are of its own memory, adjtimex() and
// syslog() only read. Built without the sanitizers: their run time makes calls of its own.
//
//   socket_inet, socket_inet6, socket_netlink, socket_unix   socket() of that family
//   socketpair_unix                                          socketpair(AF_UNIX)
//   mmap_wx, mmap_rx, mmap_rw                                an anonymous mapping with those rights
//   mprotect_x, mprotect_r                                   a read-write mapping turned R+X, then R
//   adjtimex                                                 adjtimex() reading the clock (modes 0: @clock)
//   syslog                                                   syslog(SIZE_BUFFER): in no group of
//                                                            @system-service
#include <errno.h>
#include <linux/netlink.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/timex.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// `error` is errno as the call left it: read after the call, never in the same expression.
void Report(const char* name, bool succeeded, int error) {
    const char* text = succeeded ? "0" : ::strerrorname_np(error);
    std::printf("%s=%s\n", name, text != nullptr ? text : "?");
}

void TrySocket(const char* name, int family, int type, int protocol) {
    const int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
    Report(name, fd >= 0, errno);
    if (fd >= 0) ::close(fd);
}

void TryMmap(const char* name, int protection) {
    void* at = ::mmap(nullptr, 4096, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    Report(name, at != MAP_FAILED, errno);
    if (at != MAP_FAILED) ::munmap(at, 4096);
}

}  // namespace

int main() {
    // Line by line: a unit without SystemCallErrorNumber= kills the probe at its first refused call.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    TrySocket("socket_inet", AF_INET, SOCK_DGRAM, 0);
    TrySocket("socket_inet6", AF_INET6, SOCK_DGRAM, 0);
    TrySocket("socket_netlink", AF_NETLINK, SOCK_RAW, NETLINK_ROUTE);
    TrySocket("socket_unix", AF_UNIX, SOCK_STREAM, 0);
    int pair[2] = {-1, -1};
    const bool paired = ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0;
    Report("socketpair_unix", paired, errno);
    if (paired) {
        ::close(pair[0]);
        ::close(pair[1]);
    }

    TryMmap("mmap_wx", PROT_READ | PROT_WRITE | PROT_EXEC);
    TryMmap("mmap_rx", PROT_READ | PROT_EXEC);
    TryMmap("mmap_rw", PROT_READ | PROT_WRITE);
    void* page = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
        Report("mprotect_x", false, errno);
        Report("mprotect_r", false, errno);
    } else {
        const bool executable = ::mprotect(page, 4096, PROT_READ | PROT_EXEC) == 0;
        Report("mprotect_x", executable, errno);
        const bool readable = ::mprotect(page, 4096, PROT_READ) == 0;
        Report("mprotect_r", readable, errno);
        ::munmap(page, 4096);
    }

    timex clock{};
    clock.modes = 0;  // read only
    const bool read = ::adjtimex(&clock) >= 0;
    Report("adjtimex", read, errno);
    constexpr long kSyslogSizeBuffer = 10;  // SYSLOG_ACTION_SIZE_BUFFER: only reads the size
    const bool sized = ::syscall(SYS_syslog, kSyslogSizeBuffer, nullptr, 0L) >= 0;
    Report("syslog", sized, errno);
    std::fflush(stdout);
    return 0;
}
