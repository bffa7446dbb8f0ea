// Fonts and DrawTextA: measuring, breaking, alignment, prefixes, colours and clipping.
#include <QFontDatabase>

#include <gtest/gtest.h>

#include <cstring>

#include "canvas_fixture.h"
#include "platform/gdi/font.h"
#include "platform/gdi/get_object.h"
#include "platform/gdi/region.h"
#include "platform/gdi/text.h"

namespace corvane::gdi {
namespace {

constexpr COLORREF kWhite = 0xFFFFFF;
constexpr COLORREF kInk = RGB(20, 90, 160);

LOGFONTA describe(const char* face, LONG height, LONG weight = FW_NORMAL) {
    LOGFONTA lf;
    lf.lfHeight = height;
    lf.lfWeight = weight;
    lf.lfCharSet = DEFAULT_CHARSET;
    std::strncpy(lf.lfFaceName, face, LF_FACESIZE - 1);
    return lf;
}

// A canvas with a selected font and transparent text in kInk.
class TextCanvas : public testing::Canvas {
public:
    TextCanvas(int w, int h, const LOGFONTA& lf = describe("DejaVu Sans", -13)) : Canvas(w, h) {
        font_ = CreateFontIndirectA(&lf);
        previous_ = SelectObject(dc(), font_);
        SetTextColor(dc(), kInk);
        SetBkMode(dc(), TRANSPARENT);
    }
    ~TextCanvas() {
        SelectObject(dc(), previous_);
        DeleteObject(font_);
    }
    RECT measure(const char* text, UINT format = 0, int width = 1000) {
        RECT r{0, 0, width, 1000};
        DrawTextA(dc(), text, -1, &r, format | DT_CALCRECT);
        return r;
    }

private:
    HFONT font_;
    HGDIOBJ previous_;
};

TEST(GdiFont, MissingFaceFallsBackToAnInstalledSansFace) {
    LOGFONTA lf = describe("Verdana", -12, FW_BOLD);
    const HFONT font = CreateFontIndirectA(&lf);
    const QString family = ResolvedFontFamily(font);
    EXPECT_FALSE(family.isEmpty());
    EXPECT_TRUE(QFontDatabase::families().contains(family)) << family.toStdString();
    if (!QFontDatabase::families().contains(QStringLiteral("Verdana"))) {
        EXPECT_NE(family, QStringLiteral("Verdana"));
    }
    LOGFONTA back;
    ASSERT_EQ(GetObjectA(font, sizeof back, &back), static_cast<int>(sizeof back));
    EXPECT_STREQ(back.lfFaceName, "Verdana");
    EXPECT_EQ(back.lfWeight, FW_BOLD);
    DeleteObject(font);
    EXPECT_TRUE(ResolvedFontFamily(font).isEmpty());
    EXPECT_FALSE(CreateFontIndirectA(nullptr));
    // Negative heights are character heights, positive ones cell heights.
    const QFont character = QFontFromLogFont(describe("DejaVu Sans", -20));
    EXPECT_EQ(character.pixelSize(), 20);
    const QFont cell = QFontFromLogFont(describe("DejaVu Sans", 20));
    EXPECT_LT(cell.pixelSize(), 20);
}

TEST(GdiText, CalcRectMeasuresLinesAndBreaksWords) {
    TextCanvas c(10, 10);
    const RECT one = c.measure("Options");
    EXPECT_GT(one.right, 0);
    EXPECT_GT(one.bottom, 0);
    const int lineHeight = one.bottom;
    const RECT two = c.measure("Options\r\nOK");
    EXPECT_EQ(two.bottom, 2 * lineHeight);
    EXPECT_EQ(two.right, one.right);  // the widest line
    EXPECT_EQ(c.measure("a\rb\nc").bottom, 3 * lineHeight);

    const int alphaBeta = c.measure("alpha beta").right;
    // With the width of "alpha beta", the third word goes to a second line.
    const RECT wrapped = c.measure("alpha beta gamma", DT_WORDBREAK, alphaBeta);
    EXPECT_EQ(wrapped.bottom, 2 * lineHeight);
    EXPECT_EQ(wrapped.right, alphaBeta);
    // Without DT_WORDBREAK the line stays whole.
    EXPECT_EQ(c.measure("alpha beta gamma", 0, alphaBeta).bottom, lineHeight);
    // A word wider than the rectangle keeps a line of its own.
    const RECT longWord = c.measure("a extraordinarily b", DT_WORDBREAK, 20);
    EXPECT_EQ(longWord.bottom, 3 * lineHeight);
    EXPECT_EQ(longWord.right, c.measure("extraordinarily").right);
    // Prefixes: "&" is not shown, "&&" shows one ampersand.
    EXPECT_EQ(c.measure("&Options").right, one.right);
    EXPECT_EQ(c.measure("A&&B").right, c.measure("A&B", DT_NOPREFIX).right);
    EXPECT_GT(c.measure("A&B", DT_NOPREFIX).right, c.measure("A&B").right);
}

TEST(GdiText, AliasedTextUsesExactlyTheTextColourAndUnderlinesThePrefixedCharacter) {
    TextCanvas plain(120, 30), prefixed(120, 30);
    RECT r{4, 4, 116, 26};
    ASSERT_GT(DrawTextA(plain.dc(), "Options", -1, &r, DT_LEFT), 0);
    ASSERT_GT(DrawTextA(prefixed.dc(), "&Options", -1, &r, DT_LEFT), 0);
    const auto ink = plain.marked();
    ASSERT_FALSE(ink.empty());
    for (const auto& [x, y] : ink) EXPECT_EQ(plain.at(x, y), kInk);
    // The prefixed drawing is the plain one plus an underline below the "O" only.
    const auto extra = prefixed.marked();
    const int oWidth = plain.measure("O").right;
    int below = 0;
    for (const auto& p : ink) EXPECT_TRUE(extra.count(p));
    for (const auto& [x, y] : extra) {
        if (ink.count({x, y})) continue;
        ++below;
        EXPECT_GE(x, 4);
        EXPECT_LT(x, 4 + oWidth);
    }
    EXPECT_GE(below, oWidth / 2);
}

TEST(GdiText, AlignmentClippingAndOpaqueBackground) {
    TextCanvas left(100, 20), centre(100, 20), right(100, 20);
    RECT r{0, 0, 100, 20};
    DrawTextA(left.dc(), "Hi", 2, &r, DT_LEFT);
    DrawTextA(centre.dc(), "Hi", 2, &r, DT_CENTER);
    DrawTextA(right.dc(), "Hi", 2, &r, DT_RIGHT);
    const int w = left.measure("Hi").right;
    const auto shifted = [](const std::set<std::pair<int, int>>& s, int dx) {
        std::set<std::pair<int, int>> out;
        for (const auto& [x, y] : s) out.insert({x + dx, y});
        return out;
    };
    EXPECT_EQ(centre.marked(), shifted(left.marked(), (100 - w) / 2));
    EXPECT_EQ(right.marked(), shifted(left.marked(), 100 - w));

    // Clipped to the rectangle unless DT_NOCLIP.
    TextCanvas clipped(100, 20), free(100, 20);
    RECT narrow{0, 0, 6, 20};
    DrawTextA(clipped.dc(), "WWW", -1, &narrow, 0);
    DrawTextA(free.dc(), "WWW", -1, &narrow, DT_NOCLIP);
    for (const auto& [x, y] : clipped.marked()) EXPECT_LT(x, 6);
    bool beyond = false;
    for (const auto& [x, y] : free.marked()) beyond = beyond || x >= 6;
    EXPECT_TRUE(beyond);

    // OPAQUE fills the line box with the background colour first.
    TextCanvas opaque(100, 20);
    SetBkMode(opaque.dc(), OPAQUE);
    SetBkColor(opaque.dc(), RGB(0, 200, 0));
    RECT box{10, 2, 100, 20};
    DrawTextA(opaque.dc(), "Hi", -1, &box, 0);
    const RECT size = opaque.measure("Hi");
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 100; ++x) {
            const bool inBox = x >= 10 && x < 10 + size.right && y >= 2 && y < 2 + size.bottom;
            const COLORREF got = opaque.at(x, y);
            if (inBox)
                EXPECT_TRUE(got == RGB(0, 200, 0) || got == kInk) << x << "," << y;
            else
                EXPECT_EQ(got, kWhite) << x << "," << y;
        }
    EXPECT_EQ(DrawTextA(HDC(), "x", -1, &box, 0), 0);
    EXPECT_EQ(DrawTextA(opaque.dc(), nullptr, 3, &box, 0), 0);
}

// A font draws the same text many times: each drawing takes the colour, place, width and flags of its
// own call, whatever the font drew before.
TEST(GdiText, RepeatedTextFollowsEachCallsColourPlaceWidthAndFlags) {
    const auto shifted = [](const std::set<std::pair<int, int>>& s, int dx, int dy) {
        std::set<std::pair<int, int>> out;
        for (const auto& [x, y] : s) out.insert({x + dx, y + dy});
        return out;
    };
    TextCanvas first(200, 60), again(200, 60);
    RECT r{2, 2, 100, 30};
    ASSERT_GT(DrawTextA(first.dc(), "&Options", -1, &r, 0), 0);
    const auto ink = first.marked();
    ASSERT_FALSE(ink.empty());
    // The same text again in another colour, lower and to the right: the same shape, all in the new colour.
    SetTextColor(first.dc(), RGB(200, 10, 10));
    RECT moved{90, 25, 200, 60};
    ASSERT_GT(DrawTextA(first.dc(), "&Options", -1, &moved, 0), 0);
    const auto all = first.marked();
    std::set<std::pair<int, int>> second;
    for (const auto& p : all)
        if (!ink.count(p)) second.insert(p);
    EXPECT_EQ(second, shifted(ink, 88, 23));
    for (const auto& [x, y] : second) EXPECT_EQ(first.at(x, y), RGB(200, 10, 10));

    // After the font has drawn many other texts, the first one still draws as on a font that drew nothing.
    for (int i = 0; i < 20; ++i) {
        const std::string other = "Text " + std::to_string(i);
        RECT scratch{0, 0, 200, 60};
        DrawTextA(again.dc(), other.c_str(), -1, &scratch, DT_CALCRECT | DT_WORDBREAK);
    }
    ASSERT_GT(DrawTextA(again.dc(), "&Options", -1, &r, 0), 0);
    EXPECT_EQ(again.marked(), ink);

    // Without prefixes the ampersand shows: the line gets wider than the prefixed one.
    EXPECT_GT(again.measure("&Options", DT_NOPREFIX).right, again.measure("&Options").right);
    // Breaking words follows the width of each call, narrow and wide in turn.
    const RECT oneLine = again.measure("alpha beta gamma");
    const int alpha = again.measure("alpha").right;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(again.measure("alpha beta gamma", DT_WORDBREAK, alpha).bottom, 3 * oneLine.bottom);
        EXPECT_EQ(again.measure("alpha beta gamma", DT_WORDBREAK, 1000).bottom, oneLine.bottom);
        EXPECT_EQ(again.measure("alpha beta gamma", DT_WORDBREAK | DT_SINGLELINE, alpha).bottom, oneLine.bottom);
    }
}

TEST(GdiText, ClipRegionLimitsTheGlyphs) {
    TextCanvas whole(120, 30), clipped(120, 30);
    RECT r{2, 2, 120, 30};
    ASSERT_GT(DrawTextA(whole.dc(), "Options", -1, &r, 0), 0);
    // A clip region of two separate columns: text shows in both and nowhere else.
    const HRGN left = CreateRectRgn(0, 0, 12, 30);
    const HRGN right = CreateRectRgn(25, 0, 40, 30);
    ASSERT_NE(CombineRgn(left, left, right, RGN_OR), ERROR);
    ASSERT_NE(SelectClipRgn(clipped.dc(), left), ERROR);
    ASSERT_GT(DrawTextA(clipped.dc(), "Options", -1, &r, 0), 0);
    SelectClipRgn(clipped.dc(), HRGN());  // pixels are read without a clip
    std::set<std::pair<int, int>> expected;
    for (const auto& [x, y] : whole.marked())
        if (x < 12 || (x >= 25 && x < 40)) expected.insert({x, y});
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(clipped.marked(), expected);
    DeleteObject(left);
    DeleteObject(right);
}

}  // namespace
}  // namespace corvane::gdi
