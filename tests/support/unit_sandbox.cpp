// corvane-unit-sandbox: runs a program under the seccomp restrictions a systemd unit file asks for, the
// way systemd 252 (Debian 12) would apply them, for machines without systemd as PID 1 (ours and CI's).
//
//   corvane-unit-sandbox --unit PATH/NAME.service -- PROGRAM ARGS...
//
// From the unit's [Service] section it reads, in order, with systemd's rules for repeated lines (later
// lines add to earlier ones, an empty assignment resets, "~" makes a deny list):
//   SystemCallFilter=         allow list (with @default added, as systemd does) or deny list, with
//                             @groups expanded by `systemd-analyze syscall-filter` before anything is
//                             installed; "~name:ERRNO" entries as systemd has them
//   SystemCallErrorNumber=    the errno of refused calls ("kill", or unset: the process is killed)
//   SystemCallArchitectures=  "native" (or the native architecture's own name)
//   RestrictAddressFamilies=  socket() with another family fails EAFNOSUPPORT (systemd filters socket()
//                             only: socketpair() creates AF_UNIX pairs and is left alone, as there)
//   MemoryDenyWriteExecute=   mmap() with PROT_WRITE|PROT_EXEC, mprotect()/pkey_mprotect() with PROT_EXEC
//                             and shmat() with SHM_EXEC fail EPERM
// and installs them as ONE libseccomp filter for the native architecture (calls of other architectures
// kill the process: without SystemCallArchitectures= systemd would filter them the same way instead;
// either way nothing a native service does changes), then execs PROGRAM with the environment unchanged.
//
// systemd installs one filter per setting; the kernel then takes the strictest answer, and between two
// errno answers the syscall filter's (installed last). Here the same answers come from one filter: a
// call's own SystemCallFilter= answer, and when that is "allowed", the argument rules of the other
// settings. Those rules are written so that exactly one matches any call (libseccomp drops a
// conditional rule of a call that also has an unconditional one).
//
// Stricter than systemd on purpose: a name in the unit that libseccomp does not know at all, an unknown
// @group, address family, errno or architecture, an unreadable unit or a systemd-analyze failure is an
// error (systemd logs a warning and goes on without it). Every error is one line on standard error and
// exit status 2, and the program is never started unfiltered. Names of system calls that do not exist
// on this architecture, or that libseccomp does not know, inside a @group are skipped, as systemd does.
//
// The other seccomp-based settings of a unit (RestrictNamespaces=, RestrictRealtime=, LockPersonality=,
// RestrictSUIDSGID=, ProtectClock=, ProtectHostname=, ProtectKernelModules=, ProtectKernelLogs=, …) are
// not applied here.
#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <seccomp.h>
#include <spawn.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace {

constexpr char kName[] = "corvane-unit-sandbox";
constexpr int kErrorExit = 2;
// A call's entry in the filter: listed without an errno of its own, or refused by killing the process.
constexpr int kListed = -1;
constexpr int kKill = INT_MAX;

[[noreturn]] void Fail(std::string why) {
    for (char& c : why) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    std::fprintf(stderr, "%s: %s\n", kName, why.c_str());
    std::exit(kErrorExit);
}

