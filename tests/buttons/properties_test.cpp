// Properties of zqButtons_H: range checks, refused combinations with their design-time messages, side
// effects in order, colour locks and changed marks.
#include <gtest/gtest.h>

#include <QImage>

#include "button_test_support.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {
namespace {

using ::corvane::buttons::testing::EventRecorder;
using ::corvane::buttons::testing::MessageBoxCatcher;
using Events = std::vector<std::string>;

PictureRef Bitmap() { return MakePicture(QImage(20, 10, QImage::Format_RGB32)); }
PictureRef Icon() { return MakePicture(QImage(16, 16, QImage::Format_ARGB32), ButtonPicture::Kind::Icon); }

class ButtonProperties : public testing::PlacedButtonTest {
protected:
    void DesignTime() { button->SetUserMode(false); }
};

TEST_F(ButtonProperties, EnumeratedValuesOutOfRangeAreIgnoredSilently) {
    MessageBoxCatcher boxes;
    DesignTime();
    button->SetButtonStyle(8);
    button->SetButtonStyle(-1);
    button->SetMode(3);
    button->SetCaptionAlign(3);
    button->SetCaptionAlign(-2);
    button->SetCaptionStyle(3);
    button->SetCustomClick(9);
    button->SetButtonShape(9);
    button->SetPictureAlign(6);
    button->SetGradientMode(5);
    button->SetPictureSize(5);
    button->SetPictureSize(7);
    EXPECT_EQ(button->ButtonStyle(), 0);
    EXPECT_EQ(button->Mode(), 0);
    EXPECT_EQ(button->CaptionAlign(), 2);
    EXPECT_EQ(button->CaptionStyle(), 0);
    EXPECT_EQ(button->CustomClick(), 0);
    EXPECT_EQ(button->ButtonShape(), 0);
    EXPECT_EQ(button->PictureAlign(), 0);
    EXPECT_EQ(button->GradientMode(), 0);
    EXPECT_EQ(button->PictureSize(), 0);
    EXPECT_TRUE(recorder->events.empty()) << "no redraw and no changed mark";
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(ButtonProperties, ButtonStyleRedrawsThenMarksAndRederivesColours) {
    button->SetButtonStyle(3);
    EXPECT_EQ(recorder->Take(), (Events{"Redraw", "Changed BackStyle"}));
    EXPECT_EQ(button->FaceColors().pressed, Rgb(140, 141, 141));
    EXPECT_EQ(button->FaceColors().checked, Rgb(171, 173, 173));
}

TEST_F(ButtonProperties, CaptionAccessKeys) {
    button->SetCaption(QStringLiteral("&Update"));
    EXPECT_EQ(button->AccessKey(), QStringLiteral("U"));
    EXPECT_EQ(recorder->Take(), (Events{"Redraw", "Changed Caption"}));

    // Only a doubled pair: the access key stays as it was.
    button->SetCaption(QStringLiteral("Save && Exit"));
    EXPECT_EQ(button->AccessKey(), QStringLiteral("U"));
    EXPECT_EQ(button->Caption(), QStringLiteral("Save && Exit"));

    // A doubled pair, then a single ampersand later.
    button->SetCaption(QStringLiteral("A && B &Cancel"));
    EXPECT_EQ(button->AccessKey(), QStringLiteral("C"));
    button->SetCaption(QStringLiteral("&&&Go"));
    EXPECT_EQ(button->AccessKey(), QStringLiteral("G"));

    // A single ampersand at the end: an empty key.
    button->SetCaption(QStringLiteral("Stop&"));
    EXPECT_EQ(button->AccessKey(), QString());
}

TEST_F(ButtonProperties, CentredPictureAllowsOnlyCentredCaption) {
    MessageBoxCatcher boxes;
    button->SetPicture(Bitmap());
    button->SetPictureAlign(4);
    EXPECT_EQ(button->CaptionAlign(), 2);
    recorder->Clear();

    button->SetCaptionAlign(0);  // run time: silent refusal
    EXPECT_EQ(button->CaptionAlign(), 2);
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_TRUE(recorder->events.empty());

    DesignTime();
    button->SetCaptionAlign(1);
    EXPECT_EQ(button->CaptionAlign(), 2);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text,
              "When button images are aligned top/bottom center, \r\nbutton captions can only be center aligned");
    EXPECT_EQ(boxes.shown[0].title, "Corvane");
    EXPECT_EQ(boxes.shown[0].icon, platform::MessageBoxIcon::Information);

    // Picture at the side: any alignment.
    button->SetPictureAlign(0);
    button->SetCaptionAlign(1);
    EXPECT_EQ(button->CaptionAlign(), 1);
}

TEST_F(ButtonProperties, PictureSizeAndCustomShapes) {
    // Any accepted shape centres the caption.
    button->SetCaptionAlign(0);
    button->SetButtonShape(3);
    EXPECT_EQ(button->CaptionAlign(), 2);
    button->SetButtonShape(0);

    button->SetPictureSize(2);
    EXPECT_EQ(button->PicturePixelSize(), 32);
    EXPECT_EQ(button->PictureSize(), 2);
    button->SetPictureSize(7);
    EXPECT_EQ(button->PictureSize(), 2);

    MessageBoxCatcher boxes;
    DesignTime();
    // A custom shape needs a picture that is not an icon.
    button->SetButtonShape(7);
    EXPECT_EQ(button->ButtonShape(), 0);
    button->SetPicture(Icon());
    button->SetButtonShape(8);
    EXPECT_EQ(button->ButtonShape(), 0);
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[1].text, "The Picture Property must be assigned first and must be a bitmap or JPEG.");

