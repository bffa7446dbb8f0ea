// The main window as a client of the protection service: start-up, the switch, the count in the
// caption and the tip, the service going and coming, the tray icon and close, with a service the test
// plays and a private settings store.
#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/message_box.h"
#include "platform/tray.h"
#include "settings/settings_table.h"
#include "ui/main/frm_main.h"
#include "ui/main/m_sys_tray.h"
#include "ui_test_support.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::ui {
namespace {

using namespace std::chrono_literals;
using platform::ServiceResult;
using platform::ServiceStatus;
using testing::App;
using testing::FakeService;
using testing::ScratchRoot;

class FrmMainTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        // Where a tray host is promised (the test script starts one), it must be found.
        if (std::getenv("CORVANE_REQUIRE_TRAY") != nullptr) {
            ASSERT_TRUE(platform::TrayHostAvailable());
        }
        previousBoxes = platform::SetMessageBoxInterceptor([this](const platform::MessageBoxRequest& request) {
            boxes.push_back(request);
            return platform::IDOK;
        });
    }
    void TearDown() override { platform::SetMessageBoxInterceptor(previousBoxes); }

    // Stores a setting the way the program itself would find it.
    static void Store(settings::Setting setting, const char* text) {
        settings::EnsureSettingKey(setting);
        ASSERT_TRUE(settings::WriteSetting(setting, settings::RegistryVariant(std::string(text))));
    }

    // Starts the window on `fake` (a connected, protecting service at count 0 unless the test changed it).
    std::unique_ptr<FrmMain> Start(std::unique_ptr<FakeService> fake = std::make_unique<FakeService>()) {
        service = fake.get();
        auto window = std::make_unique<FrmMain>(root.path().string(), std::move(fake));
        window->SetClock([this] { return now; });
        window->Create();
        return window;
    }

    static std::string Tip(const FrmMain& window) {
        return platform::QueryTrayIcon(window.TrayRecord().hWnd, window.TrayRecord().uID).tip;
    }
    static std::string Caption(const FrmMain& window) { return window.windowTitle().toStdString(); }
    static platform::IconHandle TrayIcon(const FrmMain& window) {
        return platform::QueryTrayIcon(window.TrayRecord().hWnd, window.TrayRecord().uID).icon;
    }
    bool MachineStoreTouched() const { return std::filesystem::exists(root.path() / "var/lib/corvane/hklm.db"); }

    ScratchRoot root;
    FakeService* service = nullptr;  // owned by the window
    std::chrono::steady_clock::time_point now{std::chrono::hours(1)};
    std::vector<platform::MessageBoxRequest> boxes;
    platform::MessageBoxInterceptor previousBoxes;
};

TEST_F(FrmMainTest, AConnectedServiceStartsProtectedInTheTrayWithItsCount) {
    auto fake = std::make_unique<FakeService>();
    fake->status.attempts = 17;
    auto window = Start(std::move(fake));
    const auto& record = window->TrayRecord();
    EXPECT_EQ(record.cbSize, 88u);
    EXPECT_EQ(record.uID, 1u);
    EXPECT_EQ(record.uFlags, 7u);
    EXPECT_EQ(record.uCallbackMessage, 512u);

    EXPECT_EQ(service->refreshes, 1) << "start-up reads the service's values once";
    EXPECT_TRUE(service->HasHandler());
    EXPECT_TRUE(window->ProtectionOn());
    EXPECT_EQ(Caption(*window), "Corvane - 17 Attempts Blocked");
    const auto icon = platform::QueryTrayIcon(record.hWnd, record.uID);
    ASSERT_TRUE(icon.exists);
    EXPECT_EQ(icon.icon, window->WindowIcon());
    EXPECT_EQ(icon.tip, "Corvane - 17 Attempts Blocked");
    // Hidden in the tray; without a tray host, hidden while the program waits for one.
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->WaitingForTrayHost(), !platform::TrayHostAvailable());
    // The window keeps nothing in the machine's store: the count and the switch are the service's.
    EXPECT_FALSE(MachineStoreTouched());
}

TEST_F(FrmMainTest, AServiceNotProtectingAndTheUsersTraySettingStartUnprotectedAndShown) {
    Store(settings::Setting::Tray, "0");
    auto fake = std::make_unique<FakeService>();
    fake->status.protection = false;
    auto window = Start(std::move(fake));
    EXPECT_FALSE(window->ProtectionOn());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(TrayIcon(*window), window->ProtectionOffIcon());
    EXPECT_EQ(window->BtnOn()->Caption().toStdString(), "OFF");
    EXPECT_EQ(Caption(*window), "Corvane - 0 Attempts Blocked");
}

