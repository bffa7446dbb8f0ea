#pragma once
// A D-Bus daemon of the test's own: a session-type bus listening on a socket in a private (0700) folder, with
// Corvane's system-bus policy (packaging/dbus) included, so a broken policy file stops the bus from starting.
// The user running the tests may own the service's name there. A refusing bus also turns away every method call
// to the service's name, as the system bus does for a user outside the group.
#include <QProcess>
#include <QTemporaryDir>

#include <memory>
#include <string>

namespace corvane::platform::testing {

class PrivateBus {
public:
    enum class Policy { kOpen, kRefuseCalls };

    explicit PrivateBus(Policy policy);
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;
    ~PrivateBus();

    // The bus's address, "" when it did not start (Failure() says why).
    const std::string& Address() const { return address_; }
    const std::string& Failure() const { return failure_; }
    // A path in the bus's private folder where nothing listens.
    std::string AbsentSocketAddress() const;

private:
    QTemporaryDir folder_;
    std::unique_ptr<QProcess> daemon_;
    std::string address_;
    std::string failure_;
};

// The open bus that stands for the system bus in this process, started at the first call, with
// DBUS_SYSTEM_BUS_ADDRESS pointing at it. A process's first system-bus connection fixes that address for the
// rest of it (libdbus reads it once), so every client object made in this process meets this bus.
const PrivateBus& SystemBus();
// Ends that bus (at the end of main, while the application object still stands).
void StopSystemBus();

}  // namespace corvane::platform::testing
