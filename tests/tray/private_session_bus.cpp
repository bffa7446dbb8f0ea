#include "private_session_bus.h"

#include <cstdlib>
#include <optional>

#include "child_process.h"

namespace corvane::platform::testing {
namespace {

struct Bus {
    std::optional<ChildProcess> daemon;
    std::string address;
    std::string failure;
};

Bus StartBus() {
    Bus bus;
    auto daemon = ChildProcess::Start({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"}, {},
                                      ChildProcess::Output::Captured, bus.failure);
    if (!daemon) {
        bus.failure = "no private session bus (Debian package dbus-daemon): " + bus.failure;
        return bus;
    }
    const auto address = daemon->ReadLine(std::chrono::seconds(10));
    if (!address || address->empty()) {
        bus.failure = "dbus-daemon did not report its address";
        return bus;
    }
    bus.address = *address;
    bus.daemon = std::move(daemon);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address.c_str(), 1);
    return bus;
}

Bus& TheBus() {
    static Bus bus = StartBus();
    return bus;
}

}  // namespace

std::string UsePrivateSessionBus() { return TheBus().failure; }

const std::string& PrivateSessionBusAddress() { return TheBus().address; }

}  // namespace corvane::platform::testing