    button->SetPicture(Bitmap());
    button->SetCaptionAlign(0);
    recorder->Clear();
    button->SetButtonShape(7);
    EXPECT_EQ(button->ButtonShape(), 7);
    EXPECT_EQ(button->PictureSize(), 4);
    EXPECT_EQ(button->CaptionAlign(), 2);
    EXPECT_EQ(recorder->Take(), (Events{"Changed ImgSize", "Redraw", "Redraw", "Changed Shape"}));

    // The size of a custom shape is fixed.
    button->SetPictureSize(1);
    EXPECT_EQ(button->PictureSize(), 4);
    EXPECT_EQ(boxes.shown.back().text, "The picture size cannot be changed for Shaped buttons");
}

TEST_F(ButtonProperties, CustomShapeFallsBackToRectangleWithoutABitmap) {
    button->SetPicture(Bitmap());
    button->SetButtonShape(7);
    button->SetPicture(nullptr);
    EXPECT_EQ(button->ButtonShape(), 0);

    MessageBoxCatcher boxes;
    DesignTime();
    button->SetPicture(Bitmap());
    button->SetButtonShape(8);
    button->SetPicture(Icon());
    EXPECT_EQ(button->ButtonShape(), 0);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text,
              "Icons cannot be used for custom buttons. Only use bitmaps or JPEGs.\r\nButton was changed to "
              "Rectangular shaped.");
}

TEST_F(ButtonProperties, HoverColourLocksFollowAndUnlock) {
    EXPECT_EQ(button->HoverColorLocks(), 0);
    // Locked colours follow the normal ones.
    button->SetForeColor(Rgb(1, 2, 3));
    EXPECT_EQ(button->HoverForeColor(), Rgb(1, 2, 3));
    button->SetBackColor(Rgb(9, 9, 9));
    EXPECT_EQ(button->HoverBackColor(), Rgb(9, 9, 9));
    EXPECT_EQ(button->HoverColorLocks(), 0);

    button->SetHoverForeColor(Rgb(200, 0, 0));
    EXPECT_EQ(button->HoverColorLocks(), 2);
    button->SetHoverBackColor(Rgb(0, 200, 0));
    EXPECT_EQ(button->HoverColorLocks(), 3);
    EXPECT_EQ(button->FaceColors().hot, Rgb(0, 200, 0));

    // Unlocked colours stay when the normal ones change.
    button->SetBackColor(Rgb(50, 50, 50));
    button->SetForeColor(Rgb(60, 60, 60));
    EXPECT_EQ(button->HoverBackColor(), Rgb(0, 200, 0));
    EXPECT_EQ(button->HoverForeColor(), Rgb(200, 0, 0));

    // Locking again copies the normal colours.
    recorder->Clear();
    button->SetHoverColorLocks(0);
    EXPECT_EQ(button->HoverBackColor(), Rgb(50, 50, 50));
    EXPECT_EQ(button->HoverForeColor(), Rgb(60, 60, 60));
    EXPECT_EQ(recorder->Take(), (Events{"Changed cBHover", "Changed cFHover", "Changed LockHover"}));
}

TEST_F(ButtonProperties, GradientModeKeepsTheHoverBackOnTheGradientColour) {
    button->SetGradientColor(Rgb(0, 0, 255));
    button->SetGradientMode(1);
    EXPECT_EQ(button->HoverBackColor(), Rgb(0, 0, 255));
    button->SetBackColor(Rgb(10, 10, 10));
    EXPECT_EQ(button->HoverBackColor(), Rgb(0, 0, 255));
    button->SetBackColor(Rgb(20, 20, 20));
    EXPECT_EQ(button->HoverBackColor(), Rgb(0, 0, 255));
    // The gradient colour follows while the mode is on.
    button->SetHoverColorLocks(0);
    button->SetGradientColor(Rgb(0, 255, 0));
    EXPECT_EQ(button->HoverBackColor(), Rgb(0, 255, 0));
    button->SetGradientMode(0);
    EXPECT_EQ(button->HoverBackColor(), Rgb(20, 20, 20));
}