TEST_F(FrmMainTest, CountChangesFromTheServiceReachCaptionAndTip) {
    auto window = Start();
    now += 1s;
    service->Change([](ServiceStatus& s) { s.attempts = 1; });
    EXPECT_EQ(Caption(*window), "Corvane - 1 Attempts blocked");
    EXPECT_EQ(Tip(*window), "Corvane - 1 Attempts blocked");

    // Another value's change leaves the caption as it is.
    now += 1s;
    service->Change([](ServiceStatus& s) { s.definitionsVersion = "105"; });
    EXPECT_EQ(Caption(*window), "Corvane - 1 Attempts blocked");

    // Changes closer together than the interval: the latest shows once the interval is over.
    service->Change([](ServiceStatus& s) { s.attempts = 2; });
    EXPECT_EQ(Caption(*window), "Corvane - 2 Attempts blocked");
    now += 10ms;
    service->Change([](ServiceStatus& s) { s.attempts = 3; });
    service->Change([](ServiceStatus& s) { s.attempts = 4; });
    EXPECT_EQ(Caption(*window), "Corvane - 2 Attempts blocked");
    now += FrmMain::kCaptionInterval;
    EXPECT_TRUE(QTest::qWaitFor([&] { return Caption(*window) == "Corvane - 4 Attempts blocked"; }, 5000));
    EXPECT_EQ(Tip(*window), "Corvane - 4 Attempts blocked");
}

// A storm of blocks: one change a millisecond for a second. The caption and the tip change at most
// 20 times in that second, never closer together than the interval, and end on the exact count.
TEST_F(FrmMainTest, AStormOfCountChangesUpdatesTheCaptionAtMostTwentyTimesASecond) {
    auto window = Start();
    std::vector<std::chrono::steady_clock::time_point> updates;
    QObject::connect(window.get(), &QWidget::windowTitleChanged, [&] { updates.push_back(now); });
    now += 1s;
    const auto stormStart = now;
    constexpr int kChanges = 1000;
    for (int i = 1; i <= kChanges; ++i) {
        now += 1ms;
        service->Change([i](ServiceStatus& s) { s.attempts = i; });
        QApplication::processEvents();
    }
    now += FrmMain::kCaptionInterval;
    ASSERT_TRUE(QTest::qWaitFor([&] { return Caption(*window) == "Corvane - 1000 Attempts blocked"; }, 5000));
    EXPECT_EQ(Tip(*window), "Corvane - 1000 Attempts blocked");

    ASSERT_FALSE(updates.empty());
    for (std::size_t i = 1; i < updates.size(); ++i)
        EXPECT_GE(updates[i] - updates[i - 1], FrmMain::kCaptionInterval) << "update " << i;
    const auto inTheStorm = std::count_if(updates.begin(), updates.end(),
                                          [&](auto at) { return at >= stormStart && at < stormStart + 1s; });
    EXPECT_LE(inTheStorm, 20);
    // The count kept moving in the caption during the storm, not only at its end.
    EXPECT_GE(inTheStorm, 10);
}

TEST_F(FrmMainTest, ProtectionChangedElsewhereFlipsTheSwitchAndTheIconButNotTheTip) {
    auto window = Start();
    auto* on = window->BtnOn();
    ASSERT_NE(on, nullptr);
    const std::string tip = Tip(*window);

    // Another window or corvanectl turns protection off.
    service->Change([](ServiceStatus& s) { s.protection = false; });
    EXPECT_FALSE(window->ProtectionOn());
    EXPECT_EQ(on->Caption().toStdString(), "OFF");
    EXPECT_EQ(on->BackColor(), 0xC0u);
    EXPECT_FALSE(on->Value());
    EXPECT_EQ(TrayIcon(*window), window->ProtectionOffIcon());
    EXPECT_EQ(Tip(*window), tip);

    service->Change([](ServiceStatus& s) { s.protection = true; });
    EXPECT_TRUE(window->ProtectionOn());
    EXPECT_EQ(on->Caption().toStdString(), "ON");
    EXPECT_EQ(TrayIcon(*window), window->WindowIcon());
    EXPECT_EQ(Tip(*window), tip);
    EXPECT_TRUE(service->setRequests.empty()) << "following the service asks it nothing";
}

