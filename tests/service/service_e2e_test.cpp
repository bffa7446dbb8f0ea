// The built corvaned end to end: on a private bus with the package's policy, as its own user with only
// its capabilities, tearing down connections made by this process in a private network namespace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QXmlStreamReader>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "../engine/ipv6_loopback.h"
#include "../engine/private_network.h"
#include "platform/dbus/bus_names.h"
#include "platform/protection_service.h"
#include "service_harness.h"

namespace corvane::service::testing {
namespace {

namespace bus = platform::bus;
using engine::testing::Connect;
using engine::testing::ConnectionError;
using engine::testing::Listen;
using engine::testing::LocalPort;
using platform::UniqueFd;
using ::testing::HasSubstr;

constexpr char kListed[] = "127.0.0.2";
constexpr char kListedLater[] = "127.0.0.3";
constexpr char kDefinitions[] = "V001\r\n127.0.0.2\r\n192.0.2.77\r\n";

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "test_service";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Runs the event loop until `done` or the deadline; the last answer of `done`.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
    App();
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limit.count()) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// One PropertiesChanged signal as heard.
struct Heard {
    QVariantMap changed;
    qint64 atMs = 0;  // on this test's clock
};

class ChangeListener : public QObject {
    Q_OBJECT
public:
    explicit ChangeListener(QElapsedTimer& clock) : clock_(clock) {}
    std::vector<Heard> heard;

public slots:
    void OnChanged(const QString& interface, const QVariantMap& changed, const QStringList& invalidated) {
        static_cast<void>(invalidated);
        if (interface == QLatin1String(bus::kInterface)) heard.push_back({changed, clock_.elapsed()});
    }

private:
    QElapsedTimer& clock_;
};

// This test as a client of the service: root, through Qt D-Bus.
class RootClient {
public:
    explicit RootClient(const std::string& address)
        : name_(QStringLiteral("corvane-test-%1").arg(++serial_)),
          connection_(QDBusConnection::connectToBus(QString::fromStdString(address), name_)) {}
    ~RootClient() { QDBusConnection::disconnectFromBus(name_); }

    bool Connected() const { return connection_.isConnected(); }
    QDBusConnection& Connection() { return connection_; }
    QDBusMessage Call(const QString& method, const QVariantList& arguments = {}) {
        QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(bus::kServiceName),
                                                           QLatin1String(bus::kObjectPath),
                                                           QLatin1String(bus::kInterface), method);
        call.setArguments(arguments);
        return connection_.call(call, QDBus::Block, 20000);
    }
    QVariant Get(const char* property) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QLatin1String(bus::kServiceName), QLatin1String(bus::kObjectPath),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        call << QLatin1String(bus::kInterface) << QLatin1String(property);
        const QDBusMessage reply = connection_.call(call, QDBus::Block, 20000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
        return reply.arguments().front().value<QDBusVariant>().variant();
    }
    int Attempts() { return Get(bus::kPropAttempts).toInt(); }
    bool Listen(ChangeListener& listener) {
        return connection_.connect(QLatin1String(bus::kServiceName), QLatin1String(bus::kObjectPath),
                                   QStringLiteral("org.freedesktop.DBus.Properties"),
                                   QStringLiteral("PropertiesChanged"), &listener,
                                   SLOT(OnChanged(QString, QVariantMap, QStringList)));
    }
    // RecentBlocks(count) as (address, ms, pid, process, list, protocol, direction).
    struct Block {
        QString address;
        qint64 timeMs;
        uint pid;
        QString process;
        QString list;
        QString protocol;
        QString direction;
    };
    std::vector<Block> Recent(uint count) {
        std::vector<Block> blocks;
        const QDBusMessage reply = Call(QLatin1String(bus::kMethodRecentBlocks), {QVariant::fromValue(count)});
        if (reply.type() != QDBusMessage::ReplyMessage || reply.signature() != QLatin1String(bus::kRecentBlocksSignature))
            return blocks;
        const QDBusArgument list = reply.arguments().front().value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            Block block{};
            list.beginStructure();
            list >> block.address >> block.timeMs >> block.pid >> block.process >> block.list >> block.protocol >>
                block.direction;
            list.endStructure();
            blocks.push_back(block);
        }
        list.endArray();
        return blocks;
    }

private:
    static inline int serial_ = 0;
    QString name_;
    QDBusConnection connection_;
};

