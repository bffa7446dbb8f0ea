#include "widgets/buttons/draw_gradient.h"

#include <QGuiApplication>
#include <QScreen>
#include <vector>

#include "widgets/buttons/canvas_tools.h"
#include "widgets/buttons/colors.h"

namespace corvane::buttons {

QSize DesktopScreenSize() {
    if (QGuiApplication::instance() == nullptr) return {};
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->size() : QSize();
}

void DrawGradient(gdi::HDC canvas, int width, int height, std::int32_t gradientMode, OleColor from, OleColor to,
                  QSize screen) {
    const GradientBands plan = PlanGradient(gradientMode, width, height, screen.width(), screen.height());
    if (plan.count <= 0) return;
    // The band colours, kept per thread between calls so a repaint allocates nothing for them.
    thread_local std::vector<OleColor> bands;
    bands.assign(static_cast<std::size_t>(plan.count), 0);
    BuildGradientColors(bands, from, to);
    int left = 0, top = 0, right = width, bottom = height;
    if (plan.horizontal)
        right = plan.width;
    else
        bottom = plan.width;
    const bool forward = gradientMode % 2 == 1;
    for (int i = 0; i < plan.count; ++i) {
        const int index = forward ? i : plan.count - 1 - i;
        FillBox(canvas, left, top, right, bottom, bands[static_cast<std::size_t>(index)]);
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
