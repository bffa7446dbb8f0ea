// Interaction of zqButtons_H: the host's notifications in the host's order and the events they raise.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QMimeData>
#include <QTest>

#include "button_test_support.h"
#include "platform/capture.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {
namespace {

using ::corvane::buttons::testing::CursorGuard;
using ::corvane::buttons::testing::EventRecorder;
using ::corvane::buttons::testing::MessageBoxCatcher;
using Events = std::vector<std::string>;

// Records the key presses that reach a container (posted arrows among them).
class KeyLog final : public QObject {
public:
    std::vector<std::pair<int, quint32>> keys;  // Qt key, scan code
protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            keys.emplace_back(key->key(), key->nativeScanCode());
        }
        return false;
    }
};

class ButtonEvents : public testing::PlacedButtonTest {
protected:
    void SetUp() override {
        PlacedButtonTest::SetUp();
        form->installEventFilter(&keyLog);  // sees the keys before the container handles them
    }
    void Click(std::int16_t which = 1) {
        button->HostMouseDown(which, 0, 5, 5);
        button->HostMouseUp(which, 0, 5, 5);
        button->HostClick();
    }
    void Key(int vk) {
        auto code = static_cast<std::int16_t>(vk);
        button->HostKeyDown(code, 0);
        auto ascii = static_cast<std::int16_t>(vk);
        if (vk == 32) button->HostKeyPress(ascii);
        code = static_cast<std::int16_t>(vk);
        button->HostKeyUp(code, 0);
    }

    void TearDown() override { form->removeEventFilter(&keyLog); }

    KeyLog keyLog;
};

TEST_F(ButtonEvents, LeftClickOnACommandButton) {
    button->HostMouseDown(1, 0, 5, 5);
    EXPECT_EQ(platform::GetCapture(), button->hwnd());
    EXPECT_TRUE(button->PressedFlag());
    EXPECT_NE(button->StateFlags() & zqButtons_H::kButtonDown, 0);
    button->HostMouseUp(1, 0, 5, 5);
    EXPECT_EQ(platform::GetCapture(), 0u);
    button->HostClick();
    EXPECT_EQ(recorder->Take(), (Events{"Redraw", "MouseDown 1", "Redraw", "MouseUp 1", "Click"}));
    EXPECT_FALSE(button->PressedFlag());
    EXPECT_EQ(button->StateFlags() & zqButtons_H::kButtonDown, 0);
}

TEST_F(ButtonEvents, RightClickRaisesNoClick) {
    Click(2);
    EXPECT_EQ(recorder->Take(), (Events{"MouseDown 2", "MouseUp 2"}));
}

TEST_F(ButtonEvents, CheckBoxAlternatesAndOptionButtonStaysSelected) {
    button->SetMode(1);
    recorder->Clear();
    Click();
    EXPECT_TRUE(button->Value());
    EXPECT_EQ(recorder->Take(), (Events{"Redraw", "MouseDown 1", "MouseUp 1", "Redraw", "Changed Value", "Click"}));
    Click();
    EXPECT_FALSE(button->Value());
    Click();
    EXPECT_TRUE(button->Value());
    EXPECT_EQ(std::count(recorder->events.begin(), recorder->events.end(), "Click"), 2);

    button->SetMode(2);
    button->SetValue(true);
    recorder->Clear();
    Click();
    EXPECT_TRUE(button->Value());
    EXPECT_EQ(recorder->Take(), (Events{"Redraw", "MouseDown 1", "MouseUp 1"}));
}

TEST_F(ButtonEvents, SpaceClicksOnRelease) {
    Key(32);
    EXPECT_EQ(recorder->Take(), (Events{"Redraw", "KeyDown 32", "KeyPress 32", "Redraw", "Click", "KeyUp 32"}));
    EXPECT_EQ(button->StateFlags() & zqButtons_H::kHotLook, 0) << "hot look only kept while the pointer is over";

    // Key repeat: the pushed face is drawn once, the release clicks once.
    std::int16_t code = 32;
    button->HostKeyDown(code, 0);
    code = 32;
    button->HostKeyDown(code, 0);
    code = 32;
    button->HostKeyUp(code, 0);
    EXPECT_EQ(recorder->Take(), (Events{"Redraw", "KeyDown 32", "KeyDown 32", "Redraw", "Click", "KeyUp 32"}));

    button->SetMode(1);
    recorder->Clear();
    Key(32);
    EXPECT_EQ(recorder->Take(),
              (Events{"Redraw", "KeyDown 32", "KeyPress 32", "KeyUp 32", "Redraw", "Changed Value", "Click"}));
    EXPECT_TRUE(button->Value());
    EXPECT_EQ(button->LastMouseButton(), 1);
}

