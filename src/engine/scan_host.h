#pragma once
// What the scan needs from the window that runs it.
#include <string>

namespace corvane::engine {

class ScanHost {
public:
    virtual ~ScanHost() = default;
    virtual void Yield() = 0;  // let pending window messages through
    virtual void ShowBlockedCaption(
        const std::string& caption) = 0;  // set window caption, copy into tray tip, NIM_MODIFY
};

}  // namespace corvane::engine
