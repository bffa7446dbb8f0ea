#include "button_test_support.h"

#include <gtest/gtest.h>
#include <QElapsedTimer>
#include <QThread>

namespace corvane::buttons::testing {
namespace {

std::unique_ptr<QApplication>& AppSlot() {
    static std::unique_ptr<QApplication> app;
    return app;
}

// The application ends with the tests, before the program's own exit handlers run.
class AppEnvironment final : public ::testing::Environment {
public:
    void SetUp() override { App(); }
    void TearDown() override { AppSlot().reset(); }
};

[[maybe_unused]] const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new AppEnvironment);  // gtest owns it

}  // namespace

QApplication& App() {
    static int argc = 1;
    static char name[] = "test_buttons";
    static char* argv[] = {name, nullptr};
    std::unique_ptr<QApplication>& app = AppSlot();
    if (!app) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QApplication>(argc, argv);
        QGuiApplication::setApplicationDisplayName(QStringLiteral("Corvane"));
    }
    return *app;
}

EventRecorder::EventRecorder(zqButtons_H& b, bool withRedraws) {
    auto* self = this;
    QObject::connect(&b, &zqButtons_H::MouseDown, context_.get(),
                     [self](std::int16_t& button, std::int16_t&, float&, float&) {
                         self->events.push_back("MouseDown " + std::to_string(button));
                     });
    QObject::connect(&b, &zqButtons_H::MouseUp, context_.get(),
                     [self](std::int16_t& button, std::int16_t&, float&, float&) {
                         self->events.push_back("MouseUp " + std::to_string(button));
                     });
    QObject::connect(&b, &zqButtons_H::MouseMove, context_.get(),
                     [self](std::int16_t&, std::int16_t&, float&, float&) { self->events.push_back("MouseMove"); });
    QObject::connect(&b, &zqButtons_H::KeyDown, context_.get(), [self](std::int16_t& key, std::int16_t&) {
        self->events.push_back("KeyDown " + std::to_string(key));
    });
    QObject::connect(&b, &zqButtons_H::KeyPress, context_.get(),
                     [self](std::int16_t& ascii) { self->events.push_back("KeyPress " + std::to_string(ascii)); });
    QObject::connect(&b, &zqButtons_H::KeyUp, context_.get(), [self](std::int16_t& key, std::int16_t&) {
        self->events.push_back("KeyUp " + std::to_string(key));
    });
    QObject::connect(&b, &zqButtons_H::MouseOnButton, context_.get(),
                     [self](bool& on) { self->events.push_back(on ? "MouseOnButton True" : "MouseOnButton False"); });
    QObject::connect(&b, &zqButtons_H::Click, context_.get(), [self] { self->events.push_back("Click"); });
    QObject::connect(&b, &zqButtons_H::DoubleClick, context_.get(),
                     [self](std::int16_t& button) { self->events.push_back("DoubleClick " + std::to_string(button)); });
    QObject::connect(&b, &zqButtons_H::PropertyChanged, context_.get(),
                     [self](const QString& key) { self->events.push_back("Changed " + key.toStdString()); });
    if (withRedraws)
        QObject::connect(&b, &zqButtons_H::Redrawn, context_.get(), [self] { self->events.push_back("Redraw"); });
}

CursorGuard::CursorGuard() : previous_(platform::SetCursorProvider(owned_)) {}

CursorGuard::~CursorGuard() { platform::SetCursorProvider(previous_); }

MessageBoxCatcher::MessageBoxCatcher() {
    previous_ = platform::SetMessageBoxInterceptor([this](const platform::MessageBoxRequest& request) {
        shown.push_back(request);
        return platform::IDOK;
    });
}

MessageBoxCatcher::~MessageBoxCatcher() { platform::SetMessageBoxInterceptor(previous_); }

bool WaitUntil(const std::function<bool()>& done, int limitMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limitMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

}  // namespace corvane::buttons::testing
