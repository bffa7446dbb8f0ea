// corvanectl, run as a program against the stand-in service: its output as text and as JSON, the commands
// reaching the service, and its exit status and one-line reason when the service cannot be used.
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "client_support.h"

namespace corvane::platform::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Outcome {
    int exit = -1;
    std::string out;
    std::string err;
};

// Runs corvanectl with `arguments`, the system bus at `busAddress` (the test's own by default), in UTC.
Outcome Ctl(const QStringList& arguments, const std::string& busAddress = {}) {
    QProcess process;
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                       QString::fromStdString(busAddress.empty() ? SystemBus().Address() : busAddress));
    environment.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(CORVANECTL), arguments);
    Outcome outcome;
    if (!process.waitForFinished(60000)) {
        process.kill();
        static_cast<void>(process.waitForFinished(10000));
        outcome.err = "corvanectl did not finish";
        return outcome;
    }
    outcome.exit = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    outcome.out = process.readAllStandardOutput().toStdString();
    outcome.err = process.readAllStandardError().toStdString();
    return outcome;
}

// A reason as corvanectl gives one: one line, its own name first.
void ExpectReason(const Outcome& outcome, const std::string& words) {
    EXPECT_THAT(outcome.err, StartsWith("corvanectl: "));
    EXPECT_THAT(outcome.err, HasSubstr(words));
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    EXPECT_EQ(outcome.err.back(), '\n');
}

using Corvanectl = WithService;

