#include "service/systemd_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace corvane::service {

namespace {

// A status is one line.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

// One datagram to $NOTIFY_SOCKET (a path, or an abstract name after '@'), as sd_notify sends it,
// but never waiting: a manager that reads its socket late (its queue full) must not stop the
// thread that protects and answers the bus, so the message is left out instead. True when there
// is no socket to tell.
bool Send(const std::string& message) {
    const char* name = ::secure_getenv("NOTIFY_SOCKET");
    if (name == nullptr || *name == '\0') return true;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(name);
    if ((name[0] != '/' && name[0] != '@') || length >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@') address.sun_path[0] = '\0';
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    const ssize_t sent =
        ::sendto(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
    static_cast<void>(::close(fd));
    return sent == static_cast<ssize_t>(message.size());
}

}  // namespace

bool NotifyReady(const std::string& status) { return Send("READY=1\nSTATUS=" + OneLine(status)); }

bool NotifyStatus(const std::string& status) { return Send("STATUS=" + OneLine(status)); }

bool NotifyStopping() { return Send("STOPPING=1\nSTATUS=stopping"); }

}  // namespace corvane::service
