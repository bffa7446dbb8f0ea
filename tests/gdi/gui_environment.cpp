// The text and font tests need a QGuiApplication (its font database); the offscreen platform
// gives one without a display. It is made once for the whole test program.
#include <QGuiApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace {

class GuiEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "test_gdi";
        static char* argv[] = {name, nullptr};
        app() = std::make_unique<QGuiApplication>(argc, argv);
    }

private:
    // Kept until the program ends, after every drawing object of the thread is gone.
    static std::unique_ptr<QGuiApplication>& app() {
        static std::unique_ptr<QGuiApplication> instance;
        return instance;
    }
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new GuiEnvironment);

}  // namespace
