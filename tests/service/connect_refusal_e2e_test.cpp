// corvaned's connect refusal end to end: the built service, as its unit starts it, refuses this
// process's connects to listed addresses in the kernel (no SYN leaves), counts each exactly in
// "Attempts", says which layers run and why one does not, and leaves nothing attached once it ends,
// however it ends. Runs inside a private network namespace: the service's refusal is scoped to it.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if CORVANE_HAVE_EVENT_ENGINE
#include <bpf/bpf.h>
#endif

#include "../engine/private_network.h"
#include "platform/dbus/bus_names.h"
#include "service_harness.h"

namespace corvane::service::testing {
namespace {

namespace bus = platform::bus;
using engine::testing::ConnectError;
using engine::testing::ConnectionError;
using engine::testing::Listen;
using engine::testing::LocalPort;
using engine::testing::TcpCounters;
using engine::testing::V4;
using engine::testing::V6;
using platform::linux_impl::UniqueFd;

constexpr char kListed[] = "127.0.0.2";
constexpr char kListedLater[] = "127.0.0.3";
constexpr char kUnlisted[] = "127.0.0.5";
constexpr char kDefinitions[] = "V001\r\n127.0.0.2\r\n192.0.2.77\r\n";

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Connections waiting on a listener right now, accepted and closed.
int Accepted(int listener) {
    int accepted = 0;
    for (;;) {
        pollfd watch{listener, POLLIN, 0};
        if (::poll(&watch, 1, 0) != 1) return accepted;
        UniqueFd connection(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection.Valid()) return accepted;
        ++accepted;
    }
}

// The programs a process holds through cgroup links, from its descriptors' fdinfo.
std::set<std::uint32_t> CgroupLinkPrograms(pid_t pid) {
    std::set<std::uint32_t> programs;
    const std::string folder = "/proc/" + std::to_string(pid) + "/fdinfo";
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) return programs;
    while (const dirent* entry = ::readdir(listing)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream info(folder + "/" + entry->d_name);
        std::string text((std::istreambuf_iterator<char>(info)), std::istreambuf_iterator<char>());
        if (text.find("link_type:\tcgroup") == std::string::npos) continue;
        const std::size_t at = text.find("prog_id:\t");
        if (at != std::string::npos) programs.insert(static_cast<std::uint32_t>(std::stoul(text.substr(at + 9))));
    }
    static_cast<void>(::closedir(listing));
    return programs;
}

// The programs attached to connect4 and connect6 at the root of this machine's cgroup2 hierarchy.
std::set<std::uint32_t> AttachedConnectPrograms() {
    std::set<std::uint32_t> programs;
#if CORVANE_HAVE_EVENT_ENGINE
    const std::vector<std::string> points = Cgroup2MountPoints();
    if (points.empty()) return programs;
    const UniqueFd root(::open(points.front().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const bpf_attach_type type : {BPF_CGROUP_INET4_CONNECT, BPF_CGROUP_INET6_CONNECT}) {
        std::uint32_t ids[256] = {};
        std::uint32_t count = 256;
        std::uint32_t flags = 0;
        if (bpf_prog_query(root.Get(), type, 0, &flags, ids, &count) == 0)
            programs.insert(ids, ids + std::min<std::uint32_t>(count, 256));
    }
#endif
    return programs;
}

class ConnectRefusalService : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static const std::string network = engine::testing::EnterPrivateNetwork();
        static const std::string accounts = EnsureServiceAccounts();
        setupError_ = network.empty() ? accounts : network;
    }

    void SetUp() override {
        ASSERT_EQ(setupError_, "");
#if !CORVANE_HAVE_EVENT_ENGINE
        GTEST_SKIP() << "built without the BPF programs";
#endif
        ASSERT_EQ(bus_.Start(), "");
        service_ = std::make_unique<ServiceUnderTest>(bus_);
        ASSERT_EQ(service_->WriteDefinitions(kDefinitions), "");
        listed_ = Listen(kListed);
        ASSERT_TRUE(listed_.Valid());
        port_ = LocalPort(listed_.Get());
    }

