#pragma once
// A descriptor watched by the window thread's message loop: the callback runs whenever it is
// readable, with no thread and no timer of its own.
#include <functional>
#include <memory>

namespace corvane::platform {

class DescriptorWatch {
public:
    // fd stays owned by the caller and must outlive the watch.
    DescriptorWatch(int fd, std::function<void()> onReadable);
    ~DescriptorWatch();
    DescriptorWatch(const DescriptorWatch&) = delete;
    DescriptorWatch& operator=(const DescriptorWatch&) = delete;

    // Stops (or resumes) calling back; safe inside the callback itself.
    void SetEnabled(bool enabled);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace corvane::platform