UniqueFd MemoryFile(const std::string& content) {
    UniqueFd fd(::memfd_create("definitions", MFD_CLOEXEC));
    if (fd.Valid() && !content.empty() &&
        ::write(fd.Get(), content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        fd.Reset();
    return fd;  // its offset is left at the end on purpose
}

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class Corvaned : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Before any thread exists: the namespace is the calling thread's, and every child's.
        static const std::string network = engine::testing::EnterPrivateNetwork();
        static const std::string accounts = EnsureServiceAccounts();
        setupError_ = network.empty() ? accounts : network;
    }

    void SetUp() override {
        ASSERT_EQ(setupError_, "");
        App();
        ASSERT_EQ(bus_.Start(Policy()), "");
        service_ = std::make_unique<ServiceUnderTest>(bus_);
        // These cases are about the teardown engines: without the cgroup2 hierarchy the connect
        // refusal in front of them lets their connections through (connect_refusal_e2e_test.cpp
        // has it in place).
        service_->SetCgroupHierarchyVisible(false);
        ASSERT_EQ(service_->WriteDefinitions(kDefinitions), "");
    }

    virtual BusPolicy Policy() const { return BusPolicy::kPackage; }

    void StartService() {
        ASSERT_EQ(service_->Start(), "");
        client_ = std::make_unique<RootClient>(bus_.Address());
        ASSERT_TRUE(client_->Connected());
    }

    // Connections to `address` on a listener there; true when every one was torn down by the
    // service (the call waits for each).
    bool TornDown(const char* address, int count) {
        UniqueFd listener = Listen(address);
        if (!listener.Valid()) return false;
        const std::uint16_t port = LocalPort(listener.Get());
        for (int i = 0; i < count; ++i) {
            UniqueFd connection = Connect(address, port);
            if (!connection.Valid()) continue;  // torn down while it was being made
            if (!PumpUntil([&] { return ConnectionError(connection.Get()) != 0; })) return false;
        }
        return true;
    }

    std::optional<int> Terminate() {
        if (!service_->Signal(SIGTERM)) return std::nullopt;
        return service_->Wait(30s);
    }

    static inline std::string setupError_;
    PrivateSystemBus bus_;
    std::unique_ptr<ServiceUnderTest> service_;
    std::unique_ptr<RootClient> client_;
};

TEST_F(Corvaned, RootAndMembersSwitchProtectionAndOutsidersAreTurnedAway) {
    StartService();
    EXPECT_TRUE(client_->Get(bus::kPropProtection).toBool());

    const CommandResult memberOff = service_->Call(Caller::kMember, bus::kMethodSetProtection, {"boolean:false"});
    EXPECT_TRUE(memberOff.Succeeded()) << memberOff.out;
    EXPECT_EQ(service_->Setting("Run").value_or(""), "0");
    EXPECT_FALSE(client_->Get(bus::kPropProtection).toBool());
    const CommandResult memberReads = service_->GetProperty(Caller::kMember, bus::kPropAttempts);
    EXPECT_TRUE(memberReads.Succeeded()) << memberReads.out;

    const CommandResult rootOn = service_->Call(Caller::kRoot, bus::kMethodSetProtection, {"boolean:true"});
    EXPECT_TRUE(rootOn.Succeeded()) << rootOn.out;
    EXPECT_EQ(service_->Setting("Run").value_or(""), "1");

    const CommandResult outsiderOff = service_->Call(Caller::kOutsider, bus::kMethodSetProtection, {"boolean:false"});
    EXPECT_FALSE(outsiderOff.Succeeded());
    EXPECT_NE(outsiderOff.out.find("AccessDenied"), std::string::npos) << outsiderOff.out;
    const CommandResult outsiderReads = service_->GetProperty(Caller::kOutsider, bus::kPropAttempts);
    EXPECT_FALSE(outsiderReads.Succeeded());
    EXPECT_EQ(service_->Setting("Run").value_or(""), "1");
    EXPECT_TRUE(client_->Get(bus::kPropProtection).toBool());
    // The protection the member switched back on works.
    EXPECT_TRUE(TornDown(kListed, 1));
    EXPECT_TRUE(PumpUntil([&] { return client_->Attempts() == 1; }));
    EXPECT_TRUE(service_->Running());
}

// The bus lets everyone through here: the service's own check is what refuses.
class CorvanedBehindAnOpenBus : public Corvaned {
protected:
    BusPolicy Policy() const override { return BusPolicy::kOpenToAll; }
};

