// Colour arithmetic of the button: every worked value, the black/white retries and the gradient bands.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "widgets/buttons/colors.h"

namespace corvane::buttons {
namespace {

TEST(ShiftColor, WorkedValuesScaleGreenAndBlueBy256Over255) {
    EXPECT_EQ(ShiftColor(0x808080, 0), Rgb(128, 129, 129));
    EXPECT_EQ(ShiftColor(0x808080, -16), Rgb(112, 113, 113));
    EXPECT_EQ(ShiftColor(0x808080, 12), Rgb(140, 141, 141));
    EXPECT_EQ(ShiftColor(0x808080, 16, true), Rgb(144, 145, 139));
    EXPECT_EQ(ShiftColor(0xFFFFFF, -32), Rgb(223, 224, 224));
    EXPECT_EQ(ShiftColor(0xFFFFFF, -32, true), Rgb(223, 224, 214));  // blue step truncated toward zero
    EXPECT_EQ(ShiftColor(0xDFDFDF, 8), Rgb(231, 232, 232));
    EXPECT_EQ(ShiftColor(0x808080, -26), Rgb(102, 103, 103));
    // Just below and just above a half: 127 * 256/255 = 127.498, 128 * 256/255 = 128.502.
    EXPECT_EQ(ShiftColor(0x7F7F7F, 0), Rgb(127, 127, 127));
    // Channels clamp to 0..255.
    EXPECT_EQ(ShiftColor(0x101010, -40), Rgb(0, 0, 0));
    EXPECT_EQ(ShiftColor(0xF0F0F0, 40), Rgb(255, 255, 255));
}

TEST(ShiftColor, InvertTurnsEachChannelAround) {
    std::int16_t delta = 0;
    EXPECT_EQ(ShiftColor(0x808080, delta, false, false, true), Rgb(127, 126, 126));
    EXPECT_EQ(delta, 0);
}

TEST(ShiftColor, AvoidBlackWhiteFlipsTheStepAndWritesItBack) {
    std::int16_t delta = -64;
    EXPECT_EQ(ShiftColor(0x404040, delta, false, true, false), Rgb(128, 128, 128));
    EXPECT_EQ(delta, 64);

    // White with step 0: +64 is still white, then -64.
    delta = 0;
    EXPECT_EQ(ShiftColor(0xFFFFFF, delta, false, true, false), Rgb(191, 192, 192));
    EXPECT_EQ(delta, -64);

    // A result that is neither black nor white keeps the step.
    delta = 10;
    EXPECT_EQ(ShiftColor(0x808080, delta, false, true, false), Rgb(138, 139, 139));
    EXPECT_EQ(delta, 10);
}

TEST(ShiftColor, AStepThatIsBlackOrWhiteBothWaysEnds) {
    // +300 makes white, -300 black: the retries stop instead of flipping forever.
    std::int16_t delta = 300;
    const OleColor result = ShiftColor(0x808080, delta, false, true, false);
    EXPECT_TRUE(result == kBlack || result == kWhite);
    EXPECT_EQ(delta, -300);
}

TEST(TranslateColor, SystemReferencesGoThroughTheSystemColours) {
    const SystemColorSource previous = SetSystemColorSource([](int index) { return Rgb(index, 2 * index, 3); });
    EXPECT_EQ(TranslateColor(kButtonFace), Rgb(15, 30, 3));
    EXPECT_EQ(TranslateColor(kButtonText), Rgb(18, 36, 3));
    EXPECT_EQ(TranslateColor(0x00FF0000), 0x00FF0000);
    EXPECT_EQ(TranslateColor(0), 0);
    SetSystemColorSource(previous);
    // The desktop's own table: button face and button text.
    EXPECT_EQ(TranslateColor(kButtonFace), SystemColor(15));
    EXPECT_EQ(TranslateColor(kButtonText), Rgb(0, 0, 0));
}

TEST(DeriveFaceColors, PerStyleTable) {
    const OleColor grey = 0x808080;
    const OleColor dark = 0x404040;

    const DerivedColors plain = DeriveFaceColors(0, grey, dark);
    EXPECT_EQ(plain.face, grey);
    EXPECT_EQ(plain.pressed, grey);
    EXPECT_EQ(plain.hot, dark);
    EXPECT_EQ(plain.checked, Rgb(223, 224, 224));
    for (int style : {1, 4, 5, 6}) EXPECT_EQ(DeriveFaceColors(style, grey, dark).checked, Rgb(223, 224, 224));

    // Style 2: the pressed face is shifted from the NEW face colour.
    const DerivedColors soft = DeriveFaceColors(2, grey, dark);
    EXPECT_EQ(soft.face, Rgb(176, 177, 161));
    EXPECT_EQ(soft.pressed, Rgb(144, 146, 135));
    EXPECT_EQ(soft.hot, Rgb(112, 112, 80));
    EXPECT_EQ(soft.checked, Rgb(223, 224, 214));

    const DerivedColors flat = DeriveFaceColors(3, grey, dark);
    EXPECT_EQ(flat.face, grey);
    EXPECT_EQ(flat.pressed, Rgb(140, 141, 141));
    EXPECT_EQ(flat.hot, dark);
    EXPECT_EQ(flat.checked, Rgb(171, 173, 173));

    const DerivedColors seven = DeriveFaceColors(7, grey, grey);
    EXPECT_EQ(seven.face, Rgb(159, 160, 160));
    EXPECT_EQ(seven.pressed, Rgb(112, 113, 113));
    EXPECT_EQ(seven.hot, Rgb(159, 160, 160));
    EXPECT_EQ(seven.checked, Rgb(144, 145, 139));

    // System colours are resolved before shifting.
    const SystemColorSource previous = SetSystemColorSource([](int) { return OleColor{0x808080}; });
    EXPECT_EQ(DeriveFaceColors(7, kButtonFace, kButtonFace).face, Rgb(159, 160, 160));
    SetSystemColorSource(previous);
}

TEST(BuildGradientColors, SinglePrecisionStepsWithClampedChannels) {
    std::array<OleColor, 3> blackToWhite{};
    BuildGradientColors(blackToWhite, 0x000000, 0xFFFFFF);
    EXPECT_EQ(blackToWhite[0], 0x000000);
    EXPECT_EQ(blackToWhite[1], 0x80807F);  // green and blue step 128 (end 256), red 127.5
    EXPECT_EQ(blackToWhite[2], 0xFFFFFF);  // 256 clamps to 255

    // In single precision white to grey ends on 0x818180 (in double it would be 0x80807F).
    std::array<OleColor, 4> whiteToGrey{};
    BuildGradientColors(whiteToGrey, 0xFFFFFF, 0x808080);
    EXPECT_EQ(whiteToGrey, (std::array<OleColor, 4>{0xFFFFFF, 0xD5D5D4, 0xABABAA, 0x818180}));
    std::array<OleColor, 4> greyToWhite{};
    BuildGradientColors(greyToWhite, 0x808080, 0xFFFFFF);
    EXPECT_EQ(greyToWhite, (std::array<OleColor, 4>{0x808080, 0xABABAA, 0xD5D5D4, 0xFFFFFE}));

    std::array<OleColor, 1> single{};
    BuildGradientColors(single, 0x123456, 0xFFFFFF);
    EXPECT_EQ(single[0], 0x123456);
}

TEST(PlanGradient, BandsHalveOnButtonsTallerThanAQuarterOfTheScreen) {
    const GradientBands tall = PlanGradient(3, 80, 300, 1280, 1024);  // 1024 div 300 = 3
    EXPECT_FALSE(tall.horizontal);
    EXPECT_EQ(tall.count, 150);
    EXPECT_EQ(tall.width, 2);

    const GradientBands shortOne = PlanGradient(4, 80, 256, 1280, 1024);  // exactly a quarter: 4
    EXPECT_EQ(shortOne.count, 256);
    EXPECT_EQ(shortOne.width, 1);

    const GradientBands wide = PlanGradient(2, 401, 20, 1280, 1024);  // horizontal: widths count
    EXPECT_TRUE(wide.horizontal);
    EXPECT_EQ(wide.count, 200);
    EXPECT_EQ(wide.width, 2);

    EXPECT_EQ(PlanGradient(0, 80, 20, 1280, 1024).count, 0);
    EXPECT_EQ(PlanGradient(3, 80, 0, 1280, 1024).count, 0);
}

}  // namespace
}  // namespace corvane::buttons
