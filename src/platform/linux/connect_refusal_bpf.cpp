// The kernel side of the refusal layers: cgroup connect, sendmsg and skb egress programs linked to
// the root of the cgroup2 hierarchy and an sk_lookup program linked to the network namespace
// (bpf_link, never pinned: closing the link, or the process ending, detaches them), the outer maps
// holding the longest-prefix-match maps of refused prefixes (one per family), the namespace they
// watch, per-processor counters, the flows counted and a ring buffer of reports (libbpf, through
// the skeleton made at build time). A build without the BPF tools or the kernel's types has no
// kernel side and says so.
#include "platform/connect_refusal.h"

#if CORVANE_HAVE_EVENT_ENGINE

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/statfs.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string_view>
#include <vector>

#include "connect_refusal.skel.h"
#include "platform/linux/bpf/connect_refusal.h"
#include "platform/linux/bpf_support.h"
#include "platform/unique_fd.h"
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

constexpr std::size_t Index(RefusalHook hook) { return static_cast<std::size_t>(hook); }

// The two prefix maps of one list, made apart from the programs and put into their outer maps.
class BpfRefusedPrefixes final : public RefusedPrefixes {
public:
    BpfRefusedPrefixes(UniqueFd map4, UniqueFd map6, std::size_t capacity)
        : map4_(std::move(map4)), map6_(std::move(map6)), maps_(map4_.Get(), map6_.Get(), capacity) {}
    std::size_t Capacity() const override { return maps_.Capacity(); }
    std::uint32_t Set(std::span<const IpPrefix4> v4, std::span<const IpPrefix6> v6) override {
        return maps_.Set(v4, v6);
    }
    int Map4() const { return map4_.Get(); }
    int Map6() const { return map6_.Get(); }

private:
    UniqueFd map4_;
    UniqueFd map6_;
    PrefixMaps maps_;
};

std::optional<UniqueFd> MakePrefixMap(const char* name, std::uint32_t keySize, std::uint32_t entries,
                                      std::string& why) {
    LIBBPF_OPTS(bpf_map_create_opts, options, .map_flags = BPF_F_NO_PREALLOC);
    UniqueFd map(bpf_map_create(BPF_MAP_TYPE_LPM_TRIE, name, keySize, 1, entries, &options));
    if (!map.Valid()) {
        why = RefusalReason("prefix map of " + std::to_string(entries) + " entries", errno);
        return std::nullopt;
    }
    return map;
}

// Why a hook cannot run on this kernel, empty when it can: the program type, or a helper it
// calls, unknown to the kernel. Asked before the load, so one missing hook does not keep the
// others from loading.
std::string MissingFromKernel(RefusalHook hook) {
    // 1: the kernel has it; 0: it has not; below 0: it could not be asked.
    const auto said = [](int answer, const char* missing) -> std::string {
        if (answer > 0) return {};
        if (answer == 0) return missing;
        return RefusalReason("ask the kernel for its hooks", -answer);
    };
    switch (hook) {
        case RefusalHook::kConnect:
            return said(libbpf_probe_bpf_helper(BPF_PROG_TYPE_CGROUP_SOCK_ADDR, BPF_FUNC_set_retval, nullptr),
                        "the kernel's connect hooks cannot set the error (Linux 5.18 or later)");
        case RefusalHook::kSend:
            return said(libbpf_probe_bpf_helper(BPF_PROG_TYPE_CGROUP_SOCK_ADDR, BPF_FUNC_get_socket_cookie, nullptr),
                        "the kernel's send hooks cannot name the socket");
        case RefusalHook::kInbound:
            return said(libbpf_probe_bpf_prog_type(BPF_PROG_TYPE_SK_LOOKUP, nullptr),
                        "the kernel has no socket lookup hook (sk_lookup, Linux 5.9 or later)");
        case RefusalHook::kIcmp:
            return said(libbpf_probe_bpf_helper(BPF_PROG_TYPE_CGROUP_SKB, BPF_FUNC_get_netns_cookie, nullptr),
                        "the kernel's packet hooks cannot tell the network namespace");
    }
    return {};
}