TEST_F(Corvanectl, StatusAsTextAndAsJson) {
    const QString reason = QStringLiteral("loaded \"tcp\\state\"\nat start");
    const QString layers = QStringLiteral("connect refusal + event engine; inbound refusal not running: no sk_lookup");
    fake_->SetValues({{QLatin1String(bus::kPropEngineReason), reason}, {QLatin1String(bus::kPropLayers), layers}});

    const auto text = Ctl({QStringLiteral("status")});
    EXPECT_EQ(text.exit, 0) << text.err;
    EXPECT_EQ(text.err, "");
    EXPECT_EQ(text.out,
              "Protection: on\n"
              "Attempts blocked: 17\n"
              "Engine: events (loaded \"tcp\\state\"?at start)\n"
              "Layers: connect refusal + event engine; inbound refusal not running: no sk_lookup\n"
              "Definitions: V002\n"
              "Update server: https://updates.corvane.example/\n");

    const auto json = Ctl({QStringLiteral("status"), QStringLiteral("--json")});
    EXPECT_EQ(json.exit, 0) << json.err;
    ASSERT_FALSE(json.out.empty());
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 1);
    EXPECT_EQ(json.out.back(), '\n');
    QJsonParseError error;
    const auto document = QJsonDocument::fromJson(QByteArray::fromStdString(json.out), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.out;
    ASSERT_TRUE(document.isObject());
    const auto object = document.object();
    EXPECT_TRUE(object.value(QStringLiteral("protection")).isBool());
    EXPECT_TRUE(object.value(QStringLiteral("protection")).toBool());
    EXPECT_TRUE(object.value(QStringLiteral("attempts")).isDouble());
    EXPECT_EQ(object.value(QStringLiteral("attempts")).toInt(), 17);
    EXPECT_EQ(object.value(QStringLiteral("engine")).toString(), QStringLiteral("events"));
    EXPECT_EQ(object.value(QStringLiteral("engine_reason")).toString(), reason) << "quotes, backslash, newline kept";
    EXPECT_EQ(object.value(QStringLiteral("layers")).toString(), layers);
    EXPECT_EQ(object.value(QStringLiteral("definitions_version")).toString(), QStringLiteral("V002"));
    EXPECT_EQ(object.value(QStringLiteral("update_server")).toString(),
              QStringLiteral("https://updates.corvane.example/"));

    fake_->SetValues({{QLatin1String(bus::kPropProtection), false}, {QLatin1String(bus::kPropAttempts), 0}});
    const auto off = QJsonDocument::fromJson(
                         QByteArray::fromStdString(Ctl({QStringLiteral("status"), QStringLiteral("--json")}).out))
                         .object();
    EXPECT_TRUE(off.value(QStringLiteral("protection")).isBool());
    EXPECT_FALSE(off.value(QStringLiteral("protection")).toBool());
    EXPECT_TRUE(off.value(QStringLiteral("attempts")).isDouble());
    EXPECT_EQ(off.value(QStringLiteral("attempts")).toInt(), 0);
    EXPECT_EQ(off.value(QStringLiteral("problem")).toString(), QString());

    // Protection on but the kernel refusing teardowns: said in both forms.
    const QString problem = QStringLiteral("the kernel refuses to tear connections down (CAP_NET_ADMIN is missing)");
    fake_->SetValues({{QLatin1String(bus::kPropProtection), true}, {QLatin1String(bus::kPropProblem), problem}});
    const auto failing = Ctl({QStringLiteral("status")});
    EXPECT_EQ(failing.exit, 0) << failing.err;
    EXPECT_EQ(failing.out.substr(0, failing.out.find('\n')),
              "Protection: on, but not working: " + problem.toStdString());
    const auto failingJson = QJsonDocument::fromJson(
                                 QByteArray::fromStdString(Ctl({QStringLiteral("status"), QStringLiteral("--json")}).out))
                                 .object();
    EXPECT_EQ(failingJson.value(QStringLiteral("problem")).toString(), problem);

    // The lists in force, each with what it holds or why it is not read, and the skipped lines.
    const QList<FakeList> lists{
        {QStringLiteral("qd.def"), QString(), 12, 0, 0, 0, 0},
        {QStringLiteral("/etc/corvane/lists.d/a.list"), QString(), 3, 4, 5, 6, 2},
        {QStringLiteral("/etc/corvane/lists.d/b.list"), QStringLiteral("writable by others than root (mode 0666)"), 0,
         0, 0, 0, 0}};
    fake_->SetValues({{QLatin1String(bus::kPropProtection), true},
                      {QLatin1String(bus::kPropLists), QVariant::fromValue(lists)},
                      {QLatin1String(bus::kPropListProblems),
                       QStringList{QStringLiteral("/etc/corvane/lists.d/a.list:7"),
                                   QStringLiteral("/etc/corvane/lists.d/a.list:90")}}});
    const auto withLists = Ctl({QStringLiteral("status")});
    EXPECT_EQ(withLists.exit, 0) << withLists.err;
    EXPECT_THAT(withLists.out,
                HasSubstr("List qd.def: 12 IPv4 addresses, 0 IPv4 prefixes, 0 IPv6 addresses, 0 IPv6 prefixes\n"
                          "List /etc/corvane/lists.d/a.list: 3 IPv4 addresses, 4 IPv4 prefixes, 5 IPv6 addresses, "
                          "6 IPv6 prefixes, 2 lines skipped\n"
                          "List /etc/corvane/lists.d/b.list: not read: writable by others than root (mode 0666)\n"
                          "In force: 15 IPv4 addresses, 4 IPv4 prefixes, 5 IPv6 addresses, 6 IPv6 prefixes\n"
                          "Skipped line /etc/corvane/lists.d/a.list:7: no address, prefix or range\n"
                          "Skipped line /etc/corvane/lists.d/a.list:90: no address, prefix or range\n"));
    const auto listsJson = QJsonDocument::fromJson(
                               QByteArray::fromStdString(Ctl({QStringLiteral("status"), QStringLiteral("--json")}).out))
                               .object();
    const QJsonArray jsonLists = listsJson.value(QStringLiteral("lists")).toArray();
    ASSERT_EQ(jsonLists.size(), 3);
    EXPECT_EQ(jsonLists[1].toObject().value(QStringLiteral("ipv6_prefixes")).toInt(), 6);
    EXPECT_EQ(jsonLists[2].toObject().value(QStringLiteral("not_read")).toString(),
              QStringLiteral("writable by others than root (mode 0666)"));
    EXPECT_EQ(listsJson.value(QStringLiteral("skipped_lines")).toArray().size(), 2);
}

