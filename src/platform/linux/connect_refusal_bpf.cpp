// The kernel side of connect refusal: cgroup/connect4 and cgroup/connect6 programs linked to the
// root of the cgroup2 hierarchy (bpf_link, never pinned: closing the link, or the process ending,
// detaches them), their longest-prefix-match maps of refused prefixes (one per family), the
// namespace they watch, per-processor counters and a ring buffer of reports (libbpf, through the
// skeleton made at build time). A build without the BPF tools or the kernel's types has no kernel
// side and says so.
#include "platform/connect_refusal.h"

#if CORVANE_HAVE_EVENT_ENGINE

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/socket.h>
#include <sys/statfs.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>
#include <vector>

#include "connect_refusal.skel.h"
#include "platform/linux/bpf/connect_refusal.h"
#include "platform/linux/bpf_support.h"
#include "platform/linux/unique_fd.h"
#include "platform/win32_error.h"

#ifndef SO_NETNS_COOKIE
#define SO_NETNS_COOKIE 71
#endif
#ifndef CGROUP2_SUPER_MAGIC
#define CGROUP2_SUPER_MAGIC 0x63677270
#endif

namespace corvane::platform {
namespace linux_impl {
namespace {

static_assert(kRefusedCommandLength == CORVANE_REFUSAL_COMMAND_LENGTH);

std::string RefusalReason(const std::string& step, int error) {
    return BpfReason(step, error, "needs root, or CAP_BPF and CAP_NET_ADMIN");
}

// A mount point as /proc/self/mountinfo writes it: space, tab, newline and backslash as \ooo.
std::string Unescape(std::string_view field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
            field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
            text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

// Where the cgroup2 hierarchy is mounted, from the first such line of /proc/self/mountinfo
// ("36 25 0:30 / /sys/fs/cgroup/unified rw,… - cgroup2 cgroup2 rw"); empty when none is.
std::string Cgroup2MountPoint() {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line)) {
        const std::size_t separator = line.find(" - ");
        if (separator == std::string::npos) continue;
        if (std::string_view(line).substr(separator + 3).substr(0, 8) != "cgroup2 ") continue;
        // Fields: id, parent, major:minor, root, mount point, …
        std::size_t start = 0;
        for (int field = 0; field < 4; ++field) {
            start = line.find(' ', start);
            if (start == std::string::npos || start >= separator) break;
            ++start;
        }
        if (start == std::string::npos || start >= separator) continue;
        const std::size_t end = line.find(' ', start);
        if (end == std::string::npos || end > separator) continue;
        return Unescape(std::string_view(line).substr(start, end - start));
    }
    return {};
}

struct SkeletonDeleter {
    void operator()(connect_refusal_bpf* skeleton) const noexcept { connect_refusal_bpf__destroy(skeleton); }
};
struct RingBufferDeleter {
    void operator()(ring_buffer* buffer) const noexcept { ring_buffer__free(buffer); }
};
// Destroying a link closes its descriptor, which detaches the program.
struct LinkDeleter {
    void operator()(bpf_link* link) const noexcept { static_cast<void>(bpf_link__destroy(link)); }
};
using Link = std::unique_ptr<bpf_link, LinkDeleter>;

class BpfConnectRefusal final : public ConnectRefusalService {
public:
    BpfConnectRefusal(std::unique_ptr<connect_refusal_bpf, SkeletonDeleter> skeleton, UniqueFd cgroup,
                      std::string cgroupPath, std::size_t capacity)
        : skeleton_(std::move(skeleton)),
          cgroup_(std::move(cgroup)),
          cgroupPath_(std::move(cgroupPath)),
          prefixes_(bpf_map__fd(skeleton_->maps.refused4), bpf_map__fd(skeleton_->maps.refused6), capacity),
          processors_(libbpf_num_possible_cpus()) {}

    ~BpfConnectRefusal() override {
        // The links first: no program runs once the maps are going.
        connect6_.reset();
        connect4_.reset();
    }

    std::uint32_t Start(std::string& why) {
        if (processors_ <= 0) {
            why = RefusalReason("number of processors", -processors_);
            return Win32FromErrno(-processors_);
        }
        ring_.reset(
            ring_buffer__new(bpf_map__fd(skeleton_->maps.reports), &BpfConnectRefusal::OnRecord, this, nullptr));
        if (!ring_) {
            why = RefusalReason("ring buffer", errno);
            return Win32FromErrno(errno);
        }
        return win32::kNoError;
    }

    int Descriptor() const override { return ring_buffer__epoll_fd(ring_.get()); }
    std::size_t Capacity() const override { return prefixes_.Capacity(); }

    std::uint32_t SetRefused(std::span<const IpPrefix4> v4, std::span<const IpPrefix6> v6) override {
        return prefixes_.Set(v4, v6);
    }

    std::uint32_t SetAttached(bool attached, std::string& why) override {
        if (!attached) {
            connect6_.reset();
            connect4_.reset();
            return win32::kNoError;
        }
        if (connect4_ && connect6_) return win32::kNoError;
        CaptureLibbpfMessages();
        Link four(bpf_program__attach_cgroup(skeleton_->progs.refuse_connect4, cgroup_.Get()));
        if (!four) {
            const int error = errno;
            why = RefusalReason("attach to the cgroup2 root " + cgroupPath_, error);
            return Win32FromErrno(error);
        }
        Link six(bpf_program__attach_cgroup(skeleton_->progs.refuse_connect6, cgroup_.Get()));
        if (!six) {
            const int error = errno;
            why = RefusalReason("attach to the cgroup2 root " + cgroupPath_, error);
            return Win32FromErrno(error);
        }
        connect4_ = std::move(four);
        connect6_ = std::move(six);
        return win32::kNoError;
    }