    // A property as dbus-send prints it ("variant       string \"…\"" or "variant       int32 5").
    std::string Property(const char* name) {
        const CommandResult got = service_->GetProperty(Caller::kRoot, name);
        const std::size_t at = got.out.find("variant");
        if (!got.Succeeded() || at == std::string::npos) return {};
        std::string value = got.out.substr(at + 7);
        value.erase(0, value.find_first_not_of(' '));
        while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
        return value;
    }
    std::string Layers() { return Property(bus::kPropLayers); }
    long long Attempts() {
        const std::string value = Property(bus::kPropAttempts);
        return value.rfind("int32 ", 0) == 0 ? std::stoll(value.substr(6)) : -1;
    }
    bool Told(const std::string& text) {
        const std::vector<std::string> told = service_->Notifications();
        return std::any_of(told.begin(), told.end(),
                           [&](const std::string& message) { return message.find(text) != std::string::npos; });
    }

    void StartAndWaitForTheRefusal() {
        ASSERT_EQ(service_->Start(), "");
        ASSERT_TRUE(WaitUntil([&] { return Layers().find("connect refusal + ") != std::string::npos; }))
            << Layers() << "\n" << service_->Output();
    }

    int ConnectListed() { return ConnectError(AF_INET, SOCK_STREAM, V4(kListed, port_)); }

    static inline std::string setupError_;
    PrivateSystemBus bus_;
    std::unique_ptr<ServiceUnderTest> service_;
    UniqueFd listed_;
    std::uint16_t port_ = 0;
};

TEST_F(ConnectRefusalService, RefusesListedConnectsBeforeAnySynCountsThemAndFollowsTheSwitchAndTheList) {
    StartAndWaitForTheRefusal();
    EXPECT_TRUE(Told("; connects to listed addresses are refused in the kernel")) << service_->Output();
    UniqueFd unlisted = Listen(kUnlisted);
    ASSERT_TRUE(unlisted.Valid());

    const std::map<std::string, long long> before = TcpCounters();
    EXPECT_EQ(ConnectListed(), ECONNREFUSED);
    EXPECT_EQ(ConnectError(AF_INET6, SOCK_STREAM, V6("::ffff:127.0.0.2", port_)), ECONNREFUSED);
    const std::map<std::string, long long> after = TcpCounters();
    EXPECT_EQ(after.at("ActiveOpens"), before.at("ActiveOpens"));
    EXPECT_EQ(after.at("OutSegs"), before.at("OutSegs"));
    EXPECT_EQ(Accepted(listed_.Get()), 0);
    EXPECT_TRUE(WaitUntil([&] { return Attempts() == 2; })) << Attempts();

    const CommandResult recent = service_->Call(Caller::kRoot, bus::kMethodRecentBlocks, {"uint32:10"});
    ASSERT_TRUE(recent.Succeeded()) << recent.out;
    EXPECT_NE(recent.out.find("string \"127.0.0.2\""), std::string::npos) << recent.out;
    EXPECT_NE(recent.out.find("uint32 " + std::to_string(::getpid())), std::string::npos) << recent.out;
    EXPECT_NE(recent.out.find("string \"test_service\""), std::string::npos) << recent.out;

    // Not refused, not counted: another address, and UDP to the listed one.
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, V4(kUnlisted, LocalPort(unlisted.Get()))), 0);
    EXPECT_EQ(Accepted(unlisted.Get()), 1);
    EXPECT_EQ(ConnectError(AF_INET, SOCK_DGRAM, V4(kListed, 53)), 0);

    // Off: connects go through (and the engine leaves them, protection being off); on again: refused.
    ASSERT_TRUE(service_->Call(Caller::kRoot, bus::kMethodSetProtection, {"boolean:false"}).Succeeded());
    EXPECT_EQ(Layers(), "string \"none: protection is off\"");
    EXPECT_EQ(ConnectListed(), 0);
    EXPECT_EQ(Accepted(listed_.Get()), 1);
    ASSERT_TRUE(service_->Call(Caller::kRoot, bus::kMethodSetProtection, {"boolean:true"}).Succeeded());
    EXPECT_NE(Layers().find("connect refusal + "), std::string::npos);
    EXPECT_EQ(ConnectListed(), ECONNREFUSED);
    EXPECT_TRUE(WaitUntil([&] { return Attempts() == 3; })) << Attempts();

    // A new list applies at once.
    UniqueFd later = Listen(kListedLater);
    ASSERT_TRUE(later.Valid());
    ASSERT_EQ(service_->WriteDefinitions("V002\r\n127.0.0.3\r\n"), "");
    ASSERT_TRUE(service_->Call(Caller::kRoot, bus::kMethodReload).Succeeded());
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, V4(kListedLater, LocalPort(later.Get()))), ECONNREFUSED);
    UniqueFd nowUnlisted = engine::testing::Connect(kListed, port_);
    EXPECT_TRUE(nowUnlisted.Valid());
    EXPECT_TRUE(WaitUntil([&] { return Attempts() == 4; })) << Attempts();
    EXPECT_EQ(ConnectionError(nowUnlisted.Get()), 0);
}

