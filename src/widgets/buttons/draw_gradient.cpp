#include "widgets/buttons/draw_gradient.h"

#include <QGuiApplication>
#include <QScreen>
#include <vector>

#include "platform/gdi/dc.h"
#include "platform/gdi/pen_brush.h"
#include "platform/gdi/shapes.h"
#include "widgets/buttons/colors.h"

namespace corvane::buttons {
namespace {

// One filled rectangle without a separate border: a brush and a 1-pixel solid pen of the fill colour,
// both made for this rectangle and deleted after it; the canvas gets its own tools back.
void FillBand(gdi::HDC canvas, int left, int top, int right, int bottom, OleColor fill) {
    const auto color = static_cast<gdi::COLORREF>(fill) & 0xFFFFFFu;
    const gdi::HBRUSH brush = gdi::CreateSolidBrush(color);
    const gdi::HPEN pen = gdi::CreatePen(gdi::PS_SOLID, 1, color);
    if (brush && pen) {
        const gdi::HGDIOBJ oldBrush = gdi::SelectObject(canvas, brush);
        const gdi::HGDIOBJ oldPen = gdi::SelectObject(canvas, pen);
        static_cast<void>(gdi::Rectangle(canvas, left, top, right, bottom));  // a failing band is skipped
        if (oldBrush) static_cast<void>(gdi::SelectObject(canvas, oldBrush));
        if (oldPen) static_cast<void>(gdi::SelectObject(canvas, oldPen));
    }
    if (brush) static_cast<void>(gdi::DeleteObject(brush));
    if (pen) static_cast<void>(gdi::DeleteObject(pen));
}

}  // namespace

QSize DesktopScreenSize() {
    if (QGuiApplication::instance() == nullptr) return {};
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->size() : QSize();
}

void DrawGradient(gdi::HDC canvas, int width, int height, std::int32_t gradientMode, OleColor from, OleColor to,
                  QSize screen) {
    const GradientBands plan = PlanGradient(gradientMode, width, height, screen.width(), screen.height());
    if (plan.count <= 0) return;
    std::vector<OleColor> bands(static_cast<std::size_t>(plan.count));
    BuildGradientColors(bands, from, to);
    int left = 0, top = 0, right = width, bottom = height;
    if (plan.horizontal)
        right = plan.width;
    else
        bottom = plan.width;
    const bool forward = gradientMode % 2 == 1;
    for (int i = 0; i < plan.count; ++i) {
        const int index = forward ? i : plan.count - 1 - i;
        FillBand(canvas, left, top, right, bottom, bands[static_cast<std::size_t>(index)]);
        if (plan.horizontal) {
            left += plan.width;
            right += plan.width;
        } else {
            top += plan.width;
            bottom += plan.width;
        }
    }
}

}  // namespace corvane::buttons
