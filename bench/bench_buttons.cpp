// A burst of ten property changes wrapped in DelayDrawing True ... False against one property change:
// both must repaint the button exactly once; the burst's cost is printed as a ratio to the single setter.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "widgets/buttons/zq_buttons_h.h"

namespace {

using corvane::buttons::Rgb;
using corvane::buttons::zqButtons_H;

struct Fixture {
    QWidget form;
    std::unique_ptr<zqButtons_H> button;
    Fixture() {
        button = std::make_unique<zqButtons_H>(&form);
        button->resize(120, 32);
        button->InitNewInstance();
        button->SetCaption(QStringLiteral("&Options"));
    }
};

void SingleSetter(benchmark::State& state) {
    Fixture f;
    int flip = 0;
    long long repaints = 0;
    for (auto _ : state) {
        const int before = f.button->RedrawCount();
        f.button->SetBackColor(Rgb(200, 100 + (flip ^= 1), 50));
        const int painted = f.button->RedrawCount() - before;
        if (painted != 1) {
            state.SkipWithError("a single setter must repaint exactly once");
            break;
        }
        repaints += painted;
    }
    state.counters["repaints_per_change"] =
        benchmark::Counter(static_cast<double>(repaints), benchmark::Counter::kAvgIterations);
}

void Burst(benchmark::State& state) {
    Fixture f;
    int flip = 0;
    long long repaints = 0;
    for (auto _ : state) {
        flip ^= 1;
        const int before = f.button->RedrawCount();
        f.button->DelayDrawing(true);
        f.button->SetCaption(flip != 0 ? QStringLiteral("&Update") : QStringLiteral("&Options"));
        f.button->SetCaptionAlign(flip);
        f.button->SetCaptionStyle(flip);
        f.button->SetButtonStyle(flip != 0 ? 3 : 2);
        f.button->SetBackColor(Rgb(200, 100 + flip, 50));
        f.button->SetGradientColor(Rgb(10, 20, 30 + flip));
        f.button->SetGradientMode(flip != 0 ? 3 : 0);
        f.button->SetPictureAlign(flip);
        f.button->SetPictureSize(flip);
        f.button->SetShowFocusRect(flip != 0);
        f.button->DelayDrawing(false);
        const int painted = f.button->RedrawCount() - before;
        if (painted != 1) {
            state.SkipWithError("a DelayDrawing burst must repaint exactly once");
            break;
        }
        repaints += painted;
    }
    state.counters["repaints_per_burst"] =
        benchmark::Counter(static_cast<double>(repaints), benchmark::Counter::kAvgIterations);
}

BENCHMARK(SingleSetter);
BENCHMARK(Burst);

// Reports as usual and keeps each benchmark's time per iteration for the ratio.
class RatioReporter final : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal; a log gets plain text.
    RatioReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (!run.error_occurred)
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
            else
                failed = true;
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
    bool failed = false;
};

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (reporter.failed) {
        std::printf("FAILED: a change did not repaint exactly once\n");
        return 1;
    }
    const auto single = reporter.times.find("SingleSetter");
    const auto burst = reporter.times.find("Burst");
    if (single != reporter.times.end() && burst != reporter.times.end() && single->second > 0) {
        std::printf("repaints: single setter 1, burst of ten setters 1\n");
        std::printf("burst / single setter cost ratio: %.2f (ten setters cost %.2f single repainting setters)\n",
                    burst->second / single->second, burst->second / single->second);
    }
    return 0;
}
