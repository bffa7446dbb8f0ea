#pragma once
// Tells systemd how the service is doing (the sd_notify protocol). Without a notification socket
// (not started by systemd) nothing is sent. Never waits: a message the manager's full queue cannot
// take is left out, and the call says so.
#include <string>

namespace corvane::service {

// "READY=1" with a STATUS line. False when a socket was named and the message could not be sent
// (or would have had to wait).
bool NotifyReady(const std::string& status);
bool NotifyStatus(const std::string& status);
bool NotifyStopping();

}  // namespace corvane::service
