#pragma once
// What the engine needs from the loop that runs it.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace corvane::engine {

class ScanHost {
public:
    virtual ~ScanHost() = default;
    virtual void Yield() = 0;  // lets the loop's pending events through during a long scan
    // The count of blocks changed; `count` is the engine's BlockedCount() now.
    virtual void CountChanged(std::int32_t count) = 0;
    // Calls onReadable from the loop whenever descriptor fd is readable; fd -1
    // ends the watch. False when this host has no loop to watch descriptors in (then the engine
    // keeps to its timer).
    virtual bool WatchDescriptor(int fd, std::function<void()> onReadable) {
        static_cast<void>(fd);
        static_cast<void>(onReadable);
        return false;
    }
    // Calls then once from the loop after delay; a later call replaces an earlier one not yet run, and
    // an empty then cancels it. False when this host has no loop (then nothing is called).
    virtual bool WakeAfter(std::chrono::milliseconds delay, std::function<void()> then) {
        static_cast<void>(delay);
        static_cast<void>(then);
        return false;
    }
    // The engine changed after it was first asked which one runs (the event engine could not take
    // a new list): the timer is needed now, if protection is on.
    virtual void EngineChanged() {}
};

}  // namespace corvane::engine
