// The whole suite runs in a network namespace of its own: the program under test tears down listed
// connections, and in here only the test's own connections exist.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "../engine/private_network.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::geteuid() == 0) {
        if (const auto why = corvane::engine::testing::EnterPrivateNetwork(); !why.empty()) {
            std::fprintf(stderr, "no private network: %s\n", why.c_str());
            return 1;
        }
    }
    return RUN_ALL_TESTS();
}
