// A second start of the program while a window runs: it asks the running window, through the
// one-instance lock's channel, to come back, and the window shows itself before it answers.
#include <QApplication>
#include <QTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/named_mutex.h"
#include "settings/settings_table.h"
#include "ui/main/frm_main.h"
#include "ui_test_support.h"

namespace corvane::ui {
namespace {

using namespace std::chrono_literals;
using platform::NamedMutex;
using testing::FakeService;
using testing::ScratchRoot;

constexpr int kGenerousMs = 20000;

class SecondStart : public ::testing::Test {
protected:
    void SetUp() override {
        testing::App();
        settings::EnsureSettingKey(settings::Setting::Tray);
        ASSERT_TRUE(settings::WriteSetting(settings::Setting::Tray, settings::RegistryVariant(std::string("0"))));
    }

    // The running program: its lock held and listening, its window shown.
    std::unique_ptr<FrmMain> StartFirst() {
        auto mutex = std::make_unique<NamedMutex>("Corvane");
        EXPECT_TRUE(mutex->Held());
        EXPECT_EQ(mutex->Listen(), "");
        auto window = std::make_unique<FrmMain>(root.path().string(), std::make_unique<FakeService>());
        window->HoldInstance(std::move(mutex));
        window->Create();
        return window;
    }

    // A second start's request, made on a thread of its own while this one runs the window's loop;
    // the request's result.
    int AskAsASecondStart(const char* token = "") {
        std::atomic<bool> done{false};
        int result = -1;
        std::thread second([&] {
            const NamedMutex mutex("Corvane");
            result = mutex.Held() ? -2 : platform::AskHolderToShow(mutex, token, 30s);
            done = true;
        });
        const bool ended = QTest::qWaitFor([&] { return done.load(); }, kGenerousMs);
        second.join();
        EXPECT_TRUE(ended);
        return result;
    }

    ScratchRoot root;
};

TEST_F(SecondStart, BringsTheMinimisedOrHiddenWindowBackBeforeItIsAnswered) {
    auto window = StartFirst();
    ASSERT_TRUE(window->isVisible());

    // Minimised on the task bar (no tray host).
    window->SetTrayHostProbe([] { return false; });
    window->setWindowState(Qt::WindowMinimized);
    ASSERT_TRUE(window->isMinimized());
    EXPECT_EQ(AskAsASecondStart(), 0);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isMinimized());

    // Hidden in the tray.
    window->SetTrayHostProbe([] { return true; });
    window->setWindowState(Qt::WindowMinimized);
    QApplication::processEvents();
    ASSERT_FALSE(window->isVisible());
    EXPECT_EQ(AskAsASecondStart("startup-token_1"), 0);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isMinimized());
}

TEST_F(SecondStart, ARequestThatIsNotOneIsRefusedAndChangesNothing) {
    auto window = StartFirst();
    window->hide();
    const NamedMutex second("Corvane");
    ASSERT_EQ(second.Result(), platform::kErrorAlreadyExists);
    const std::string path = platform::ChannelPathOf(second.HeldElsewherePath());
    for (const char* request : {"hello\n", "show two words\n", "show \x01\n"}) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ASSERT_LT(path.size(), sizeof address.sun_path);
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
        ASSERT_EQ(::write(fd, request, std::strlen(request)), static_cast<ssize_t>(std::strlen(request)));
        // The window closes the connection without an answer.
        std::atomic<bool> closed{false};
        std::thread reader([&] {
            char byte;
            closed = ::read(fd, &byte, 1) == 0;
        });
        const bool answered = QTest::qWaitFor([&] { return closed.load(); }, kGenerousMs);
        ::shutdown(fd, SHUT_RDWR);  // a reader still waiting is let go
        reader.join();
        ::close(fd);
        EXPECT_TRUE(answered && closed) << request;
        EXPECT_FALSE(window->isVisible()) << request;
    }
}

// Nobody to ask: a holder that does not listen (yet), or one that has ended and left its socket. The
// second start learns it at once, and after the holder's end it can take the lock itself.
TEST_F(SecondStart, WithNobodyListeningTheRequestFailsAtOnce) {
    {
        const NamedMutex holder("Corvane");
        ASSERT_TRUE(holder.Held());
        const NamedMutex second("Corvane");
        EXPECT_EQ(platform::AskHolderToShow(second, "", 30s), ENOENT);
    }
    {
        auto holder = std::make_unique<NamedMutex>("Corvane");
        ASSERT_EQ(holder->Listen(), "");
        EXPECT_EQ(holder->Channels().size(), 1u);
        const NamedMutex second("Corvane");
        ASSERT_FALSE(second.Held());
        // The holder's channel goes with it; the socket file stays behind.
        const std::string socket = platform::ChannelPathOf(second.HeldElsewherePath());
        holder.reset();
        EXPECT_EQ(platform::AskHolderToShow(second, "", 30s), ECONNREFUSED);
        EXPECT_TRUE(std::filesystem::exists(socket));
    }
    NamedMutex next("Corvane");
    EXPECT_TRUE(next.Held());
    EXPECT_EQ(next.Listen(), "");  // replaces the ended holder's socket
}

}  // namespace
}  // namespace corvane::ui
