// The background load's thread runs in the scheduler's idle class; other threads keep their class.
#include <gtest/gtest.h>

#include <sched.h>

#include <thread>

#include "platform/thread_priority.h"

namespace corvane::platform {
namespace {

TEST(ThreadPriority, OnlyTheCallingThreadRunsWhenIdle) {
    const int before = ::sched_getscheduler(0);
    int inThread = -1;
    bool changed = false;
    std::thread worker([&] {
        changed = RunThisThreadWhenIdle();
        inThread = ::sched_getscheduler(0);
    });
    worker.join();
    EXPECT_TRUE(changed);
    EXPECT_EQ(inThread, SCHED_IDLE);
    EXPECT_EQ(::sched_getscheduler(0), before);
    EXPECT_NE(before, SCHED_IDLE);
}

}  // namespace
}  // namespace corvane::platform
