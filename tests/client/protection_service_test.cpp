// ConnectProtectionService against the stand-in service: the status read at connect and kept current, the
// service ending and starting again, refusals, the methods and their errors, and the descriptor handed over.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QTest>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client_support.h"
#include "platform/unique_fd.h"
#include "platform/protection_service.h"

namespace corvane::platform::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using Link = ServiceStatus::Link;
using Code = ServiceResult::Code;
using platform::UniqueFd;

constexpr int kDeadlineMs = 10000;

template <typename Predicate>
bool WaitFor(Predicate predicate) {
    return QTest::qWaitFor(predicate, kDeadlineMs);
}

using ServiceClient = WithService;

TEST_F(ServiceClient, StatusIsReadAtConnectAndFollowsTheServicesSignals) {
    const auto service = ConnectProtectionService();
    ASSERT_NE(service, nullptr);
    const ServiceStatus& status = service->Status();
    EXPECT_EQ(status.link, Link::kConnected);
    EXPECT_EQ(status.problem, "");
    EXPECT_TRUE(status.protection);
    EXPECT_EQ(status.attempts, 17);
    EXPECT_EQ(status.definitionsVersion, "V002");
    EXPECT_EQ(status.engine, "events");
    EXPECT_EQ(status.engineReason, "the kernel reports connections as they open");
    EXPECT_EQ(status.updateServer, "https://updates.corvane.example/");

    int calls = 0;
    service->SetChangeHandler([&calls] { ++calls; });
    ASSERT_TRUE(fake_->Change({{QLatin1String(bus::kPropAttempts), 18}}));
    ASSERT_TRUE(WaitFor([&] { return status.attempts == 18; }));
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(status.protection) << "a change of one value leaves the others";
    EXPECT_EQ(status.definitionsVersion, "V002");

    // Another interface's change and a value of the wrong type are no changes; the next real change (signals
    // arrive in order) shows they were passed over.
    calls = 0;
    ASSERT_TRUE(fake_->Change({{QLatin1String(bus::kPropAttempts), 99}}, QStringLiteral("org.example.Other")));
    ASSERT_TRUE(fake_->Change({{QLatin1String(bus::kPropAttempts), QStringLiteral("100")}}));
    ASSERT_TRUE(fake_->Change({{QLatin1String(bus::kPropProtection), false},
                               {QLatin1String(bus::kPropEngine), QStringLiteral("timer")},
                               {QLatin1String(bus::kPropEngineReason), QStringLiteral("Engine is set to timer")}}));
    ASSERT_TRUE(WaitFor([&] { return !status.protection; }));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(status.attempts, 18);
    EXPECT_EQ(status.engine, "timer");
    EXPECT_EQ(status.engineReason, "Engine is set to timer");

    // Refresh reads every value again, including one the service changed without a signal.
    fake_->SetValues({{QLatin1String(bus::kPropAttempts), 30}});
    EXPECT_EQ(service->Refresh().attempts, 30);
    EXPECT_EQ(calls, 2);
}

TEST_F(ServiceClient, ServiceAbsentAtConnectThenStartingEndingAndStartingAgain) {
    fake_->Stop();
    const auto service = ConnectProtectionService();
    ASSERT_NE(service, nullptr);
    const ServiceStatus& status = service->Status();
    EXPECT_EQ(status.link, Link::kUnreachable);
    EXPECT_THAT(status.problem, HasSubstr("not running"));

    std::vector<Link> seen;
    service->SetChangeHandler([&] { seen.push_back(status.link); });
    ASSERT_EQ(fake_->Start(), "");
    ASSERT_TRUE(WaitFor([&] { return status.link == Link::kConnected; }));
    EXPECT_EQ(status.problem, "");
    EXPECT_EQ(status.attempts, 17);

    fake_->Stop();
    ASSERT_TRUE(WaitFor([&] { return status.link == Link::kUnreachable; }));
    EXPECT_THAT(status.problem, HasSubstr("not running"));
    EXPECT_FALSE(status.protection) << "nothing of a gone service's values stays";
    EXPECT_EQ(status.attempts, 0);
    std::vector<BlockEntry> blocks;
    const auto switched = service->SetProtection(true);
    EXPECT_EQ(switched.code, Code::kUnreachable);
    EXPECT_THAT(switched.message, HasSubstr("not running"));
    EXPECT_EQ(service->RecentBlocks(5, blocks).code, Code::kUnreachable);

    // Started again: a new connection with values of its own, whose signals reach the client as well.
    fake_->SetValues({{QLatin1String(bus::kPropAttempts), 40}});
    ASSERT_EQ(fake_->Start(), "");
    ASSERT_TRUE(WaitFor([&] { return status.link == Link::kConnected; }));
    EXPECT_EQ(status.attempts, 40);
    EXPECT_TRUE(status.protection);
    ASSERT_TRUE(fake_->Change({{QLatin1String(bus::kPropAttempts), 41}}));
    ASSERT_TRUE(WaitFor([&] { return status.attempts == 41; }));
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen[0], Link::kConnected);
    EXPECT_EQ(seen[1], Link::kUnreachable);
    EXPECT_EQ(seen[2], Link::kConnected);
}

