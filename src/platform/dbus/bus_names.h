#pragma once
// The service's names on the system bus. The interface is versioned: an incompatible change gets a
// new interface name beside the old.
namespace corvane::platform::bus {

inline constexpr char kServiceName[] = "org.corvane.Corvane1";
inline constexpr char kObjectPath[] = "/org/corvane/Corvane1";
inline constexpr char kInterface[] = "org.corvane.Corvane1.Protection";

// Properties (all read-only; org.freedesktop.DBus.Properties.PropertiesChanged reports changes, at
// most 20 a second, always with the latest values).
inline constexpr char kPropProtection[] = "Protection";                  // b
inline constexpr char kPropAttempts[] = "Attempts";                      // i
inline constexpr char kPropDefinitionsVersion[] = "DefinitionsVersion";  // s
inline constexpr char kPropEngine[] = "Engine";                          // s: "events" | "timer"
inline constexpr char kPropEngineReason[] = "EngineReason";              // s
inline constexpr char kPropUpdateServer[] = "UpdateServer";              // s
// Why protection is not working (the kernel refuses teardowns), one line; empty while it works.
inline constexpr char kPropProblem[] = "Problem";  // s
// Which layers protect while protection is on, and why one does not ("connect refusal + event
// engine"; "timer engine; connect refusal not running: no cgroup2 hierarchy is mounted"; "none:
// protection is off").
inline constexpr char kPropLayers[] = "Layers";  // s
// The lists in force: qd.def first, then the administrator's list files by name. Each: its path
// ("qd.def" for the definitions), why it is not read (empty when it is), its IPv4 addresses, IPv4
// prefixes, IPv6 addresses and IPv6 prefixes in force, and how many of its lines are no entry.
inline constexpr char kPropLists[] = "Lists";  // a(ssuuuuu)
inline constexpr char kListsSignature[] = "a(ssuuuuu)";
// The lines of the list files that are no entry, "PATH:LINE", the first kMaxListProblems of them.
inline constexpr char kPropListProblems[] = "ListProblems";  // as
inline constexpr unsigned kMaxListProblems = 100;

// Every property with its D-Bus signature, in the order the service describes them: what the
// introspection data says, and what the service and its clients are checked against.
struct PropertyDescription {
    const char* name;
    const char* signature;
};
inline constexpr PropertyDescription kProperties[] = {
    {kPropProtection, "b"},   {kPropAttempts, "i"},        {kPropDefinitionsVersion, "s"},
    {kPropEngine, "s"},       {kPropEngineReason, "s"},    {kPropUpdateServer, "s"},
    {kPropProblem, "s"},      {kPropLayers, "s"},          {kPropLists, kListsSignature},
    {kPropListProblems, "as"},
};

// Methods.
inline constexpr char kMethodSetProtection[] = "SetProtection";            // (b) -> ()
inline constexpr char kMethodInstallDefinitions[] = "InstallDefinitions";  // (h) -> (s version)
inline constexpr char kMethodReload[] = "Reload";                          // () -> ()
// (u count) -> a(sxussss): address, ms, pid, process, list ("qd.def" or a list file's path), protocol
// ("TCP", "UDP", "ICMP", "ICMPv6"), direction ("outbound", "inbound", "" when unknown)
inline constexpr char kMethodRecentBlocks[] = "RecentBlocks";
inline constexpr char kRecentBlocksSignature[] = "a(sxussss)";

// Errors the service itself returns (the bus policy's refusal is org.freedesktop.DBus.Error.AccessDenied).
inline constexpr char kErrorAccessDenied[] = "org.corvane.Corvane1.Error.AccessDenied";
inline constexpr char kErrorInvalidDefinitions[] = "org.corvane.Corvane1.Error.InvalidDefinitions";
inline constexpr char kErrorFailed[] = "org.corvane.Corvane1.Error.Failed";

// The system group whose members (and root) may control the service.
inline constexpr char kControlGroup[] = "corvane";

}  // namespace corvane::platform::bus
