#pragma once
// A D-Bus session bus of the test's own: a dbus-daemon started for the rest of the process, with the
// process's DBUS_SESSION_BUS_ADDRESS pointing at it, so no desktop's tray host is seen by accident and a
// stand-in host can be put there.
#include <string>

namespace corvane::platform::testing {

// Starts the bus once per process (later calls return the first result): "" when the process now uses it,
// else why it could not be started.
std::string UsePrivateSessionBus();

// The address of that bus ("" before it runs).
const std::string& PrivateSessionBusAddress();

}  // namespace corvane::platform::testing