// A million prefixes elsewhere (11.0.0.0 on, /28 each), and `here` besides.
std::string LongList(const std::string& here) {
    std::string content = here;
    content.reserve(20'000'000);
    for (std::uint32_t i = 0; i < 1'000'000; ++i) {
        const std::uint32_t address = 0x0b000000U + i * 16;
        content += std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 255) + "." +
                   std::to_string(address >> 8 & 255) + "." + std::to_string(address & 255) + "/28\n";
    }
    return content;
}

TEST_F(ConnectRefusalService, LongListsAreRefusedByKernelSidesMadeForThemAndQdDefStillIs) {
    // At start: the kernel side is made on a thread of its own after the service is ready.
    ASSERT_EQ(service_->WriteList("long.list", LongList("127.0.7.0/24\n")), "");
    StartAndWaitForTheRefusal();
    UniqueFd first = Listen("127.0.7.1");
    ASSERT_TRUE(first.Valid());
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, V4("127.0.7.1", LocalPort(first.Get()))), ECONNREFUSED);
    EXPECT_EQ(ConnectListed(), ECONNREFUSED) << "qd.def's address is refused as well";
    EXPECT_TRUE(WaitUntil([&] { return Attempts() == 2; })) << Attempts();

    // A new long list: made on the lists' reading thread, taking over from the one in use.
    ASSERT_EQ(service_->WriteList("long.list", LongList("127.0.8.0/24\n")), "");
    // Twice: the folder's watch reads the new file as well, and the second answer comes after both.
    ASSERT_TRUE(service_->Call(Caller::kRoot, bus::kMethodReload).Succeeded());
    ASSERT_TRUE(service_->Call(Caller::kRoot, bus::kMethodReload).Succeeded());
    EXPECT_NE(service_->Output().find("made beside the ones in use ("), std::string::npos) << service_->Output();
    EXPECT_NE(service_->Output().find(", connect refusal)"), std::string::npos) << service_->Output();
    EXPECT_NE(Layers().find("connect refusal + "), std::string::npos) << Layers();
    UniqueFd second = Listen("127.0.8.1");
    ASSERT_TRUE(second.Valid());
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, V4("127.0.8.1", LocalPort(second.Get()))), ECONNREFUSED);
    EXPECT_EQ(ConnectListed(), ECONNREFUSED) << "qd.def's address is refused by the new kernel side too";
    EXPECT_TRUE(WaitUntil([&] { return Attempts() == 4; })) << Attempts();
    EXPECT_EQ(Accepted(first.Get()), 0);
    EXPECT_EQ(Accepted(second.Get()), 0);
    EXPECT_EQ(Accepted(listed_.Get()), 0);
}

