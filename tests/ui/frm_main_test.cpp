// The main window's start-up, tray icon, count and close, with a scripted connection table and a
// private settings store.
#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdlib>
#include <string>

#include "platform/tray.h"
#include "settings/settings_table.h"
#include "ui/main/frm_main.h"
#include "ui/main/m_sys_tray.h"
#include "ui_test_support.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::ui {
namespace {

using testing::App;
using testing::Connection;
using testing::ScratchRoot;
using testing::ScriptedNetwork;

class FrmMainTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        // Where a tray host is promised (the test script starts one), it must be found.
        if (std::getenv("CORVANE_REQUIRE_TRAY") != nullptr) {
            ASSERT_TRUE(platform::TrayHostAvailable());
        }
        testing::WriteDefinitions(root.path(), "V105\r\n127.0.0.9\r\n10.1.2.3\r\n");
    }

    // Stores a setting the way the program itself would find it.
    static void Store(settings::Setting setting, const char* text) {
        settings::EnsureSettingKey(setting);
        ASSERT_TRUE(settings::WriteSetting(setting, settings::RegistryVariant(std::string(text))));
    }

    std::unique_ptr<FrmMain> Start() {
        auto window = std::make_unique<FrmMain>(
            root.path().string(), [this](engine::ScanHost& host) { return testing::MakeFirewall(network, host); });
        window->Create();
        return window;
    }

    static std::string Tip(const FrmMain& window) {
        return platform::QueryTrayIcon(window.TrayRecord().hWnd, window.TrayRecord().uID).tip;
    }

    ScratchRoot root;
    ScriptedNetwork network;
};

TEST_F(FrmMainTest, FreshSystemStartsProtectedInTheTrayWithCountZero) {
    auto window = Start();
    const auto& record = window->TrayRecord();
    EXPECT_EQ(record.cbSize, 88u);
    EXPECT_EQ(record.uID, 1u);
    EXPECT_EQ(record.uFlags, 7u);
    EXPECT_EQ(record.uCallbackMessage, 512u);

    EXPECT_TRUE(window->ProtectionOn());
    EXPECT_EQ(window->windowTitle().toStdString(), "Corvane - 0 Attempts Blocked");
    const auto icon = platform::QueryTrayIcon(record.hWnd, record.uID);
    ASSERT_TRUE(icon.exists);
    EXPECT_EQ(icon.icon, window->WindowIcon());
    EXPECT_EQ(icon.tip, "Corvane - 0 Attempts Blocked");
    // Hidden in the tray; without a tray host, hidden while the program waits for one.
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->WaitingForTrayHost(), !platform::TrayHostAvailable());

    // The definitions were loaded from the program folder, and start-up made the settings key.
    EXPECT_EQ(window->Firewall().DefsVersion(), "105");
    EXPECT_EQ(window->Firewall().BlockList().size(), 2u);
    settings::RegistryRoutines registry;
    registry.set_hkey(settings::kHkeyLocalMachine);
    registry.set_KeyRoot("Software\\Corvane");
    EXPECT_TRUE(registry.KeyExists());
}

TEST_F(FrmMainTest, StoredOffAndVisibleStartsUnprotectedAndShown) {
    Store(settings::Setting::Run, "0");
    Store(settings::Setting::Tray, "0");
    auto window = Start();
    EXPECT_FALSE(window->ProtectionOn());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(platform::QueryTrayIcon(window->TrayRecord().hWnd, 1).icon, window->ProtectionOffIcon());

    // With protection off the timer does not scan: a listed connection survives ticks.
    network.rows = {Connection("127.0.0.9", 1)};
    QTest::qWait(30);
    EXPECT_TRUE(network.tornDown.empty());
}

TEST_F(FrmMainTest, OnlyRunOneMeansProtection) {
    Store(settings::Setting::Run, "2");
    EXPECT_FALSE(Start()->ProtectionOn());
}

TEST_F(FrmMainTest, StoredCountShowsUntilTheFirstBlockThenTheScanRewritesIt) {
    Store(settings::Setting::Attempts, "17");
    auto window = Start();
    EXPECT_EQ(window->windowTitle().toStdString(), "Corvane - 17 Attempts Blocked");
    EXPECT_EQ(Tip(*window), "Corvane - 17 Attempts Blocked");

    network.rows = {Connection("10.9.9.9", 1), Connection("127.0.0.9", 2)};
    network.opens += 2;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !network.tornDown.empty(); }, 2000));
    EXPECT_EQ(network.tornDown.front().cookie, 2u);
    EXPECT_EQ(window->windowTitle().toStdString(), "Corvane - 18 Attempts blocked");
    EXPECT_EQ(Tip(*window), "Corvane - 18 Attempts blocked");
}