TEST_F(ServiceClient, RefusalsOfTheServiceAndOfTheBusAreRefused) {
    fake_->SetAnswer(FakeService::Answer::kServiceRefuses);
    const auto refusedByService = ConnectProtectionService();
    EXPECT_EQ(refusedByService->Status().link, Link::kRefused);
    EXPECT_THAT(refusedByService->Status().problem, HasSubstr("corvane"));
    const auto switched = refusedByService->SetProtection(false);
    EXPECT_EQ(switched.code, Code::kRefused);
    EXPECT_THAT(switched.message, HasSubstr("corvane"));

    // The bus policy's refusal carries a message about match rules; the user reads why, in plain words.
    fake_->SetAnswer(FakeService::Answer::kBusRefuses);
    const auto refusedByBus = ConnectProtectionService();
    EXPECT_EQ(refusedByBus->Status().link, Link::kRefused);
    EXPECT_THAT(refusedByBus->Status().problem, HasSubstr("members of the group \"corvane\""));
    const auto reloaded = refusedByBus->Reload();
    EXPECT_EQ(reloaded.code, Code::kRefused);
    EXPECT_THAT(reloaded.message, HasSubstr("members of the group \"corvane\""));
    EXPECT_THAT(reloaded.message, Not(HasSubstr("matched rules")));
    const UniqueFd empty(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(empty.Valid());
    std::string version;
    EXPECT_EQ(refusedByBus->InstallDefinitions(empty.Get(), version).code, Code::kRefused);

    const auto asked = fake_->TakeAsked();
    EXPECT_TRUE(asked.switches.empty());
    EXPECT_EQ(asked.reloads, 0);

    fake_->SetAnswer(FakeService::Answer::kNormal);
    EXPECT_EQ(refusedByBus->Refresh().link, Link::kConnected);
}

TEST_F(ServiceClient, MethodsReachTheServiceAndBlocksAreDecoded) {
    const auto service = ConnectProtectionService();
    ASSERT_EQ(service->Status().link, Link::kConnected);
    std::vector<bool> shown;
    service->SetChangeHandler([&] { shown.push_back(service->Status().protection); });

    EXPECT_TRUE(service->SetProtection(false).Ok());
    EXPECT_TRUE(service->SetProtection(true).Ok());
    EXPECT_TRUE(service->Reload().Ok());
    ASSERT_TRUE(WaitFor([&] { return shown.size() == 2; }));
    EXPECT_THAT(shown, ElementsAre(false, true)) << "each switch's signal came through";

    fake_->SetBlocks({{QStringLiteral("192.0.2.1"), 1700000000000, 4321, QStringLiteral("firefox"),
                       QStringLiteral("qd.def")},
                      {QStringLiteral("198.51.100.7"), 1700000001500, 0, QString(), QString()},
                      {QStringLiteral("2001:db8::5"), -1, 4294967295u, QStringLiteral("größe"),
                       QStringLiteral("/etc/corvane/lists.d/a.list")}});
    std::vector<BlockEntry> blocks;
    ASSERT_TRUE(service->RecentBlocks(2, blocks).Ok());
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].address, "198.51.100.7");
    EXPECT_EQ(blocks[0].timeMs, 1700000001500);
    EXPECT_EQ(blocks[0].pid, 0u);
    EXPECT_EQ(blocks[0].process, "");
    EXPECT_EQ(blocks[1].address, "2001:db8::5");
    EXPECT_EQ(blocks[1].timeMs, -1);
    EXPECT_EQ(blocks[1].pid, 4294967295u);
    EXPECT_EQ(blocks[1].process, "größe");
    EXPECT_EQ(blocks[1].list, "/etc/corvane/lists.d/a.list");
    EXPECT_EQ(blocks[0].list, "");
    ASSERT_TRUE(service->RecentBlocks(10, blocks).Ok());
    ASSERT_EQ(blocks.size(), 3u) << "the list is replaced, not added to";
    EXPECT_EQ(blocks[0].address, "192.0.2.1");
    EXPECT_EQ(blocks[0].timeMs, 1700000000000);
    EXPECT_EQ(blocks[0].pid, 4321u);
    EXPECT_EQ(blocks[0].process, "firefox");
    EXPECT_EQ(blocks[0].list, "qd.def");
    fake_->SetBlocks({});
    ASSERT_TRUE(service->RecentBlocks(10, blocks).Ok());
    EXPECT_TRUE(blocks.empty());

    const auto asked = fake_->TakeAsked();
    EXPECT_THAT(asked.switches, ElementsAre(false, true));
    EXPECT_EQ(asked.reloads, 1);
    EXPECT_THAT(asked.blockCounts, ElementsAre(2u, 10u, 10u));

    // The service's failure, in its own words within a sentence.
    fake_->SetAnswer(FakeService::Answer::kFails);
    const auto failed = service->Reload();
    EXPECT_EQ(failed.code, Code::kFailed);
    EXPECT_EQ(failed.message, "The Corvane service could not do it: the service is stopping.");
    EXPECT_EQ(service->RecentBlocks(3, blocks).code, Code::kFailed);
}

