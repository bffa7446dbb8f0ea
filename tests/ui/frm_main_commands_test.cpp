// The main window as built from its form description, control by control, and its Options, Update and
// Help commands, driven by mouse clicks.
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QJsonObject>
#include <QLabel>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/message_box.h"
#include "platform/win32_error.h"
#include "settings/settings_table.h"
#include "ui/main/form_loader.h"
#include "ui/main/frm_main.h"
#include "ui/main/resources.h"
#include "ui/options/frm_all.h"
#include "ui_test_support.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::ui {
namespace {

using settings::Setting;
using testing::App;
using testing::FakeService;
using testing::ScratchRoot;

class FrmMainCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        settings::EnsureSettingKey(Setting::Tray);
        ASSERT_TRUE(settings::WriteSetting(Setting::Tray, std::string("0")));  // start shown
        previous = platform::SetMessageBoxInterceptor([this](const platform::MessageBoxRequest& request) {
            boxes.push_back(request);
            return platform::IDOK;
        });
        auto fake = std::make_unique<FakeService>();
        service = fake.get();
        window = std::make_unique<FrmMain>(root.path().string(), std::move(fake));
        window->Create();
        QApplication::setActiveWindow(window.get());
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    void TearDown() override {
        window.reset();
        platform::SetMessageBoxInterceptor(previous);
        if (!path.empty()) ::setenv("PATH", path.c_str(), 1);
    }

    template <typename Control>
    Control* Find(const char* name) const {
        return window->Controls().Find<Control>(QString::fromLatin1(name));
    }

    static void Click(QWidget* control) {
        ASSERT_NE(control, nullptr);
        QTest::mouseClick(control, Qt::LeftButton, Qt::NoModifier, QPoint(8, control->height() / 2));
    }

    // Clicks `button` on the main window; while the modal window it opens is up, `inspect` looks at it
    // and then it is closed with a click on its Close button.
    void ClickAndInspectModal(const char* button, const std::function<void(FrmAll&)>& inspect) {
        bool seen = false;
        std::function<void()> poll;
        poll = [&] {
            auto* modal = qobject_cast<FrmAll*>(QApplication::activeModalWidget());
            if (modal == nullptr || !modal->isVisible()) {
                QTimer::singleShot(5, poll);
                return;
            }
            seen = true;
            inspect(*modal);
            Click(modal->BtnClose());
        };
        QTimer::singleShot(0, poll);
        Click(Find<buttons::zqButtons_H>(button));
        EXPECT_TRUE(seen);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }

    // Replaces PATH by a folder of our own for the rest of the test.
    std::filesystem::path PrivatePath() {
        path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
        const auto folder = root.path() / "bin";
        std::filesystem::create_directories(folder);
        ::setenv("PATH", folder.c_str(), 1);
        return folder;
    }

    ScratchRoot root;
    FakeService* service = nullptr;  // owned by the window
    std::unique_ptr<FrmMain> window;
    std::vector<platform::MessageBoxRequest> boxes;
    platform::MessageBoxInterceptor previous;
    std::string path;
};

TEST_F(FrmMainCommandsTest, EveryControlStandsWhereTheLayoutPutsItWithItsCaptionAndLook) {
    EXPECT_EQ(window->size(), QSize(603, 289));
    struct Frame {
        const char* name;
        const char* caption;
        QRect place;
        const char* text;
        const char* button;
        const char* buttonCaption;
    };
    for (const Frame& frame :
         {Frame{"Frame1", "Options", QRect(168, 8, 425, 113),
                "Selectable options such as starting when windows boots...", "BtnOptions", "&Options"},
          Frame{"Frame2", "Update", QRect(168, 128, 425, 113), "Check for any Corvane updates...", "BtnUpdate",
                "&Update"}}) {
        SCOPED_TRACE(frame.name);
        auto* box = Find<QGroupBox>(frame.name);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->title().toStdString(), frame.caption);
        EXPECT_EQ(box->geometry(), frame.place);
        // The text and the button stand inside the frame, measured from its corner.
        QLabel* text = nullptr;
        for (auto* label : box->findChildren<QLabel*>()) {
            if (label->text() == QString::fromLatin1(frame.text)) text = label;
        }
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(text->pos(), QPoint(24, 24));
        auto* button = Find<buttons::zqButtons_H>(frame.button);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->parentWidget(), box);
        EXPECT_EQ(button->geometry(), QRect(192, 64, 225, 33));
        EXPECT_EQ(button->Caption().toStdString(), frame.buttonCaption);
    }
    struct Command {
        const char* name;
        const char* caption;
        QRect place;
    };
    for (const Command& command :
         {Command{"BtnTray", "&Tray", QRect(288, 248, 97, 33)}, Command{"BtnExit", "&Exit", QRect(392, 248, 97, 33)},
          Command{"BtnHelp", "&Help", QRect(496, 248, 97, 33)},
          Command{"BtnOptions", "&Options", QRect(192, 64, 225, 33)},
          Command{"BtnUpdate", "&Update", QRect(192, 64, 225, 33)}}) {
        SCOPED_TRACE(command.name);
        auto* button = Find<buttons::zqButtons_H>(command.name);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->Caption().toStdString(), command.caption);
        EXPECT_EQ(button->geometry(), command.place);
        EXPECT_EQ(button->Mode(), 0);
        EXPECT_EQ(button->ButtonStyle(), 7);
        EXPECT_EQ(button->CaptionAlign(), 2);
        EXPECT_EQ(button->BackColor(), 0x8000000Fu);
        EXPECT_EQ(button->GradientColor(), 0u);
        EXPECT_EQ(button->Font().family().toStdString(), "Verdana");
        EXPECT_NE(button->Picture(), nullptr);
        EXPECT_EQ(button->PicturePixelSize(), 24);
    }
    auto* on = Find<buttons::zqButtons_H>("BtnOn");
    ASSERT_NE(on, nullptr);
    EXPECT_EQ(on->geometry(), QRect(8, 8, 153, 233));
    EXPECT_EQ(on->Mode(), 1);
    EXPECT_EQ(on->ButtonStyle(), 7);
    EXPECT_EQ(on->CaptionAlign(), 2);
    EXPECT_EQ(on->GradientColor(), 0xFFu);
    EXPECT_EQ(on->ForeColor(), 0u);
    EXPECT_EQ(on->HoverForeColor(), 0xFFFFFFu);
    EXPECT_EQ(on->HoverColorLocks(), 2);
    EXPECT_EQ(on->Font().family().toStdString(), "Verdana");
    // The service protects, so start-up turned the switch to its green "ON".
    EXPECT_EQ(on->Caption().toStdString(), "ON");
    EXPECT_EQ(on->BackColor(), 0xC000u);
    auto* picture = Find<QLabel>("Picture1");
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->geometry(), QRect(8, 208, 36, 36));
    EXPECT_FALSE(picture->pixmap().isNull());
}