class BpfConnectRefusal final : public ConnectRefusalService {
public:
    BpfConnectRefusal(std::unique_ptr<connect_refusal_bpf, SkeletonDeleter> skeleton, UniqueFd cgroup,
                      std::string cgroupPath, UniqueFd netns, std::unique_ptr<BpfRefusedPrefixes> prefixes,
                      std::array<RefusalHookState, kRefusalHooks> hooks)
        : skeleton_(std::move(skeleton)),
          cgroup_(std::move(cgroup)),
          cgroupPath_(std::move(cgroupPath)),
          netns_(std::move(netns)),
          prefixes_(std::move(prefixes)),
          hooks_(std::move(hooks)),
          processors_(libbpf_num_possible_cpus()) {}

    ~BpfConnectRefusal() override {
        // The links first: no program runs once the maps are going.
        for (std::vector<Link>& links : links_) links.clear();
    }

    std::uint32_t Start(std::string& why) {
        if (processors_ <= 0) {
            why = RefusalReason("number of processors", -processors_);
            return Win32FromErrno(-processors_);
        }
        if (const std::uint32_t result = PutPrefixes(*prefixes_, why); result != win32::kNoError) return result;
        ring_.reset(
            ring_buffer__new(bpf_map__fd(skeleton_->maps.reports), &BpfConnectRefusal::OnRecord, this, nullptr));
        if (!ring_) {
            why = RefusalReason("ring buffer", errno);
            return Win32FromErrno(errno);
        }
        return win32::kNoError;
    }

    int Descriptor() const override { return ring_buffer__epoll_fd(ring_.get()); }
    std::size_t Capacity() const override { return prefixes_->Capacity(); }

    std::uint32_t SetRefused(std::span<const IpPrefix4> v4, std::span<const IpPrefix6> v6) override {
        return prefixes_->Set(v4, v6);
    }

    std::uint32_t UsePrefixes(std::unique_ptr<RefusedPrefixes> prefixes) override {
        auto* maps = dynamic_cast<BpfRefusedPrefixes*>(prefixes.get());
        if (maps == nullptr) return win32::kErrorInvalidParameter;
        std::string why;
        if (const std::uint32_t result = PutPrefixes(*maps, why); result != win32::kNoError) return result;
        // The outer maps hold the new ones now; the old ones go with their last descriptors.
        prefixes_.reset(maps);
        static_cast<void>(prefixes.release());
        return win32::kNoError;
    }

    std::uint32_t SetAttached(bool attached, std::string& why) override {
        if (!attached) {
            for (std::vector<Link>& links : links_) links.clear();
            return win32::kNoError;
        }
        CaptureLibbpfMessages();
        std::string firstWhy;
        std::uint32_t firstError = win32::kNoError;
        for (std::size_t hook = 0; hook < kRefusalHooks; ++hook) {
            if (!links_[hook].empty()) continue;
            std::string hookWhy = hooks_[hook].why;
            int error = 0;
            if (hookWhy.empty()) AttachHook(static_cast<RefusalHook>(hook), hookWhy, error);
            hooks_[hook].attached = !links_[hook].empty();
            hooks_[hook].why = hookWhy;
            if (!hooks_[hook].attached && firstWhy.empty()) {
                firstWhy = hookWhy;
                firstError = error != 0 ? Win32FromErrno(error) : win32::kErrorNotSupported;
            }
        }
        if (Attached()) return win32::kNoError;
        why = firstWhy;
        return firstError;
    }

    bool Attached() const override {
        return std::any_of(links_.begin(), links_.end(), [](const std::vector<Link>& links) { return !links.empty(); });
    }

    std::array<RefusalHookState, kRefusalHooks> Hooks() const override {
        std::array<RefusalHookState, kRefusalHooks> states = hooks_;
        for (std::size_t hook = 0; hook < kRefusalHooks; ++hook) states[hook].attached = !links_[hook].empty();
        return states;
    }

