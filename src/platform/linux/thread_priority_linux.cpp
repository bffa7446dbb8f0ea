#include <pthread.h>
#include <sched.h>

#include "platform/thread_priority.h"

namespace corvane::platform {

bool RunThisThreadWhenIdle() {
    sched_param parameters{};
    parameters.sched_priority = 0;  // the only priority of the idle class
    return ::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &parameters) == 0;
}

}  // namespace corvane::platform