TEST(FrmMainDesignTest, TheSwitchStartsFromItsRedOffDesignAndTheOffIconIsLoaded) {
    App();
    InitResources();
    QWidget form;
    LoadedForm controls;
    QJsonObject description;
    QString error;
    ASSERT_TRUE(ReadFormDescription(QStringLiteral(":/corvane/forms/frm_main.json"), description, &error))
        << error.toStdString();
    ASSERT_TRUE(LoadForm(form, description, controls, &error)) << error.toStdString();
    auto* on = controls.Find<buttons::zqButtons_H>(QStringLiteral("BtnOn"));
    ASSERT_NE(on, nullptr);
    EXPECT_EQ(on->Caption().toStdString(), "OFF");
    EXPECT_EQ(on->BackColor(), 0xC0u);
    EXPECT_FALSE(on->Value());
    EXPECT_EQ(form.size(), QSize(603, 289));

    ScratchRoot root;
    FrmMain window(root.path().string(), std::make_unique<FakeService>());
    EXPECT_NE(window.ProtectionOffIcon(), 0u);
    EXPECT_NE(window.ProtectionOffIcon(), window.WindowIcon());
}

TEST_F(FrmMainCommandsTest, OptionsAndUpdateOpenAFreshModalWindowOnTheirTab) {
    ClickAndInspectModal("BtnUpdate", [&](FrmAll& form) {
        EXPECT_EQ(form.parentWidget(), window.get());
        EXPECT_TRUE(form.isModal());
        EXPECT_EQ(form.windowTitle().toStdString(), "Updates");
        EXPECT_FALSE(form.SSTab1()->isTabVisible(FrmAll::kOptionsTab));
        EXPECT_TRUE(form.SSTab1()->isTabVisible(FrmAll::kUpdatesTab));
        EXPECT_TRUE(form.BtnCheck()->isVisible());
    });
    ClickAndInspectModal("BtnOptions", [&](FrmAll& form) {
        EXPECT_EQ(form.windowTitle().toStdString(), "Options");
        EXPECT_TRUE(form.SSTab1()->isTabVisible(FrmAll::kOptionsTab));
        EXPECT_FALSE(form.SSTab1()->isTabVisible(FrmAll::kUpdatesTab));
        EXPECT_TRUE(form.ChkTray()->isVisible());
        // The stored "0" shows as a clear box.
        EXPECT_EQ(form.ChkTray()->checkState(), Qt::Unchecked);
    });
    // Closed windows are gone, not hidden.
    EXPECT_TRUE(window->findChildren<FrmAll*>().empty());
    EXPECT_TRUE(window->isVisible());
}

TEST_F(FrmMainCommandsTest, HelpOpensTheHelpPageThroughTheDesktop) {
    // The update server is the one the service names.
    service->status.updateServer = "http://127.0.0.1:9/base/";
    const auto bin = PrivatePath();
    const auto opened = root.path() / "opened.txt";
    {
        std::ofstream opener(bin / "xdg-open");
        opener << "#!/bin/sh\nprintf '%s' \"$1\" > '" << opened.string() << ".tmp' && /bin/mv '" << opened.string()
               << ".tmp' '" << opened.string() << "'\n";
    }
    ASSERT_EQ(::chmod((bin / "xdg-open").c_str(), 0700), 0);
    Click(Find<buttons::zqButtons_H>("BtnHelp"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return std::filesystem::exists(opened); }, 5000));
    std::ifstream in(opened);
    std::string url;
    std::getline(in, url);
    EXPECT_EQ(url, "http://127.0.0.1:9/base/cv/help.php");
    EXPECT_TRUE(boxes.empty());
}

TEST_F(FrmMainCommandsTest, HelpWithoutAWayToOpenPagesSaysErrorWithNumberAndDescription) {
    PrivatePath();  // nothing in it: no xdg-open
    Click(Find<buttons::zqButtons_H>("BtnHelp"));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Corvane");
    EXPECT_EQ(boxes[0].icon, platform::MessageBoxIcon::Information);
    const std::string prefix = "Error:" + std::to_string(platform::win32::kErrorFileNotFound) + " ";
    EXPECT_EQ(boxes[0].text.substr(0, prefix.size()), prefix);
    EXPECT_GT(boxes[0].text.size(), prefix.size());  // a description follows the number
    EXPECT_TRUE(window->isVisible());
}

}  // namespace
}  // namespace corvane::ui
