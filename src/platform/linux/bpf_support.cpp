#include "platform/linux/bpf_support.h"

#if CORVANE_HAVE_EVENT_ENGINE

#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>

#include "platform/linux/bpf/address_prefix.h"
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

namespace {

static_assert(sizeof(PrefixKey4) == sizeof(corvane_prefix4) && offsetof(PrefixKey4, address) == 4);
static_assert(sizeof(PrefixKey6) == sizeof(corvane_prefix6) && offsetof(PrefixKey6, address) == 4);

PrefixKey4 KeyOf(const IpPrefix4& prefix) {
    const std::uint32_t mask = prefix.length == 0 ? 0 : htonl(~std::uint32_t{0} << (32 - prefix.length));
    return PrefixKey4{prefix.length, prefix.address & mask};
}

PrefixKey6 KeyOf(const IpPrefix6& prefix) {
    PrefixKey6 key{prefix.length, prefix.address};
    for (std::size_t i = 0; i < key.address.size(); ++i) {
        const int bits = std::clamp(static_cast<int>(prefix.length) - static_cast<int>(8 * i), 0, 8);
        key.address[i] &= static_cast<std::uint8_t>(0xff00U >> bits);
    }
    return key;
}

// The distinct keys of `prefixes`, ascending; false when a length is out of range.
template <typename Prefix, typename Key>
bool KeysOf(std::span<const Prefix> prefixes, std::uint8_t maxLength, std::vector<Key>& keys) {
    keys.clear();
    keys.reserve(prefixes.size());
    for (const Prefix& prefix : prefixes) {
        if (prefix.length > maxLength) return false;
        keys.push_back(KeyOf(prefix));
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return true;
}

// Puts `keys` into the map (inserting) or takes them out, in batches where the kernel takes them
// and one by one where it does not. `done` says how many of them were dealt with, in order, when
// the kernel refused one; a key already out counts as taken out. Returns 0 or the errno.
template <typename Key>
int ApplyKeys(int map, std::span<const Key> keys, bool inserting, std::size_t& done) {
    static const unsigned char present = 1;
    std::vector<unsigned char> values;
    if (inserting && keys.size() > 1) values.assign(keys.size(), present);
    bool batches = keys.size() > 1;
    done = 0;
    while (done < keys.size()) {
        if (batches) {
            const std::uint32_t asked = static_cast<std::uint32_t>(std::min<std::size_t>(keys.size() - done, 1U << 30));
            std::uint32_t count = asked;
            LIBBPF_OPTS(bpf_map_batch_opts, options, .elem_flags = BPF_ANY, .flags = 0);
            const int result = inserting ? bpf_map_update_batch(map, &keys[done], &values[done], &count, &options)
                                         : bpf_map_delete_batch(map, &keys[done], &count, &options);
            if (result == 0) {
                done += asked;
                continue;
            }
            // The kernel counts back the keys it dealt with when one of them failed. A batch turned
            // down as a whole (no batches for this map type, on an older kernel) leaves the count
            // as it was asked: then one by one from here.
            if (count < asked)
                done += count;
            else
                batches = false;
        }
        // One key alone: the one a batch stopped at, or the next without batches.
        const int result = inserting ? bpf_map_update_elem(map, &keys[done], &present, BPF_ANY)
                                     : bpf_map_delete_elem(map, &keys[done]);
        if (result != 0 && !(errno == ENOENT && !inserting)) return errno;
        ++done;
    }
    return 0;
}

// Brings `map` from `current` (ascending, as the map holds it) to `next` (ascending, distinct):
// new keys in, then stale keys out. `current` is what the map holds afterwards, as far as known.
template <typename Key>
std::uint32_t UpdatePrefixMap(int map, std::vector<Key>& current, std::vector<Key> next) {
    std::vector<Key> removed;
    std::set_difference(current.begin(), current.end(), next.begin(), next.end(), std::back_inserter(removed));
    std::vector<Key> added;
    std::set_difference(next.begin(), next.end(), current.begin(), current.end(), std::back_inserter(added));

    std::size_t done = 0;
    if (const int error = ApplyKeys<Key>(map, added, true, done); error != 0) {
        // Leave the kernel with the set it had.
        std::size_t undone = 0;
        static_cast<void>(ApplyKeys<Key>(map, std::span<const Key>(added).first(done), false, undone));
        if (undone < done) {
            // What could not be taken out again stays listed until the next change.
            current.insert(current.end(), added.begin() + static_cast<std::ptrdiff_t>(undone),
                           added.begin() + static_cast<std::ptrdiff_t>(done));
            std::sort(current.begin(), current.end());
        }
        return Win32FromErrno(error);
    }
    if (const int error = ApplyKeys<Key>(map, removed, false, done); error != 0) {
        // The new set is in; what could not be taken out stays until the next change.
        current = std::move(next);
        current.insert(current.end(), removed.begin() + static_cast<std::ptrdiff_t>(done), removed.end());
        std::sort(current.begin(), current.end());
        return Win32FromErrno(error);
    }
    current = std::move(next);
    return win32::kNoError;
}

}  // namespace

std::uint32_t PrefixMapEntries(std::size_t capacity) {
    const std::size_t entries = 2 * std::max<std::size_t>(capacity, 1);
    if (capacity > 0x7fffffffU || entries > 0xffffffffU) return 0;
    return static_cast<std::uint32_t>(entries);
}

std::uint64_t MapMemory(int map) {
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(map));
    std::string line;
    while (std::getline(info, line)) {
        constexpr std::string_view kField = "memlock:";
        if (line.compare(0, kField.size(), kField) != 0) continue;
        std::uint64_t bytes = 0;
        const char* begin = line.data() + kField.size();
        while (*begin == ' ' || *begin == '\t') ++begin;
        const auto [end, error] = std::from_chars(begin, line.data() + line.size(), bytes);
        return error == std::errc() && end != begin ? bytes : 0;
    }
    return 0;
}

std::uint32_t PrefixMaps::Set(std::span<const IpPrefix4> v4, std::span<const IpPrefix6> v6) {
    std::vector<PrefixKey4> next4;
    std::vector<PrefixKey6> next6;
    if (!KeysOf(v4, 32, next4) || !KeysOf(v6, 128, next6)) return win32::kErrorInvalidParameter;
    if (next4.size() > capacity_ || next6.size() > capacity_) return win32::kErrorNotEnoughMemory;
    // Kept only while the IPv6 map still has to change after the IPv4 one did.
    std::vector<PrefixKey4> before4;
    if (next6 != current6_) before4 = current4_;
    if (const std::uint32_t result = UpdatePrefixMap(map4_, current4_, std::move(next4)); result != win32::kNoError)
        return result;
    if (next6 == current6_) return win32::kNoError;
    if (const std::uint32_t result = UpdatePrefixMap(map6_, current6_, std::move(next6)); result != win32::kNoError) {
        static_cast<void>(UpdatePrefixMap(map4_, current4_, std::move(before4)));
        return result;
    }
    return win32::kNoError;
}

std::uint64_t PrefixMaps::Memory() const { return MapMemory(map4_) + MapMemory(map6_); }

}  // namespace corvane::platform::linux_impl

#endif
