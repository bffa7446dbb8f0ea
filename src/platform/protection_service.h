#pragma once
// The protection service as its clients (the window, corvanectl) see it: the system service corvaned
// runs the engine, owns the count and the definitions, and answers on the system bus. Clients hold no
// rights of their own; every change goes through here.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvane::platform {

// One list in force: qd.def, or a list file of the administrator's.
struct ListInForce {
    std::string path;         // "qd.def", or the file's path
    std::string refusedWhy;   // why the file is not read at all; empty when it is
    std::uint32_t addresses4 = 0;
    std::uint32_t prefixes4 = 0;
    std::uint32_t addresses6 = 0;
    std::uint32_t prefixes6 = 0;
    std::uint32_t brokenLines = 0;  // lines that are no entry, skipped
    bool operator==(const ListInForce&) const = default;
};

// What a client knows of the service at a moment.
struct ServiceStatus {
    enum class Link {
        kConnected,    // the service answers this user
        kUnreachable,  // no system bus, or no service on it
        kRefused,      // the service (or the bus policy) turns this user away
    };
    Link link = Link::kUnreachable;
    std::string problem;  // plain words for the user when link is not kConnected

    bool protection = false;         // "Run": the engine tears listed connections down
    std::int32_t attempts = 0;       // "Attempts": the machine's one count
    std::string definitionsVersion;  // the version line of the definitions in force
    std::string engine;              // "events" or "timer"
    std::string engineReason;        // why that engine runs
    std::string layers;              // "Layers": which layers protect, and why one does not
    std::string updateServer;        // "UpdateServer": base address of the update server
    // Why protection is on but not working (the kernel refuses teardowns), empty while it works.
    std::string protectionProblem;
    std::vector<ListInForce> lists;          // qd.def first
    std::vector<std::string> listProblems;   // "PATH:LINE" of lines that are no entry (the first 100)
};

// One block (a connection, a datagram, a ping), most recent last.
struct BlockEntry {
    std::string address;      // remote address, as text
    std::int64_t timeMs = 0;  // when, in milliseconds since the Unix epoch
    std::uint32_t pid = 0;    // the process that held the connection, 0 when the kernel did not say
    std::string process;      // its name, empty when unknown
    std::string list;         // which list named the address: "qd.def" or a list file's path
    std::string protocol;     // "TCP", "UDP", "ICMP" or "ICMPv6"
    std::string direction;    // "outbound" or "inbound"; empty when unknown
};

// The outcome of one request to the service.
struct ServiceResult {
    enum class Code { kOk, kUnreachable, kRefused, kInvalid, kFailed };
    Code code = Code::kFailed;
    std::string message;  // one line for the user when code is not kOk
    bool Ok() const { return code == Code::kOk; }
};

class ProtectionService {
public:
    virtual ~ProtectionService() = default;

    // The last status read; kept current from the service's change signals while an event loop runs.
    virtual const ServiceStatus& Status() const = 0;
    // Reads every value again now (a blocking call), and returns what it read.
    virtual const ServiceStatus& Refresh() = 0;
    // Called (on the event loop's thread) after Status() changed: a value, or the link itself (the
    // service started, ended or restarted).
    virtual void SetChangeHandler(std::function<void()> handler) = 0;

    virtual ServiceResult SetProtection(bool on) = 0;
    // Hands a downloaded definitions file to the service, which checks it, puts it in place of the
    // old and loads it at once. `fd` stays the caller's. On success `version` is the new version.
    virtual ServiceResult InstallDefinitions(int fd, std::string& version) = 0;
    // Reads the definitions in place again.
    virtual ServiceResult Reload() = 0;
    // The last `count` blocks, oldest first.
    virtual ServiceResult RecentBlocks(std::uint32_t count, std::vector<BlockEntry>& blocks) = 0;
};

// The service on the system bus (DBUS_SYSTEM_BUS_ADDRESS names another bus). Never null: an
// unreachable service is a status, not a failure to construct.
std::unique_ptr<ProtectionService> ConnectProtectionService();

}  // namespace corvane::platform