TEST_F(CorvanedBehindAnOpenBus, RefusesOutsidersItselfAndDescribesItselfToMembers) {
    StartService();
    const std::string denied = bus::kErrorAccessDenied;
    const CommandResult call = service_->Call(Caller::kOutsider, bus::kMethodSetProtection, {"boolean:false"});
    EXPECT_NE(call.out.find(denied), std::string::npos) << call.out;
    const CommandResult read = service_->GetProperty(Caller::kOutsider, bus::kPropProtection);
    EXPECT_NE(read.out.find(denied), std::string::npos) << read.out;
    const CommandResult recent = service_->Call(Caller::kOutsider, bus::kMethodRecentBlocks, {"uint32:5"});
    EXPECT_NE(recent.out.find(denied), std::string::npos) << recent.out;
    EXPECT_NE(service_->Setting("Run"), std::optional<std::string>("0"));
    EXPECT_TRUE(client_->Get(bus::kPropProtection).toBool());

    const CommandResult xml = service_->Call(Caller::kMember, "org.freedesktop.DBus.Introspectable.Introspect");
    ASSERT_TRUE(xml.Succeeded()) << xml.out;
    // dbus-send prints the string in quotes after a header line.
    const std::size_t start = xml.out.find("<!DOCTYPE");
    const std::size_t end = xml.out.rfind("</node>");
    ASSERT_NE(start, std::string::npos);
    ASSERT_NE(end, std::string::npos);
    QXmlStreamReader reader(QByteArray::fromStdString(xml.out.substr(start, end + 7 - start)));
    QStringList members;
    QString interface;
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement) continue;
        if (reader.name() == QLatin1String("interface")) interface = reader.attributes().value("name").toString();
        if (interface == QLatin1String(bus::kInterface) &&
            (reader.name() == QLatin1String("method") || reader.name() == QLatin1String("property")))
            members << reader.attributes().value("name").toString() + ":" +
                           reader.attributes().value("type").toString();
    }
    EXPECT_FALSE(reader.hasError()) << reader.errorString().toStdString();
    EXPECT_EQ(members, QStringList({"Protection:b", "Attempts:i", "DefinitionsVersion:s", "Engine:s", "EngineReason:s",
                                    "UpdateServer:s", "Problem:s", "Layers:s", "Lists:a(ssuuuuu)", "ListProblems:as",
                                    "SetProtection:", "InstallDefinitions:", "Reload:", "RecentBlocks:"}));
    // What it describes is what it publishes: every property, and nothing else.
    QDBusMessage getAll = QDBusMessage::createMethodCall(QLatin1String(bus::kServiceName), QLatin1String(bus::kObjectPath),
                                                         QStringLiteral("org.freedesktop.DBus.Properties"),
                                                         QStringLiteral("GetAll"));
    getAll << QLatin1String(bus::kInterface);
    const QDBusMessage all = client_->Connection().call(getAll, QDBus::Block, 20000);
    ASSERT_EQ(all.type(), QDBusMessage::ReplyMessage) << all.errorMessage().toStdString();
    QStringList published = qdbus_cast<QVariantMap>(all.arguments().value(0)).keys();
    QStringList described;
    for (const QString& member : members)
        if (!member.endsWith(QLatin1Char(':'))) described << member.section(QLatin1Char(':'), 0, 0);
    published.sort();
    described.sort();
    EXPECT_EQ(published, described);
    const CommandResult wrong = service_->Call(Caller::kMember, bus::kMethodSetProtection, {"string:yes"});
    EXPECT_NE(wrong.out.find("InvalidArgs"), std::string::npos) << wrong.out;
}

TEST_F(Corvaned, TimerEngineCountsEveryTeardownOnceAndStoresTheCountOnTermination) {
    ASSERT_EQ(service_->SetSetting("Engine", "timer"), "");
    ASSERT_EQ(service_->SetSetting("Attempts", "40"), "");
    StartService();
    EXPECT_EQ(client_->Get(bus::kPropEngine).toString(), "timer");
    EXPECT_EQ(client_->Get(bus::kPropDefinitionsVersion).toString(), "001");
    EXPECT_EQ(client_->Get(bus::kPropUpdateServer).toString(), "https://updates.corvane.example/");
    bool toldTimer = false;
    for (const std::string& message : service_->Notifications())
        toldTimer = toldTimer || message.find("STATUS=timer engine") != std::string::npos;
    EXPECT_TRUE(toldTimer);

    const std::int64_t before = NowMs();
    constexpr int kConnections = 6;
    ASSERT_TRUE(TornDown(kListed, kConnections));
    ASSERT_TRUE(PumpUntil([&] { return client_->Attempts() >= 40 + kConnections; }));
    const std::vector<RootClient::Block> blocks = client_->Recent(100);
    ASSERT_EQ(blocks.size(), static_cast<std::size_t>(kConnections));
    for (const RootClient::Block& block : blocks) {
        EXPECT_EQ(block.address, kListed);
        EXPECT_GE(block.timeMs, before);
        EXPECT_LE(block.timeMs, NowMs());
        EXPECT_EQ(block.pid, 0U);  // the table says nothing of processes
        EXPECT_EQ(block.list, QStringLiteral("qd.def"));
        EXPECT_EQ(block.protocol, QStringLiteral("TCP"));
    }
    EXPECT_EQ(client_->Recent(2).size(), 2U);

    const std::optional<int> status = Terminate();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << "\n" << service_->Output();
    EXPECT_EQ(service_->Setting("Attempts").value_or(""), std::to_string(40 + kConnections));
}

TEST_F(Corvaned, EventEngineCountsEveryTeardownOnceWithTheProcess) {
    StartService();
    // Made in the background while the timer protects; as the service's user with its capabilities.
    ASSERT_TRUE(PumpUntil([&] { return client_->Get(bus::kPropEngine).toString() == "events"; }, 60s))
        << client_->Get(bus::kPropEngineReason).toString().toStdString() << "\n"
        << service_->Output();
    constexpr int kConnections = 5;
    ASSERT_TRUE(TornDown(kListed, kConnections));
    ASSERT_TRUE(PumpUntil([&] { return client_->Attempts() >= kConnections; }));
    const std::vector<RootClient::Block> blocks = client_->Recent(1000);
    ASSERT_EQ(blocks.size(), static_cast<std::size_t>(kConnections));
    for (const RootClient::Block& block : blocks) {
        EXPECT_EQ(block.address, kListed);
        EXPECT_EQ(block.pid, static_cast<uint>(::getpid()));
        EXPECT_EQ(block.process, "test_service");
        EXPECT_EQ(block.protocol, QStringLiteral("TCP"));
        EXPECT_EQ(block.direction, QStringLiteral("outbound"));
    }
    const std::optional<int> status = Terminate();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << service_->Output();
    EXPECT_EQ(service_->Setting("Attempts").value_or(""), std::to_string(kConnections));
}