TEST_F(ButtonEvents, AccessKeysEnterAndEscape) {
    button->HostAccessKeyPress(13);
    button->HostAccessKeyPress(27);
    EXPECT_EQ(recorder->Take(), (Events{"Click", "Click"}));

    button->SetCaption(QStringLiteral("&On"));
    button->SetMode(1);
    recorder->Clear();
    button->HostAccessKeyPress(13);  // Enter on a check-box default button: nothing
    button->HostAccessKeyPress(27);
    EXPECT_TRUE(recorder->events.empty());
    EXPECT_FALSE(button->Value());
    button->HostAccessKeyPress('o');  // the access key toggles it
    EXPECT_TRUE(button->Value());
    EXPECT_EQ(recorder->Take(), (Events{"Redraw", "Redraw", "Changed Value", "Click"}));
}

TEST_F(ButtonEvents, ArrowsGoToTheContainerAndNeverRaiseKeyEvents) {
    struct Arrow {
        int vk;
        int qtKey;
        quint32 scan;
    };
    for (const Arrow arrow : {Arrow{39, Qt::Key_Right, 0x4D}, Arrow{40, Qt::Key_Down, 0x50},
                              Arrow{37, Qt::Key_Left, 0x4B}, Arrow{38, Qt::Key_Up, 0x48}}) {
        auto code = static_cast<std::int16_t>(arrow.vk);
        button->HostKeyDown(code, 0);
        EXPECT_EQ(code, 0);
        code = static_cast<std::int16_t>(arrow.vk);
        button->HostKeyUp(code, 0);
        EXPECT_EQ(code, 0);
        keyLog.keys.clear();
        QCoreApplication::processEvents();  // the posted key arrives
        ASSERT_EQ(keyLog.keys.size(), 1u);
        EXPECT_EQ(keyLog.keys[0].first, arrow.qtKey);
        EXPECT_EQ(keyLog.keys[0].second, arrow.scan);
    }
    EXPECT_TRUE(recorder->events.empty());

    // On an unselected option button the arrow's release selects it.
    button->SetMode(2);
    recorder->Clear();
    std::int16_t code = 40;
    button->HostKeyUp(code, 0);
    EXPECT_TRUE(button->Value());
    EXPECT_EQ(recorder->Take(), (Events{"Redraw", "Changed Value", "Click"}));
}

TEST_F(ButtonEvents, ShiftRaisesKeyDownButNoKeyUp) {
    Key(16);
    Key('A');
    EXPECT_EQ(recorder->Take(), (Events{"KeyDown 16", "KeyDown 65", "KeyUp 65"}));
}

TEST_F(ButtonEvents, DoubleClickPressesAgainWithoutClick) {
    CursorGuard pointer;
    pointer.cursor().position = {7, 9};
    const QPoint client = button->mapFromGlobal(QPoint(7, 9));
    Click();
    recorder->Clear();
    std::vector<std::pair<float, float>> downs;
    QObject::connect(button.get(), &zqButtons_H::MouseDown,
                     [&](std::int16_t&, std::int16_t&, float& x, float& y) { downs.emplace_back(x, y); });
    button->HostDblClick();
    EXPECT_EQ(button->LastMouseButton(), -1);
    button->HostMouseUp(1, 0, 5, 5);
    EXPECT_EQ(button->LastMouseButton(), 1);
    EXPECT_EQ(recorder->Take(), (Events{"DoubleClick 1", "Redraw", "MouseDown 1", "Redraw", "MouseUp 1"}));
    ASSERT_EQ(downs.size(), 1u);
    EXPECT_EQ(downs[0], (std::pair<float, float>(static_cast<float>(client.x()), static_cast<float>(client.y()))));

    // After a right click the double click only reports a left press.
    Click(2);
    recorder->Clear();
    button->HostDblClick();
    EXPECT_EQ(recorder->Take(), (Events{"DoubleClick 2", "MouseDown 1"}));
    EXPECT_FALSE(button->PressedFlag());
}

TEST_F(ButtonEvents, EventArgumentsArePassedByReference) {
    QObject::connect(button.get(), &zqButtons_H::KeyDown, [](std::int16_t& key, std::int16_t&) { key = 0; });
    std::int16_t code = 'X';
    button->HostKeyDown(code, 0);
    EXPECT_EQ(code, 0);

    QObject::connect(button.get(), &zqButtons_H::OLEDragOver,
                     [](const QMimeData*&, std::int32_t& effect, std::int16_t&, std::int16_t&, float&, float&,
                        std::int16_t& state) { effect = state == 2 ? 1 : 0; });
    QMimeData mime;
    const QMimeData* data = &mime;
    std::int32_t effect = 7;
    std::int16_t buttons = 1, shift = 0, state = 2;
    float x = 1, y = 2;
    button->HostOLEDragOver(data, effect, buttons, shift, x, y, state);
    EXPECT_EQ(effect, 1);

    std::vector<std::int32_t> seen;
    QObject::connect(button.get(), &zqButtons_H::OLECompleteDrag, [&](std::int32_t& e) { seen.push_back(e); });
    QObject::connect(button.get(), &zqButtons_H::OLEStartDrag,
                     [&](const QMimeData*& d, std::int32_t& allowed) { seen.push_back(d == &mime ? allowed : -1); });
    std::int32_t completed = 2, allowed = 3;
    button->HostOLECompleteDrag(completed);
    button->HostOLEStartDrag(data, allowed);
    EXPECT_EQ(seen, (std::vector<std::int32_t>{2, 3}));
}

