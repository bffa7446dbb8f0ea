// %NAME% expansion and its buffer rules.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <string>

#include "platform/environment.h"

namespace corvane::platform {
namespace {

class Environment : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("CORVANE_TEST_DIR", "/srv/data", 1);
        setenv("corvane_test_lower", "low", 1);
        unsetenv("CORVANE_TEST_UNSET");
    }
    void TearDown() override {
        unsetenv("CORVANE_TEST_DIR");
        unsetenv("corvane_test_lower");
    }
};

TEST_F(Environment, ReferencesExpandAndUnknownOnesStay) {
    EXPECT_EQ(expand_environment("%CORVANE_TEST_DIR%\\x"), "/srv/data\\x");
    EXPECT_EQ(expand_environment("%corvane_test_dir%"), "/srv/data") << "names match in any case";
    EXPECT_EQ(expand_environment("%CORVANE_TEST_LOWER%"), "low");
    EXPECT_EQ(expand_environment("a%CORVANE_TEST_UNSET%b"), "a%CORVANE_TEST_UNSET%b");
    EXPECT_EQ(expand_environment("100%"), "100%");
    EXPECT_EQ(expand_environment("%%"), "%%");
    EXPECT_EQ(expand_environment("%CORVANE_TEST_DIR%%CORVANE_TEST_DIR%"), "/srv/data/srv/data");
    EXPECT_EQ(expand_environment(""), "");
}

TEST_F(Environment, BufferThatIsTooSmallIsLeftAloneAndTheNeedIsReported) {
    std::array<char, 6> small{'#', '#', '#', '#', '#', '#'};
    EXPECT_EQ(expand_environment_strings("%CORVANE_TEST_DIR%", small), 10u);
    EXPECT_EQ(std::string(small.begin(), small.end()), "######");

    std::array<char, 10> exact{};
    EXPECT_EQ(expand_environment_strings("%CORVANE_TEST_DIR%", exact), 10u);
    EXPECT_STREQ(exact.data(), "/srv/data");

    // Expansion needs one byte more than the text for its NUL.
    std::array<char, 3> text_sized{};
    EXPECT_EQ(expand_environment_strings("abc", text_sized), 4u);
}

}  // namespace
}  // namespace corvane::platform