TEST_F(FrmMainTest, SwitchingChangesTimerIconAndRunButNotTheTip) {
    auto window = Start();
    const std::string tipBefore = Tip(*window);

    window->SetProtection(false);
    EXPECT_FALSE(window->ProtectionOn());
    EXPECT_EQ(platform::QueryTrayIcon(window->TrayRecord().hWnd, 1).icon, window->ProtectionOffIcon());
    EXPECT_EQ(settings::ToText(settings::ReadSetting(settings::Setting::Run)), "0");
    EXPECT_EQ(Tip(*window), tipBefore);

    window->SetProtection(true);
    EXPECT_EQ(platform::QueryTrayIcon(window->TrayRecord().hWnd, 1).icon, window->WindowIcon());
    EXPECT_EQ(settings::ToText(settings::ReadSetting(settings::Setting::Run)), "1");
    EXPECT_EQ(Tip(*window), tipBefore);
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
    ASSERT_TRUE(window->isVisible());
    window->setWindowState(Qt::WindowMinimized);
    QApplication::processEvents();
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(platform::QueryTrayIcon(window->TrayRecord().hWnd, 1).exists);
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

// The count is written while the program runs, not only when it closes, so a crash keeps all but the
// last second.
TEST_F(FrmMainTest, TheCountIsSavedWhileRunning) {
    Store(settings::Setting::Attempts, "5");
    auto window = Start();
    network.rows = {Connection("127.0.0.9", 1), Connection("10.1.2.3", 2), Connection("10.0.0.1", 3)};
    network.opens += 3;
    ASSERT_TRUE(QTest::qWaitFor([&] { return network.tornDown.size() == 2; }, 2000));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return settings::ToText(settings::ReadSetting(settings::Setting::Attempts)) == "7"; },
                        static_cast<int>(FrmMain::kCountSaveDelay.count() * 5)));
    EXPECT_TRUE(platform::QueryTrayIcon(window->TrayRecord().hWnd, 1).exists);
}

TEST_F(FrmMainTest, ClosingSavesTheCountAndRemovesTheIcon) {
    Store(settings::Setting::Attempts, "41");
    auto window = Start();
    network.rows = {Connection("127.0.0.9", 7), Connection("127.0.0.9", 8)};
    network.opens += 2;
    ASSERT_TRUE(QTest::qWaitFor([&] { return network.tornDown.size() == 2; }, 2000));
    EXPECT_EQ(window->windowTitle().toStdString(), "Corvane - 43 Attempts blocked");

    const auto record = window->TrayRecord();
    window->close();
    EXPECT_FALSE(platform::QueryTrayIcon(record.hWnd, record.uID).exists);
    EXPECT_EQ(settings::ToText(settings::ReadSetting(settings::Setting::Attempts)), "43");
}

TEST_F(FrmMainTest, WithTheEventEngineReportsBlockAndTheTimerStaysOff) {
    testing::ScriptedReports reports;
    auto window = std::make_unique<FrmMain>(root.path().string(), [&](engine::ScanHost& host) {
        return testing::MakeEventFirewall(network, reports, host);
    });
    window->Create();
    ASSERT_EQ(window->Firewall().Engine(), engine::EngineKind::kEvents);
    EXPECT_TRUE(reports.active);

    // No timer: a listed connection the counters announce is left to its report.
    network.rows = {Connection("127.0.0.9", 3)};
    network.opens += 1;
    QTest::qWait(30);
    EXPECT_TRUE(network.tornDown.empty());

    // Its report arrives through the window's message loop.
    platform::ConnectionEvent report;
    report.row = network.rows.front();
    report.row.dwLocalPort = htons(40000);
    reports.Post(report);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !network.tornDown.empty(); }, 2000));
    EXPECT_EQ(network.tornDown.front().cookie, 3u);
    EXPECT_EQ(window->windowTitle().toStdString(), "Corvane - 1 Attempts blocked");

    // The switch turns the reports off and on.
    window->SetProtection(false);
    EXPECT_FALSE(reports.active);
    window->SetProtection(true);
    EXPECT_TRUE(reports.active);
}

