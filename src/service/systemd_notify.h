#pragma once
// Tells systemd how the service is doing (sd_notify). Without a notification socket (not started by
// systemd) nothing is sent.
#include <string>

namespace corvane::service {

// "READY=1" with a STATUS line. False when a socket was named and the message could not be sent.
bool NotifyReady(const std::string& status);
bool NotifyStatus(const std::string& status);
bool NotifyStopping();

}  // namespace corvane::service