TEST_F(FrmMainTest, TheSwitchAsksTheServiceAndWritesNothingItself) {
    auto window = Start();
    window->SetProtection(false);
    EXPECT_EQ(service->setRequests, std::vector<bool>{false});
    EXPECT_FALSE(window->ProtectionOn());
    EXPECT_EQ(TrayIcon(*window), window->ProtectionOffIcon());
    // The service's own report follows and agrees: nothing flips back.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !service->status.protection; }, 5000));
    EXPECT_FALSE(window->ProtectionOn());

    window->SetProtection(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return service->status.protection; }, 5000));
    EXPECT_TRUE(window->ProtectionOn());
    EXPECT_EQ(TrayIcon(*window), window->WindowIcon());
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(MachineStoreTouched());
}

TEST_F(FrmMainTest, ARefusedOrUnreachableSwitchShowsOffAndSaysWhy) {
    auto window = Start();
    ASSERT_TRUE(window->ProtectionOn());

    // The service turns this user away.
    service->setAnswer = {ServiceResult::Code::kRefused, "Only members of the group corvane may do that."};
    service->afterFailedSet = [](ServiceStatus& s) {
        s.link = ServiceStatus::Link::kRefused;
        s.problem = "Only members of the group corvane may do that.";
    };
    window->SetProtection(false);
    EXPECT_EQ(service->setRequests, std::vector<bool>{false});
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Only members of the group corvane may do that.");
    EXPECT_EQ(boxes[0].title, "Corvane");
    EXPECT_FALSE(window->ProtectionOn());
    EXPECT_EQ(window->BtnOn()->Caption().toStdString(), "OFF");
    EXPECT_EQ(TrayIcon(*window), window->ProtectionOffIcon());
    EXPECT_EQ(Caption(*window), "Corvane - not protected: the service refuses this user");
    EXPECT_EQ(Tip(*window), "Corvane - not protected: the service refuses this user");

    // Turning it on while the service is gone: still off, and the reason once more.
    service->setAnswer = {ServiceResult::Code::kUnreachable, "The protection service is not running."};
    service->afterFailedSet = [](ServiceStatus& s) { s.link = ServiceStatus::Link::kUnreachable; };
    window->SetProtection(true);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, "The protection service is not running.");
    EXPECT_FALSE(window->ProtectionOn());
    EXPECT_FALSE(window->BtnOn()->Value());
    EXPECT_EQ(TrayIcon(*window), window->ProtectionOffIcon());
    EXPECT_EQ(Caption(*window), "Corvane - not protected: the service is not running");

    // A failure of a service still there: the switch shows what the service does.
    service->status.link = ServiceStatus::Link::kConnected;
    service->status.protection = true;
    service->setAnswer = {ServiceResult::Code::kFailed, "Protection could not be turned off."};
    service->afterFailedSet = nullptr;
    window->SetProtection(false);
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[2].text, "Protection could not be turned off.");
    EXPECT_TRUE(window->ProtectionOn());
    EXPECT_EQ(Caption(*window), "Corvane - 0 Attempts Blocked");
}

TEST_F(FrmMainTest, WithoutTheServiceTheWindowSaysNotProtectedAndFollowsItWhenItComes) {
    auto window = Start(testing::UnreachableService());
    EXPECT_FALSE(window->ProtectionOn());
    EXPECT_EQ(window->BtnOn()->Caption().toStdString(), "OFF");
    EXPECT_EQ(TrayIcon(*window), window->ProtectionOffIcon());
    EXPECT_EQ(Caption(*window), "Corvane - not protected: the service is not running");
    EXPECT_EQ(Tip(*window), "Corvane - not protected: the service is not running");

    // Whatever else reaches the window while the service is away, no count shows.
    now += 1s;
    service->Change([](ServiceStatus& s) {
        s.attempts = 5;
        s.protection = true;
    });
    EXPECT_EQ(Caption(*window), "Corvane - not protected: the service is not running");
    EXPECT_FALSE(window->ProtectionOn());

    // The service starts: the window follows it.
    service->Change([](ServiceStatus& s) {
        s.link = ServiceStatus::Link::kConnected;
        s.problem.clear();
        s.attempts = 12;
    });
    EXPECT_TRUE(window->ProtectionOn());
    EXPECT_EQ(window->BtnOn()->Caption().toStdString(), "ON");
    EXPECT_EQ(TrayIcon(*window), window->WindowIcon());
    EXPECT_EQ(Caption(*window), "Corvane - 12 Attempts Blocked");

    // It ends and restarts with the same count: the same caption again; with a new count, the new one.
    service->Change([](ServiceStatus& s) { s.link = ServiceStatus::Link::kUnreachable; });
    EXPECT_FALSE(window->ProtectionOn());
    EXPECT_EQ(Caption(*window), "Corvane - not protected: the service is not running");
    service->Change([](ServiceStatus& s) { s.link = ServiceStatus::Link::kConnected; });
    EXPECT_EQ(Caption(*window), "Corvane - 12 Attempts Blocked");
    service->Change([](ServiceStatus& s) { s.link = ServiceStatus::Link::kUnreachable; });
    now += 1s;
    service->Change([](ServiceStatus& s) {
        s.link = ServiceStatus::Link::kConnected;
        s.attempts = 13;
    });
    EXPECT_EQ(Caption(*window), "Corvane - 13 Attempts blocked");
    EXPECT_EQ(Tip(*window), "Corvane - 13 Attempts blocked");
}

