// The button control's costs, each beside its reference in the same run:
// - a burst of ten property changes wrapped in DelayDrawing True ... False against one property change
//   (both must repaint the button exactly once);
// - a full repaint of a 153 x 233 style-7 button with a vertical gradient, and of a 225 x 33 command
//   button with a 24-pixel picture and a caption, against a stock QPushButton of the same size, caption
//   and icon rendered to an image with QWidget::render. The allocations of one repaint are counted.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QJsonObject>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <string>

#include "widgets/buttons/button_picture.h"
#include "widgets/buttons/zq_buttons_h.h"

// Every allocation of the program is counted, so a repaint's allocations can be reported: heap blocks
// from malloc, calloc, realloc and operator new alike (Qt's strings and images take theirs from malloc).
// Under AddressSanitizer, which owns malloc, only operator new is counted.
#if defined(__SANITIZE_ADDRESS__)
#define CORVANE_BENCH_COUNTS_MALLOC 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVANE_BENCH_COUNTS_MALLOC 0
#endif
#endif
#ifndef CORVANE_BENCH_COUNTS_MALLOC
#define CORVANE_BENCH_COUNTS_MALLOC 1
#endif

namespace {
std::atomic<long long> gAllocations{0};
}  // namespace

#if CORVANE_BENCH_COUNTS_MALLOC
// glibc's own entry points; the program's malloc family counts and hands every call on to them.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void __libc_free(void* block);

void* malloc(std::size_t size) noexcept {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) noexcept {
    if (size != 0) gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}
void free(void* block) noexcept { __libc_free(block); }
}
#else
void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

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

// The 24-pixel picture of the command buttons: a disc on a white background.
QImage Picture24() {
    QImage image(24, 24, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(30, 120, 60));
    p.drawEllipse(2, 2, 20, 20);
    return image;
}

struct Zq {
    QWidget form;
    std::unique_ptr<zqButtons_H> button;
    Zq(int w, int h, const QJsonObject& data) {
        button = std::make_unique<zqButtons_H>(&form);
        button->resize(w, h);
        button->LoadInstanceData(data);
        button->Refresh();
    }
};

// The allocations of one repaint, by benchmark.
std::map<std::string, long long> gRepaintAllocations;

// One full repaint per iteration; the allocations of one repaint are reported.
void RepaintZq(benchmark::State& state, Zq& zq, const char* name) {
    const long long before = gAllocations.load();
    zq.button->Refresh();
    const long long perRepaint = gAllocations.load() - before;
    for (auto _ : state) {
        zq.button->Refresh();
        benchmark::ClobberMemory();
    }
    state.counters["allocations_per_repaint"] = static_cast<double>(perRepaint);
    gRepaintAllocations[name] = perRepaint;
}

void RenderStock(benchmark::State& state, QPushButton& button) {
    QImage image(button.size(), QImage::Format_RGB32);
    for (auto _ : state) {
        button.render(&image);
        benchmark::ClobberMemory();
    }
}

void GradientStyle7_Zq(benchmark::State& state) {
    Zq zq(153, 233,
          {{"Caption", "Gradient"},
           {"BackStyle", 7},
           {"Gradient", 3},
           {"cBack", Rgb(200, 220, 250)},
           {"cGradient", Rgb(40, 80, 160)}});
    RepaintZq(state, zq, "GradientStyle7_Zq");
}

void GradientStyle7_QPushButton(benchmark::State& state) {
    QPushButton button(QStringLiteral("Gradient"));
    button.resize(153, 233);
    RenderStock(state, button);
}

void CommandWithPicture_Zq(benchmark::State& state) {
    const QJsonValue picture = corvane::buttons::PictureToJson(corvane::buttons::MakePicture(Picture24()));
    Zq zq(225, 33, {{"Caption", "Check for updates"}, {"Image", picture}, {"ImgSize", 24}, {"ImgAlign", 1}});
    RepaintZq(state, zq, "CommandWithPicture_Zq");
}

void CommandWithPicture_QPushButton(benchmark::State& state) {
    QPushButton button(QIcon(QPixmap::fromImage(Picture24())), QStringLiteral("Check for updates"));
    button.setIconSize(QSize(24, 24));
    button.resize(225, 33);
    RenderStock(state, button);
}

BENCHMARK(GradientStyle7_Zq);
BENCHMARK(GradientStyle7_QPushButton);
BENCHMARK(CommandWithPicture_Zq);
BENCHMARK(CommandWithPicture_QPushButton);

// Reports as usual and keeps each benchmark's time per iteration for the ratio: with repetitions
// (--benchmark_repetitions), the fastest repetition of each, which is the one least disturbed by other
// programs on a shared machine.
class RatioReporter final : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal; a log gets plain text.
    RatioReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                failed = true;
                continue;
            }
            if (run.run_type != Run::RT_Iteration) continue;
            const std::string& name = run.run_name.function_name;
            Keep(times, name, run.GetAdjustedRealTime());
            Keep(cpu, name, run.GetAdjustedCPUTime());
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
    std::map<std::string, double> cpu;  // the repaint ratios use CPU time: the machine may be shared
    bool failed = false;

private:
    static void Keep(std::map<std::string, double>& into, const std::string& name, double value) {
        const auto [at, inserted] = into.emplace(name, value);
        if (!inserted) at->second = std::min(at->second, value);
    }
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
    const auto ratio = [&](const char* name, const char* reference, const char* what) {
        const auto a = reporter.cpu.find(name), b = reporter.cpu.find(reference);
        if (a != reporter.cpu.end() && b != reporter.cpu.end() && b->second > 0)
            std::printf("%s / stock QPushButton render ratio: %.2f\n", what, a->second / b->second);
    };
    ratio("GradientStyle7_Zq", "GradientStyle7_QPushButton", "153 x 233 style-7 gradient repaint");
    ratio("CommandWithPicture_Zq", "CommandWithPicture_QPushButton", "225 x 33 command button with picture");
    for (const auto& [name, count] : gRepaintAllocations)
        std::printf("%s: %lld allocations per repaint%s\n", name.c_str(), count,
                    CORVANE_BENCH_COUNTS_MALLOC ? "" : " (operator new only)");
    const auto single = reporter.times.find("SingleSetter");
    const auto burst = reporter.times.find("Burst");
    if (single != reporter.times.end() && burst != reporter.times.end() && single->second > 0) {
        std::printf("repaints: single setter 1, burst of ten setters 1\n");
        std::printf("burst / single setter cost ratio: %.2f (ten setters cost %.2f single repainting setters)\n",
                    burst->second / single->second, burst->second / single->second);
    }
    return 0;
}
