#include "platform/linux/bpf_support.h"

#if CORVANE_HAVE_EVENT_ENGINE

#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "platform/win32_error.h"

namespace corvane::platform::linux_impl {
namespace {

thread_local std::string gLastLibbpfMessage;

int KeepLibbpfMessage(enum libbpf_print_level level, const char* format, va_list arguments) {
    if (level == LIBBPF_DEBUG) return 0;
    char text[512];
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    if (length > 0) {
        gLastLibbpfMessage.assign(text);
        while (!gLastLibbpfMessage.empty() && gLastLibbpfMessage.back() == '\n') gLastLibbpfMessage.pop_back();
    }
    return 0;
}

}  // namespace

void CaptureLibbpfMessages() {
    gLastLibbpfMessage.clear();
    // The previous printer is this one, or libbpf's own default: nothing to hand back.
    static_cast<void>(libbpf_set_print(KeepLibbpfMessage));
}

std::string BpfReason(const std::string& step, int error, const char* rightsHint) {
    std::string why = step + ": " + std::strerror(error);
    if ((error == EPERM || error == EACCES) && rightsHint != nullptr) why += std::string(" (") + rightsHint + ")";
    if (!gLastLibbpfMessage.empty()) why += " [" + gLastLibbpfMessage + "]";
    return why;
}

std::uint32_t UpdateAddressMap(int map, std::vector<std::uint32_t>& current, std::span<const std::uint32_t> wanted,
                               std::size_t capacity) {
    std::vector<std::uint32_t> next(wanted.begin(), wanted.end());
    std::sort(next.begin(), next.end());
    next.erase(std::unique(next.begin(), next.end()), next.end());
    if (next.size() > capacity) return win32::kErrorNotEnoughMemory;
    std::vector<std::uint32_t> removed;
    std::set_difference(current.begin(), current.end(), next.begin(), next.end(), std::back_inserter(removed));
    std::vector<std::uint32_t> added;
    std::set_difference(next.begin(), next.end(), current.begin(), current.end(), std::back_inserter(added));

    // Many at once where the kernel takes batches; one by one for the rest.
    const unsigned char present = 1;
    std::size_t done = 0;
    if (added.size() > 1) {
        const std::vector<unsigned char> values(added.size(), present);
        std::uint32_t count = static_cast<std::uint32_t>(added.size());
        LIBBPF_OPTS(bpf_map_batch_opts, options, .elem_flags = BPF_ANY, .flags = 0);
        const int result = bpf_map_update_batch(map, added.data(), values.data(), &count, &options);
        done = result == 0 ? added.size() : std::min<std::size_t>(count, added.size());
    }
    for (std::size_t i = done; i < added.size(); ++i) {
        if (bpf_map_update_elem(map, &added[i], &present, BPF_ANY) != 0) {
            const int error = errno;
            // Leave the kernel with the set it had.
            for (std::size_t j = 0; j < i; ++j) static_cast<void>(bpf_map_delete_elem(map, &added[j]));
            return Win32FromErrno(error);
        }
    }
    for (const std::uint32_t address : removed) {
        if (bpf_map_delete_elem(map, &address) != 0 && errno != ENOENT) {
            const int error = errno;
            // The new set is in; what could not be taken out stays until the next change.
            current = std::move(next);
            current.insert(current.end(), removed.begin(), removed.end());
            std::sort(current.begin(), current.end());
            current.erase(std::unique(current.begin(), current.end()), current.end());
            return Win32FromErrno(error);
        }
    }
    current = std::move(next);
    return win32::kNoError;
}

}  // namespace corvane::platform::linux_impl

#endif
