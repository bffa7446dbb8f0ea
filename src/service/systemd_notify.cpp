#include "service/systemd_notify.h"

#include <systemd/sd-daemon.h>

namespace corvane::service {

namespace {

// A status is one line.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

bool Send(const std::string& message) {
    // 0: no socket to tell; below 0: the socket refused.
    return ::sd_notify(0, message.c_str()) >= 0;
}

}  // namespace

bool NotifyReady(const std::string& status) { return Send("READY=1\nSTATUS=" + OneLine(status)); }

bool NotifyStatus(const std::string& status) { return Send("STATUS=" + OneLine(status)); }

bool NotifyStopping() { return Send("STOPPING=1\nSTATUS=stopping"); }

}  // namespace corvane::service