TEST_F(Corvaned, WithoutTheCapabilityNothingIsCountedAndTheServiceSaysProtectionIsNotWorking) {
    ASSERT_EQ(service_->SetSetting("Engine", "timer"), "");
    service_->SetCapabilities({"bpf", "perfmon"});  // no net_admin
    StartService();
    EXPECT_EQ(client_->Get(bus::kPropProblem).toString(), "");
    QElapsedTimer clock;
    clock.start();
    ChangeListener listener(clock);
    ASSERT_TRUE(client_->Listen(listener));

    UniqueFd target = Listen(kListed);
    ASSERT_TRUE(target.Valid());
    UniqueFd survivor = Connect(kListed, LocalPort(target.Get()));
    ASSERT_TRUE(survivor.Valid());
    ASSERT_TRUE(PumpUntil([&] {
        for (const Heard& heard : listener.heard)
            if (!heard.changed.value(bus::kPropProblem).toString().isEmpty()) return true;
        return false;
    })) << service_->Output();
    const QString problem = client_->Get(bus::kPropProblem).toString();
    EXPECT_TRUE(problem.contains(QLatin1String("CAP_NET_ADMIN"))) << problem.toStdString();
    const std::string status = "STATUS=protection is not working: " + problem.toStdString();
    EXPECT_TRUE(PumpUntil([&] {
        const std::vector<std::string> told = service_->Notifications();
        return std::any_of(told.begin(), told.end(),
                           [&](const std::string& message) { return message.find(status) != std::string::npos; });
    }));
    EXPECT_EQ(ConnectionError(survivor.Get()), 0);
    EXPECT_EQ(client_->Attempts(), 0);
    EXPECT_TRUE(client_->Recent(10).empty());
    EXPECT_NE(service_->Output().find("protection is not working: "), std::string::npos) << service_->Output();

    // With its capabilities again: the connection that survived goes at the first scan and counts,
    // and protection works.
    const std::optional<int> stopped = Terminate();
    ASSERT_TRUE(stopped.has_value());
    EXPECT_EQ(service_->Setting("Attempts").value_or("0"), "0");
    client_.reset();
    service_->SetCapabilities(UnitCapabilities());
    StartService();
    int error = 0;
    EXPECT_TRUE(PumpUntil([&] { return (error = ConnectionError(survivor.Get())) != 0; }));
    EXPECT_EQ(error, ECONNABORTED);
    EXPECT_TRUE(PumpUntil([&] { return client_->Attempts() == 1; }));
    EXPECT_EQ(client_->Get(bus::kPropProblem).toString(), "");
}

TEST_F(Corvaned, InstalledDefinitionsApplyAtOnceAndInvalidOnesChangeNothing) {
    StartService();
    // Not listed yet: left alone.
    {
        UniqueFd listener = Listen(kListedLater);
        ASSERT_TRUE(listener.Valid());
        UniqueFd connection = Connect(kListedLater, LocalPort(listener.Get()));
        ASSERT_TRUE(connection.Valid());
        const CommandResult ping = service_->GetProperty(Caller::kRoot, bus::kPropAttempts);  // a round trip
        EXPECT_TRUE(ping.Succeeded());
        EXPECT_EQ(ConnectionError(connection.Get()), 0);
        EXPECT_EQ(client_->Attempts(), 0);
    }

    const std::string next = "V002\r\n127.0.0.3\r\n";
    UniqueFd file = MemoryFile(next);
    ASSERT_TRUE(file.Valid());
    QDBusMessage reply =
        client_->Call(QLatin1String(bus::kMethodInstallDefinitions), {QVariant::fromValue(QDBusUnixFileDescriptor(file.Get()))});
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    EXPECT_EQ(reply.arguments().value(0).toString(), "002");
    EXPECT_EQ(client_->Get(bus::kPropDefinitionsVersion).toString(), "002");
    EXPECT_EQ(service_->ReadDefinitions().value_or(""), next);
    struct stat info {};
    ASSERT_EQ(::lstat((service_->StateDir() / "qd.def").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644U);
    EXPECT_EQ(info.st_uid, UserId(kServiceUser).value_or(0));
    EXPECT_TRUE(TornDown(kListedLater, 1));
    EXPECT_TRUE(PumpUntil([&] { return client_->Attempts() == 1; }));

    const std::vector<std::string> invalid = {
        "",
        "<!DOCTYPE html>\r\n<html><head><title>502 Bad Gateway</title></head></html>\r\n",
        "127.0.0.2\r\n127.0.0.4\r\n",
        "V~~~\r\n127.0.0.4\r\n",
        std::string("\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR", 16),
    };
    for (const std::string& content : invalid) {
        UniqueFd bad = MemoryFile(content);
        ASSERT_TRUE(bad.Valid());
        reply = client_->Call(QLatin1String(bus::kMethodInstallDefinitions),
                              {QVariant::fromValue(QDBusUnixFileDescriptor(bad.Get()))});
        EXPECT_EQ(reply.type(), QDBusMessage::ErrorMessage);
        EXPECT_EQ(reply.errorName(), QLatin1String(bus::kErrorInvalidDefinitions)) << content;
    }
    EXPECT_EQ(service_->ReadDefinitions().value_or(""), next);
    EXPECT_EQ(client_->Get(bus::kPropDefinitionsVersion).toString(), "002");
    // Each refusal is said in the log with its reason.
    EXPECT_THAT(service_->Output(), HasSubstr("new definitions not installed: not a definitions file: "));

    // A flood of installs sent without waiting: each is answered (installed, or turned away when too
    // many wait), and the log says no more than a handful of lines for all of them.
    std::string many = "V004\r\n127.0.0.2\r\n";
    for (int i = 0; i < 20000; ++i)
        many += "198.18." + std::to_string(i / 256) + "." + std::to_string(i % 256) + "\r\n";
    UniqueFd big = MemoryFile(many);
    ASSERT_TRUE(big.Valid());
    std::vector<QDBusPendingCall> flood;
    for (int i = 0; i < 24; ++i) {
        QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(bus::kServiceName), QLatin1String(bus::kObjectPath),
                                                           QLatin1String(bus::kInterface),
                                                           QLatin1String(bus::kMethodInstallDefinitions));
        call.setArguments({QVariant::fromValue(QDBusUnixFileDescriptor(big.Get()))});
        flood.push_back(client_->Connection().asyncCall(call, 20000));
    }
    int turnedAway = 0;
    for (QDBusPendingCall& pending : flood) {
        pending.waitForFinished();
        const QDBusMessage answer = pending.reply();
        if (answer.type() == QDBusMessage::ErrorMessage) {
            EXPECT_EQ(answer.errorName(), QLatin1String(bus::kErrorFailed));
            EXPECT_THAT(answer.errorMessage().toStdString(), HasSubstr("too many definitions installs under way"));
            ++turnedAway;
        } else {
            EXPECT_EQ(answer.arguments().value(0).toString(), "004");
        }
    }
    EXPECT_LT(turnedAway, 24);
    EXPECT_EQ(client_->Get(bus::kPropDefinitionsVersion).toString(), "004");
    const std::string log = service_->Output();
    std::size_t installLines = 0;
    for (std::size_t at = 0; (at = log.find("definitions ", at)) != std::string::npos; ++at) {
        if (log.compare(at, 16, "definitions 004 ") == 0 || log.compare(at, 28, "definitions not installed: n") == 0)
            ++installLines;
    }
    EXPECT_LE(installLines, 5U) << log;

    // Reload reads the file in place again.
    ASSERT_EQ(service_->WriteDefinitions("V003\r\n127.0.0.2\r\n"), "");
    const CommandResult reload = service_->Call(Caller::kMember, bus::kMethodReload);
    EXPECT_TRUE(reload.Succeeded()) << reload.out;
    EXPECT_EQ(client_->Get(bus::kPropDefinitionsVersion).toString(), "003");
}

