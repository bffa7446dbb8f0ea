// The system colour table and its replaceable source.
#include <gtest/gtest.h>

#include "platform/gdi/sys_colors.h"

namespace corvane::gdi {
namespace {

TEST(GdiSysColors, ClassicTableAndReplaceableSource) {
    SetSysColorSource({});
    EXPECT_EQ(GetSysColor(COLOR_BTNFACE), RGB(212, 208, 200));
    EXPECT_EQ(GetSysColor(COLOR_BTNTEXT), 0u);
    EXPECT_EQ(GetSysColor(COLOR_WINDOW), 0xFFFFFFu);
    EXPECT_EQ(GetSysColor(COLOR_HIGHLIGHT), RGB(10, 36, 106));
    EXPECT_EQ(GetSysColor(COLOR_BTNSHADOW), 0x808080u);
    EXPECT_EQ(GetSysColor(COLOR_BTNHIGHLIGHT), 0xFFFFFFu);
    EXPECT_EQ(GetSysColor(COLOR_3DDKSHADOW), RGB(64, 64, 64));
    EXPECT_EQ(GetSysColor(-1), 0u);
    EXPECT_EQ(GetSysColor(31), 0u);

    // A source answers what it knows; the rest comes from the classic table.
    SetSysColorSource([](int index) -> std::optional<COLORREF> {
        if (index == COLOR_BTNFACE) return 0xFF00FF01u;  // only 24 bits are kept
        return std::nullopt;
    });
    EXPECT_EQ(GetSysColor(COLOR_BTNFACE), 0x00FF01u);
    EXPECT_EQ(GetSysColor(COLOR_HIGHLIGHT), RGB(10, 36, 106));

    QPalette palette;
    palette.setColor(QPalette::Active, QPalette::Button, QColor(1, 2, 3));
    palette.setColor(QPalette::Active, QPalette::ButtonText, QColor(4, 5, 6));
    palette.setColor(QPalette::Active, QPalette::Highlight, QColor(7, 8, 9));
    SetSysColorSource(PaletteSysColorSource(palette));
    EXPECT_EQ(GetSysColor(COLOR_BTNFACE), RGB(1, 2, 3));
    EXPECT_EQ(GetSysColor(COLOR_BTNTEXT), RGB(4, 5, 6));
    EXPECT_EQ(GetSysColor(COLOR_HIGHLIGHT), RGB(7, 8, 9));
    EXPECT_EQ(GetSysColor(COLOR_ACTIVECAPTION), ClassicSysColor(COLOR_ACTIVECAPTION));
    SetSysColorSource({});
    EXPECT_EQ(GetSysColor(COLOR_BTNFACE), RGB(212, 208, 200));
}

}  // namespace
}  // namespace corvane::gdi
