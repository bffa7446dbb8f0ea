// One caption line ("Check for updates", 12 pixels, aliased) drawn with DrawTextA on a 225 x 33 colour
// bitmap, beside QPainter::drawText of the same line with the same font on an image of the same size:
// - the same text again and again with one font (a button repainting its caption);
// - a new font for each line (the first drawing after a button's font changes).
// The ratios (canvas CPU time / QPainter CPU time, fastest repetition of each) are printed at the end.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/dc.h"
#include "platform/gdi/font.h"
#include "platform/gdi/text.h"

namespace gdi = corvane::gdi;

namespace {

constexpr int kW = 225;
constexpr int kH = 33;
constexpr char kLine[] = "Check for updates";

gdi::LOGFONTA Describe() {
    gdi::LOGFONTA lf{};
    lf.lfHeight = -12;
    lf.lfWeight = gdi::FW_NORMAL;
    lf.lfCharSet = gdi::DEFAULT_CHARSET;
    std::strncpy(lf.lfFaceName, "DejaVu Sans", gdi::LF_FACESIZE - 1);
    return lf;
}

struct Canvas {
    gdi::HDC dc;
    gdi::HBITMAP bitmap;
    gdi::HGDIOBJ oldBitmap;
    gdi::HGDIOBJ oldFont{};
    Canvas() {
        dc = gdi::CreateCompatibleDC(nullptr);
        bitmap = gdi::CreateCompatibleBitmap(gdi::GetDC(nullptr), kW, kH);
        oldBitmap = gdi::SelectObject(dc, bitmap);
        static_cast<void>(gdi::SetBkMode(dc, gdi::TRANSPARENT));
    }
    ~Canvas() {
        if (oldFont) static_cast<void>(gdi::DeleteObject(gdi::SelectObject(dc, oldFont)));
        static_cast<void>(gdi::SelectObject(dc, oldBitmap));
        static_cast<void>(gdi::DeleteObject(bitmap));
        static_cast<void>(gdi::DeleteDC(dc));
    }
    void UseNewFont() {
        const gdi::LOGFONTA lf = Describe();
        const gdi::HGDIOBJ replaced = gdi::SelectObject(dc, gdi::CreateFontIndirectA(&lf));
        if (oldFont)
            static_cast<void>(gdi::DeleteObject(replaced));
        else
            oldFont = replaced;
    }
    bool Draw() {
        gdi::RECT r{40, 8, kW - 4, kH - 4};
        return gdi::DrawTextA(dc, kLine, -1, &r, gdi::DT_WORDBREAK) > 0;
    }
};

QFont QtFont() {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(12);
    font.setStyleStrategy(QFont::NoAntialias);
    font.setKerning(false);
    return font;
}

void SameText_Canvas(benchmark::State& state) {
    Canvas c;
    c.UseNewFont();
    // The first drawing lays the line out (and, first in the process, loads the font); "again" is
    // every drawing after it.
    if (!c.Draw()) state.SkipWithError("DrawTextA failed");
    for (auto _ : state)
        if (!c.Draw()) {
            state.SkipWithError("DrawTextA failed");
            break;
        }
}

void SameText_QPainter(benchmark::State& state) {
    QImage image(kW, kH, QImage::Format_RGB32);
    const QFont font = QtFont();
    {
        QPainter p(&image);  // the same first drawing as on the canvas side, untimed
        p.setFont(font);
        p.drawText(QPointF(40, 20), QString::fromLatin1(kLine));
    }
    for (auto _ : state) {
        QPainter p(&image);
        p.setFont(font);
        p.drawText(QPointF(40, 20), QString::fromLatin1(kLine));
    }
}

void NewFont_Canvas(benchmark::State& state) {
    Canvas c;
    for (auto _ : state) {
        c.UseNewFont();
        if (!c.Draw()) {
            state.SkipWithError("DrawTextA failed");
            break;
        }
    }
}

void NewFont_QPainter(benchmark::State& state) {
    QImage image(kW, kH, QImage::Format_RGB32);
    for (auto _ : state) {
        QPainter p(&image);
        p.setFont(QtFont());
        p.drawText(QPointF(40, 20), QString::fromLatin1(kLine));
    }
}

BENCHMARK(SameText_Canvas);
BENCHMARK(SameText_QPainter);
BENCHMARK(NewFont_Canvas);
BENCHMARK(NewFont_QPainter);

// Reports as usual and keeps the fastest CPU time of each benchmark for the ratios.
class RatioReporter final : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            const auto [at, inserted] = cpu.emplace(run.run_name.function_name, run.GetAdjustedCPUTime());
            if (!inserted) at->second = std::min(at->second, run.GetAdjustedCPUTime());
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintRatio(const char* what, const char* canvas, const char* reference) const {
        const auto a = cpu.find(canvas), b = cpu.find(reference);
        if (a != cpu.end() && b != cpu.end() && b->second > 0)
            std::printf("%s: canvas / QPainter ratio %.2f\n", what, a->second / b->second);
    }
    std::map<std::string, double> cpu;
};

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    reporter.PrintRatio("same caption line again", "SameText_Canvas", "SameText_QPainter");
    reporter.PrintRatio("caption line with a new font", "NewFont_Canvas", "NewFont_QPainter");
    return 0;
}
