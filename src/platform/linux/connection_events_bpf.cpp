// The kernel side of connection reports: a BPF program on the TCP state-change tracepoint, its
// longest-prefix-match maps of watched prefixes (one per family) and its ring buffer (libbpf,
// through the skeleton made at build time). A build without the BPF tools or the kernel's types has
// no kernel side and says so.
#include "platform/connection_events.h"

#if CORVANE_HAVE_EVENT_ENGINE

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "connection_events.skel.h"
#include "platform/linux/bpf/connection_events.h"
#include "platform/linux/bpf_support.h"
#include "platform/linux/sock_diag_tcp_table.h"
#include "platform/win32_error.h"

namespace corvane::platform {
namespace linux_impl {
namespace {

std::string EventsReason(const std::string& step, int error) {
    return BpfReason(step, error, "needs root, or CAP_BPF and CAP_PERFMON");
}

struct SkeletonDeleter {
    void operator()(connection_events_bpf* skeleton) const noexcept { connection_events_bpf__destroy(skeleton); }
};
struct RingBufferDeleter {
    void operator()(ring_buffer* buffer) const noexcept { ring_buffer__free(buffer); }
};

class BpfConnectionEvents final : public ConnectionEventService {
public:
    BpfConnectionEvents(std::unique_ptr<connection_events_bpf, SkeletonDeleter> skeleton, std::size_t capacity)
        : skeleton_(std::move(skeleton)),
          prefixes_(bpf_map__fd(skeleton_->maps.watched4), bpf_map__fd(skeleton_->maps.watched6), capacity) {}

    std::uint32_t Start(std::string& why) {
        ring_.reset(
            ring_buffer__new(bpf_map__fd(skeleton_->maps.events), &BpfConnectionEvents::OnRecord, this, nullptr));
        if (!ring_) {
            why = EventsReason("ring buffer", errno);
            return Win32FromErrno(errno);
        }
        lastLost_ = skeleton_->bss->lost;
        return win32::kNoError;
    }

    int Descriptor() const override { return ring_buffer__epoll_fd(ring_.get()); }
    std::size_t Capacity() const override { return prefixes_.Capacity(); }

    std::uint32_t SetWatched(std::span<const IpPrefix4> v4, std::span<const IpPrefix6> v6) override {
        return prefixes_.Set(v4, v6);
    }

    std::uint64_t WatchedMemory() const override { return prefixes_.Memory(); }

    std::uint32_t SetActive(bool active) override {
        skeleton_->bss->active = active ? 1U : 0U;
        return win32::kNoError;
    }

    std::uint32_t Drain(const std::function<void(const ConnectionEvent&)>& onEvent, std::uint64_t& lost) override {
        onEvent_ = &onEvent;
        const int result = ring_buffer__consume(ring_.get());
        onEvent_ = nullptr;
        const std::uint64_t nowLost = __atomic_load_n(&skeleton_->bss->lost, __ATOMIC_RELAXED);
        lost += nowLost - lastLost_;
        lastLost_ = nowLost;
        if (result < 0) return Win32FromErrno(-result);
        return win32::kNoError;
    }

private:
    static int OnRecord(void* context, void* data, std::size_t size) {
        auto* self = static_cast<BpfConnectionEvents*>(context);
        if (size < sizeof(corvane_connection_event) || self->onEvent_ == nullptr) return 0;
        corvane_connection_event record;
        std::memcpy(&record, data, sizeof record);
        ConnectionEvent event;
        event.row.dwState = MibStateFromKernel(record.state);
        event.row.dwLocalAddr = record.local_address;
        event.row.dwLocalPort = record.local_port;
        event.row.dwRemoteAddr = record.remote_address;
        event.row.dwRemotePort = record.remote_port;
        event.row.family = record.family;
        event.row.native6 = record.native6 != 0;
        if (event.row.native6) {
            std::memcpy(event.row.localAddr6.data(), record.local_address6, sizeof record.local_address6);
            std::memcpy(event.row.remoteAddr6.data(), record.remote_address6, sizeof record.remote_address6);
        }
        event.row.interfaceIndex = record.bound_interface > 0 ? static_cast<std::uint32_t>(record.bound_interface) : 0;
        event.row.cookie = record.cookie;
        event.outbound = record.outbound != 0;
        event.pid = record.pid;
        std::memcpy(event.command, record.command, kCommandLength);
        event.command[kCommandLength] = '\0';
        (*self->onEvent_)(event);
        return 0;
    }

    std::unique_ptr<connection_events_bpf, SkeletonDeleter> skeleton_;
    std::unique_ptr<ring_buffer, RingBufferDeleter> ring_;
    PrefixMaps prefixes_;
    std::uint64_t lastLost_ = 0;
    const std::function<void(const ConnectionEvent&)>* onEvent_ = nullptr;
};

}  // namespace
}  // namespace linux_impl

ConnectionEventsLoad CreateSystemConnectionEvents(std::size_t capacity) {
    using namespace linux_impl;
    ConnectionEventsLoad load;
    CaptureLibbpfMessages();

    struct stat ownNamespace {};
    if (::stat("/proc/self/ns/net", &ownNamespace) != 0) {
        load.why = EventsReason("own network namespace", errno);
        return load;
    }
    const std::size_t wanted = std::max<std::size_t>(capacity, 1);
    const std::uint32_t entries = PrefixMapEntries(wanted);
    if (entries == 0) {
        load.why = "prefix maps for " + std::to_string(wanted) + " prefixes refused";
        return load;
    }
    std::unique_ptr<connection_events_bpf, SkeletonDeleter> skeleton(connection_events_bpf__open());
    if (!skeleton) {
        load.why = EventsReason("open BPF object", errno);
        return load;
    }
    skeleton->rodata->watched_namespace = static_cast<unsigned int>(ownNamespace.st_ino);
    if (bpf_map__set_max_entries(skeleton->maps.watched4, entries) != 0 ||
        bpf_map__set_max_entries(skeleton->maps.watched6, entries) != 0) {
        load.why = "prefix maps of " + std::to_string(entries) + " entries refused";
        return load;
    }
    if (const int error = connection_events_bpf__load(skeleton.get()); error != 0) {
        load.why = EventsReason("load BPF program", -error);
        return load;
    }
    if (const int error = connection_events_bpf__attach(skeleton.get()); error != 0) {
        load.why = EventsReason("attach to the TCP state tracepoint", -error);
        return load;
    }
    auto service = std::make_unique<BpfConnectionEvents>(std::move(skeleton), wanted);
    if (service->Start(load.why) != win32::kNoError) return load;
    load.service = std::move(service);
    return load;
}

}  // namespace corvane::platform

#else

namespace corvane::platform {

ConnectionEventsLoad CreateSystemConnectionEvents(std::size_t) {
    ConnectionEventsLoad load;
    load.why = "built without the event engine (no BPF tools or kernel types on the build machine)";
    return load;
}

}  // namespace corvane::platform

#endif
