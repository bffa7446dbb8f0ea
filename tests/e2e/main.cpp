// The whole suite runs in a network namespace of its own, entered before any thread exists: the service
// under test and its bus inherit it, and the listed connections it tears down are the test's own.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "../engine/private_network.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Without root there is no namespace (nor accounts, nor other users' windows): every test says so.
    if (::geteuid() == 0) {
        if (const auto why = corvane::engine::testing::EnterPrivateNetwork(); !why.empty()) {
            std::fprintf(stderr, "no private network: %s\n", why.c_str());
            return 1;
        }
    }
    return RUN_ALL_TESTS();
}