TEST_F(ButtonEvents, AmbientChangesFollowTheHost) {
    button->SetDefault(true);
    EXPECT_TRUE(button->DisplayAsDefault());
    EXPECT_NE(button->StateFlags() & zqButtons_H::kFocusLook, 0);
    button->SetDefault(false);
    EXPECT_EQ(button->StateFlags() & zqButtons_H::kFocusLook, 0);

    // Without ShowFocusRect the look shows only in the designer.
    button->SetShowFocusRect(false);
    button->SetDefault(true);
    EXPECT_EQ(button->StateFlags() & zqButtons_H::kFocusLook, 0);
    button->SetUserMode(false);
    recorder->Clear();
    button->HostAmbientChanged(QStringLiteral("displayasdefault"));
    EXPECT_NE(button->StateFlags() & zqButtons_H::kFocusLook, 0);
    EXPECT_EQ(recorder->Take(), (Events{"Redraw"}));

    // The container's back colour: redrawn only where it shows (non-rectangular shapes, style 5).
    QPalette palette = form->palette();
    palette.setColor(QPalette::Window, QColor(1, 2, 3));
    form->setPalette(palette);
    EXPECT_EQ(button->ContainerBackColor(), Rgb(1, 2, 3));
    EXPECT_TRUE(recorder->events.empty());
    button->SetButtonStyle(5);
    recorder->Clear();
    button->HostAmbientChanged(QStringLiteral("BACKCOLOR"));
    EXPECT_EQ(recorder->Take(), (Events{"Redraw"}));
    button->HostAmbientChanged(QStringLiteral("Font"));
    EXPECT_TRUE(recorder->events.empty());
}

// The Qt window events deliver the same notifications.
class ButtonQtEvents : public ButtonEvents {
protected:
    void SetUp() override {
        ButtonEvents::SetUp();
        recorder = std::make_unique<EventRecorder>(*button, /*withRedraws=*/false);
        other = std::make_unique<zqButtons_H>(form.get());
        other->setGeometry(0, 40, 80, 24);
        other->InitNewInstance();
        form->resize(200, 100);
        form->show();
        QApplication::setActiveWindow(form.get());
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        button->setFocus();
        ASSERT_TRUE(testing::WaitUntil([&] { return button->hasFocus(); }));
        recorder = std::make_unique<EventRecorder>(*button, false);
    }
    std::unique_ptr<zqButtons_H> other;
};

TEST_F(ButtonQtEvents, MouseAndKeyboard) {
    QTest::mouseClick(button.get(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    Events events = recorder->Take();
    events.erase(std::remove(events.begin(), events.end(), "MouseMove"), events.end());
    EXPECT_EQ(events, (Events{"MouseDown 1", "MouseUp 1", "Click"}));

    // Released outside the button: no click.
    QTest::mousePress(button.get(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    QTest::mouseRelease(button.get(), Qt::LeftButton, Qt::NoModifier, QPoint(150, 5));
    events = recorder->Take();
    EXPECT_EQ(std::count(events.begin(), events.end(), "Click"), 0);
    EXPECT_EQ(button->StateFlags() & zqButtons_H::kButtonDown, 0);

    QTest::mouseDClick(button.get(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    events = recorder->Take();
    EXPECT_EQ(std::count(events.begin(), events.end(), "DoubleClick 1"), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), "Click"), 0);

    QTest::keyClick(button.get(), Qt::Key_Space);
    EXPECT_EQ(recorder->Take(), (Events{"KeyDown 32", "KeyPress 32", "Click", "KeyUp 32"}));
}

TEST_F(ButtonQtEvents, PostedArrowMovesTheFocus) {
    QTest::keyClick(button.get(), Qt::Key_Down);
    ASSERT_TRUE(testing::WaitUntil([&] { return other->hasFocus(); }));
    QTest::keyClick(other.get(), Qt::Key_Up);
    ASSERT_TRUE(testing::WaitUntil([&] { return button->hasFocus(); }));
    EXPECT_TRUE(recorder->events.empty()) << "no key events for arrows";
}

TEST_F(ButtonQtEvents, AccessKeyAndDefaultButton) {
    button->SetCaption(QStringLiteral("&Options"));
    other->SetDefault(true);
    std::vector<std::string> otherClicks;
    QObject::connect(other.get(), &zqButtons_H::Click, [&] { otherClicks.emplace_back("Click"); });
    recorder->Clear();
    QTest::keyClick(form.get(), Qt::Key_O, Qt::AltModifier);
    EXPECT_EQ(std::count(recorder->events.begin(), recorder->events.end(), "Click"), 1);
    QTest::keyClick(form.get(), Qt::Key_Return);
    EXPECT_EQ(otherClicks.size(), 1u);
}

TEST_F(ButtonQtEvents, DisabledButtonRaisesNothing) {
    button->SetEnabled(false);
    recorder->Clear();
    QTest::mouseClick(button.get(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    QTest::keyClick(button.get(), Qt::Key_Space);
    EXPECT_TRUE(recorder->events.empty());
}

}  // namespace
}  // namespace corvane::buttons
