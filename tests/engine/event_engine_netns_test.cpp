// The event engine on the real kernel, inside private network namespaces: a listed connection is
// torn down and counted exactly once, other namespaces are never touched, and the timer engine
// runs when the setting asks for it. Needs root (BPF programs and namespaces); the event engine
// parts need a build with the event engine.
#include <gtest/gtest.h>

#include <net/route.h>
#include <poll.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "engine/m_firewall.h"
#include "fake_services.h"
#include "private_network.h"

namespace corvane::engine {
namespace {

using namespace corvane::engine::testing;

class RealEngine : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root (private network namespaces, BPF programs)";
        const std::string why = EnterPrivateNetwork();
        ASSERT_TRUE(why.empty()) << why;
    }

    std::unique_ptr<mFirewall> Make(EngineChoice choice, const char* list) {
        std::unique_ptr<mFirewall> firewall = mFirewall::CreateForSystem(host_, choice);
        firewall->SetNoticeSink([this](const std::string& line) { notices_.push_back(line); });
        firewall->SetBlockLogSink([this](const std::string& line) { blockLines_.push_back(line); });
        firewall->SetDefinitions(ParseDefinitions(list));
        return firewall;
    }

    // Runs the reports the kernel has queued until done() or two seconds have passed.
    template <typename Done>
    bool PumpUntil(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            pollfd watched{host_.watchedFd, POLLIN, 0};
            if (::poll(&watched, 1, 10) > 0 && host_.onReadable) host_.onReadable();
        }
        return true;
    }
    // Runs whatever is queued now (and arrives within 50 ms).
    void PumpAWhile() {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
        PumpUntil([&] { return std::chrono::steady_clock::now() >= until; });
    }

    RecordingHost host_;
    std::vector<std::string> notices_;
    std::vector<std::string> blockLines_;
};

class EventEngineNetwork : public RealEngine {
protected:
    void SetUp() override {
#if !CORVANE_HAVE_EVENT_ENGINE
        GTEST_SKIP() << "built without the event engine";
#endif
        RealEngine::SetUp();
    }
};

TEST_F(EventEngineNetwork, ListedConnectionsAreTornDownAndCountedOnce) {
    UniqueFd listed = Listen("127.0.0.2");
    UniqueFd other = Listen("127.0.0.3");
    ASSERT_TRUE(listed.Valid() && other.Valid());
    const std::uint16_t listedPort = LocalPort(listed.Get());
    const std::uint16_t otherPort = LocalPort(other.Get());
    UniqueFd early = Connect("127.0.0.2", listedPort);  // open before protection
    ASSERT_TRUE(early.Valid());

    std::unique_ptr<mFirewall> firewall = Make(EngineChoice::kAuto, "127.0.0.2\r\n 127.0.0.3\r\n127.0.0.03\r\n");
    ASSERT_EQ(firewall->Engine(), EngineKind::kEvents) << firewall->EngineReason();
    ASSERT_EQ(notices_.size(), 1U);
    EXPECT_EQ(notices_[0].rfind("event engine runs", 0), 0U);
    firewall->SetBlockedCount(5);

    // Turning on scans once: the connection already open goes.
    firewall->SetProtection(true);
    EXPECT_EQ(ConnectionError(early.Get()), ECONNABORTED);
    EXPECT_EQ(firewall->BlockedCount(), 6);

    // New connections: the listed ones go as they open, each counted once.
    UniqueFd v4 = Connect("127.0.0.2", listedPort);
    UniqueFd mapped = ConnectMapped("127.0.0.2", listedPort);
    UniqueFd unlisted = Connect("127.0.0.3", otherPort);
    ASSERT_TRUE(unlisted.Valid());
    EXPECT_TRUE(PumpUntil([&] { return firewall->BlockedCount() == 8; }));
    PumpAWhile();
    EXPECT_EQ(firewall->BlockedCount(), 8);
    // A connect torn down during its handshake fails; one torn down just after sees the abort.
    if (v4.Valid()) {
        EXPECT_EQ(ConnectionError(v4.Get()), ECONNABORTED);
    }
    if (mapped.Valid()) {
        EXPECT_EQ(ConnectionError(mapped.Get()), ECONNABORTED);
    }
    EXPECT_EQ(ConnectionError(unlisted.Get()), 0);
    EXPECT_EQ(host_.counts.back(), 8);

    // The listener on the listed address is never touched.
    int error = -1;
    socklen_t length = sizeof error;
    ASSERT_EQ(::getsockopt(listed.Get(), SOL_SOCKET, SO_ERROR, &error, &length), 0);
    EXPECT_EQ(error, 0);
    UniqueFd late = Connect("127.0.0.3", otherPort);
    EXPECT_TRUE(late.Valid());

    // The block log names the address, the direction and this process.
    ASSERT_EQ(blockLines_.size(), 3U);
    const std::string self = "process " + std::to_string(::getpid());
    int fromThisProcess = 0;
    for (const std::string& line : blockLines_) {
        EXPECT_NE(line.find("127.0.0.2:" + std::to_string(listedPort)), std::string::npos) << line;
        if (line.find("outbound") != std::string::npos && line.find(self) != std::string::npos) ++fromThisProcess;
    }
    EXPECT_EQ(fromThisProcess, 2);

    // Off: nothing is torn down.
    firewall->SetProtection(false);
    UniqueFd whileOff = Connect("127.0.0.2", listedPort);
    ASSERT_TRUE(whileOff.Valid());
    PumpAWhile();
    EXPECT_EQ(ConnectionError(whileOff.Get()), 0);
    EXPECT_EQ(firewall->BlockedCount(), 8);
}