    std::uint32_t ReadRefusals(std::uint64_t& total) override {
        // After the reports just drained: a refusal whose report was left out because reports
        // waited is in the counters read now (pairs with the program's atomic add).
        std::atomic_thread_fence(std::memory_order_seq_cst);
        perProcessor_.assign(static_cast<std::size_t>(processors_), 0);
        std::uint64_t sum = 0;
        for (std::uint32_t slot = 0; slot < CORVANE_LAYER_COUNT; ++slot) {
            if (bpf_map_lookup_elem(bpf_map__fd(skeleton_->maps.refusals), &slot, perProcessor_.data()) != 0)
                return Win32FromErrno(errno);
            for (const std::uint64_t count : perProcessor_) sum += count;
        }
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
    // Slot 0 of each outer map to the given maps: one update a family, so a lookup finds the old
    // map or the new one, never none.
    std::uint32_t PutPrefixes(const BpfRefusedPrefixes& maps, std::string& why) {
        const std::uint32_t slot = 0;
        std::uint32_t map4 = static_cast<std::uint32_t>(maps.Map4());
        std::uint32_t map6 = static_cast<std::uint32_t>(maps.Map6());
        if (bpf_map_update_elem(bpf_map__fd(skeleton_->maps.refused4), &slot, &map4, BPF_ANY) != 0 ||
            bpf_map_update_elem(bpf_map__fd(skeleton_->maps.refused6), &slot, &map6, BPF_ANY) != 0) {
            const int error = errno;
            why = RefusalReason("prefix maps into the programs", error);
            return Win32FromErrno(error);
        }
        return win32::kNoError;
    }

    void AttachHook(RefusalHook hook, std::string& why, int& error) {
        std::vector<Link> links;
        const auto attachCgroup = [&](bpf_program* program) {
            if (!cgroup_.Valid()) {
                why = cgroupPath_;  // why there is no hierarchy
                return false;
            }
            Link link(bpf_program__attach_cgroup(program, cgroup_.Get()));
            if (!link) {
                error = errno;
                why = RefusalReason("attach to the cgroup2 root " + cgroupPath_, error);
                return false;
            }
            links.push_back(std::move(link));
            return true;
        };
        auto& programs = skeleton_->progs;
        switch (hook) {
            case RefusalHook::kConnect:
                if (!attachCgroup(programs.refuse_connect4) || !attachCgroup(programs.refuse_connect6)) return;
                break;
            case RefusalHook::kSend:
                if (!attachCgroup(programs.refuse_send4) || !attachCgroup(programs.refuse_send6)) return;
                break;
            case RefusalHook::kIcmp:
                if (!attachCgroup(programs.refuse_icmp)) return;
                break;
            case RefusalHook::kInbound: {
                Link link(bpf_program__attach_netns(programs.refuse_inbound, netns_.Get()));
                if (!link) {
                    error = errno;
                    why = RefusalReason("attach to the network namespace", error);
                    return;
                }
                links.push_back(std::move(link));
                break;
            }
        }
        links_[Index(hook)] = std::move(links);
    }

    static int OnRecord(void* context, void* data, std::size_t size) {
        auto* self = static_cast<BpfConnectRefusal*>(context);
        if (size < sizeof(corvane_refused_connect) || self->onReport_ == nullptr) return 0;
        corvane_refused_connect record;
        std::memcpy(&record, data, sizeof record);
        RefusedConnect report;
        switch (record.layer) {
            case CORVANE_LAYER_SEND: report.hook = RefusalHook::kSend; break;
            case CORVANE_LAYER_INBOUND: report.hook = RefusalHook::kInbound; break;
            case CORVANE_LAYER_ICMP: report.hook = RefusalHook::kIcmp; break;
            default: report.hook = RefusalHook::kConnect; break;
        }
        report.protocol = record.protocol;
        report.inbound = report.hook == RefusalHook::kInbound;
        report.localPort = record.local_port;
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
    UniqueFd cgroup_;          // invalid without a cgroup2 hierarchy
    std::string cgroupPath_;   // its path, or why there is none
    UniqueFd netns_;
    std::unique_ptr<BpfRefusedPrefixes> prefixes_;
    std::array<RefusalHookState, kRefusalHooks> hooks_;  // why each cannot run, when it cannot
    std::array<std::vector<Link>, kRefusalHooks> links_;
    int processors_;
    std::unique_ptr<ring_buffer, RingBufferDeleter> ring_;
    std::vector<std::uint64_t> perProcessor_;
    const std::function<void(const RefusedConnect&)>* onReport_ = nullptr;
};

}  // namespace
}  // namespace linux_impl

RefusedPrefixesLoad CreateRefusedPrefixes(std::size_t capacity) {
    using namespace linux_impl;
    RefusedPrefixesLoad load;
    const std::size_t wanted = std::max<std::size_t>(capacity, 1);
    const std::uint32_t entries = PrefixMapEntries(wanted);
    if (entries == 0) {
        load.why = "prefix maps for " + std::to_string(wanted) + " prefixes refused";
        return load;
    }
    std::optional<UniqueFd> map4 = MakePrefixMap("corvane_refuse4", sizeof(corvane_prefix4), entries, load.why);
    if (!map4) return load;
    std::optional<UniqueFd> map6 = MakePrefixMap("corvane_refuse6", sizeof(corvane_prefix6), entries, load.why);
    if (!map6) return load;
    load.prefixes = std::make_unique<BpfRefusedPrefixes>(std::move(*map4), std::move(*map6), wanted);
    return load;
}

