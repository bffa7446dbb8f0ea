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
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <linux/bpf.h>
#include <netinet/tcp.h>

#if CORVANE_HAVE_EVENT_ENGINE
#include <bpf/bpf.h>
#endif

#include "../engine/ipv6_loopback.h"
#include "../engine/private_network.h"
#include "platform/dbus/bus_names.h"
#include "service_harness.h"

namespace corvane::service::testing {
namespace {

namespace bus = platform::bus;
using engine::testing::ConnectError;
using engine::testing::ConnectionError;
using engine::testing::Listen;
using engine::testing::SnmpCounters;
using engine::testing::LocalPort;
using engine::testing::TcpCounters;
using engine::testing::V4;
using engine::testing::V6;
using platform::UniqueFd;

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

// The programs attached to a hook of `target` (a cgroup or a network namespace).
void QueryAttached(int target, bpf_attach_type type, std::set<std::uint32_t>& programs) {
#if CORVANE_HAVE_EVENT_ENGINE
    std::uint32_t ids[256] = {};
    std::uint32_t count = 256;
    std::uint32_t flags = 0;
    if (bpf_prog_query(target, type, 0, &flags, ids, &count) == 0)
        programs.insert(ids, ids + std::min<std::uint32_t>(count, 256));
#endif
}

// The programs attached to the connect, sendmsg and skb egress hooks at the root of this machine's
// cgroup2 hierarchy (other tests' among them).
std::set<std::uint32_t> AttachedPrograms() {
    std::set<std::uint32_t> programs;
    const std::vector<std::string> points = Cgroup2MountPoints();
    if (points.empty()) return programs;
    const UniqueFd root(::open(points.front().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const bpf_attach_type type : {BPF_CGROUP_INET4_CONNECT, BPF_CGROUP_INET6_CONNECT, BPF_CGROUP_UDP4_SENDMSG,
                                       BPF_CGROUP_UDP6_SENDMSG, BPF_CGROUP_INET_EGRESS})
        QueryAttached(root.Get(), type, programs);
    return programs;
}

// The socket lookup programs of this (private) network namespace.
std::set<std::uint32_t> NamespacePrograms() {
    std::set<std::uint32_t> programs;
    const UniqueFd netns(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    QueryAttached(netns.Get(), BPF_SK_LOOKUP, programs);
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
    EXPECT_TRUE(Told("; the kernel refuses listed addresses (connect refusal")) << service_->Output();
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
    EXPECT_NE(recent.out.find("string \"TCP\""), std::string::npos) << recent.out;
    EXPECT_NE(recent.out.find("string \"outbound\""), std::string::npos) << recent.out;

    // Not refused, not counted: another address.
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, V4(kUnlisted, LocalPort(unlisted.Get()))), 0);
    EXPECT_EQ(Accepted(unlisted.Get()), 1);
    EXPECT_EQ(ConnectError(AF_INET, SOCK_DGRAM, V4(kUnlisted, 53)), 0);

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
    ASSERT_EQ(held.size(), 5U);  // connect4/6, sendmsg4/6, skb egress
    const std::set<std::uint32_t> attached = AttachedPrograms();
    for (const std::uint32_t program : held) EXPECT_EQ(attached.count(program), 1U) << program;
    EXPECT_EQ(NamespacePrograms().size(), 1U);  // sk_lookup

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
    const std::set<std::uint32_t> left = AttachedPrograms();
    for (const std::uint32_t program : held) EXPECT_EQ(left.count(program), 0U) << program;
    EXPECT_EQ(NamespacePrograms(), std::set<std::uint32_t>());
    EXPECT_EQ(ConnectListed(), 0);
    EXPECT_EQ(Accepted(listed_.Get()), 1);
}

TEST_F(ConnectRefusalService, KilledOutrightItLeavesNothingAttached) {
    StartAndWaitForTheRefusal();
    const std::set<std::uint32_t> held = CgroupLinkPrograms(service_->Pid());
    ASSERT_EQ(held.size(), 5U);
    EXPECT_EQ(NamespacePrograms().size(), 1U);
    EXPECT_EQ(ConnectListed(), ECONNREFUSED);
    ASSERT_TRUE(service_->Signal(SIGKILL));
    ASSERT_TRUE(service_->Wait(30s).has_value());
    // Nothing pinned, nothing left on any hook.
    const std::set<std::uint32_t> left = AttachedPrograms();
    for (const std::uint32_t program : held) EXPECT_EQ(left.count(program), 0U) << program;
    EXPECT_EQ(NamespacePrograms(), std::set<std::uint32_t>());
    EXPECT_EQ(ConnectListed(), 0);
}

TEST_F(ConnectRefusalService, WithoutTheCgroupHierarchyTheEngineProtectsAloneAndTheServiceSaysWhy) {
    service_->SetCgroupHierarchyVisible(false);
    ASSERT_EQ(service_->Start(), "");
    const std::string why = "connect refusal not running: no cgroup2 hierarchy is mounted";
    EXPECT_TRUE(WaitUntil([&] { return Layers().find(why) != std::string::npos; })) << Layers();
    // The inbound hook belongs to the namespace, not the hierarchy: it goes on.
    EXPECT_EQ(Layers().rfind("string \"inbound refusal + ", 0), 0U) << Layers();
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

// A UDP socket of `family` bound to `address` (port 0: any).
template <typename Address>
UniqueFd BoundUdp(const Address& address) {
    UniqueFd fd(::socket(reinterpret_cast<const sockaddr*>(&address)->sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.Valid() && ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) fd.Reset();
    return fd;
}

// Datagrams waiting on a socket right now, read and dropped.
int Datagrams(int fd) {
    int got = 0;
    char buffer[2048];
    while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) ++got;
    return got;
}

const std::vector<std::string> kClientEnvironment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};

TEST_F(ConnectRefusalService, UdpAndPingToAListedAddressNeverLeaveAndEachFlowCountsOnce) {
    StartAndWaitForTheRefusal();
    EXPECT_NE(Layers().find("connect refusal + send refusal + inbound refusal + ICMP refusal + "), std::string::npos)
        << Layers();
    // curl against the listed address: refused at once, nothing reaches the listener.
    const CommandResult curl = testing::Run({"/usr/bin/curl", "--silent", "--max-time", "5", "--output", "/dev/null",
                                             "http://" + std::string(kListed) + ":" + std::to_string(port_) + "/"},
                                            kClientEnvironment);
    EXPECT_EQ(WIFEXITED(curl.status) ? WEXITSTATUS(curl.status) : -1, 7) << curl.out;  // could not connect
    EXPECT_EQ(Accepted(listed_.Get()), 0);

    UniqueFd receiver = BoundUdp(V4(kListed, 0));
    ASSERT_TRUE(receiver.Valid());
    const std::uint16_t port = LocalPort(receiver.Get());
    const std::map<std::string, long long> udpBefore = SnmpCounters("Udp");

    // connect(): refused at once, IPv4 and IPv4-mapped, and counted once each.
    EXPECT_EQ(ConnectError(AF_INET, SOCK_DGRAM, V4(kListed, port)), ECONNREFUSED);
    EXPECT_EQ(ConnectError(AF_INET6, SOCK_DGRAM, V6("::ffff:127.0.0.2", port)), ECONNREFUSED);
    // Unconnected sends: each refused, one count a flow (socket, address, port).
    UniqueFd sender(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(sender.Valid());
    int refused = 0;
    for (int i = 0; i < 1000; ++i) {
        const sockaddr_in to = V4(kListed, static_cast<std::uint16_t>(i % 2 == 0 ? port : port + 1));
        if (::sendto(sender.Get(), "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0 && errno == EPERM)
            ++refused;
    }
    EXPECT_EQ(refused, 1000);
    EXPECT_TRUE(WaitUntil([&] { return Attempts() == 5; })) << Attempts();
    EXPECT_EQ(SnmpCounters("Udp").at("OutDatagrams"), udpBefore.at("OutDatagrams"));

    // IPv6: an address of a list, by datagram and by connect.
    ASSERT_EQ(engine::testing::AddLoopbackAddress("fd77::1", 128), "");
    ASSERT_TRUE(engine::testing::WaitUntilLocal("fd77::1"));
    ASSERT_EQ(service_->WriteList("six.list", "fd77::/64\n"), "");
    ASSERT_TRUE(service_->Call(Caller::kRoot, bus::kMethodReload).Succeeded());
    UniqueFd receiver6 = BoundUdp(V6("fd77::1", 0));
    ASSERT_TRUE(receiver6.Valid());
    const sockaddr_in6 to6 = V6("fd77::1", LocalPort(receiver6.Get()));
    UniqueFd sender6(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    EXPECT_LT(::sendto(sender6.Get(), "x", 1, 0, reinterpret_cast<const sockaddr*>(&to6), sizeof to6), 0);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(ConnectError(AF_INET6, SOCK_DGRAM, to6), ECONNREFUSED);
    EXPECT_EQ(Datagrams(receiver6.Get()), 0);
    EXPECT_TRUE(WaitUntil([&] { return Attempts() == 7; })) << Attempts();

    // Real clients: netcat, socat and a DNS lookup against a listed resolver.
    const long long before = Attempts();
    const std::string target = std::string(kListed);
    const CommandResult nc = testing::Run({"/bin/sh", "-c", "echo hello | nc -u -w1 " + target + " " + std::to_string(port)},
                                 kClientEnvironment);
    const CommandResult socat = testing::Run({"/bin/sh", "-c", "echo hello | socat -u - UDP-SENDTO:" + target + ":" +
                                                          std::to_string(port)},
                                    kClientEnvironment);
    EXPECT_FALSE(socat.Succeeded()) << socat.out;
    const CommandResult dig = testing::Run({"/usr/bin/dig", "+tries=1", "+time=1", "-p", std::to_string(port), "@" + target,
                                   "example.test"},
                                  kClientEnvironment);
    EXPECT_EQ(dig.out.find("ANSWER SECTION"), std::string::npos) << dig.out;
    EXPECT_TRUE(WaitUntil([&] { return Attempts() >= before + 3; })) << nc.out << socat.out << dig.out;
    EXPECT_EQ(Datagrams(receiver.Get()), 0);
    EXPECT_EQ(SnmpCounters("Udp").at("OutDatagrams"), udpBefore.at("OutDatagrams"));

    // ping as root (a raw socket) and as an ordinary user (a ping socket): no echo reaches the
    // address; an unlisted one still answers.
    std::ofstream("/proc/sys/net/ipv4/ping_group_range") << "0 2147483647";
    const std::map<std::string, long long> icmpBefore = SnmpCounters("Icmp");
    const CommandResult rootPing = testing::Run({"/usr/bin/ping", "-n", "-c", "1", "-W", "1", kListed}, kClientEnvironment);
    const CommandResult userPing =
        testing::Run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/ping", "-n", "-c", "1", "-W", "1", kListed},
            kClientEnvironment);
    EXPECT_FALSE(rootPing.Succeeded()) << rootPing.out;
    EXPECT_FALSE(userPing.Succeeded()) << userPing.out;
    // A ping socket's connect() is refused like a UDP socket's.
    UniqueFd pingSocket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP));
    ASSERT_TRUE(pingSocket.Valid()) << std::strerror(errno);
    const sockaddr_in pinged = V4(kListed, 0);
    EXPECT_NE(::connect(pingSocket.Get(), reinterpret_cast<const sockaddr*>(&pinged), sizeof pinged), 0);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(SnmpCounters("Icmp").at("InEchos"), icmpBefore.at("InEchos"));
    const CommandResult unlistedPing = testing::Run({"/usr/bin/ping", "-n", "-c", "1", "-W", "1", kUnlisted}, kClientEnvironment);
    EXPECT_TRUE(unlistedPing.Succeeded()) << unlistedPing.out;
    EXPECT_EQ(SnmpCounters("Icmp").at("InEchos"), icmpBefore.at("InEchos") + 1);
}

TEST_F(ConnectRefusalService, AListedPeerGetsNoHandshakeNoDataAndNoDatagramIn) {
    StartAndWaitForTheRefusal();
    // This machine's own service on an unlisted address; the peer sends from the listed one.
    UniqueFd service = Listen(kUnlisted);
    ASSERT_TRUE(service.Valid());
    const int fastOpen = 16;
    ASSERT_EQ(::setsockopt(service.Get(), IPPROTO_TCP, TCP_FASTOPEN, &fastOpen, sizeof fastOpen), 0);
    const std::uint16_t port = LocalPort(service.Get());
    const std::map<std::string, long long> before = engine::testing::TcpCounters();

    const auto fromListed = [&](int type) {
        UniqueFd peer(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
        const sockaddr_in source = V4(kListed, 0);
        if (peer.Valid() && ::bind(peer.Get(), reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0)
            peer.Reset();
        return peer;
    };
    const sockaddr_in to = V4(kUnlisted, port);
    UniqueFd plain = fromListed(SOCK_STREAM);
    ASSERT_TRUE(plain.Valid());
    EXPECT_NE(::connect(plain.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    EXPECT_EQ(errno, ECONNREFUSED);
    UniqueFd fast = fromListed(SOCK_STREAM);
    ASSERT_TRUE(fast.Valid());
    EXPECT_LT(::sendto(fast.Get(), "early data", 10, MSG_FASTOPEN, reinterpret_cast<const sockaddr*>(&to), sizeof to),
              0);
    const CommandResult socat = testing::Run({"/bin/sh", "-c", "echo hello | socat -u - TCP:" + std::string(kUnlisted) + ":" +
                                                          std::to_string(port) + ",bind=" + kListed},
                                    kClientEnvironment);
    EXPECT_FALSE(socat.Succeeded()) << socat.out;
    EXPECT_EQ(Accepted(service.Get()), 0);
    EXPECT_EQ(engine::testing::TcpCounters().at("PassiveOpens"), before.at("PassiveOpens"));

    // Datagrams from the listed peer reach no socket: five of one flow count once.
    UniqueFd receiver = BoundUdp(V4(kUnlisted, 0));
    ASSERT_TRUE(receiver.Valid());
    UniqueFd sender = fromListed(SOCK_DGRAM);
    ASSERT_TRUE(sender.Valid());
    const sockaddr_in datagramsTo = V4(kUnlisted, LocalPort(receiver.Get()));
    for (int i = 0; i < 5; ++i)
        static_cast<void>(
            ::sendto(sender.Get(), "x", 1, 0, reinterpret_cast<const sockaddr*>(&datagramsTo), sizeof datagramsTo));
    EXPECT_TRUE(WaitUntil([&] { return Attempts() >= 4; })) << Attempts();
    EXPECT_EQ(Datagrams(receiver.Get()), 0);
    EXPECT_EQ(Attempts(), 4) << "two connects, socat's connect and one flow of datagrams";

    // Another peer is served as before.
    EXPECT_EQ(ConnectError(AF_INET, SOCK_STREAM, V4(kUnlisted, port)), 0);
    EXPECT_EQ(Accepted(service.Get()), 1);
}

TEST_F(ConnectRefusalService, NotOneListedConnectOrDatagramGetsThroughWhileTheListsOutgrowTheKernelMaps) {
    StartAndWaitForTheRefusal();
    UniqueFd receiver = BoundUdp(V4(kListed, 0));
    ASSERT_TRUE(receiver.Valid());
    const sockaddr_in datagramsTo = V4(kListed, LocalPort(receiver.Get()));
    std::atomic<bool> done{false};
    std::atomic<long> through{0};
    std::atomic<long> tries{0};
    // At full speed, a listed TCP connect and a listed datagram after another, until the swaps end.
    std::thread storm([&] {
        UniqueFd sender(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        while (!done) {
            if (ConnectListed() != ECONNREFUSED) ++through;
            if (::sendto(sender.Get(), "x", 1, 0, reinterpret_cast<const sockaddr*>(&datagramsTo), sizeof datagramsTo) >=
                0)
                ++through;
            ++tries;
        }
    });
    // Lists growing past the maps in use, then a qd.def of 250,000 entries, each taken in through a reload.
    for (const std::uint32_t entries : {3000U, 64000U, 300000U}) {
        std::string list;
        for (std::uint32_t i = 0; i < entries; ++i)
            list += "10." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." +
                    std::to_string(i & 255) + "\n";
        ASSERT_EQ(service_->WriteList("growing.list", list), "");
        ASSERT_TRUE(service_->Call(Caller::kRoot, bus::kMethodReload).Succeeded());
    }
    std::string definitions = "V002\r\n127.0.0.2\r\n";
    for (std::uint32_t i = 0; i < 250000; ++i)
        definitions += "11." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." +
                       std::to_string(i & 255) + "\r\n";
    ASSERT_EQ(service_->WriteDefinitions(definitions), "");
    ASSERT_TRUE(service_->Call(Caller::kRoot, bus::kMethodReload).Succeeded());
    // Until the new maps are in: the last of them refuses an address only they list.
    EXPECT_TRUE(WaitUntil([&] { return ConnectError(AF_INET, SOCK_STREAM, V4("11.3.208.143", 80)) == ECONNREFUSED; }));
    done = true;
    storm.join();
    EXPECT_GT(tries.load(), 100);
    EXPECT_EQ(through.load(), 0) << "of " << tries.load();
    EXPECT_EQ(Accepted(listed_.Get()), 0);
    EXPECT_EQ(Datagrams(receiver.Get()), 0);
    EXPECT_NE(Layers().find("connect refusal + "), std::string::npos) << Layers();
}

TEST_F(ConnectRefusalService, UdpSocketsConnectedBeforeProtectionAreDisconnectedAndCounted) {
    StartAndWaitForTheRefusal();
    ASSERT_TRUE(service_->Call(Caller::kRoot, bus::kMethodSetProtection, {"boolean:false"}).Succeeded());
    UniqueFd receiver = BoundUdp(V4(kListed, 0));
    ASSERT_TRUE(receiver.Valid());
    const sockaddr_in to = V4(kListed, LocalPort(receiver.Get()));
    UniqueFd early(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(early.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    ASSERT_EQ(::send(early.Get(), "x", 1, 0), 1);
    EXPECT_EQ(Datagrams(receiver.Get()), 1);

    ASSERT_TRUE(service_->Call(Caller::kRoot, bus::kMethodSetProtection, {"boolean:true"}).Succeeded());
    EXPECT_LT(::send(early.Get(), "x", 1, 0), 0);
    EXPECT_EQ(errno, EDESTADDRREQ);
    EXPECT_EQ(Datagrams(receiver.Get()), 0);
    EXPECT_TRUE(WaitUntil([&] { return Attempts() == 1; })) << Attempts();
    // Its owner connecting again meets the refusal.
    EXPECT_NE(::connect(early.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    EXPECT_EQ(errno, ECONNREFUSED);
}

TEST_F(ConnectRefusalService, SwitchingOffAndOnDuringAStormOfDatagramsCountsEachFlowOnce) {
    StartAndWaitForTheRefusal();
    // Three flows, each to a receiver of its own (no port unreachable comes back), from an
    // unlisted address (on loopback the source would be the listed one, and datagrams sent while
    // protection was off and met by it on their way in would be a listed peer's).
    std::vector<UniqueFd> receivers;
    std::vector<sockaddr_in> targets;
    for (int i = 0; i < 3; ++i) {
        receivers.push_back(BoundUdp(V4(kListed, 0)));
        ASSERT_TRUE(receivers.back().Valid());
        targets.push_back(V4(kListed, LocalPort(receivers.back().Get())));
    }
    std::atomic<bool> done{false};
    std::atomic<long> sent{0};
    std::thread storm([&] {
        UniqueFd sender = BoundUdp(V4("127.0.0.1", 0));
        for (long i = 0; !done; ++i) {
            const sockaddr_in& to = targets[static_cast<std::size_t>(i % 3)];
            static_cast<void>(::sendto(sender.Get(), "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to));
            ++sent;
        }
    });
    for (int i = 0; i < 10; ++i) {
        const CommandResult switched = service_->Call(Caller::kRoot, bus::kMethodSetProtection,
                                                      {i % 2 == 0 ? "boolean:false" : "boolean:true"});
        EXPECT_TRUE(switched.Succeeded()) << switched.out;
    }
    done = true;
    storm.join();
    for (const UniqueFd& receiver : receivers) static_cast<void>(Datagrams(receiver.Get()));  // sent while off
    EXPECT_GT(sent.load(), 1000);
    // Three flows of one socket, however often protection went off and on.
    EXPECT_TRUE(WaitUntil([&] { return Attempts() >= 3; })) << Attempts();
    EXPECT_EQ(Attempts(), 3);
    UniqueFd after(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    EXPECT_LT(::sendto(after.Get(), "x", 1, 0, reinterpret_cast<const sockaddr*>(&targets[0]), sizeof targets[0]), 0);
    EXPECT_EQ(Datagrams(receivers[0].Get()), 0);
    EXPECT_TRUE(service_->Running());
}

}  // namespace
}  // namespace corvane::service::testing