// The service protects but the kernel refuses its teardowns: the window says so in the caption, the tip
// and the icon for as long as it lasts, the switch stays on, and the count comes back when it works.
TEST_F(FrmMainTest, ProtectionThatIsNotWorkingIsSaidUntilItWorksAgain) {
    auto fake = std::make_unique<FakeService>();
    fake->status.attempts = 7;
    fake->status.protectionProblem = "the kernel refuses to tear connections down (CAP_NET_ADMIN is missing)";
    auto window = Start(std::move(fake));
    EXPECT_TRUE(window->ProtectionOn());
    EXPECT_EQ(window->BtnOn()->Caption().toStdString(), "ON");
    EXPECT_EQ(Caption(*window), "Corvane - not protected: the kernel refuses teardowns");
    EXPECT_EQ(Tip(*window), "Corvane - not protected: the kernel refuses teardowns");
    EXPECT_EQ(TrayIcon(*window), window->ProtectionOffIcon());

    // Switched off and on again elsewhere: the icon stays off while nothing works.
    service->Change([](ServiceStatus& s) { s.protection = false; });
    EXPECT_FALSE(window->ProtectionOn());
    EXPECT_EQ(Caption(*window), "Corvane - 7 Attempts Blocked") << "off is not a fault";
    service->Change([](ServiceStatus& s) { s.protection = true; });
    EXPECT_EQ(TrayIcon(*window), window->ProtectionOffIcon());
    EXPECT_EQ(Caption(*window), "Corvane - not protected: the kernel refuses teardowns");

    // Teardowns work again and one is counted: the count shows at once.
    now += 1s;
    service->Change([](ServiceStatus& s) {
        s.protectionProblem.clear();
        s.attempts = 8;
    });
    EXPECT_EQ(Caption(*window), "Corvane - 8 Attempts blocked");
    EXPECT_EQ(Tip(*window), "Corvane - 8 Attempts blocked");
    EXPECT_EQ(TrayIcon(*window), window->WindowIcon());
}

TEST_F(FrmMainTest, ClicksOnTheTrayIconRestoreTheWindowPointerMovesDoNot) {
    auto window = Start();
    const auto handle = window->TrayRecord().hWnd;
    window->hide();

    for (std::uint32_t message : {512u, 520u, 521u}) {
        platform::DeliverTrayActivation(handle, 1, message);
        EXPECT_FALSE(window->isVisible()) << message;
    }
    for (std::uint32_t message = 513; message <= 519; ++message) {
        window->hide();
        platform::DeliverTrayActivation(handle, 1, message);
        EXPECT_TRUE(window->isVisible()) << message;
        EXPECT_FALSE(window->isMinimized()) << message;
    }
}

TEST_F(FrmMainTest, MinimisingHidesTheWindowAndKeepsTheIcon) {
    Store(settings::Setting::Tray, "0");
    auto window = Start();
    window->SetTrayHostProbe([] { return true; });
    ASSERT_TRUE(window->isVisible());
    window->setWindowState(Qt::WindowMinimized);
    QApplication::processEvents();
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(platform::QueryTrayIcon(window->TrayRecord().hWnd, 1).exists);
}