TEST_F(ButtonProperties, ResetDefaultColorsActsOnlyAtDesignTime) {
    EXPECT_EQ(button->GradientColor(), 0);
    button->SetHoverColorLocks(3);
    button->SetResetDefaultColors(true);  // run time: nothing
    EXPECT_EQ(button->GradientColor(), 0);
    EXPECT_EQ(button->HoverColorLocks(), 3);

    DesignTime();
    button->SetForeColor(Rgb(5, 5, 5));
    button->SetBackColor(Rgb(6, 6, 6));
    button->SetResetDefaultColors(false);
    EXPECT_EQ(button->BackColor(), Rgb(6, 6, 6));
    recorder->Clear();
    button->SetResetDefaultColors(true);
    EXPECT_EQ(button->GradientColor(), kButtonFace);
    EXPECT_EQ(button->BackColor(), kButtonFace);
    EXPECT_EQ(button->ForeColor(), kButtonText);
    EXPECT_EQ(button->GradientMode(), 0);
    EXPECT_EQ(button->HoverColorLocks(), 0);
    EXPECT_FALSE(button->ResetDefaultColors());
    // The caption colour's setter ends the suspension early, so the reset paints along the way; it ends
    // with the refresh and the two marks.
    const Events events = recorder->Take();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ((Events(events.end() - 3, events.end())), (Events{"Redraw", "Changed cGradient", "Changed cBack"}));
}

TEST_F(ButtonProperties, ValueIsRefusedForCommandButtons) {
    MessageBoxCatcher boxes;
    button->SetValue(true);
    EXPECT_FALSE(button->Value());
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_TRUE(recorder->events.empty());

    DesignTime();
    button->SetValue(true);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "This property is not applicable for command button modes.");

    // A check box takes it, and setting the same value again redraws again.
    button->SetMode(1);
    recorder->Clear();
    button->SetValue(true);
    button->SetValue(true);
    EXPECT_EQ(recorder->Take(), (Events{"Redraw", "Changed Value", "Redraw", "Changed Value"}));

    // Back to command mode clears the value through its setter.
    button->SetMode(0);
    EXPECT_FALSE(button->Value());
    EXPECT_EQ(recorder->Take(), (Events{"Redraw", "Changed Value", "Redraw", "Changed Mode"}));
}

TEST_F(ButtonProperties, MouseIconMustBeAnIconOrCursor) {
    MessageBoxCatcher boxes;
    EXPECT_TRUE(button->SetMouseIcon(Icon()));
    EXPECT_EQ(button->MousePointer(), 99);
    EXPECT_EQ(recorder->Take(), (Events{"Changed mPointer", "Changed mIcon"}));

    button->SetMousePointer(0x10002);  // narrowed to 16 bits
    EXPECT_EQ(button->MousePointer(), 2);

    EXPECT_FALSE(button->SetMouseIcon(Bitmap()));  // run time: refused silently
    EXPECT_TRUE(boxes.shown.empty());
    DesignTime();
    EXPECT_FALSE(button->SetMouseIcon(Bitmap()));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, "Select .ico Or .cur Files Only");
    EXPECT_NE(button->MouseIcon(), nullptr);
}

TEST_F(ButtonProperties, FocusRectangleOnADefaultButton) {
    MessageBoxCatcher boxes;
    button->SetDefault(true);  // DisplayAsDefault: the focus look is set
    ASSERT_NE(button->StateFlags() & zqButtons_H::kFocusLook, 0);
    DesignTime();
    recorder->Clear();
    button->SetShowFocusRect(false);
    EXPECT_EQ(recorder->Take(), (Events{"Changed Focus"}));  // message, no redraw
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text,
              "The focus rectangle may appear on default buttons ONLY while in design mode, \r\n"
              "but will not appear when the form is running.");
    EXPECT_NE(button->StateFlags() & zqButtons_H::kFocusLook, 0);

    button->SetUserMode(true);
    button->SetShowFocusRect(true);
    EXPECT_EQ(button->StateFlags() & zqButtons_H::kFocusLook, 0);
    EXPECT_EQ(recorder->Take(), (Events{"Redraw", "Changed Focus"}));
}

TEST_F(ButtonProperties, DelayDrawingPaintsABurstOnce) {
    button->DelayDrawing(true);
    button->SetCaption(QStringLiteral("Burst"));
    button->SetBackColor(Rgb(1, 2, 3));
    button->SetButtonStyle(2);
    button->SetPictureSize(1);
    const int before = button->RedrawCount();
    EXPECT_EQ(std::count(recorder->events.begin(), recorder->events.end(), "Redraw"), 0);
    button->DelayDrawing(false);
    EXPECT_EQ(std::count(recorder->events.begin(), recorder->events.end(), "Redraw"), 1);
    EXPECT_EQ(button->RedrawCount(), before + 1);
}

}  // namespace
}  // namespace corvane::buttons
