#pragma once
// The scheduling priority of the calling thread.

namespace corvane::platform {

// From now on the calling thread runs only on processor time nothing else wants (the scheduler's idle
// class), for background work no one waits for. False, with the priority unchanged, when the system
// refuses.
bool RunThisThreadWhenIdle();

}  // namespace corvane::platform
