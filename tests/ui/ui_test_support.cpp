#include "ui_test_support.h"

#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <fstream>

namespace corvane::ui::testing {
namespace {

class ScriptedTable final : public platform::TcpTableService {
public:
    explicit ScriptedTable(ScriptedNetwork& network) : network_(network) {}
    std::uint32_t GetTcpTable(platform::TcpTable& table) override {
        if (network_.onRead) network_.onRead();
        table.rows = network_.rows;
        return 0;
    }
    std::uint32_t SetTcpEntry(const platform::TcpRow& row) override {
        network_.tornDown.push_back(row);
        std::erase_if(network_.rows, [&](const platform::TcpRow& r) { return r.cookie == row.cookie; });
        return 0;
    }

private:
    ScriptedNetwork& network_;
};

class ScriptedCounters final : public platform::OpenCounterService {
public:
    explicit ScriptedCounters(ScriptedNetwork& network) : network_(network) {}
    std::uint32_t ReadOpens(std::uint64_t& opens) override {
        opens = network_.opens;
        return 0;
    }

private:
    ScriptedNetwork& network_;
};

class ReportService final : public platform::ConnectionEventService {
public:
    explicit ReportService(ScriptedReports& reports) : reports_(reports) {}
    int Descriptor() const override { return reports_.fd; }
    std::size_t Capacity() const override { return 1U << 20; }
    std::uint32_t SetAddresses(std::span<const std::uint32_t>) override { return 0; }
    std::uint32_t SetActive(bool active) override {
        reports_.active = active;
        return 0;
    }
    std::uint32_t Drain(const std::function<void(const platform::ConnectionEvent&)>& onEvent, std::uint64_t&) override {
        std::uint64_t posted = 0;
        static_cast<void>(::read(reports_.fd, &posted, sizeof posted));
        std::vector<platform::ConnectionEvent> events;
        events.swap(reports_.queued);
        for (const platform::ConnectionEvent& event : events) onEvent(event);
        return 0;
    }

private:
    ScriptedReports& reports_;
};

}  // namespace

ScriptedReports::ScriptedReports() : fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
ScriptedReports::~ScriptedReports() {
    if (fd >= 0) ::close(fd);
}
void ScriptedReports::Post(const platform::ConnectionEvent& event) {
    queued.push_back(event);
    const std::uint64_t one = 1;
    static_cast<void>(::write(fd, &one, sizeof one));
}

std::unique_ptr<engine::mFirewall> MakeEventFirewall(ScriptedNetwork& network, ScriptedReports& reports,
                                                     engine::ScanHost& host) {
    auto firewall =
        std::make_unique<engine::mFirewall>(std::make_unique<ScriptedTable>(network),
                                            std::make_unique<ScriptedCounters>(network), host, [&reports](std::size_t) {
                                                platform::ConnectionEventsLoad load;
                                                load.service = std::make_unique<ReportService>(reports);
                                                return load;
                                            });
    firewall->SetNoticeSink([](const std::string&) {});
    firewall->SetBlockLogSink([](const std::string&) {});
    return firewall;
}

QApplication& App() {
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (app == nullptr) std::abort();  // main() makes the application before any test runs
    return *app;
}

ScratchRoot::ScratchRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-ui-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
    if (const char* old = std::getenv("CORVANE_ROOT")) {
        previous_ = old;
        hadPrevious_ = true;
    }
    ::setenv("CORVANE_ROOT", path_.c_str(), 1);
}

ScratchRoot::~ScratchRoot() {
    if (hadPrevious_)
        ::setenv("CORVANE_ROOT", previous_.c_str(), 1);
    else
        ::unsetenv("CORVANE_ROOT");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::unique_ptr<engine::mFirewall> MakeFirewall(ScriptedNetwork& network, engine::ScanHost& host) {
    return std::make_unique<engine::mFirewall>(std::make_unique<ScriptedTable>(network),
                                               std::make_unique<ScriptedCounters>(network), host);
}

platform::TcpRow Connection(const char* remote, std::uint64_t cookie, std::uint32_t state) {
    platform::TcpRow row;
    row.dwState = state;
    in_addr address{};
    ::inet_pton(AF_INET, remote, &address);
    row.dwRemoteAddr = address.s_addr;
    row.dwRemotePort = htons(443);
    row.family = AF_INET;
    row.cookie = cookie;
    return row;
}

void WriteDefinitions(const std::filesystem::path& folder, const std::string& content) {
    std::ofstream(folder / "qd.def", std::ios::binary) << content;
}

}  // namespace corvane::ui::testing