TEST_F(Corvanectl, CommandsReachTheService) {
    const auto on = Ctl({QStringLiteral("on")});
    EXPECT_EQ(on.exit, 0) << on.err;
    EXPECT_EQ(on.out, "Protection: on\n");
    EXPECT_EQ(Ctl({QStringLiteral("off")}).out, "Protection: off\n");
    const auto reload = Ctl({QStringLiteral("reload")});
    EXPECT_EQ(reload.exit, 0) << reload.err;
    EXPECT_EQ(reload.out, "Definitions: V002\n");

    // 2023-11-14 22:13:20 UTC and on; a process name that would steer a terminal is shown defused; a
    // direction not known is left out.
    fake_->SetBlocks(
        {{QStringLiteral("192.0.2.1"), 1700000000000, 4321, QStringLiteral("firefox"), QStringLiteral("qd.def"),
          QStringLiteral("TCP"), QStringLiteral("outbound")},
         {QStringLiteral("2001:db8::7"), 1700000001500, 0, QString(), QStringLiteral("/etc/corvane/lists.d/p2p.list"),
          QStringLiteral("UDP"), QStringLiteral("inbound")},
         {QStringLiteral("203.0.113.9"), 1700000002250, 77, QStringLiteral("evil\x1b]0;owned\x07"), QString(),
          QStringLiteral("ICMP"), QString()}});
    const auto all = Ctl({QStringLiteral("blocks")});
    EXPECT_EQ(all.exit, 0) << all.err;
    EXPECT_EQ(all.out,
              "2023-11-14 22:13:20  TCP outbound  192.0.2.1  firefox (pid 4321)  listed in qd.def\n"
              "2023-11-14 22:13:21  UDP inbound  2001:db8::7  unknown process  "
              "listed in /etc/corvane/lists.d/p2p.list\n"
              "2023-11-14 22:13:22  ICMP  203.0.113.9  evil?]0;owned? (pid 77)\n");
    EXPECT_EQ(Ctl({QStringLiteral("blocks"), QStringLiteral("1")}).out,
              "2023-11-14 22:13:22  ICMP  203.0.113.9  evil?]0;owned? (pid 77)\n");
    const auto json = Ctl({QStringLiteral("blocks"), QStringLiteral("--json"), QStringLiteral("2")});
    EXPECT_EQ(json.exit, 0) << json.err;
    const QJsonArray jsonBlocks = QJsonDocument::fromJson(QByteArray::fromStdString(json.out)).array();
    ASSERT_EQ(jsonBlocks.size(), 2) << json.out;
    const QJsonObject inbound = jsonBlocks[0].toObject();
    EXPECT_EQ(inbound.value(QStringLiteral("protocol")).toString(), QStringLiteral("UDP"));
    EXPECT_EQ(inbound.value(QStringLiteral("direction")).toString(), QStringLiteral("inbound"));
    EXPECT_EQ(inbound.value(QStringLiteral("address")).toString(), QStringLiteral("2001:db8::7"));
    EXPECT_EQ(inbound.value(QStringLiteral("time_ms")).toInteger(), 1700000001500);
    EXPECT_EQ(inbound.value(QStringLiteral("list")).toString(), QStringLiteral("/etc/corvane/lists.d/p2p.list"));
    const QJsonObject unknown = jsonBlocks[1].toObject();
    EXPECT_EQ(unknown.value(QStringLiteral("protocol")).toString(), QStringLiteral("ICMP"));
    EXPECT_TRUE(unknown.value(QStringLiteral("direction")).isString());
    EXPECT_EQ(unknown.value(QStringLiteral("direction")).toString(), QString());
    EXPECT_EQ(unknown.value(QStringLiteral("pid")).toInt(), 77);
    EXPECT_EQ(unknown.value(QStringLiteral("process")).toString(), QStringLiteral("evil\x1b]0;owned\x07"));

    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString path = folder.filePath(QStringLiteral("qd.def"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write("V003\n192.0.2.1\n"), 15);
    file.close();
    fake_->SetInstallVersion(QStringLiteral("V003"));
    const auto installed = Ctl({QStringLiteral("install-definitions"), path});
    EXPECT_EQ(installed.exit, 0) << installed.err;
    EXPECT_EQ(installed.out, "Definitions: V003\n");

    fake_->SetInstallRejection(QStringLiteral("line 2 is not an address"));
    const auto rejected = Ctl({QStringLiteral("install-definitions"), path});
    EXPECT_EQ(rejected.exit, 1);
    EXPECT_EQ(rejected.out, "");
    EXPECT_EQ(rejected.err, "corvanectl: The definitions were not installed: line 2 is not an address.\n");

    const auto absent = Ctl({QStringLiteral("install-definitions"), folder.filePath(QStringLiteral("absent"))});
    EXPECT_EQ(absent.exit, 1);
    ExpectReason(absent, "No such file or directory");
    const auto notFile = Ctl({QStringLiteral("install-definitions"), folder.path()});
    EXPECT_EQ(notFile.exit, 1);
    ExpectReason(notFile, "not a regular file");

    const auto asked = fake_->TakeAsked();
    EXPECT_THAT(asked.switches, ElementsAre(true, false));
    EXPECT_EQ(asked.reloads, 1);
    EXPECT_THAT(asked.blockCounts, ElementsAre(20u, 1u, 2u)) << "20 unless told";
    ASSERT_EQ(asked.installed.size(), 2u);
    EXPECT_EQ(asked.installed[0], "V003\n192.0.2.1\n");
}

TEST_F(Corvanectl, NoBusNoServiceAndRefusalsExitOneWithTheReason) {
    const auto noBus = Ctl({QStringLiteral("status")}, SystemBus().AbsentSocketAddress());
    EXPECT_EQ(noBus.exit, 1);
    EXPECT_EQ(noBus.out, "");
    ExpectReason(noBus, "system bus");

    fake_->Stop();
    const auto noService = Ctl({QStringLiteral("status"), QStringLiteral("--json")});
    EXPECT_EQ(noService.exit, 1);
    EXPECT_EQ(noService.out, "");
    ExpectReason(noService, "not running");
    EXPECT_EQ(Ctl({QStringLiteral("on")}).exit, 1);

    ASSERT_EQ(fake_->Start(), "");
    fake_->SetAnswer(FakeService::Answer::kServiceRefuses);
    const auto serviceRefuses = Ctl({QStringLiteral("off")});
    EXPECT_EQ(serviceRefuses.exit, 1);
    ExpectReason(serviceRefuses, "corvane");

    // The bus policy turning the caller away, as the system bus does for a user outside the group.
    PrivateBus refusing(PrivateBus::Policy::kRefuseCalls);
    ASSERT_FALSE(refusing.Address().empty()) << refusing.Failure();
    FakeService behindPolicy(refusing.Address());
    behindPolicy.SetValues(TypicalValues());
    ASSERT_EQ(behindPolicy.Start(), "");
    const auto busRefuses = Ctl({QStringLiteral("status")}, refusing.Address());
    EXPECT_EQ(busRefuses.exit, 1);
    EXPECT_EQ(busRefuses.out, "");
    ExpectReason(busRefuses, "refuses this user");
    EXPECT_EQ(Ctl({QStringLiteral("on")}, refusing.Address()).exit, 1);
    EXPECT_TRUE(behindPolicy.TakeAsked().switches.empty());
    EXPECT_TRUE(fake_->TakeAsked().switches.empty());
}

TEST_F(Corvanectl, UsageErrorsExitTwoAndHelpAndVersion) {
    const std::vector<QStringList> wrong = {
        {},
        {QStringLiteral("bogus")},
        {QStringLiteral("status"), QStringLiteral("--yaml")},
        {QStringLiteral("on"), QStringLiteral("now")},
        {QStringLiteral("blocks"), QStringLiteral("0")},
        {QStringLiteral("blocks"), QStringLiteral("12x")},
        {QStringLiteral("blocks"), QStringLiteral("5"), QStringLiteral("6")},
        {QStringLiteral("blocks"), QStringLiteral("--json"), QStringLiteral("--json")},
        {QStringLiteral("install-definitions")},
    };
    for (const auto& arguments : wrong) {
        const auto outcome = Ctl(arguments);
        EXPECT_EQ(outcome.exit, 2) << arguments.join(' ').toStdString();
        EXPECT_EQ(outcome.out, "");
        ExpectReason(outcome, "--help");
    }
    const auto asked = fake_->TakeAsked();
    EXPECT_TRUE(asked.switches.empty() && asked.blockCounts.empty() && asked.installed.empty());

    const auto help = Ctl({QStringLiteral("--help")});
    EXPECT_EQ(help.exit, 0);
    EXPECT_EQ(help.err, "");
    for (const char* command :
         {"status [--json]", "on", "off", "reload", "blocks [N] [--json]", "install-definitions FILE"}) {
        EXPECT_THAT(help.out, HasSubstr(command));
    }
    const auto version = Ctl({QStringLiteral("--version")});
    EXPECT_EQ(version.exit, 0);
    EXPECT_THAT(version.out, StartsWith("corvanectl 1."));
}

}  // namespace
}  // namespace corvane::platform::testing