TEST_F(Corvaned, AfterTheBusRestartsProtectionGoesOnAndTheServiceAndItsWindowFindEachOtherAgain) {
    StartService();
    // The window's side of the bus, as the window makes it.
    ASSERT_EQ(::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_.Address().c_str(), 1), 0);
    const std::unique_ptr<platform::ProtectionService> window = platform::ConnectProtectionService();
    ASSERT_EQ(window->Refresh().link, platform::ServiceStatus::Link::kConnected);

    ASSERT_EQ(bus_.Restart(), "");
    EXPECT_TRUE(PumpUntil([&] { return window->Status().link == platform::ServiceStatus::Link::kUnreachable; }));
    // Protection never stopped.
    ASSERT_TRUE(TornDown(kListed, 2));
    // Both find each other on the new bus without a restart of either.
    EXPECT_TRUE(PumpUntil([&] {
        return window->Status().link == platform::ServiceStatus::Link::kConnected && window->Status().attempts == 2;
    })) << service_->Output();
    client_ = std::make_unique<RootClient>(bus_.Address());
    EXPECT_EQ(client_->Attempts(), 2);
    EXPECT_TRUE(service_->Call(Caller::kMember, bus::kMethodSetProtection, {"boolean:false"}).Succeeded());
    EXPECT_TRUE(PumpUntil([&] { return !window->Status().protection; }));
    EXPECT_THAT(service_->Output(), HasSubstr("the connection to the system bus was lost; protection goes on"));
    EXPECT_THAT(service_->Output(), HasSubstr("the service's name is its own again"));
    const std::optional<int> status = Terminate();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << "\n" << service_->Output();
}

TEST_F(Corvaned, AfterKillNineProtectionResumesWithTheStoredCount) {
    StartService();
    constexpr int kConnections = 3;
    ASSERT_TRUE(TornDown(kListed, kConnections));
    ASSERT_TRUE(PumpUntil([&] { return client_->Attempts() == kConnections; }));
    // Stored without any end of the service.
    ASSERT_TRUE(PumpUntil([&] { return service_->Setting("Attempts") == std::to_string(kConnections); }));
    ASSERT_TRUE(service_->Signal(SIGKILL));
    ASSERT_TRUE(service_->Wait(30s).has_value());
    client_.reset();

    StartService();
    EXPECT_TRUE(client_->Get(bus::kPropProtection).toBool());
    EXPECT_EQ(client_->Attempts(), kConnections);
    ASSERT_TRUE(TornDown(kListed, 1));
    EXPECT_TRUE(PumpUntil([&] { return client_->Attempts() == kConnections + 1; }));
}

