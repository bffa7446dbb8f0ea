#include "tray_test_support.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

#include "child_process.h"

namespace corvane::platform::testing {
namespace {

constexpr char kSkipFileVariable[] = "CORVANE_TRAY_SKIP_FILE";

std::optional<TrayHostKind>& Claimed() {
    static std::optional<TrayHostKind> kind;
    return kind;
}

TestPicture MakePicture(const QTemporaryDir& folder, const char* name, QColor upper, QColor lower) {
    QImage image(32, 32, QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) image.setPixelColor(x, y, y < image.height() / 2 ? upper : lower);
    const QString path = folder.filePath(QString::fromLatin1(name));
    TestPicture picture{upper, lower, 0};
    if (image.save(path, "PNG")) picture.handle = LoadIconResource(path.toStdString());
    return picture;
}

struct Pictures {
    QTemporaryDir folder;
    TestPicture first = MakePicture(folder, "first.png", QColor(220, 40, 30), QColor(30, 190, 70));
    TestPicture second = MakePicture(folder, "second.png", QColor(40, 70, 230), QColor(235, 200, 20));
};

Pictures& AllPictures() {
    App();  // icons need the application
    static Pictures pictures;
    return pictures;
}

}  // namespace

bool TrayRequired() {
    const char* value = std::getenv("CORVANE_REQUIRE_TRAY");
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

void NoteSkipForParent(const std::string& reason) {
    const char* path = std::getenv(kSkipFileVariable);
    if (path == nullptr) return;
    std::ofstream out(path, std::ios::trunc);
    out << reason;
}

bool ClaimProcess(TrayHostKind kind) {
    auto& claimed = Claimed();
    if (!claimed) claimed = kind;
    return *claimed == kind;
}

ChildOutcome RunCurrentTestInChild() {
    ChildOutcome outcome;
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    QTemporaryDir scratch;
    const std::string skipFile = scratch.filePath(QStringLiteral("skipped")).toStdString();
    std::string error;
    auto child = ChildProcess::Start(
        {"/proc/self/exe", std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()},
        {{kSkipFileVariable, skipFile}}, ChildProcess::Output::Shared, error);
    if (!child) {
        outcome.detail = error;
        return outcome;
    }
    const int status = child->Wait();
    std::ifstream skipped(skipFile);
    std::ostringstream reason;
    reason << skipped.rdbuf();
    outcome.passed = status == 0;
    outcome.skipped = outcome.passed && !reason.str().empty();
    outcome.detail = outcome.skipped ? reason.str() : "the test process ended with status " + std::to_string(status);
    return outcome;
}

namespace {

std::unique_ptr<QApplication>& Application() {
    static std::unique_ptr<QApplication> application;
    return application;
}

}  // namespace

QApplication& App() {
    static int argc = 1;
    static char name[] = "test_tray";
    static char* argv[] = {name, nullptr};
    auto& application = Application();
    if (!application) {
        // The tray needs the X platform; an offscreen platform has no tray at all.
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        application = std::make_unique<QApplication>(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    return *application;
}

void EndApp() { Application().reset(); }

const TestPicture& FirstPicture() { return AllPictures().first; }
const TestPicture& SecondPicture() { return AllPictures().second; }

bool Near(const QColor& a, const QColor& b, int tolerance) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

std::string Describe(const QColor& colour) {
    return "rgb(" + std::to_string(colour.red()) + "," + std::to_string(colour.green()) + "," +
           std::to_string(colour.blue()) + ")";
}

NotifyIconData Record(WindowHandle owner, std::uint32_t flags, IconHandle icon, std::string_view tip) {
    NotifyIconData record;
    record.cbSize = 88;
    record.hWnd = owner;
    record.uID = 1;
    record.uFlags = flags;
    record.uCallbackMessage = WM_MOUSEMOVE;
    record.hIcon = icon;
    // The caption, a NUL, then blanks to the end of the field, as the program fills it.
    std::fill(std::begin(record.szTip), std::end(record.szTip), ' ');
    const auto length = std::min(tip.size(), sizeof record.szTip - 1);
    std::copy_n(tip.data(), length, record.szTip);
    record.szTip[length] = '\0';
    return record;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return QTest::qWaitFor(done, static_cast<int>(timeout.count()));
}

}  // namespace corvane::platform::testing
