// Refuses outbound TCP connects to listed addresses before any packet leaves.
//
// Attached to the cgroup2 root as cgroup/connect4 and cgroup/connect6, so it runs for every
// connect() (and TCP Fast Open send) on the host. Only sockets of the loader's network namespace
// (its cookie, in `scope`) are looked at; a TCP connect there to an address a refused prefix covers
// (an IPv4 prefix for IPv4 and IPv4-mapped IPv6 addresses, an IPv6 prefix for the rest) gets
// ECONNREFUSED at once: no SYN is sent and the socket stays unconnected.
// Every refusal adds one to this CPU's counter; a report of it goes to the ring buffer unless many
// wait unread already (a storm: the counters count, the reports only name examples).
#include "vmlinux.h"

#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#include "connect_refusal.h"

#define CORVANE_AF_INET 2
#define CORVANE_AF_INET6 10
#define CORVANE_SOCK_STREAM 1
#define CORVANE_ECONNREFUSED 111
#define CORVANE_ALLOW 1
#define CORVANE_REFUSE 0

char LICENSE[] SEC("license") = "GPL";

// The refused prefixes, longest match first; both sized by the loader.
struct {
    __uint(type, BPF_MAP_TYPE_LPM_TRIE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, struct corvane_prefix4);
    __type(value, unsigned char);
    __uint(max_entries, 1);
} refused4 SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_LPM_TRIE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, struct corvane_prefix6);
    __type(value, unsigned char);
    __uint(max_entries, 1);
} refused6 SEC(".maps");

// Slot 0: the network namespace cookie of the loader; 0 (unset) refuses nothing.
struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __type(key, unsigned int);
    __type(value, unsigned long long);
    __uint(max_entries, 1);
} scope SEC(".maps");

// Slot 0: refusals on this CPU since the load.
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __type(key, unsigned int);
    __type(value, unsigned long long);
    __uint(max_entries, 1);
} refusals SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 64 * 1024);
} reports SEC(".maps");

static __always_inline int InScope(struct bpf_sock_addr* ctx) {
    const unsigned int slot = 0;
    const unsigned long long* cookie = bpf_map_lookup_elem(&scope, &slot);
    return cookie && *cookie != 0 && *cookie == bpf_get_netns_cookie(ctx);
}

static __always_inline int IsTcp(const struct bpf_sock_addr* ctx) {
    return ctx->type == CORVANE_SOCK_STREAM && ctx->protocol == IPPROTO_TCP;
}

// Counts the refusal, reports it when the reader keeps up, and has the connect fail with
// ECONNREFUSED. `address6` names a native IPv6 address; else `address` is the IPv4 one.
static __always_inline int Refuse(struct bpf_sock_addr* ctx, unsigned int address, unsigned char family,
                                  const struct corvane_prefix6* address6) {
    const unsigned int slot = 0;
    unsigned long long* count = bpf_map_lookup_elem(&refusals, &slot);
    // Atomic: another task may run this program on the same CPU between a load and a store.
    if (count) __sync_fetch_and_add(count, 1);
    if (bpf_ringbuf_query(&reports, BPF_RB_AVAIL_DATA) < CORVANE_REFUSAL_REPORT_BACKLOG) {
        struct corvane_refused_connect* report = bpf_ringbuf_reserve(&reports, sizeof(*report), 0);
        if (report) {
            report->remote_address = address;
            report->remote_port = (unsigned short)ctx->user_port;
            report->family = family;
            report->native6 = address6 != 0;
            report->pid = (unsigned int)(bpf_get_current_pid_tgid() >> 32);
            bpf_get_current_comm(report->command, sizeof(report->command));
            if (address6)
                __builtin_memcpy(report->remote_address6, address6->address, 16);
            else
                __builtin_memset(report->remote_address6, 0, sizeof(report->remote_address6));
            bpf_ringbuf_submit(report, 0);
        }
    }
    bpf_set_retval(-CORVANE_ECONNREFUSED);
    return CORVANE_REFUSE;
}

SEC("cgroup/connect4")
int refuse_connect4(struct bpf_sock_addr* ctx) {
    if (!IsTcp(ctx) || !InScope(ctx)) return CORVANE_ALLOW;
    const struct corvane_prefix4 key = {.prefix_length = 32, .address = ctx->user_ip4};
    if (!bpf_map_lookup_elem(&refused4, &key)) return CORVANE_ALLOW;
    return Refuse(ctx, key.address, CORVANE_AF_INET, 0);
}

SEC("cgroup/connect6")
int refuse_connect6(struct bpf_sock_addr* ctx) {
    if (!IsTcp(ctx) || !InScope(ctx)) return CORVANE_ALLOW;
    // The context is read a word at a time.
    const unsigned int words[4] = {ctx->user_ip6[0], ctx->user_ip6[1], ctx->user_ip6[2], ctx->user_ip6[3]};
    if (words[0] == 0 && words[1] == 0 && words[2] == bpf_htonl(0x0000ffff)) {
        // ::ffff:a.b.c.d goes out as IPv4: the IPv4 prefixes cover it.
        const struct corvane_prefix4 key = {.prefix_length = 32, .address = words[3]};
        if (!bpf_map_lookup_elem(&refused4, &key)) return CORVANE_ALLOW;
        return Refuse(ctx, key.address, CORVANE_AF_INET6, 0);
    }
    struct corvane_prefix6 key = {.prefix_length = 128};
    __builtin_memcpy(key.address, words, sizeof(words));
    if (!bpf_map_lookup_elem(&refused6, &key)) return CORVANE_ALLOW;
    return Refuse(ctx, 0, CORVANE_AF_INET6, &key);
}
