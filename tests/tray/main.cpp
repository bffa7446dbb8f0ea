// The tray tests' program: the application is made by the first test that needs it (after its group's
// desktop is in place) and ended here, before the static objects.
#include <gtest/gtest.h>

#include "tray_test_support.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    corvane::platform::testing::EndApp();
    return result;
}