std::string Trimmed(const std::string& text) {
    const std::size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return {};
    const std::size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

// One assignment of the [Service] section, with where it was.
struct Assignment {
    std::string key;
    std::string value;
    int line = 0;
};

// The [Service] assignments of the keys this program applies, in file order.
std::vector<Assignment> ReadService(const std::string& path) {
    static const std::set<std::string> kKeys = {"SystemCallFilter", "SystemCallErrorNumber", "SystemCallArchitectures",
                                                "RestrictAddressFamilies", "MemoryDenyWriteExecute"};
    std::ifstream file(path);
    if (!file) Fail("cannot read the unit " + path + ": " + std::strerror(errno));
    std::vector<Assignment> found;
    std::string section;
    std::string line;
    int number = 0;
    while (std::getline(file, line)) {
        ++number;
        const int first = number;
        // A backslash at the end continues the line (systemd joins the parts with a space); comment
        // lines inside are dropped.
        while (!line.empty() && line.back() == '\\') {
            line.back() = ' ';
            std::string more;
            bool next = false;
            while (std::getline(file, more)) {
                ++number;
                const std::string trimmed = Trimmed(more);
                if (!trimmed.empty() && (trimmed[0] == '#' || trimmed[0] == ';')) continue;
                next = true;
                break;
            }
            if (!next) break;
            line += more;
        }
        if (file.bad()) Fail("cannot read the unit " + path);
        const std::string text = Trimmed(line);
        if (text.empty() || text[0] == '#' || text[0] == ';') continue;
        if (text[0] == '[') {
            if (text.back() != ']') Fail(path + ":" + std::to_string(first) + ": malformed section header");
            section = text.substr(1, text.size() - 2);
            continue;
        }
        const std::size_t equals = text.find('=');
        if (equals == std::string::npos) Fail(path + ":" + std::to_string(first) + ": not a key=value line");
        if (section != "Service") continue;
        Assignment assignment{Trimmed(text.substr(0, equals)), Trimmed(text.substr(equals + 1)), first};
        if (kKeys.count(assignment.key) != 0) found.push_back(std::move(assignment));
    }
    if (file.bad()) Fail("cannot read the unit " + path);
    return found;
}

// "EPERM", "13": an errno value, or nullopt.
std::optional<int> ParseErrno(const std::string& text) {
    if (text.empty()) return std::nullopt;
    if (text.find_first_not_of("0123456789") == std::string::npos) {
        if (text.size() > 4) return std::nullopt;
        const int value = std::atoi(text.c_str());
        if (value < 0 || value > 4095) return std::nullopt;
        return value;
    }
    for (int value = 1; value <= 4095; ++value) {
        const char* name = ::strerrorname_np(value);
        if (name != nullptr && text == name) return value;
    }
    return std::nullopt;
}

std::optional<bool> ParseBoolean(const std::string& text) {
    for (const char* yes : {"1", "yes", "y", "true", "t", "on"}) {
        if (strcasecmp(text.c_str(), yes) == 0) return true;
    }
    for (const char* no : {"0", "no", "n", "false", "f", "off"}) {
        if (strcasecmp(text.c_str(), no) == 0) return false;
    }
    return std::nullopt;
}

// systemd's names of the address families (af_from_name).
std::optional<int> AddressFamily(const std::string& name) {
    static const std::map<std::string, int> kFamilies = {
        {"AF_UNIX", AF_UNIX},
        {"AF_LOCAL", AF_LOCAL},
        {"AF_INET", AF_INET},
        {"AF_AX25", AF_AX25},
        {"AF_IPX", AF_IPX},
        {"AF_APPLETALK", AF_APPLETALK},
        {"AF_NETROM", AF_NETROM},
        {"AF_BRIDGE", AF_BRIDGE},
        {"AF_ATMPVC", AF_ATMPVC},
        {"AF_X25", AF_X25},
        {"AF_INET6", AF_INET6},
        {"AF_ROSE", AF_ROSE},
        {"AF_DECnet", AF_DECnet},
        {"AF_NETBEUI", AF_NETBEUI},
        {"AF_SECURITY", AF_SECURITY},
        {"AF_KEY", AF_KEY},
        {"AF_NETLINK", AF_NETLINK},
        {"AF_ROUTE", AF_ROUTE},
        {"AF_PACKET", AF_PACKET},
        {"AF_ASH", AF_ASH},
        {"AF_ECONET", AF_ECONET},
        {"AF_ATMSVC", AF_ATMSVC},
        {"AF_RDS", AF_RDS},
        {"AF_SNA", AF_SNA},
        {"AF_IRDA", AF_IRDA},
        {"AF_PPPOX", AF_PPPOX},
        {"AF_WANPIPE", AF_WANPIPE},
        {"AF_LLC", AF_LLC},
        {"AF_IB", AF_IB},
        {"AF_MPLS", AF_MPLS},
        {"AF_CAN", AF_CAN},
        {"AF_TIPC", AF_TIPC},
        {"AF_BLUETOOTH", AF_BLUETOOTH},
        {"AF_IUCV", AF_IUCV},
        {"AF_RXRPC", AF_RXRPC},
        {"AF_ISDN", AF_ISDN},
        {"AF_PHONET", AF_PHONET},
        {"AF_IEEE802154", AF_IEEE802154},
        {"AF_CAIF", AF_CAIF},
        {"AF_ALG", AF_ALG},
        {"AF_NFC", AF_NFC},
        {"AF_VSOCK", AF_VSOCK},
        {"AF_KCM", AF_KCM},
        {"AF_QIPCRTR", AF_QIPCRTR},
        {"AF_SMC", AF_SMC},
        {"AF_XDP", AF_XDP},
        {"AF_MCTP", AF_MCTP},
    };
    const auto found = kFamilies.find(name);
    if (found == kFamilies.end()) return std::nullopt;
    return found->second;
}

// systemd's names of the architectures this program knows of; only the native one can be applied.
std::optional<uint32_t> Architecture(const std::string& name) {
    if (name == "native") return seccomp_arch_native();
    static const std::map<std::string, uint32_t> kArchitectures = {
        {"x86", SCMP_ARCH_X86},     {"x86-64", SCMP_ARCH_X86_64},   {"x32", SCMP_ARCH_X32},
        {"arm", SCMP_ARCH_ARM},     {"arm64", SCMP_ARCH_AARCH64},   {"ppc64-le", SCMP_ARCH_PPC64LE},
        {"s390x", SCMP_ARCH_S390X}, {"riscv64", SCMP_ARCH_RISCV64},
    };
    const auto found = kArchitectures.find(name);
    if (found == kArchitectures.end()) return std::nullopt;
    return found->second;
}

// --- @groups, through systemd-analyze -----------------------------------------------------------------

std::string SystemdAnalyze() {
    std::vector<std::string> folders = {"/usr/bin", "/bin", "/usr/sbin", "/sbin"};
    if (const char* path = std::getenv("PATH")) {
        std::istringstream in(path);
        std::string folder;
        while (std::getline(in, folder, ':')) {
            if (!folder.empty()) folders.push_back(folder);
        }
    }
    for (const std::string& folder : folders) {
        const std::string candidate = folder + "/systemd-analyze";
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    Fail("systemd-analyze not found (Debian package systemd): the unit's @groups cannot be expanded");
}

// Runs `systemd-analyze --no-pager syscall-filter`: its standard output, or a failure.
std::string RunSystemdAnalyze() {
    const std::string program = SystemdAnalyze();
    std::vector<std::string> args = {program, "--no-pager", "syscall-filter"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        Fail(std::string("pipe: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) Fail("cannot run " + program + ": " + std::strerror(spawned));
    std::string text[2];
    pollfd watch[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (::poll(watch, 2, -1) < 0) {
            if (errno == EINTR) continue;
            Fail(std::string("poll: ") + std::strerror(errno));
        }
        for (int i = 0; i < 2; ++i) {
            if (watch[i].fd < 0 || watch[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = ::read(watch[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                text[i].append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(watch[i].fd);
                watch[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) Fail(std::string("waitpid: ") + std::strerror(errno));
    }
    const std::string command = "systemd-analyze syscall-filter";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        const std::string why = Trimmed(text[1]);
        Fail(command + " failed" + (WIFEXITED(status) ? " (exit " + std::to_string(WEXITSTATUS(status)) + ")" : "") +
             (why.empty() ? std::string() : ": " + why.substr(0, why.find('\n'))));
    }
    return text[0];
}

// Every group systemd-analyze knows, with its entries (system call names and @groups), comments left
// out: `systemd-analyze syscall-filter` without arguments lists them all, the groups inside groups too, in
// one run. Each group in `wanted` must be among them.
std::map<std::string, std::vector<std::string>> ExpandGroups(const std::set<std::string>& wanted) {
    const std::string output = RunSystemdAnalyze();
    std::map<std::string, std::vector<std::string>> groups;
    // "@name" at the start of a line opens a group; its entries follow indented; "# ..." is a comment.
    std::istringstream in(output);
    std::string line;
    std::string current;
    while (std::getline(in, line)) {
        const std::string entry = Trimmed(line);
        if (entry.empty()) {
            current.clear();
            continue;
        }
        if (entry[0] == '#') continue;
        if (line[0] != ' ' && line[0] != '\t') {
            if (entry[0] != '@' || entry.find_first_of(" \t") != std::string::npos)
                Fail("systemd-analyze syscall-filter printed an unexpected line: " + entry);
            current = entry;
            groups[current];
            continue;
        }
        if (current.empty()) Fail("systemd-analyze syscall-filter printed an entry outside a group: " + entry);
        groups[current].push_back(entry);
    }
    for (const std::string& group : wanted) {
        if (groups.count(group) == 0)
            Fail("SystemCallFilter=: unknown group " + group + " (systemd-analyze syscall-filter has no such group)");
    }
    for (const auto& [name, entries] : groups) {
        for (const std::string& entry : entries) {
            if (entry[0] == '@' && groups.count(entry) == 0)
                Fail("systemd-analyze syscall-filter: " + name + " names " + entry + ", which it does not list");
        }
    }
    return groups;
}

// --- the unit's settings ---------------------------------------------------------------------------------

struct Settings {
    // SystemCallFilter=: unset (no filter), or an allow or deny list of system call numbers, each with
    // kListed, an errno of its own or kKill.
    bool filterSet = false;
    bool allowList = false;
    std::map<int, int> calls;
    // SystemCallErrorNumber=
    int errorNumber = kKill;
    // SystemCallArchitectures=
    std::set<uint32_t> architectures;
    // RestrictAddressFamilies=
    bool familiesSet = false;
    bool familiesAllowList = false;
    std::set<int> families;
    // MemoryDenyWriteExecute=
    bool memoryDenyWriteExecute = false;
};

class FilterParser {
public:
    FilterParser(std::string unit, const std::map<std::string, std::vector<std::string>>& groups)
        : unit_(std::move(unit)), groups_(groups) {}

    // One SystemCallFilter= line, as systemd's config_parse_syscall_filter takes it.
    void Apply(Settings& settings, const Assignment& assignment) {
        where_ = unit_ + ":" + std::to_string(assignment.line);
        std::string value = assignment.value;
        if (value.empty()) {
            settings.filterSet = false;
            settings.allowList = false;
            settings.calls.clear();
            return;
        }
        const bool invert = value[0] == '~';
        if (invert) value.erase(0, 1);
        if (!settings.filterSet) {
            settings.filterSet = true;
            settings.calls.clear();
            settings.allowList = !invert;
            // An allow list always has @default, as with systemd.
            if (settings.allowList) Add(settings, "@default", kListed, false, true);
        }
        for (const std::string& word : Words(value)) {
            std::string name = word;
            int error = kListed;
            if (const std::size_t colon = word.find(':'); colon != std::string::npos) {
                name = word.substr(0, colon);
                const std::string errorText = word.substr(colon + 1);
                if (!invert) Fail(where_ + ": SystemCallFilter=" + word + ": an errno only goes with a ~ list");
                if (errorText == "kill") {
                    error = kKill;
                } else if (const std::optional<int> parsed = ParseErrno(errorText)) {
                    error = *parsed;
                } else {
                    Fail(where_ + ": SystemCallFilter=" + word + ": unknown errno " + errorText);
                }
            }
            if (name.empty()) Fail(where_ + ": SystemCallFilter=" + word + ": no system call named");
            Add(settings, name, error, invert, false);
        }
    }

private:
    // seccomp_parse_syscall_filter: a name or a group, added to or taken from the list.
    void Add(Settings& settings, const std::string& name, int error, bool invert, bool fromGroup) {
        if (name[0] == '@') {
            const auto group = groups_.find(name);
            if (group == groups_.end()) Fail(where_ + ": SystemCallFilter=: unknown group " + name);
            if (!expanding_.insert(name).second) return;  // a group met again inside itself
            for (const std::string& entry : group->second) Add(settings, entry, error, invert, true);
            expanding_.erase(name);
            return;
        }
        const int id = seccomp_syscall_resolve_name(name.c_str());
        if (id == __NR_SCMP_ERROR) {
            // Inside a group: a call this libseccomp does not know, skipped as systemd does.
            if (fromGroup) return;
            Fail(where_ + ": SystemCallFilter=: unknown system call " + name);
        }
        // A call of other architectures only (a pseudo number here): nothing to filter, as with systemd.
        if (id < 0) return;
        if (invert != settings.allowList || (invert && settings.allowList && error != kListed)) {
            settings.calls[id] = error;
        } else {
            settings.calls.erase(id);
        }
    }

    std::string unit_;
    const std::map<std::string, std::vector<std::string>>& groups_;
    std::set<std::string> expanding_;
    std::string where_;
};

// The @groups the unit's SystemCallFilter= lines name, and @default when one is an allow list.
std::set<std::string> GroupsNamed(const std::vector<Assignment>& assignments) {
    std::set<std::string> groups;
    for (const Assignment& assignment : assignments) {
        if (assignment.key != "SystemCallFilter" || assignment.value.empty()) continue;
        std::string value = assignment.value;
        if (value[0] == '~') {
            value.erase(0, 1);
        } else {
            groups.insert("@default");
        }
        for (const std::string& word : Words(value)) {
            const std::string name = word.substr(0, word.find(':'));
            if (!name.empty() && name[0] == '@') groups.insert(name);
        }
    }
    return groups;
}

Settings ReadSettings(const std::string& unit) {
    const std::vector<Assignment> assignments = ReadService(unit);
    std::map<std::string, std::vector<std::string>> groups;
    if (const std::set<std::string> named = GroupsNamed(assignments); !named.empty()) groups = ExpandGroups(named);
    FilterParser filter(unit, groups);
    Settings settings;
    for (const Assignment& assignment : assignments) {
        const std::string where = unit + ":" + std::to_string(assignment.line) + ": " + assignment.key + "=";
        if (assignment.key == "SystemCallFilter") {
            filter.Apply(settings, assignment);
        } else if (assignment.key == "SystemCallErrorNumber") {
            if (assignment.value.empty() || assignment.value == "kill") {
                settings.errorNumber = kKill;
            } else if (const std::optional<int> error = ParseErrno(assignment.value)) {
                settings.errorNumber = *error;
            } else {
                Fail(where + assignment.value + ": unknown errno");
            }
        } else if (assignment.key == "SystemCallArchitectures") {
            if (assignment.value.empty()) settings.architectures.clear();
            for (const std::string& word : Words(assignment.value)) {
                const std::optional<uint32_t> architecture = Architecture(word);
                if (!architecture) Fail(where + word + ": unknown architecture");
                if (*architecture != seccomp_arch_native())
                    Fail(where + word + ": only the native architecture can be applied here");
                settings.architectures.insert(*architecture);
            }
        } else if (assignment.key == "RestrictAddressFamilies") {
            std::string value = assignment.value;
            if (value.empty()) {
                settings.familiesSet = false;
                settings.familiesAllowList = false;
                settings.families.clear();
                continue;
            }
            if (value == "none") {
                // Every family refused (an empty allow list); a later line starts a list anew.
                settings.familiesSet = false;
                settings.familiesAllowList = true;
                settings.families.clear();
                continue;
            }
            const bool invert = value[0] == '~';
            if (invert) value.erase(0, 1);
            if (!settings.familiesSet) {
                settings.familiesSet = true;
                settings.families.clear();
                settings.familiesAllowList = !invert;
            }
            for (const std::string& word : Words(value)) {
                const std::optional<int> family = AddressFamily(word);
                if (!family) Fail(where + word + ": unknown address family");
                if (invert != settings.familiesAllowList) {
                    settings.families.insert(*family);
                } else {
                    settings.families.erase(*family);
                }
            }
        } else if (assignment.key == "MemoryDenyWriteExecute") {
            if (assignment.value.empty()) {
                settings.memoryDenyWriteExecute = false;
            } else if (const std::optional<bool> on = ParseBoolean(assignment.value)) {
                settings.memoryDenyWriteExecute = *on;
            } else {
                Fail(where + assignment.value + ": not a boolean");
            }
        }
    }
    return settings;
}

// --- the filter ------------------------------------------------------------------------------------------

struct Rule {
    uint32_t action;
    std::vector<scmp_arg_cmp> conditions;  // empty: every call
};

scmp_arg_cmp Arg(unsigned int arg, scmp_compare op, scmp_datum_t a, scmp_datum_t b = 0) {
    scmp_arg_cmp compare{};
    compare.arg = arg;
    compare.op = op;
    compare.datum_a = a;
    compare.datum_b = b;
    return compare;
}

uint32_t Refusal(int error) { return error == kKill ? SCMP_ACT_KILL_PROCESS : SCMP_ACT_ERRNO(error); }

class FilterBuilder {
public:
    explicit FilterBuilder(const Settings& settings) : settings_(settings) {
        const uint32_t refused = Refusal(settings.errorNumber);
        defaultAction_ = settings.filterSet && settings.allowList ? refused : SCMP_ACT_ALLOW;
    }

    bool Empty() const {
        return !settings_.filterSet && !AddressFamiliesRestricted() && !settings_.memoryDenyWriteExecute &&
               settings_.architectures.empty();
    }

    // What SystemCallFilter= alone answers for a call.
    uint32_t CallAction(int id) const {
        if (!settings_.filterSet) return SCMP_ACT_ALLOW;
        const uint32_t refused = Refusal(settings_.errorNumber);
        const auto entry = settings_.calls.find(id);
        if (entry == settings_.calls.end()) return settings_.allowList ? refused : SCMP_ACT_ALLOW;
        if (entry->second == kListed) return settings_.allowList ? SCMP_ACT_ALLOW : refused;
        return Refusal(entry->second);
    }

    scmp_filter_ctx Build() const {
        scmp_filter_ctx filter = seccomp_init(defaultAction_);
        if (filter == nullptr) Fail("seccomp_init failed");
        // No new privileges is the unit's (NoNewPrivileges=, or implied, below), not libseccomp's.
        Check(seccomp_attr_set(filter, SCMP_FLTATR_CTL_NNP, 0), "seccomp_attr_set(CTL_NNP)");
        std::set<int> calls;
        for (const auto& [id, error] : settings_.calls) calls.insert(id);
        const std::map<int, std::vector<Rule>> special = SpecialRules();
        for (const auto& [id, rules] : special) calls.insert(id);
        for (const int id : calls) {
            const auto rules = special.find(id);
            if (rules != special.end() && CallAction(id) == SCMP_ACT_ALLOW) {
                for (const Rule& rule : rules->second) AddRule(filter, id, rule);
            } else {
                AddRule(filter, id, Rule{CallAction(id), {}});
            }
        }
        return filter;
    }

private:
    bool AddressFamiliesRestricted() const { return settings_.familiesAllowList || !settings_.families.empty(); }

    // The argument rules of RestrictAddressFamilies= and MemoryDenyWriteExecute=, for calls that
    // SystemCallFilter= allows; exactly one rule of a call matches any of its calls.
    std::map<int, std::vector<Rule>> SpecialRules() const {
        std::map<int, std::vector<Rule>> rules;
        const uint32_t familyRefused = SCMP_ACT_ERRNO(EAFNOSUPPORT);
        if (AddressFamiliesRestricted()) {
            std::vector<Rule>& socket = rules[SCMP_SYS(socket)];
            // systemd refuses every family of [1, AF_MAX) outside an allow list, anything below its first
            // and above its last; for a deny list, the listed ones.
            std::set<int> refused;
            if (settings_.familiesAllowList) {
                std::set<int> allowed;
                for (const int family : settings_.families) {
                    if (family > 0 && family < AF_MAX) allowed.insert(family);
                }
                if (allowed.empty()) {
                    socket.push_back(Rule{familyRefused, {}});
                } else {
                    socket.push_back(Rule{familyRefused, {Arg(0, SCMP_CMP_LT, *allowed.begin())}});
                    socket.push_back(Rule{familyRefused, {Arg(0, SCMP_CMP_GT, *allowed.rbegin())}});
                    for (int family = *allowed.begin(); family <= *allowed.rbegin(); ++family) {
                        const uint32_t action = allowed.count(family) ? SCMP_ACT_ALLOW : familyRefused;
                        socket.push_back(Rule{action, {Arg(0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(family))}});
                    }
                }
            } else {
                const std::set<int>& denied = settings_.families;
                socket.push_back(Rule{SCMP_ACT_ALLOW, {Arg(0, SCMP_CMP_LT, *denied.begin())}});
                socket.push_back(Rule{SCMP_ACT_ALLOW, {Arg(0, SCMP_CMP_GT, *denied.rbegin())}});
                for (int family = *denied.begin(); family <= *denied.rbegin(); ++family) {
                    const uint32_t action = denied.count(family) ? familyRefused : SCMP_ACT_ALLOW;
                    socket.push_back(Rule{action, {Arg(0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(family))}});
                }
            }
        }
        if (settings_.memoryDenyWriteExecute) {
            const uint32_t refused = SCMP_ACT_ERRNO(EPERM);
            const scmp_datum_t wx = PROT_WRITE | PROT_EXEC;
            rules[SCMP_SYS(mmap)] = {
                Rule{refused, {Arg(2, SCMP_CMP_MASKED_EQ, wx, wx)}},
                Rule{SCMP_ACT_ALLOW, {Arg(2, SCMP_CMP_MASKED_EQ, wx, 0)}},
                Rule{SCMP_ACT_ALLOW, {Arg(2, SCMP_CMP_MASKED_EQ, wx, PROT_WRITE)}},
                Rule{SCMP_ACT_ALLOW, {Arg(2, SCMP_CMP_MASKED_EQ, wx, PROT_EXEC)}},
            };
            for (const int id : {SCMP_SYS(mprotect), SCMP_SYS(pkey_mprotect)}) {
                rules[id] = {
                    Rule{refused, {Arg(2, SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC)}},
                    Rule{SCMP_ACT_ALLOW, {Arg(2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)}},
                };
            }
            rules[SCMP_SYS(shmat)] = {
                Rule{refused, {Arg(2, SCMP_CMP_MASKED_EQ, SHM_EXEC, SHM_EXEC)}},
                Rule{SCMP_ACT_ALLOW, {Arg(2, SCMP_CMP_MASKED_EQ, SHM_EXEC, 0)}},
            };
        }
        return rules;
    }

    void AddRule(scmp_filter_ctx filter, int id, const Rule& rule) const {
        // What the filter does anyway needs no rule (and libseccomp takes none).
        if (rule.action == defaultAction_) return;
        const int added =
            seccomp_rule_add_exact_array(filter, rule.action, id, static_cast<unsigned int>(rule.conditions.size()),
                                         rule.conditions.empty() ? nullptr : rule.conditions.data());
        // Not a call of this architecture: nothing to filter, as with systemd.
        if (added == -EDOM) return;
        char* name = seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, id);
        const std::string call = name != nullptr ? name : std::to_string(id);
        std::free(name);
        Check(added, "seccomp_rule_add(" + call + ")");
    }

    static void Check(int result, const std::string& what) {
        if (result < 0) Fail(what + " failed: " + std::strerror(-result));
    }

    const Settings& settings_;
    uint32_t defaultAction_ = SCMP_ACT_ALLOW;
};

bool HasCapSysAdmin() {
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_TO_INDEX(CAP_SYS_ADMIN)].effective & CAP_TO_MASK(CAP_SYS_ADMIN)) != 0;
}

[[noreturn]] void Usage() { Fail("usage: corvane-unit-sandbox --unit PATH/NAME.service -- PROGRAM [ARGS...]"); }

}  // namespace

int main(int argc, char** argv) {
    std::string unit;
    int at = 1;
    while (at < argc && std::strcmp(argv[at], "--") != 0) {
        const std::string option = argv[at];
        if (option == "--unit" && at + 1 < argc) {
            unit = argv[at + 1];
            at += 2;
        } else if (option.rfind("--unit=", 0) == 0) {
            unit = option.substr(7);
            ++at;
        } else {
            Usage();
        }
    }
    if (unit.empty() || at >= argc || at + 1 >= argc) Usage();
    char** program = argv + at + 1;

    const Settings settings = ReadSettings(unit);
    const FilterBuilder builder(settings);
    if (!builder.Empty()) {
        // The program is started by execve (or execveat): a filter that refuses it could not start it
        // under systemd either.
        if (builder.CallAction(SCMP_SYS(execve)) != SCMP_ACT_ALLOW)
            Fail(unit + ": its SystemCallFilter= refuses execve(): the program could not be started");
        scmp_filter_ctx filter = builder.Build();
        // seccomp needs no_new_privs without CAP_SYS_ADMIN; systemd then sets it itself (a system call
        // filter implies NoNewPrivileges=yes for such services).
        if (::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1 && !HasCapSysAdmin() &&
            ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
            Fail(std::string("prctl(PR_SET_NO_NEW_PRIVS) failed: ") + std::strerror(errno));
        const int loaded = seccomp_load(filter);
        seccomp_release(filter);
        if (loaded < 0) Fail(std::string("seccomp_load failed: ") + std::strerror(-loaded));
    }
    ::execvp(program[0], program);
    std::fprintf(stderr, "%s: cannot run %s: %s\n", kName, program[0], std::strerror(errno));
    ::_exit(127);
}