TEST_F(Corvaned, HangUpReloadsABrokenPipeIsIgnoredAndUserSignalsEndItInOrder) {
    StartService();
    ASSERT_TRUE(TornDown(kListed, 2));
    ASSERT_TRUE(PumpUntil([&] { return client_->Attempts() == 2; }));
    // SIGPIPE: nothing happens. SIGHUP: qd.def read again, as by Reload.
    ASSERT_EQ(service_->WriteDefinitions("V007\r\n127.0.0.2\r\n"), "");
    ASSERT_TRUE(service_->Signal(SIGPIPE));
    ASSERT_TRUE(service_->Signal(SIGHUP));
    EXPECT_TRUE(PumpUntil([&] { return client_->Get(bus::kPropDefinitionsVersion).toString() == "007"; }));
    EXPECT_TRUE(service_->Running());
    // SIGUSR1 ends it as SIGTERM does: in order, the count stored.
    ASSERT_TRUE(service_->Signal(SIGUSR1));
    const std::optional<int> status = service_->Wait(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << "\n" << service_->Output();
    EXPECT_EQ(service_->Setting("Attempts").value_or(""), "2");
}

TEST_F(Corvaned, NothingOfItsStateIsSignalledBeforeItsNameIsItsOwn) {
    // Every signal on the bus, in order, as root may watch them.
    const TempDir watch("corvane-monitor");
    Child monitor = Child::Start({"/usr/bin/dbus-monitor", "--system", "type='signal'"},
                                 {"DBUS_SYSTEM_BUS_ADDRESS=" + bus_.Address()}, watch.Path() / "signals.log");
    ASSERT_TRUE(monitor.Valid());
    std::this_thread::sleep_for(300ms);  // the monitor on the bus before the service
    ASSERT_EQ(service_->WriteList("early.list", "203.0.113.0/24\nno entry\n"), "");
    StartService();
    ASSERT_TRUE(TornDown(kListed, 1));
    ASSERT_TRUE(PumpUntil([&] { return client_->Attempts() == 1; }));
    std::string heard;
    ASSERT_TRUE(PumpUntil([&] {
        std::ifstream log(watch.Path() / "signals.log");
        heard.assign(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>());
        return heard.find("interface=org.freedesktop.DBus.Properties; member=PropertiesChanged") != std::string::npos;
    })) << heard;
    const std::size_t named = heard.find("string \"org.corvane.Corvane1\"");
    ASSERT_NE(named, std::string::npos) << heard;
    EXPECT_GT(heard.find("member=PropertiesChanged"), named) << heard;
}

TEST_F(Corvaned, CountChangesAreSignalledAtMostTwentyTimesASecondEndingWithTheLastValue) {
    ASSERT_EQ(service_->SetSetting("Engine", "timer"), "");
    StartService();
    QElapsedTimer clock;
    clock.start();
    ChangeListener listener(clock);
    ASSERT_TRUE(client_->Listen(listener));

    // One change alone is told.
    ASSERT_TRUE(TornDown(kListed, 1));
    ASSERT_TRUE(PumpUntil([&] {
        return !listener.heard.empty() && listener.heard.back().changed.value(bus::kPropAttempts).toInt() == 1;
    }));

    // A burst: every connection first, then the wait for their teardown.
    listener.heard.clear();
    constexpr int kBurst = 150;
    UniqueFd target = Listen(kListed);
    ASSERT_TRUE(target.Valid());
    const std::uint16_t port = LocalPort(target.Get());
    const qint64 burstStart = clock.elapsed();
    std::vector<UniqueFd> connections;
    for (int i = 0; i < kBurst; ++i) connections.push_back(Connect(kListed, port));
    ASSERT_TRUE(PumpUntil([&] {
        return !listener.heard.empty() &&
               listener.heard.back().changed.value(bus::kPropAttempts).toInt() == 1 + kBurst;
    })) << "last heard: " << (listener.heard.empty() ? -1 : listener.heard.back().changed.value(bus::kPropAttempts).toInt());
    const qint64 lastAt = listener.heard.back().atMs;
    // Sent no earlier than the burst began, at most one at once and one per 50 ms after it.
    const qint64 allowed = 2 + (lastAt - burstStart) * 20 / 1000;
    EXPECT_LE(static_cast<qint64>(listener.heard.size()), allowed);
    int previous = 1;
    for (const Heard& heard : listener.heard) {
        const int attempts = heard.changed.value(bus::kPropAttempts, previous).toInt();
        EXPECT_GE(attempts, previous);
        previous = attempts;
    }
    EXPECT_EQ(client_->Attempts(), 1 + kBurst);
    for (UniqueFd& connection : connections) EXPECT_NE(ConnectionError(connection.Get()), 0);
}

// One entry of the "Lists" property.
struct ListRow {
    QString path;
    QString why;
    uint addresses4 = 0;
    uint prefixes4 = 0;
    uint addresses6 = 0;
    uint prefixes6 = 0;
    uint broken = 0;
};

std::vector<ListRow> ListsOf(const QVariant& value) {
    std::vector<ListRow> rows;
    const QDBusArgument argument = value.value<QDBusArgument>();
    if (argument.currentSignature() != QLatin1String(bus::kListsSignature)) return rows;
    argument.beginArray();
    while (!argument.atEnd()) {
        ListRow row;
        argument.beginStructure();
        argument >> row.path >> row.why >> row.addresses4 >> row.prefixes4 >> row.addresses6 >> row.prefixes6 >>
            row.broken;
        argument.endStructure();
        rows.push_back(row);
    }
    argument.endArray();
    return rows;
}

TEST_F(Corvaned, TheAdministratorsListsProtectFromStartAndChangesApplyWithoutARestart) {
    // A netset-style list with a line that is no entry, and one that others could change.
    ASSERT_EQ(service_->WriteList("a.list", "# netset\n127.0.3.0/24\nnot an address\n::1\n"), "");
    ASSERT_EQ(service_->WriteList("b.list", "127.0.4.0/24\n", 0666), "");
    StartService();
    const std::string a = (service_->ListsDir() / "a.list").string();
    const std::string b = (service_->ListsDir() / "b.list").string();

    const std::vector<ListRow> lists = ListsOf(client_->Get(bus::kPropLists));
    ASSERT_EQ(lists.size(), 3U);
    EXPECT_EQ(lists[0].path, QStringLiteral("qd.def"));
    EXPECT_EQ(lists[0].addresses4, 2U) << "the canonical entries of qd.def";
    EXPECT_EQ(lists[1].path.toStdString(), a);
    EXPECT_EQ(lists[1].prefixes4, 1U);
    EXPECT_EQ(lists[1].addresses6, 1U);
    EXPECT_EQ(lists[1].broken, 1U);
    EXPECT_TRUE(lists[1].why.isEmpty());
    EXPECT_EQ(lists[2].path.toStdString(), b);
    EXPECT_THAT(lists[2].why.toStdString(), HasSubstr("writable by others"));
    EXPECT_EQ(client_->Get(bus::kPropListProblems).toStringList(), QStringList{QString::fromStdString(a + ":3")});
    EXPECT_THAT(service_->Output(), HasSubstr(a + ":3: no address, prefix or range"));
    EXPECT_THAT(service_->Output(), HasSubstr("list " + b + " not read: writable by others"));

    // Covered by a prefix: torn down, counted, and named after its list; the refused file protects
    // nothing.
    UniqueFd refusedListener = Listen("127.0.4.1");
    ASSERT_TRUE(refusedListener.Valid());
    UniqueFd notListed = Connect("127.0.4.1", LocalPort(refusedListener.Get()));
    ASSERT_TRUE(notListed.Valid());
    EXPECT_TRUE(TornDown("127.0.3.9", 2));
    EXPECT_TRUE(PumpUntil([&] { return client_->Attempts() == 2; }));
    // IPv6, listed by address.
    {
        UniqueFd listener = engine::testing::Listen6("::1", false);
        ASSERT_TRUE(listener.Valid());
        UniqueFd connection = engine::testing::ConnectTo(AF_INET6, engine::testing::V6("::1", LocalPort(listener.Get())));
        if (connection.Valid()) {
            EXPECT_TRUE(PumpUntil([&] { return ConnectionError(connection.Get()) != 0; }));
        }
        EXPECT_TRUE(PumpUntil([&] { return client_->Attempts() == 3; }));
    }
    EXPECT_EQ(ConnectionError(notListed.Get()), 0);
    const std::vector<RootClient::Block> blocks = client_->Recent(10);
    ASSERT_EQ(blocks.size(), 3U);
    EXPECT_EQ(blocks[0].list.toStdString(), a);
    EXPECT_EQ(blocks[2].address, QStringLiteral("::1"));
    EXPECT_EQ(blocks[2].list.toStdString(), a);

    // A file added to the folder applies by itself.
    ASSERT_EQ(service_->WriteList("c.list", "blocklist one:127.0.5.10-127.0.5.20\n"), "");
    ASSERT_TRUE(PumpUntil([&] { return ListsOf(client_->Get(bus::kPropLists)).size() == 4; }));
    const ListRow added = ListsOf(client_->Get(bus::kPropLists))[3];
    EXPECT_EQ(added.prefixes4, 3U) << "10-20 is 10/31, 12/30, 16/30";
    EXPECT_EQ(added.addresses4, 1U) << "and the address 20";
    EXPECT_TRUE(TornDown("127.0.5.16", 1));
    EXPECT_TRUE(PumpUntil([&] { return client_->Attempts() == 4; }));

    // A file made safe and changed in place, then Reload: in force once Reload answers.
    ASSERT_EQ(::chmod(b.c_str(), 0644), 0);
    ASSERT_EQ(service_->WriteList("a.list", "127.0.6.0/24\n"), "");
    const CommandResult reload = service_->Call(Caller::kMember, bus::kMethodReload);
    EXPECT_TRUE(reload.Succeeded()) << reload.out;
    const std::vector<ListRow> reloaded = ListsOf(client_->Get(bus::kPropLists));
    ASSERT_EQ(reloaded.size(), 4U);
    EXPECT_EQ(reloaded[1].prefixes4, 1U);
    EXPECT_EQ(reloaded[1].addresses6, 0U);
    EXPECT_EQ(reloaded[1].broken, 0U);
    EXPECT_TRUE(reloaded[2].why.isEmpty()) << reloaded[2].why.toStdString();
    EXPECT_EQ(reloaded[2].prefixes4, 1U);
    EXPECT_TRUE(client_->Get(bus::kPropListProblems).toStringList().isEmpty());
    EXPECT_TRUE(PumpUntil([&] { return ConnectionError(notListed.Get()) != 0; })) << "b.list applies now";
    EXPECT_TRUE(TornDown("127.0.6.1", 1));
    EXPECT_TRUE(PumpUntil([&] { return client_->Attempts() == 6; })) << client_->Attempts();
    EXPECT_TRUE(service_->Running());
}

TEST_F(Corvaned, ProtectionByTheListsInForceGoesOnWhileALongListIsRead) {
    ASSERT_EQ(service_->WriteList("a.list", "127.0.3.0/24\n"), "");
    StartService();
    // The event engine, whose kernel side for the long list is made away from the main thread.
    ASSERT_TRUE(PumpUntil([&] { return client_->Get(bus::kPropEngine).toString() == QStringLiteral("events"); }));
    // 1,000,000 lines that cover nothing here, the earlier entry kept and one more.
    std::string content = "127.0.3.0/24\n127.0.7.0/24\n";
    content.reserve(20'000'000);
    for (std::uint32_t i = 0; i < 1'000'000; ++i) {
        const std::uint32_t address = 0x0b000000U + i * 16;  // 11.0.0.0 on, /28 each
        content += std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 255) + "." +
                   std::to_string(address >> 8 & 255) + "." + std::to_string(address & 255) + "/28\n";
    }
    ASSERT_EQ(service_->WriteList("a.list", content), "");
    // The reload as a call of its own, answered once the new list is in force; meanwhile the list
    // in force protects.
    RootClient reloader(bus_.Address());
    ASSERT_TRUE(reloader.Connected());
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(bus::kServiceName), QLatin1String(bus::kObjectPath),
                                                       QLatin1String(bus::kInterface),
                                                       QLatin1String(bus::kMethodReload));
    QDBusPendingCall pending = reloader.Connection().asyncCall(call, 60000);
    EXPECT_TRUE(TornDown("127.0.3.1", 1));
    EXPECT_TRUE(PumpUntil([&] { return client_->Attempts() == 1; }));
    ASSERT_TRUE(PumpUntil([&] { return pending.isFinished(); }, 60s));
    EXPECT_FALSE(pending.isError()) << pending.error().message().toStdString();
    const std::vector<ListRow> lists = ListsOf(client_->Get(bus::kPropLists));
    ASSERT_EQ(lists.size(), 2U);
    EXPECT_EQ(lists[1].prefixes4, 1'000'002U);
    // The file's change is seen by the folder's watch as well: once that read is in force too,
    // nothing is pending, and only the kernel's reports can find what opens from here on.
    const CommandResult settled = service_->Call(Caller::kRoot, bus::kMethodReload);
    ASSERT_TRUE(settled.Succeeded()) << settled.out;
    EXPECT_THAT(service_->Output(), HasSubstr("connection reports for the new lists come from a kernel side made for them"));
    // The new kernel side reports the lists' addresses, old and new, and qd.def's.
    EXPECT_TRUE(TornDown("127.0.3.2", 1));
    EXPECT_TRUE(TornDown("127.0.7.1", 1));
    EXPECT_TRUE(TornDown(kListed, 1));
    EXPECT_TRUE(PumpUntil([&] { return client_->Attempts() == 4; })) << client_->Attempts();
    EXPECT_EQ(client_->Get(bus::kPropEngine).toString(), QStringLiteral("events"));
}

