#pragma once
// A button drawn on its window, for pixel tests: loaded from saved values, put into a state, and read back
// through the window's device context. Colours are plain RGB so no system colour is involved.
#include <QJsonObject>
#include <memory>

#include "button_test_support.h"
#include "platform/gdi/dc.h"
#include "platform/gdi/region.h"
#include "platform/gdi/shapes.h"
#include "widgets/buttons/colors.h"

namespace corvane::buttons::testing {

inline constexpr OleColor kBack = Rgb(192, 160, 128);  // the face of every drawn test button
inline constexpr OleColor kContainer = Rgb(90, 100, 110);

class DrawnButtonTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        form = std::make_unique<QWidget>();
        QPalette palette = form->palette();
        palette.setColor(QPalette::Window, QColor(90, 100, 110));
        form->setPalette(palette);
        form->resize(400, 300);
    }
    void TearDown() override {
        button.reset();
        form.reset();
    }

    // A w x h button with the saved values `data` (cBack kBack and an empty caption unless given).
    zqButtons_H& Make(int w, int h, QJsonObject data) {
        if (!data.contains(QStringLiteral("cBack"))) data.insert(QStringLiteral("cBack"), kBack);
        if (!data.contains(QStringLiteral("Caption"))) data.insert(QStringLiteral("Caption"), QString());
        button = std::make_unique<zqButtons_H>(form.get());
        button->move(20, 20);
        button->resize(w, h);
        QString error;
        EXPECT_TRUE(button->LoadInstanceData(data, &error)) << error.toStdString();
        button->Refresh();
        return *button;
    }
    // The pointer over the button (hot), optionally with the left button held (pushed).
    void Hover(bool press = false) {
        cursor.cursor().under = button->hwnd();
        button->HostMouseMove(0, 0, 1, 1);
        if (press) button->HostMouseDown(1, 0, 1, 1);
    }
    void Focus() { button->SetDefault(true); }

    OleColor At(int x, int y) const { return static_cast<OleColor>(gdi::GetPixel(button->hDC(), x, y)); }
    bool Inside(int x, int y) const {
        const gdi::HRGN region = button->GetWindowRgn();
        const bool in = region && gdi::PtInRegion(region, x, y);
        gdi::DeleteObject(region);
        return in;
    }
    int W() const { return button->width(); }
    int H() const { return button->height(); }

    CursorGuard cursor;
    std::unique_ptr<QWidget> form;
    std::unique_ptr<zqButtons_H> button;
};

}  // namespace corvane::buttons::testing
