// corvanectl: the protection service (corvaned) from the command line, for machines without a desktop and for
// scripts. It holds no rights of its own: the service decides, on the system bus, whom it answers.
//
// Exit status: 0 done; 1 the service cannot be reached, refuses this user or fails the request (one line on
// standard error says why); 2 the command line is wrong.
#include <fcntl.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"
#include "platform/protection_service.h"


namespace {

using corvane::platform::BlockEntry;
using corvane::platform::ListInForce;
using corvane::platform::ProtectionService;
using corvane::platform::ServiceResult;
using corvane::platform::ServiceStatus;

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr std::uint32_t kDefaultBlocks = 20;
constexpr std::uint32_t kMostBlocks = 100000;

constexpr char kUsageText[] =
    "Usage: corvanectl COMMAND [ARGUMENT]\n"
    "Asks the Corvane protection service (corvaned) on the system bus.\n"
    "\n"
    "Commands:\n"
    "  status [--json]            protection, attempts blocked, engine, definitions, update server\n"
    "  on                         turn protection on\n"
    "  off                        turn protection off\n"
    "  reload                     read the definitions and the lists in place again\n"
    "  blocks [N] [--json]        the last N blocks, oldest first (default 20)\n"
    "  install-definitions FILE   check FILE and put it in place of the definitions in force\n"
    "  --help                     this text\n"
    "  --version                  the program's version\n"
    "\n"
    "Exit status: 0 done, 1 the service cannot be reached, refuses or fails the request, 2 usage error.\n";

// Text that came from elsewhere (a process's name is whatever its owner made it), shown on a terminal: control
// and direction-override characters become '?', so no text can move the cursor, retitle the window of whoever
// reads it or show itself reordered.
std::string Printable(const std::string& text) {
    const QString decoded = QString::fromUtf8(text);
    QString shown;
    shown.reserve(decoded.size());
    for (const QChar c : decoded)
        shown.append(c.category() == QChar::Other_Control || c.category() == QChar::Other_Format ? QChar(u'?') : c);
    return shown.toStdString();
}

int Fail(const std::string& reason) {
    std::cerr << "corvanectl: " << reason << '\n';
    return kFailed;
}

int Usage(const std::string& reason) {
    std::cerr << "corvanectl: " << reason << " (see corvanectl --help)\n";
    return kUsage;
}

int Finish(const ServiceResult& result) { return result.Ok() ? kDone : Fail(result.message); }

// The service as this user reaches it; nothing (and the reason told) when it cannot be used.
std::unique_ptr<ProtectionService> Connect() {
    auto service = corvane::platform::ConnectProtectionService();
    if (service->Status().link != ServiceStatus::Link::kConnected) {
        Fail(service->Status().problem);
        return nullptr;
    }
    return service;
}

std::string StatusText(const ServiceStatus& status) {
    const auto orUnknown = [](const std::string& text) {
        return text.empty() ? std::string("unknown") : Printable(text);
    };
    std::string text;
    text += std::string("Protection: ") + (status.protection ? "on" : "off");
    if (status.protection && !status.protectionProblem.empty())
        text += ", but not working: " + Printable(status.protectionProblem);
    text += "\n";
    text += "Attempts blocked: " + std::to_string(status.attempts) + "\n";
    text += "Engine: " + orUnknown(status.engine);
    if (!status.engineReason.empty()) text += " (" + Printable(status.engineReason) + ")";
    text += "\n";
    if (!status.layers.empty()) text += "Layers: " + Printable(status.layers) + "\n";
    text += "Definitions: " + orUnknown(status.definitionsVersion) + "\n";
    text += "Update server: " + orUnknown(status.updateServer) + "\n";
    // Each list in force: what it holds of each family, or why it is not read.
    std::uint64_t total[4] = {};
    for (const ListInForce& list : status.lists) {
        text += "List " + Printable(list.path) + ": ";
        if (!list.refusedWhy.empty()) {
            text += "not read: " + Printable(list.refusedWhy) + "\n";
            continue;
        }
        text += std::to_string(list.addresses4) + " IPv4 addresses, " + std::to_string(list.prefixes4) +
                " IPv4 prefixes, " + std::to_string(list.addresses6) + " IPv6 addresses, " +
                std::to_string(list.prefixes6) + " IPv6 prefixes";
        if (list.brokenLines > 0) text += ", " + std::to_string(list.brokenLines) + " lines skipped";
        text += "\n";
        total[0] += list.addresses4;
        total[1] += list.prefixes4;
        total[2] += list.addresses6;
        total[3] += list.prefixes6;
    }
    if (!status.lists.empty()) {
        text += "In force: " + std::to_string(total[0]) + " IPv4 addresses, " + std::to_string(total[1]) +
                " IPv4 prefixes, " + std::to_string(total[2]) + " IPv6 addresses, " + std::to_string(total[3]) +
                " IPv6 prefixes\n";
    }
    for (const std::string& where : status.listProblems)
        text += "Skipped line " + Printable(where) + ": no address, prefix or range\n";
    return text;
}

std::string StatusJson(const ServiceStatus& status) {
    const auto q = [](const std::string& text) { return QString::fromStdString(text); };
    QJsonArray lists;
    for (const ListInForce& list : status.lists) {
        lists.append(QJsonObject{
            {QStringLiteral("path"), q(list.path)},
            {QStringLiteral("not_read"), q(list.refusedWhy)},
            {QStringLiteral("ipv4_addresses"), static_cast<qint64>(list.addresses4)},
            {QStringLiteral("ipv4_prefixes"), static_cast<qint64>(list.prefixes4)},
            {QStringLiteral("ipv6_addresses"), static_cast<qint64>(list.addresses6)},
            {QStringLiteral("ipv6_prefixes"), static_cast<qint64>(list.prefixes6)},
            {QStringLiteral("lines_skipped"), static_cast<qint64>(list.brokenLines)},
        });
    }
    QJsonArray skipped;
    for (const std::string& where : status.listProblems) skipped.append(q(where));
    const QJsonObject object{
        {QStringLiteral("protection"), status.protection},
        {QStringLiteral("attempts"), status.attempts},
        {QStringLiteral("engine"), q(status.engine)},
        {QStringLiteral("engine_reason"), q(status.engineReason)},
        {QStringLiteral("layers"), q(status.layers)},
        {QStringLiteral("definitions_version"), q(status.definitionsVersion)},
        {QStringLiteral("update_server"), q(status.updateServer)},
        {QStringLiteral("problem"), q(status.protectionProblem)},
        {QStringLiteral("lists"), lists},
        {QStringLiteral("skipped_lines"), skipped},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + "\n";
}

// One block a line: local time, protocol and direction ("TCP outbound"; the direction left out when
// unknown), address, process (and its id when the kernel said), the list that named the address.
std::string BlockLine(const BlockEntry& block) {
    const QString when = QDateTime::fromMSecsSinceEpoch(block.timeMs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    std::string line = when.toStdString() + "  ";
    std::string how = Printable(block.protocol);
    if (!block.direction.empty()) how += (how.empty() ? "" : " ") + Printable(block.direction);
    if (!how.empty()) line += how + "  ";
    line += Printable(block.address) + "  ";
    line += block.process.empty() ? std::string("unknown process") : Printable(block.process);
    if (block.pid != 0) line += " (pid " + std::to_string(block.pid) + ")";
    if (!block.list.empty()) line += "  listed in " + Printable(block.list);
    return line + "\n";
}

// All the blocks as one JSON array on one line, oldest first.
std::string BlocksJson(const std::vector<BlockEntry>& blocks) {
    const auto q = [](const std::string& text) { return QString::fromStdString(text); };
    QJsonArray array;
    for (const BlockEntry& block : blocks) {
        array.append(QJsonObject{
            {QStringLiteral("time_ms"), static_cast<qint64>(block.timeMs)},
            {QStringLiteral("protocol"), q(block.protocol)},
            {QStringLiteral("direction"), q(block.direction)},
            {QStringLiteral("address"), q(block.address)},
            {QStringLiteral("pid"), static_cast<qint64>(block.pid)},
            {QStringLiteral("process"), q(block.process)},
            {QStringLiteral("list"), q(block.list)},
        });
    }
    return QJsonDocument(array).toJson(QJsonDocument::Compact).toStdString() + "\n";
}

std::optional<std::uint32_t> ParseCount(std::string_view text) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > kMostBlocks) {
        return std::nullopt;
    }
    return value;
}

int Status(bool json) {
    const auto service = Connect();
    if (!service) return kFailed;
    std::cout << (json ? StatusJson(service->Status()) : StatusText(service->Status()));
    return kDone;
}

int Switch(bool on) {
    const auto service = Connect();
    if (!service) return kFailed;
    const auto result = service->SetProtection(on);
    if (result.Ok()) std::cout << "Protection: " << (on ? "on" : "off") << '\n';
    return Finish(result);
}

int Reload() {
    const auto service = Connect();
    if (!service) return kFailed;
    const auto result = service->Reload();
    if (!result.Ok()) return Finish(result);
    // The version now in force, when the service still answers.
    const auto& status = service->Refresh();
    if (status.link == ServiceStatus::Link::kConnected && !status.definitionsVersion.empty()) {
        std::cout << "Definitions: " << Printable(status.definitionsVersion) << '\n';
    }
    return kDone;
}

int Blocks(std::uint32_t count, bool json) {
    const auto service = Connect();
    if (!service) return kFailed;
    std::vector<BlockEntry> blocks;
    const auto result = service->RecentBlocks(count, blocks);
    if (!result.Ok()) return Finish(result);
    if (json) {
        std::cout << BlocksJson(blocks);
    } else {
        for (const auto& block : blocks) std::cout << BlockLine(block);
    }
    return kDone;
}

int InstallDefinitions(const std::string& path) {
    // Opened as whoever runs this: the service reads only what this user could read. Not blocking on a FIFO.
    corvane::platform::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!file.Valid()) return Fail(path + ": " + std::strerror(errno));
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0) return Fail(path + ": " + std::strerror(errno));
    if (!S_ISREG(info.st_mode)) return Fail(path + ": not a regular file");
    const auto service = Connect();
    if (!service) return kFailed;
    std::string version;
    const auto result = service->InstallDefinitions(file.Get(), version);
    if (result.Ok()) std::cout << "Definitions: " << Printable(version) << '\n';
    return Finish(result);
}