    bool Attached() const override { return connect4_ != nullptr && connect6_ != nullptr; }

    std::uint32_t ReadRefusals(std::uint64_t& total) override {
        // After the reports just drained: a refusal whose report was left out because reports
        // waited is in the counters read now (pairs with the program's atomic add).
        std::atomic_thread_fence(std::memory_order_seq_cst);
        perProcessor_.assign(static_cast<std::size_t>(processors_), 0);
        const std::uint32_t slot = 0;
        if (bpf_map_lookup_elem(bpf_map__fd(skeleton_->maps.refusals), &slot, perProcessor_.data()) != 0)
            return Win32FromErrno(errno);
        std::uint64_t sum = 0;
        for (const std::uint64_t count : perProcessor_) sum += count;
        total = sum;
        return win32::kNoError;
    }

    std::uint32_t Drain(const std::function<void(const RefusedConnect&)>& onReport) override {
        onReport_ = &onReport;
        const int result = ring_buffer__consume(ring_.get());
        onReport_ = nullptr;
        if (result < 0) return Win32FromErrno(-result);
        return win32::kNoError;
    }

private:
    static int OnRecord(void* context, void* data, std::size_t size) {
        auto* self = static_cast<BpfConnectRefusal*>(context);
        if (size < sizeof(corvane_refused_connect) || self->onReport_ == nullptr) return 0;
        corvane_refused_connect record;
        std::memcpy(&record, data, sizeof record);
        RefusedConnect report;
        report.remoteAddress = record.remote_address;
        report.remotePort = static_cast<std::uint16_t>((record.remote_port >> 8) | (record.remote_port << 8));
        report.native6 = record.native6 != 0;
        report.mapped = record.family == AF_INET6 && !report.native6;
        if (report.native6)
            std::memcpy(report.remoteAddress6.data(), record.remote_address6, sizeof record.remote_address6);
        report.pid = record.pid;
        std::memcpy(report.command, record.command, kRefusedCommandLength);
        report.command[kRefusedCommandLength] = '\0';
        (*self->onReport_)(report);
        return 0;
    }

    std::unique_ptr<connect_refusal_bpf, SkeletonDeleter> skeleton_;
    UniqueFd cgroup_;
    std::string cgroupPath_;
    PrefixMaps prefixes_;
    int processors_;
    std::unique_ptr<ring_buffer, RingBufferDeleter> ring_;
    Link connect4_;
    Link connect6_;
    std::vector<std::uint64_t> perProcessor_;
    const std::function<void(const RefusedConnect&)>* onReport_ = nullptr;
};

}  // namespace
}  // namespace linux_impl

ConnectRefusalLoad CreateSystemConnectRefusal(std::size_t capacity) {
    using namespace linux_impl;
    ConnectRefusalLoad load;
    // The hierarchy before anything else: without it there is nothing to attach to.
    const std::string cgroupPath = Cgroup2MountPoint();
    if (cgroupPath.empty()) {
        load.why = "no cgroup2 hierarchy is mounted";
        return load;
    }
    UniqueFd cgroup(::open(cgroupPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!cgroup.Valid()) {
        load.why = "the cgroup2 root " + cgroupPath + " cannot be opened: " + std::strerror(errno);
        return load;
    }
    struct statfs kind {};
    if (::fstatfs(cgroup.Get(), &kind) != 0 || kind.f_type != CGROUP2_SUPER_MAGIC) {
        load.why = cgroupPath + " is not a cgroup2 hierarchy";
        return load;
    }

    // The namespace watched: this process's, by its cookie.
    std::uint64_t cookie = 0;
    {
        const UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        socklen_t length = sizeof cookie;
        if (!probe.Valid() || ::getsockopt(probe.Get(), SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &length) != 0 ||
            length != sizeof cookie || cookie == 0) {
            load.why = std::string("own network namespace cookie: ") + std::strerror(errno);
            return load;
        }
    }

    CaptureLibbpfMessages();
    const std::size_t wanted = std::max<std::size_t>(capacity, 1);
    const std::uint32_t entries = PrefixMapEntries(wanted);
    if (entries == 0) {
        load.why = "prefix maps for " + std::to_string(wanted) + " prefixes refused";
        return load;
    }
    std::unique_ptr<connect_refusal_bpf, SkeletonDeleter> skeleton(connect_refusal_bpf__open());
    if (!skeleton) {
        load.why = RefusalReason("open BPF object", errno);
        return load;
    }
    if (bpf_map__set_max_entries(skeleton->maps.refused4, entries) != 0 ||
        bpf_map__set_max_entries(skeleton->maps.refused6, entries) != 0) {
        load.why = "prefix maps of " + std::to_string(entries) + " entries refused";
        return load;
    }
    if (const int error = connect_refusal_bpf__load(skeleton.get()); error != 0) {
        load.why = RefusalReason("load BPF program", -error);
        return load;
    }
    const std::uint32_t slot = 0;
    if (bpf_map_update_elem(bpf_map__fd(skeleton->maps.scope), &slot, &cookie, BPF_ANY) != 0) {
        load.why = RefusalReason("namespace scope", errno);
        return load;
    }
    auto service = std::make_unique<BpfConnectRefusal>(std::move(skeleton), std::move(cgroup), cgroupPath, wanted);
    if (service->Start(load.why) != win32::kNoError) return load;
    load.service = std::move(service);
    return load;
}

}  // namespace corvane::platform

#else

namespace corvane::platform {

ConnectRefusalLoad CreateSystemConnectRefusal(std::size_t) {
    ConnectRefusalLoad load;
    load.why = "built without it (no BPF tools or kernel types on the build machine)";
    return load;
}

}  // namespace corvane::platform

#endif