// Without a tray host a hidden window has no way back: minimised, it stays on the task bar, and a
// second start (Activate) or a host's click brings it back.
TEST_F(FrmMainTest, WithoutATrayHostMinimisingLeavesTheWindowOnTheTaskBar) {
    Store(settings::Setting::Tray, "0");
    auto window = Start();
    bool host = false;
    window->SetTrayHostProbe([&host] { return host; });
    window->setWindowState(Qt::WindowMinimized);
    QApplication::processEvents();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isMinimized());
    window->Activate();
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isMinimized());

    // A host that came meanwhile: minimising hides again, and Activate shows the hidden window.
    host = true;
    window->setWindowState(Qt::WindowMinimized);
    QApplication::processEvents();
    EXPECT_FALSE(window->isVisible());
    window->Activate();
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isMinimized());
}

// The size is fixed: the frame offers Minimize and Close, not Maximize.
TEST_F(FrmMainTest, TheFrameOffersNoMaximize) {
    Store(settings::Setting::Tray, "0");
    auto window = Start();
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowFullscreenButtonHint);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(flags & Qt::WindowTitleHint);
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
}

// Without a tray host the hidden window would have no way back: after the wait it shows itself.
TEST_F(FrmMainTest, WithoutATrayHostTheWindowShowsAfterTheWait) {
    if (platform::TrayHostAvailable()) GTEST_SKIP() << "a tray host is running on this display";
    auto window = Start();
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(window->WaitingForTrayHost());
    QTest::qWait(static_cast<int>(FrmMain::kTrayHostWait.count() / 2));
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->isVisible(); }, static_cast<int>(FrmMain::kTrayHostWait.count())));
    EXPECT_FALSE(window->WaitingForTrayHost());
    EXPECT_FALSE(window->isMinimized());
}

TEST_F(FrmMainTest, ClosingRemovesTheIconAndStopsFollowingTheService) {
    auto window = Start();
    now += 1s;
    service->Change([](ServiceStatus& s) { s.attempts = 43; });
    ASSERT_EQ(Caption(*window), "Corvane - 43 Attempts blocked");

    const auto record = window->TrayRecord();
    window->close();
    EXPECT_FALSE(platform::QueryTrayIcon(record.hWnd, record.uID).exists);
    EXPECT_FALSE(service->HasHandler());
    EXPECT_TRUE(service->setRequests.empty()) << "closing leaves protection to the service";
    EXPECT_FALSE(MachineStoreTouched());
}

}  // namespace
}  // namespace corvane::ui

namespace corvane::ui {
namespace {

class FrmMainControlsTest : public FrmMainTest {
protected:
    buttons::zqButtons_H* Button(const FrmMain& window, const char* name) {
        return window.Controls().Find<buttons::zqButtons_H>(QString::fromLatin1(name));
    }
    static void ClickOn(buttons::zqButtons_H& button) {
        button.HostMouseDown(1, 0, 5, 5);
        button.HostMouseUp(1, 0, 5, 5);
        button.HostClick();
    }
};

TEST_F(FrmMainControlsTest, TheFormDescriptionBuildsEveryControlInPlace) {
    auto window = Start();
    const struct {
        const char* name;
        const char* caption;
        QRect place;
    } expected[] = {
        {"BtnOn", "ON", QRect(8, 8, 153, 233)},
        {"BtnOptions", "&Options", QRect(192, 64, 225, 33)},
        {"BtnUpdate", "&Update", QRect(192, 64, 225, 33)},
        {"BtnTray", "&Tray", QRect(288, 248, 97, 33)},
        {"BtnExit", "&Exit", QRect(392, 248, 97, 33)},
        {"BtnHelp", "&Help", QRect(496, 248, 97, 33)},
    };
    for (const auto& control : expected) {
        auto* button = Button(*window, control.name);
        ASSERT_NE(button, nullptr) << control.name;
        EXPECT_EQ(button->Caption().toStdString(), control.caption) << control.name;
        EXPECT_EQ(button->geometry(), control.place) << control.name;
        EXPECT_EQ(button->ButtonStyle(), 7) << control.name;
        EXPECT_EQ(button->Font().family().toStdString(), "Verdana") << control.name;
    }
    // The command buttons carry their pictures, shown at 24 pixels.
    EXPECT_NE(Button(*window, "BtnExit")->Picture(), nullptr);
    EXPECT_EQ(Button(*window, "BtnExit")->PicturePixelSize(), 24);
    EXPECT_EQ(Button(*window, "BtnOn")->Mode(), 1);
    EXPECT_EQ(window->size(), QSize(603, 289));
}

TEST_F(FrmMainControlsTest, TheSwitchTurnsProtectionOffAndOnAgainThroughTheService) {
    auto window = Start();
    auto* on = Button(*window, "BtnOn");
    ASSERT_NE(on, nullptr);
    ASSERT_TRUE(on->Value());
    EXPECT_EQ(on->BackColor(), 0xC000);

    ClickOn(*on);
    EXPECT_EQ(service->setRequests, std::vector<bool>{false});
    EXPECT_FALSE(window->ProtectionOn());
    EXPECT_EQ(on->Caption().toStdString(), "OFF");
    EXPECT_EQ(on->BackColor(), 0xC0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !service->status.protection; }, 5000));