TEST_F(EventEngineNetwork, AnInboundConnectionFromAListedAddressIsTornDown) {
    UniqueFd listener = Listen("127.0.0.2");
    ASSERT_TRUE(listener.Valid());
    std::unique_ptr<mFirewall> firewall = Make(EngineChoice::kAuto, "127.0.0.7\r\n");
    ASSERT_EQ(firewall->Engine(), EngineKind::kEvents) << firewall->EngineReason();
    firewall->SetProtection(true);

    // A peer at the listed address connects in: this side's socket has it as its remote end.
    UniqueFd peer(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in from = V4("127.0.0.7", 0);
    ASSERT_EQ(::bind(peer.Get(), reinterpret_cast<const sockaddr*>(&from), sizeof from), 0);
    const sockaddr_in to = V4("127.0.0.2", LocalPort(listener.Get()));
    ASSERT_EQ(::connect(peer.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    EXPECT_TRUE(PumpUntil([&] { return firewall->BlockedCount() == 1; }));
    PumpAWhile();
    EXPECT_EQ(firewall->BlockedCount(), 1);
    // The peer learns of it by a reset; the listener goes on listening.
    int peerError = 0;
    EXPECT_TRUE(PumpUntil([&] { return (peerError = ConnectionError(peer.Get())) != 0; }));
    EXPECT_EQ(peerError, ECONNRESET);
    ASSERT_EQ(blockLines_.size(), 1U);
    EXPECT_NE(blockLines_[0].find("inbound connection from 127.0.0.7:" + std::to_string(LocalPort(peer.Get()))),
              std::string::npos)
        << blockLines_[0];
    UniqueFd next = Connect("127.0.0.2", LocalPort(listener.Get()));
    EXPECT_TRUE(next.Valid());
}

TEST_F(EventEngineNetwork, AnotherNamespaceIsNeverTouched) {
    std::unique_ptr<mFirewall> firewall = Make(EngineChoice::kAuto, "127.0.0.2\r\n");
    ASSERT_EQ(firewall->Engine(), EngineKind::kEvents) << firewall->EngineReason();
    firewall->SetProtection(true);

    int toChild[2] = {-1, -1};
    int toParent[2] = {-1, -1};
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(toParent), 0);
    UniqueFd childReads(toChild[0]), parentWrites(toChild[1]), parentReads(toParent[0]), childWrites(toParent[1]);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A second namespace with the same listed address, connected in it.
        int result = -1;
        if (EnterPrivateNetwork().empty()) {
            UniqueFd listener = Listen("127.0.0.2");
            UniqueFd client = Connect("127.0.0.2", LocalPort(listener.Get()));
            char byte = 1;
            static_cast<void>(!::write(childWrites.Get(), &byte, 1));
            static_cast<void>(!::read(childReads.Get(), &byte, 1));
            result = client.Valid() ? ConnectionError(client.Get()) : -2;
        }
        static_cast<void>(!::write(childWrites.Get(), &result, sizeof result));
        ::_exit(0);
    }
    char ready = 0;
    ASSERT_EQ(::read(parentReads.Get(), &ready, 1), 1);

    // A listed connection here, after the other one: once it is handled, any report of the
    // other would have been handled too.
    UniqueFd listener = Listen("127.0.0.2");
    UniqueFd here = Connect("127.0.0.2", LocalPort(listener.Get()));
    EXPECT_TRUE(PumpUntil([&] { return firewall->BlockedCount() == 1; }));
    PumpAWhile();
    if (here.Valid()) {
        EXPECT_EQ(ConnectionError(here.Get()), ECONNABORTED);
    }

    char go = 1;
    ASSERT_EQ(::write(parentWrites.Get(), &go, 1), 1);
    int childResult = -1;
    EXPECT_EQ(::read(parentReads.Get(), &childResult, sizeof childResult), static_cast<ssize_t>(sizeof childResult));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(childResult, 0) << "the other namespace's connection was touched";
    EXPECT_EQ(firewall->BlockedCount(), 1);
}

TEST_F(EventEngineNetwork, AConnectIsTornDownWhileItWaitsForAnAnswer) {
    // Packets to 10.9.9.0/24 leave through lo and are dropped on return (not a local address):
    // a connect there stays in SYN_SENT, as to a distant host that has not answered yet.
    UniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    rtentry route{};
    auto* destination = reinterpret_cast<sockaddr_in*>(&route.rt_dst);
    *destination = V4("10.9.9.0", 0);
    auto* mask = reinterpret_cast<sockaddr_in*>(&route.rt_genmask);
    *mask = V4("255.255.255.0", 0);
    char device[] = "lo";
    route.rt_dev = device;
    route.rt_flags = RTF_UP;
    ASSERT_EQ(::ioctl(control.Get(), SIOCADDRT, &route), 0) << std::strerror(errno);

    std::unique_ptr<mFirewall> firewall = Make(EngineChoice::kAuto, "10.9.9.9\r\n");
    ASSERT_EQ(firewall->Engine(), EngineKind::kEvents) << firewall->EngineReason();
    firewall->SetProtection(true);
    UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const sockaddr_in remote = V4("10.9.9.9", 80);
    ASSERT_NE(::connect(client.Get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote), 0);
    ASSERT_EQ(errno, EINPROGRESS);
    EXPECT_TRUE(PumpUntil([&] { return firewall->BlockedCount() == 1; }));
    pollfd connecting{client.Get(), POLLOUT, 0};
    ASSERT_EQ(::poll(&connecting, 1, 2000), 1);
    int error = 0;
    socklen_t length = sizeof error;
    ASSERT_EQ(::getsockopt(client.Get(), SOL_SOCKET, SO_ERROR, &error, &length), 0);
    EXPECT_EQ(error, ECONNABORTED);
    PumpAWhile();
    EXPECT_EQ(firewall->BlockedCount(), 1);
    ASSERT_EQ(blockLines_.size(), 1U);
    EXPECT_NE(blockLines_[0].find("outbound connection to 10.9.9.9:80"), std::string::npos) << blockLines_[0];
}

TEST_F(EventEngineNetwork, AMillionEntryListLoadsIntoTheKernel) {
    std::string list;
    list.reserve(16U * 1000000U);
    for (std::uint32_t i = 0; i < 1000000; ++i) {
        list += "11." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." +
                std::to_string(i & 255) + "\r\n";
    }
    list += "127.0.0.2\r\n";
    std::unique_ptr<mFirewall> firewall = Make(EngineChoice::kAuto, list.c_str());
    ASSERT_EQ(firewall->Engine(), EngineKind::kEvents) << firewall->EngineReason();
    firewall->SetProtection(true);
    UniqueFd listener = Listen("127.0.0.2");
    UniqueFd client = Connect("127.0.0.2", LocalPort(listener.Get()));
    EXPECT_TRUE(PumpUntil([&] { return firewall->BlockedCount() == 1; }));
    if (client.Valid()) {
        EXPECT_EQ(ConnectionError(client.Get()), ECONNABORTED);
    }
}

TEST_F(RealEngine, TheTimerEngineRunsWhenTheSettingAsksForIt) {
    UniqueFd listener = Listen("127.0.0.2");
    std::unique_ptr<mFirewall> firewall = Make(EngineChoice::kTimer, "127.0.0.2\r\n");
    EXPECT_TRUE(firewall->UsesTimer());
    EXPECT_NE(firewall->EngineReason().find("\"Engine\" setting"), std::string::npos);
    ASSERT_EQ(notices_.size(), 1U);
    EXPECT_EQ(notices_[0].rfind("timer engine (1 ms) runs", 0), 0U);
    EXPECT_EQ(host_.watchedFd, -1);  // no reports asked for

    firewall->SetProtection(true);
    UniqueFd client = Connect("127.0.0.2", LocalPort(listener.Get()));
    ASSERT_TRUE(client.Valid());
    firewall->Tick();
    EXPECT_EQ(ConnectionError(client.Get()), ECONNABORTED);
    EXPECT_EQ(firewall->BlockedCount(), 1);
}

}  // namespace
}  // namespace corvane::engine