TEST_F(Corvaned, AListRewrittenInPlaceBySlowWriterStaysInForceWholeUntilItIsClosed) {
    std::string old;
    for (int net = 10; net < 18; ++net) old += "127.0." + std::to_string(net) + ".0/24\n";
    ASSERT_EQ(service_->WriteList("slow.list", old), "");
    StartService();
    const auto inForce = [&] {
        const std::vector<ListRow> lists = ListsOf(client_->Get(bus::kPropLists));
        return lists.size() == 2 ? lists[1].prefixes4 : 0U;
    };
    ASSERT_EQ(inForce(), 8U);

    // Truncated and written back in four pieces, each followed by a pause longer than the folder's
    // settle time: the old list stays whole in force, its tail included.
    const std::string fresh = old + "127.0.18.0/24\n";
    std::set<uint> seen;
    {
        UniqueFd file(::open((service_->ListsDir() / "slow.list").c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
        ASSERT_TRUE(file.Valid());
        for (std::size_t piece = 0; piece < 4; ++piece) {
            const std::size_t from = piece * fresh.size() / 4;
            const std::size_t to = (piece + 1) * fresh.size() / 4;
            ASSERT_EQ(::write(file.Get(), fresh.data() + from, to - from), static_cast<ssize_t>(to - from));
            if (piece == 0) {
                EXPECT_TRUE(TornDown("127.0.17.1", 1)) << "the tail is protected";
            }
            QElapsedTimer pause;
            pause.start();
            while (pause.elapsed() < 600) {
                seen.insert(inForce());
                PumpUntil([] { return false; }, 50ms);
            }
        }
    }
    EXPECT_EQ(seen, std::set<uint>{8U}) << "prefixes in force while it was written";
    EXPECT_TRUE(PumpUntil([&] { return inForce() == 9U; })) << "applied once closed";
    EXPECT_THAT(service_->Output(), HasSubstr("slow.list is being written in place"));
}

}  // namespace
}  // namespace corvane::service::testing

#include "service_e2e_test.moc"
