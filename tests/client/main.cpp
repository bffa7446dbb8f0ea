// The client tests share one application object (Qt D-Bus delivers signals on its event loop) and one private
// bus that stands for the system bus (see private_bus.h).
#include <QCoreApplication>

#include <gtest/gtest.h>

#include "private_bus.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    const int result = RUN_ALL_TESTS();
    corvane::platform::testing::StopSystemBus();  // while the application object still stands
    return result;
}