ConnectRefusalLoad CreateSystemConnectRefusal(std::size_t capacity) {
    using namespace linux_impl;
    ConnectRefusalLoad load;
    std::array<RefusalHookState, kRefusalHooks> hooks;
    // The cgroup2 hierarchy for the hooks on sockets and packets: without it only the inbound hook,
    // which belongs to the namespace, can run.
    std::string cgroupPath = Cgroup2MountPoint();
    UniqueFd cgroup;
    if (cgroupPath.empty()) {
        cgroupPath = "no cgroup2 hierarchy is mounted";
    } else {
        cgroup = UniqueFd(::open(cgroupPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct statfs kind {};
        if (!cgroup.Valid()) {
            cgroupPath = "the cgroup2 root " + cgroupPath + " cannot be opened: " + std::strerror(errno);
        } else if (::fstatfs(cgroup.Get(), &kind) != 0 || kind.f_type != CGROUP2_SUPER_MAGIC) {
            cgroupPath += " is not a cgroup2 hierarchy";
            cgroup.Reset();
        }
    }
    if (!cgroup.Valid()) {
        for (const RefusalHook hook : {RefusalHook::kConnect, RefusalHook::kSend, RefusalHook::kIcmp})
            hooks[Index(hook)].why = cgroupPath;
    }
    UniqueFd netns(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    if (!netns.Valid())
        hooks[Index(RefusalHook::kInbound)].why =
            std::string("own network namespace /proc/self/ns/net: ") + std::strerror(errno);

    // The namespace watched: this process's, by its cookie, which any socket tells (a local one:
    // the service may open no other kind).
    std::uint64_t cookie = 0;
    {
        const UniqueFd probe(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        socklen_t length = sizeof cookie;
        if (!probe.Valid() || ::getsockopt(probe.Get(), SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &length) != 0 ||
            length != sizeof cookie || cookie == 0) {
            load.why = std::string("own network namespace cookie: ") + std::strerror(errno);
            return load;
        }
    }

    CaptureLibbpfMessages();
    RefusedPrefixesLoad prefixes = CreateRefusedPrefixes(capacity);
    if (!prefixes.prefixes) {
        load.why = prefixes.why;
        return load;
    }
    std::unique_ptr<connect_refusal_bpf, SkeletonDeleter> skeleton(connect_refusal_bpf__open());
    if (!skeleton) {
        load.why = RefusalReason("open BPF object", errno);
        return load;
    }
    auto& programs = skeleton->progs;
    const std::array<std::vector<bpf_program*>, kRefusalHooks> programsOf = {
        std::vector<bpf_program*>{programs.refuse_connect4, programs.refuse_connect6},
        std::vector<bpf_program*>{programs.refuse_send4, programs.refuse_send6},
        std::vector<bpf_program*>{programs.refuse_inbound},
        std::vector<bpf_program*>{programs.refuse_icmp}};
    for (std::size_t hook = 0; hook < kRefusalHooks; ++hook) {
        if (hooks[hook].why.empty()) hooks[hook].why = MissingFromKernel(static_cast<RefusalHook>(hook));
        if (hooks[hook].why.empty()) continue;
        for (bpf_program* program : programsOf[hook]) static_cast<void>(bpf_program__set_autoload(program, false));
    }
    if (std::all_of(hooks.begin(), hooks.end(), [](const RefusalHookState& hook) { return !hook.why.empty(); })) {
        load.why = hooks[Index(RefusalHook::kConnect)].why;
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
    std::unique_ptr<BpfRefusedPrefixes> maps(static_cast<BpfRefusedPrefixes*>(prefixes.prefixes.release()));
    auto service = std::make_unique<BpfConnectRefusal>(std::move(skeleton), std::move(cgroup), cgroupPath,
                                                       std::move(netns), std::move(maps), hooks);
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

RefusedPrefixesLoad CreateRefusedPrefixes(std::size_t) {
    RefusedPrefixesLoad load;
    load.why = "built without it (no BPF tools or kernel types on the build machine)";
    return load;
}

}  // namespace corvane::platform

#endif
