// The drawing canvas against Qt's raster QPainter doing the same work on the same kind of buffer.
// Each pair runs in one program; the ratios (canvas time / QPainter time) are printed at the end.
#include <QImage>
#include <QPainter>
#include <QPolygon>
#include <QRegion>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <numbers>
#include <string>
#include <vector>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/blit.h"
#include "platform/gdi/dc.h"
#include "platform/gdi/pen_brush.h"
#include "platform/gdi/region.h"
#include "platform/gdi/shapes.h"

namespace gdi = corvane::gdi;

namespace {

constexpr int kW = 153;
constexpr int kH = 233;

struct Canvas {
    gdi::HDC dc;
    gdi::HBITMAP bitmap;
    gdi::HGDIOBJ old;
    Canvas(int w, int h) {
        dc = gdi::CreateCompatibleDC(nullptr);
        bitmap = gdi::CreateCompatibleBitmap(gdi::GetDC(nullptr), w, h);
        old = gdi::SelectObject(dc, bitmap);
    }
    ~Canvas() {
        gdi::DeleteObject(gdi::SelectObject(dc, gdi::GetStockObject(gdi::BLACK_PEN)));
        gdi::DeleteObject(gdi::SelectObject(dc, gdi::GetStockObject(gdi::WHITE_BRUSH)));
        gdi::SelectObject(dc, old);
        gdi::DeleteObject(bitmap);
        gdi::DeleteDC(dc);
    }
};

gdi::COLORREF rowColour(int i) { return gdi::RGB(200 - i / 2, 180 - i / 3, 160); }

// The button's shaded face: per row a brush and a pen of the row's colour, then a one-row
// rectangle (pen outline and fill both inside the row).
void BM_RowFill_Canvas(benchmark::State& state) {
    Canvas c(kW, kH);
    for (auto _ : state) {
        for (int i = 0; i < kH; ++i) {
            gdi::DeleteObject(gdi::SelectObject(c.dc, gdi::CreateSolidBrush(rowColour(i))));
            gdi::DeleteObject(gdi::SelectObject(c.dc, gdi::CreatePen(gdi::PS_SOLID, 1, rowColour(i))));
            gdi::Rectangle(c.dc, 0, i, kW, i + 1);
        }
        benchmark::ClobberMemory();
    }
}

void BM_RowFill_QPainter(benchmark::State& state) {
    QImage image(kW, kH, QImage::Format_RGB32);
    QPainter p(&image);
    for (auto _ : state) {
        for (int i = 0; i < kH; ++i) {
            const gdi::COLORREF c = rowColour(i);
            p.fillRect(QRect(0, i, kW, 1), QColor(gdi::GetRValue(c), gdi::GetGValue(c), gdi::GetBValue(c)));
        }
        benchmark::ClobberMemory();
    }
}

std::vector<gdi::POINT> ring() {
    std::vector<gdi::POINT> points;
    for (int k = 0; k <= 12; ++k) {
        const double a = 2 * std::numbers::pi * (k % 12) / 12;
        points.push_back({static_cast<gdi::LONG>(std::lround(76 + 70 * std::cos(a))),
                          static_cast<gdi::LONG>(std::lround(116 + 100 * std::sin(a)))});
    }
    return points;
}

void BM_PolylineRing_Canvas(benchmark::State& state) {
    Canvas c(kW, kH);
    const auto points = ring();
    for (auto _ : state) {
        gdi::Polyline(c.dc, points.data(), static_cast<int>(points.size()));
        benchmark::ClobberMemory();
    }
}

void BM_PolylineRing_QPainter(benchmark::State& state) {
    QImage image(kW, kH, QImage::Format_RGB32);
    QPainter p(&image);
    p.setPen(QPen(Qt::black, 0));
    QPolygon polygon;
    for (const auto& pt : ring()) polygon << QPoint(pt.x, pt.y);
    for (auto _ : state) {
        p.drawPolyline(polygon);
        benchmark::ClobberMemory();
    }
}

void BM_StretchBlt_Canvas(benchmark::State& state) {
    Canvas src(100, 100), dst(200, 200);
    gdi::PatBlt(src.dc, 0, 0, 100, 100, gdi::WHITENESS);
    for (auto _ : state) {
        gdi::StretchBlt(dst.dc, 0, 0, 200, 200, src.dc, 0, 0, 100, 100, gdi::SRCCOPY);
        benchmark::ClobberMemory();
    }
}

void BM_StretchBlt_QPainter(benchmark::State& state) {
    QImage src(100, 100, QImage::Format_RGB32);
    src.fill(Qt::white);
    QImage dst(200, 200, QImage::Format_RGB32);
    QPainter p(&dst);
    for (auto _ : state) {
        p.drawImage(QRect(0, 0, 200, 200), src);
        benchmark::ClobberMemory();
    }
}

// 1,000 pixel runs on 40 rows, as a picture's background scan produces them. Every rectangle is
// a region object of its own (CreateRectRgn, CombineRgn, DeleteObject) whose handle is looked up
// and checked at each call, so a deleted or forged handle fails instead of crashing; QRegion's
// "+= QRect" has none of that. The canvas makes up part of it by appending each run to a plain
// list in QRegion's band order and building the QRegion only when the region is used.
QRect run(int k) { return QRect((k % 25) * 6 + (k / 25) % 3, k / 25, 4, 1); }

void BM_RegionBuild_Canvas(benchmark::State& state) {
    for (auto _ : state) {
        const gdi::HRGN all = gdi::CreateRectRgn(0, 0, 0, 0);
        for (int k = 0; k < 1000; ++k) {
            const QRect r = run(k);
            const gdi::HRGN part = gdi::CreateRectRgn(r.left(), r.top(), r.left() + r.width(), r.top() + r.height());
            gdi::CombineRgn(all, all, part, gdi::RGN_OR);
            gdi::DeleteObject(part);
        }
        benchmark::DoNotOptimize(all);
        gdi::DeleteObject(all);
    }
}

void BM_RegionBuild_QRegion(benchmark::State& state) {
    for (auto _ : state) {
        QRegion all;
        for (int k = 0; k < 1000; ++k) all += run(k);
        benchmark::DoNotOptimize(all);
    }
}

BENCHMARK(BM_RowFill_Canvas);
BENCHMARK(BM_RowFill_QPainter);
BENCHMARK(BM_PolylineRing_Canvas);
BENCHMARK(BM_PolylineRing_QPainter);
BENCHMARK(BM_StretchBlt_Canvas);
BENCHMARK(BM_StretchBlt_QPainter);
BENCHMARK(BM_RegionBuild_Canvas);
BENCHMARK(BM_RegionBuild_QRegion);

// Keeps each run's time per iteration so the ratios can be printed after the console output.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal; a log gets plain text.
    RatioReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) times_[r.benchmark_name()] = r.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void printRatios() const {
        const char* pairs[][3] = {{"row fill", "BM_RowFill_Canvas", "BM_RowFill_QPainter"},
                                  {"polyline ring", "BM_PolylineRing_Canvas", "BM_PolylineRing_QPainter"},
                                  {"stretch 200x200", "BM_StretchBlt_Canvas", "BM_StretchBlt_QPainter"},
                                  {"region of 1000 rects", "BM_RegionBuild_Canvas", "BM_RegionBuild_QRegion"}};
        for (const auto& p : pairs) {
            const auto a = times_.find(p[1]), b = times_.find(p[2]);
            if (a == times_.end() || b == times_.end() || b->second <= 0) continue;
            std::printf("ratio %-22s canvas / Qt = %.2fx\n", p[0], a->second / b->second);
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}