TEST_F(ServiceClient, InstallDefinitionsHandsOverTheCallersBytesFromTheStart) {
    const auto service = ConnectProtectionService();
    ASSERT_EQ(service->Status().link, Link::kConnected);
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const std::string path = folder.filePath(QStringLiteral("qd.def")).toStdString();
    const std::string content = "V003\n192.0.2.1\n198.51.100.0\n";
    // As a download leaves it: written, the offset at its end.
    UniqueFd file(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    ASSERT_TRUE(file.Valid());
    ASSERT_EQ(::write(file.Get(), content.data(), content.size()), static_cast<ssize_t>(content.size()));

    fake_->SetInstallVersion(QStringLiteral("V003"));
    std::string version;
    const auto installed = service->InstallDefinitions(file.Get(), version);
    ASSERT_TRUE(installed.Ok()) << installed.message;
    EXPECT_EQ(version, "V003");
    EXPECT_EQ(::lseek(file.Get(), 0, SEEK_CUR), static_cast<off_t>(content.size())) << "the caller's offset stays";

    ASSERT_EQ(::lseek(file.Get(), 5, SEEK_SET), 5);
    EXPECT_TRUE(service->InstallDefinitions(file.Get(), version).Ok());
    EXPECT_EQ(::lseek(file.Get(), 0, SEEK_CUR), 5);

    // A file without a name any more (a staged download is often one) is read all the same.
    ASSERT_EQ(::unlink(path.c_str()), 0);
    EXPECT_TRUE(service->InstallDefinitions(file.Get(), version).Ok());

    // A pipe goes as it is, read from where it stands.
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    UniqueFd readEnd(ends[0]);
    {
        UniqueFd writeEnd(ends[1]);
        ASSERT_EQ(::write(writeEnd.Get(), "V004\n", 5), 5);
    }
    EXPECT_TRUE(service->InstallDefinitions(readEnd.Get(), version).Ok());

    const auto asked = fake_->TakeAsked();
    ASSERT_EQ(asked.installed.size(), 4u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(asked.installed[i].toStdString(), content) << "install " << i;
    EXPECT_EQ(asked.installed[3].toStdString(), "V004\n");
    EXPECT_GE(::fcntl(file.Get(), F_GETFD), 0) << "the caller's descriptor stays open";
    ASSERT_TRUE(WaitFor([&] { return service->Status().definitionsVersion == "V003"; }));

    // The service's verdict on a file it will not take, and no descriptor at all.
    fake_->SetInstallRejection(QStringLiteral("Line 3 is not an address."));
    const auto rejected = service->InstallDefinitions(file.Get(), version);
    EXPECT_EQ(rejected.code, Code::kInvalid);
    EXPECT_EQ(rejected.message, "The definitions were not installed: Line 3 is not an address.");
    EXPECT_EQ(service->InstallDefinitions(-1, version).code, Code::kInvalid);
    EXPECT_EQ(fake_->TakeAsked().installed.size(), 1u) << "only the rejected file reached the service";
}

// A service that takes a call and never answers costs the caller a bounded wait, not its window.
TEST_F(ServiceClient, HungServiceIsNoAnswer) {
    const auto service = ConnectProtectionService();
    ASSERT_EQ(service->Status().link, Link::kConnected);
    fake_->SetAnswer(FakeService::Answer::kHang);
    const auto switched = service->SetProtection(false);
    EXPECT_EQ(switched.code, Code::kFailed);
    EXPECT_THAT(switched.message, HasSubstr("does not answer"));
    const auto& status = service->Refresh();
    EXPECT_EQ(status.link, Link::kUnreachable);
    EXPECT_THAT(status.problem, HasSubstr("does not answer"));
}

}  // namespace
}  // namespace corvane::platform::testing