TEST_F(ConnectRefusalService, AStormRaisesTheCountByExactlyItsSizeAndTerminationLeavesNothingAttached) {
    ASSERT_EQ(service_->SetSetting("Attempts", "40"), "");
    StartAndWaitForTheRefusal();
    const std::set<std::uint32_t> held = CgroupLinkPrograms(service_->Pid());
    ASSERT_EQ(held.size(), 2U);  // connect4 and connect6
    const std::set<std::uint32_t> attached = AttachedConnectPrograms();
    for (const std::uint32_t program : held) EXPECT_EQ(attached.count(program), 1U) << program;

    constexpr int kConnects = 100000;
    const std::map<std::string, long long> before = TcpCounters();
    const sockaddr_in remote = V4(kListed, port_);
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));  // a refused connect leaves it unconnected
    ASSERT_TRUE(fd.Valid());
    int refused = 0;
    for (int i = 0; i < kConnects; ++i) {
        if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0 &&
            errno == ECONNREFUSED)
            ++refused;
    }
    ASSERT_EQ(refused, kConnects);
    // Not one SYN left for them.
    const std::map<std::string, long long> after = TcpCounters();
    EXPECT_EQ(after.at("ActiveOpens"), before.at("ActiveOpens"));
    EXPECT_EQ(after.at("OutSegs"), before.at("OutSegs"));
    EXPECT_TRUE(WaitUntil([&] { return Attempts() >= 40 + kConnects; })) << Attempts();
    EXPECT_EQ(Attempts(), 40 + kConnects);
    EXPECT_EQ(Accepted(listed_.Get()), 0);

    ASSERT_TRUE(service_->Signal(SIGTERM));
    const std::optional<int> status = service_->Wait(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << service_->Output();
    EXPECT_EQ(service_->Setting("Attempts").value_or(""), std::to_string(40 + kConnects));
    const std::set<std::uint32_t> left = AttachedConnectPrograms();
    for (const std::uint32_t program : held) EXPECT_EQ(left.count(program), 0U) << program;
    EXPECT_EQ(ConnectListed(), 0);
    EXPECT_EQ(Accepted(listed_.Get()), 1);
}

TEST_F(ConnectRefusalService, KilledOutrightItLeavesNothingAttached) {
    StartAndWaitForTheRefusal();
    const std::set<std::uint32_t> held = CgroupLinkPrograms(service_->Pid());
    ASSERT_EQ(held.size(), 2U);
    EXPECT_EQ(ConnectListed(), ECONNREFUSED);
    ASSERT_TRUE(service_->Signal(SIGKILL));
    ASSERT_TRUE(service_->Wait(30s).has_value());
    const std::set<std::uint32_t> left = AttachedConnectPrograms();
    for (const std::uint32_t program : held) EXPECT_EQ(left.count(program), 0U) << program;
    EXPECT_EQ(ConnectListed(), 0);
}

TEST_F(ConnectRefusalService, WithoutTheCgroupHierarchyTheEngineProtectsAloneAndTheServiceSaysWhy) {
    service_->SetCgroupHierarchyVisible(false);
    ASSERT_EQ(service_->Start(), "");
    const std::string why = "connect refusal not running: no cgroup2 hierarchy is mounted";
    EXPECT_TRUE(WaitUntil([&] { return Layers().find(why) != std::string::npos; })) << Layers();
    EXPECT_TRUE(WaitUntil([&] { return Told(why); })) << service_->Output();
    EXPECT_NE(service_->Output().find(why), std::string::npos) << service_->Output();
    // The connect goes out; the engine tears it down and counts it.
    UniqueFd connection = engine::testing::Connect(kListed, port_);
    if (connection.Valid()) {  // else torn down while it was being made
        EXPECT_TRUE(WaitUntil([&] { return ConnectionError(connection.Get()) != 0; }));
    }
    EXPECT_TRUE(WaitUntil([&] { return Attempts() == 1; })) << Attempts();
}

TEST_F(ConnectRefusalService, WithoutTheRightToAttachTheServiceSaysWhy) {
    service_->SetCapabilities({"bpf", "perfmon"});  // no net_admin
    ASSERT_EQ(service_->Start(), "");
    EXPECT_TRUE(WaitUntil([&] { return Layers().find("connect refusal not running: ") != std::string::npos; }))
        << Layers();
    EXPECT_NE(Layers().find("CAP_NET_ADMIN"), std::string::npos) << Layers();
    EXPECT_EQ(ConnectListed(), 0);
}

}  // namespace
}  // namespace corvane::service::testing