    ClickOn(*on);
    EXPECT_EQ(service->setRequests, (std::vector<bool>{false, true}));
    EXPECT_TRUE(window->ProtectionOn());
    EXPECT_EQ(on->Caption().toStdString(), "ON");
    ASSERT_TRUE(QTest::qWaitFor([&] { return service->status.protection; }, 5000));
    EXPECT_TRUE(on->Value());

    // Clicked while the service is gone: back to OFF, with the reason.
    service->setAnswer = {ServiceResult::Code::kUnreachable, "The protection service is not running."};
    service->afterFailedSet = [](ServiceStatus& s) { s.link = ServiceStatus::Link::kUnreachable; };
    ClickOn(*on);  // off: refused
    ClickOn(*on);  // on: refused
    EXPECT_EQ(service->setRequests, (std::vector<bool>{false, true, false, true}));
    EXPECT_FALSE(on->Value());
    EXPECT_EQ(on->Caption().toStdString(), "OFF");
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, "The protection service is not running.");
}

// A start in the tray builds the window's controls only when the window first shows: they must come
// with the switch as the service has it, and the caption with its count.
TEST_F(FrmMainControlsTest, TheWindowFirstShownFromTheTrayHasTheServicesSwitchAndCount) {
    // Protection on: the form's own design shows the switch "OFF" and red.
    auto fake = std::make_unique<FakeService>();
    fake->status.attempts = 3;
    auto window = Start(std::move(fake));
    ASSERT_FALSE(window->isVisible());
    platform::DeliverTrayActivation(window->TrayRecord().hWnd, 1, 513);
    ASSERT_TRUE(window->isVisible());
    EXPECT_EQ(Caption(*window), "Corvane - 3 Attempts Blocked");
    auto* on = Button(*window, "BtnOn");
    ASSERT_NE(on, nullptr);
    EXPECT_TRUE(on->isVisible());
    EXPECT_TRUE(on->Value());
    EXPECT_EQ(on->Caption().toStdString(), "ON");
    EXPECT_EQ(on->BackColor(), 0xC000);
    ASSERT_NE(Button(*window, "BtnExit"), nullptr);
    EXPECT_TRUE(Button(*window, "BtnExit")->isVisible());

    // The switch works on the controls built then.
    ClickOn(*on);
    EXPECT_FALSE(window->ProtectionOn());
    EXPECT_EQ(on->Caption().toStdString(), "OFF");
}

TEST_F(FrmMainControlsTest, TrayHidesTheWindowAndExitClosesTheProgram) {
    Store(settings::Setting::Tray, "0");
    auto window = Start();
    window->SetTrayHostProbe([] { return true; });
    ASSERT_TRUE(window->isVisible());
    ClickOn(*Button(*window, "BtnTray"));
    QApplication::processEvents();
    EXPECT_FALSE(window->isVisible());

    const auto record = window->TrayRecord();
    ClickOn(*Button(*window, "BtnExit"));
    EXPECT_FALSE(platform::QueryTrayIcon(record.hWnd, record.uID).exists);
    EXPECT_FALSE(service->HasHandler());
    EXPECT_TRUE(service->setRequests.empty());
}

TEST_F(FrmMainControlsTest, WithoutATrayHostTrayMinimisesToTheTaskBar) {
    Store(settings::Setting::Tray, "0");
    auto window = Start();
    window->SetTrayHostProbe([] { return false; });
    ClickOn(*Button(*window, "BtnTray"));
    QApplication::processEvents();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isMinimized());
}

}  // namespace
}  // namespace corvane::ui