TEST_F(FrmMainTest, WithTheEventEngineABlockDuringStartUpAddsToTheStoredCount) {
    Store(settings::Setting::Attempts, "17");
    // Already open when the program starts: the event engine's first scan, inside start-up, takes it.
    network.rows = {Connection("127.0.0.9", 4)};
    testing::ScriptedReports reports;
    auto window = std::make_unique<FrmMain>(root.path().string(), [&](engine::ScanHost& host) {
        return testing::MakeEventFirewall(network, reports, host);
    });
    window->Create();
    ASSERT_EQ(network.tornDown.size(), 1u);
    EXPECT_EQ(window->Firewall().BlockedCount(), 18);
    EXPECT_EQ(window->windowTitle().toStdString(), "Corvane - 18 Attempts blocked");
    window->close();
    EXPECT_EQ(settings::ToText(settings::ReadSetting(settings::Setting::Attempts)), "18");
}

TEST_F(FrmMainTest, ClosingDuringAScanTearsDownNothingAfterTheCountIsSaved) {
    Store(settings::Setting::Attempts, "41");
    auto window = Start();
    FrmMain* target = window.get();
    // The close arrives while the scan yields before its first row.
    bool closeQueued = false;
    network.onRead = [&] {
        if (closeQueued || network.rows.empty()) return;
        closeQueued = true;
        QMetaObject::invokeMethod(target, &QWidget::close, Qt::QueuedConnection);
    };
    network.rows = {Connection("127.0.0.9", 7), Connection("127.0.0.9", 8), Connection("10.1.2.3", 9)};
    network.opens += 3;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->TrayIconAdded() && closeQueued; }, 2000));
    QTest::qWait(20);
    EXPECT_TRUE(network.tornDown.empty());
    EXPECT_EQ(window->Firewall().BlockedCount(), 41);
    EXPECT_EQ(settings::ToText(settings::ReadSetting(settings::Setting::Attempts)), "41");
    EXPECT_FALSE(platform::QueryTrayIcon(window->TrayRecord().hWnd, window->TrayRecord().uID).exists);
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

TEST_F(FrmMainControlsTest, TheSwitchTurnsProtectionOffAndOnAgain) {
    auto window = Start();
    auto* on = Button(*window, "BtnOn");
    ASSERT_NE(on, nullptr);
    ASSERT_TRUE(on->Value());
    EXPECT_EQ(on->BackColor(), 0xC000);

    ClickOn(*on);
    EXPECT_FALSE(window->ProtectionOn());
    EXPECT_EQ(on->Caption().toStdString(), "OFF");
    EXPECT_EQ(on->BackColor(), 0xC0);
    EXPECT_EQ(settings::ToText(settings::ReadSetting(settings::Setting::Run)), "0");
    // Protection off: a listed connection is left alone.
    network.rows = {Connection("127.0.0.9", 1)};
    network.opens += 1;
    QTest::qWait(20);
    EXPECT_TRUE(network.tornDown.empty());

    ClickOn(*on);
    EXPECT_TRUE(window->ProtectionOn());
    EXPECT_EQ(on->Caption().toStdString(), "ON");
    EXPECT_EQ(settings::ToText(settings::ReadSetting(settings::Setting::Run)), "1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !network.tornDown.empty(); }, 2000));
}

// A start in the tray builds the window's controls only when the window first shows: they must come
// with the switch as loaded, and the caption with its count.
TEST_F(FrmMainControlsTest, TheWindowFirstShownFromTheTrayHasTheLoadedSwitchAndCount) {
    // Protection on (the default): the form's own design shows the switch "OFF" and red.
    Store(settings::Setting::Attempts, "3");
    auto window = Start();
    ASSERT_FALSE(window->isVisible());
    platform::DeliverTrayActivation(window->TrayRecord().hWnd, 1, 513);
    ASSERT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle().toStdString(), "Corvane - 3 Attempts Blocked");
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
    ASSERT_TRUE(window->isVisible());
    ClickOn(*Button(*window, "BtnTray"));
    QApplication::processEvents();
    EXPECT_FALSE(window->isVisible());

    window->Firewall().SetBlockedCount(9);
    const auto record = window->TrayRecord();
    ClickOn(*Button(*window, "BtnExit"));
    EXPECT_FALSE(platform::QueryTrayIcon(record.hWnd, record.uID).exists);
    EXPECT_EQ(settings::ToText(settings::ReadSetting(settings::Setting::Attempts)), "9");
}

}  // namespace
}  // namespace corvane::ui