int Run(const std::vector<std::string>& args) {
    for (const auto& arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsageText;
            return kDone;
        }
    }
    if (args.empty()) return Usage("no command given");
    const std::string& command = args[0];
    const std::size_t extra = args.size() - 1;
    if (command == "--version") {
        if (extra != 0) return Usage("--version takes no argument");
        std::cout << "corvanectl " << CORVANE_VERSION << '\n';
        return kDone;
    }
    if (command == "status") {
        if (extra == 0) return Status(false);
        if (extra == 1 && args[1] == "--json") return Status(true);
        return Usage("status takes only --json");
    }
    if (command == "on" || command == "off") {
        if (extra != 0) return Usage(command + " takes no argument");
        return Switch(command == "on");
    }
    if (command == "reload") {
        if (extra != 0) return Usage("reload takes no argument");
        return Reload();
    }
    if (command == "blocks") {
        // A count, --json, both (in either order) or neither.
        std::vector<std::string> rest(args.begin() + 1, args.end());
        const auto flag = std::find(rest.begin(), rest.end(), "--json");
        const bool json = flag != rest.end();
        if (json) rest.erase(flag);
        const auto count = rest.empty()       ? std::optional(kDefaultBlocks)
                           : rest.size() == 1 ? ParseCount(rest[0])
                                              : std::nullopt;
        if (!count)
            return Usage("blocks takes at most one count from 1 to " + std::to_string(kMostBlocks) + ", and --json");
        return Blocks(*count, json);
    }
    if (command == "install-definitions") {
        if (extra != 1 || args[1].empty()) return Usage("install-definitions takes one file");
        return InstallDefinitions(args[1]);
    }
    return Usage("unknown command \"" + Printable(command) + "\"");
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    // Qt D-Bus wants an application object; it takes none of these arguments for itself.
    QCoreApplication app(argc, argv);
    const int status = Run(args);
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "corvanectl: cannot write the output\n";
        return kFailed;
    }
    return status;
}
