// Keeps this network namespace from talking to listed addresses, in the kernel, before any packet
// leaves or reaches an application.
//
// - cgroup/connect4 and connect6 (at the cgroup2 root, so they run for every connect on the
//   host): a TCP, UDP or ping socket's connect() to a listed address fails with ECONNREFUSED; no
//   SYN or datagram is sent and the socket stays unconnected. TCP Fast Open sends are refused too.
// - cgroup/sendmsg4 and sendmsg6: a UDP datagram sent to a listed address given with the send
//   fails with EPERM, nothing leaves.
// - sk_lookup, attached to the namespace itself: a TCP SYN from a listed peer finds no listener
//   (the kernel answers with a reset: no handshake, no accept(), no Fast Open data) and its UDP
//   datagrams find no socket.
// - cgroup_skb/egress: ICMP and ICMPv6 to listed addresses from sockets the hooks above do not
//   see (raw sockets, unconnected ping sockets, the kernel's echo replies and errors) is dropped;
//   every other packet passes at once.
//
// Only sockets of the loader's network namespace (its cookie, in `scope`) are looked at. The
// listed prefixes sit in one longest-prefix-match map per family, held in slot 0 of an outer
// array: the loader swaps in a whole new map in one update, so the programs never detach for a
// new list. IPv4-mapped IPv6 addresses are judged by the IPv4 prefixes.
//
// Every refusal of a connect, every inbound TCP attempt, and the first refusal of each flow of
// datagrams (socket, remote address and port; kept in an LRU map) adds one to this CPU's counter
// of its layer; a report of it goes to the ring buffer unless many wait unread already (a storm:
// the counters count, the reports only name examples).
#include "vmlinux.h"

#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#include "connect_refusal.h"

#define CORVANE_AF_INET 2
#define CORVANE_AF_INET6 10
#define CORVANE_SOCK_STREAM 1
#define CORVANE_SOCK_DGRAM 2
#define CORVANE_ECONNREFUSED 111
#define CORVANE_IPPROTO_ICMPV6 58
#define CORVANE_ETH_P_IP 0x0800
#define CORVANE_ETH_P_IPV6 0x86DD
#define CORVANE_ALLOW 1
#define CORVANE_REFUSE 0
#define CORVANE_SK_PASS 1
#define CORVANE_SK_DROP 0

char LICENSE[] SEC("license") = "GPL";

// The refused prefixes, longest match first: the map in slot 0, made and sized by the loader.
// (Sizes, not types: an inner map's key type would reach the object's BTF only as a declaration.)
struct prefix_trie4 {
    __uint(type, BPF_MAP_TYPE_LPM_TRIE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(key_size, sizeof(struct corvane_prefix4));
    __uint(value_size, sizeof(unsigned char));
    __uint(max_entries, 1);
};

struct prefix_trie6 {
    __uint(type, BPF_MAP_TYPE_LPM_TRIE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(key_size, sizeof(struct corvane_prefix6));
    __uint(value_size, sizeof(unsigned char));
    __uint(max_entries, 1);
};

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY_OF_MAPS);
    __type(key, unsigned int);
    __uint(max_entries, 1);
    __array(values, struct prefix_trie4);
} refused4 SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY_OF_MAPS);
    __type(key, unsigned int);
    __uint(max_entries, 1);
    __array(values, struct prefix_trie6);
} refused6 SEC(".maps");

// Slot 0: the network namespace cookie of the loader; 0 (unset) refuses nothing.
struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __type(key, unsigned int);
    __type(value, unsigned long long);
    __uint(max_entries, 1);
} scope SEC(".maps");

// One slot a layer: refusals on this CPU since the load.
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __type(key, unsigned int);
    __type(value, unsigned long long);
    __uint(max_entries, CORVANE_LAYER_COUNT);
} refusals SEC(".maps");

// Flows of datagrams counted already; the least recently refused go first.
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __type(key, struct corvane_flow);
    __type(value, unsigned char);
    __uint(max_entries, CORVANE_FLOWS_REMEMBERED);
} flows SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 64 * 1024);
} reports SEC(".maps");

static __always_inline int InScopeCookie(unsigned long long cookie) {
    const unsigned int slot = 0;
    const unsigned long long* own = bpf_map_lookup_elem(&scope, &slot);
    return own && *own != 0 && *own == cookie;
}

static __always_inline int Listed4(unsigned int address) {
    const unsigned int slot = 0;
    void* trie = bpf_map_lookup_elem(&refused4, &slot);
    if (!trie) return 0;
    const struct corvane_prefix4 key = {.prefix_length = 32, .address = address};
    return bpf_map_lookup_elem(trie, &key) != 0;
}

static __always_inline int Listed6(const unsigned int words[4]) {
    const unsigned int slot = 0;
    void* trie = bpf_map_lookup_elem(&refused6, &slot);
    if (!trie) return 0;
    struct corvane_prefix6 key = {.prefix_length = 128};
    __builtin_memcpy(key.address, words, 16);
    return bpf_map_lookup_elem(trie, &key) != 0;
}

static __always_inline int IsMapped(const unsigned int words[4]) {
    return words[0] == 0 && words[1] == 0 && words[2] == bpf_htonl(0x0000ffff);
}

// An IPv6 address listed: ::ffff:a.b.c.d by the IPv4 prefixes, the rest by the IPv6 ones.
static __always_inline int ListedAny6(const unsigned int words[4]) {
    return IsMapped(words) ? Listed4(words[3]) : Listed6(words);
}

// A socket connect() refuses: TCP, UDP, and ping sockets of either family.
static __always_inline int Refusable(const struct bpf_sock_addr* ctx, unsigned int icmp) {
    // Each field read once, in place: the verifier takes no context pointer the compiler moved.
    const unsigned int type = *(volatile const unsigned int*)&ctx->type;
    const unsigned int protocol = *(volatile const unsigned int*)&ctx->protocol;
    if (type == CORVANE_SOCK_STREAM) return protocol == IPPROTO_TCP;
    if (type == CORVANE_SOCK_DGRAM) return protocol == IPPROTO_UDP || protocol == icmp;
    return 0;
}

// True for the first refusal of a flow: the one that counts.
static __always_inline int FirstOfFlow(unsigned long long socket, const unsigned int words[4],
                                       unsigned short remote_port, unsigned short local_port,
                                       unsigned int protocol) {
    struct corvane_flow flow = {};
    flow.socket = socket;
    __builtin_memcpy(flow.address, words, 16);
    flow.remote_port = remote_port;
    flow.local_port = local_port;
    flow.protocol = protocol;
    const unsigned char seen = 1;
    // Only one of two CPUs adding the same flow at once succeeds.
    return bpf_map_update_elem(&flows, &flow, &seen, BPF_NOEXIST) == 0;
}

// Counts one refusal of `layer` and reports it when the reader keeps up. `words` is the remote
// address as IPv6 (IPv4 as ::ffff:a.b.c.d).
static __always_inline void Count(unsigned int layer, const unsigned int words[4], unsigned char family,
                                  unsigned short remote_port, unsigned short local_port, unsigned char protocol,
                                  int with_process) {
    unsigned int slot = layer;
    unsigned long long* count = bpf_map_lookup_elem(&refusals, &slot);
    // Atomic: another task may run this program on the same CPU between a load and a store.
    if (count) __sync_fetch_and_add(count, 1);
    if (bpf_ringbuf_query(&reports, BPF_RB_AVAIL_DATA) >= CORVANE_REFUSAL_REPORT_BACKLOG) return;
    struct corvane_refused_connect* report = bpf_ringbuf_reserve(&reports, sizeof(*report), 0);
    if (!report) return;
    const int native6 = !IsMapped(words);
    report->remote_address = native6 ? 0 : words[3];
    report->remote_port = remote_port;
    report->family = family;
    report->native6 = native6;
    report->local_port = local_port;
    report->protocol = protocol;
    report->layer = layer;
    if (native6)
        __builtin_memcpy(report->remote_address6, words, 16);
    else
        __builtin_memset(report->remote_address6, 0, sizeof(report->remote_address6));
    if (with_process) {
        report->pid = (unsigned int)(bpf_get_current_pid_tgid() >> 32);
        bpf_get_current_comm(report->command, sizeof(report->command));
    } else {
        report->pid = 0;
        __builtin_memset(report->command, 0, sizeof(report->command));
    }
    bpf_ringbuf_submit(report, 0);
}

static __always_inline int RefuseConnect(struct bpf_sock_addr* ctx, const unsigned int words[4],
                                         unsigned char family) {
    Count(CORVANE_LAYER_CONNECT, words, family, (unsigned short)ctx->user_port, 0, (unsigned char)ctx->protocol, 1);
    bpf_set_retval(-CORVANE_ECONNREFUSED);
    return CORVANE_REFUSE;
}

SEC("cgroup/connect4")
int refuse_connect4(struct bpf_sock_addr* ctx) {
    if (!Refusable(ctx, IPPROTO_ICMP) || !InScopeCookie(bpf_get_netns_cookie(ctx))) return CORVANE_ALLOW;
    const unsigned int address = ctx->user_ip4;
    if (!Listed4(address)) return CORVANE_ALLOW;
    const unsigned int words[4] = {0, 0, bpf_htonl(0x0000ffff), address};
    return RefuseConnect(ctx, words, CORVANE_AF_INET);
}

SEC("cgroup/connect6")
int refuse_connect6(struct bpf_sock_addr* ctx) {
    if (!Refusable(ctx, CORVANE_IPPROTO_ICMPV6) || !InScopeCookie(bpf_get_netns_cookie(ctx))) return CORVANE_ALLOW;
    // The context is read a word at a time.
    const unsigned int words[4] = {ctx->user_ip6[0], ctx->user_ip6[1], ctx->user_ip6[2], ctx->user_ip6[3]};
    if (!ListedAny6(words)) return CORVANE_ALLOW;
    return RefuseConnect(ctx, words, CORVANE_AF_INET6);
}

static __always_inline int RefuseSend(struct bpf_sock_addr* ctx, const unsigned int words[4], unsigned char family) {
    const unsigned short port = (unsigned short)ctx->user_port;
    if (FirstOfFlow(bpf_get_socket_cookie(ctx), words, port, 0, IPPROTO_UDP))
        Count(CORVANE_LAYER_SEND, words, family, port, 0, IPPROTO_UDP, 1);
    return CORVANE_REFUSE;
}

SEC("cgroup/sendmsg4")
int refuse_send4(struct bpf_sock_addr* ctx) {
    if (ctx->type != CORVANE_SOCK_DGRAM || ctx->protocol != IPPROTO_UDP ||
        !InScopeCookie(bpf_get_netns_cookie(ctx)))
        return CORVANE_ALLOW;
    const unsigned int address = ctx->user_ip4;
    if (!Listed4(address)) return CORVANE_ALLOW;
    const unsigned int words[4] = {0, 0, bpf_htonl(0x0000ffff), address};
    return RefuseSend(ctx, words, CORVANE_AF_INET);
}

SEC("cgroup/sendmsg6")
int refuse_send6(struct bpf_sock_addr* ctx) {
    if (ctx->type != CORVANE_SOCK_DGRAM || ctx->protocol != IPPROTO_UDP ||
        !InScopeCookie(bpf_get_netns_cookie(ctx)))
        return CORVANE_ALLOW;
    const unsigned int words[4] = {ctx->user_ip6[0], ctx->user_ip6[1], ctx->user_ip6[2], ctx->user_ip6[3]};
    if (!ListedAny6(words)) return CORVANE_ALLOW;
    return RefuseSend(ctx, words, CORVANE_AF_INET6);
}

// Runs in the namespace it is attached to, only: no scope to look at.
SEC("sk_lookup")
int refuse_inbound(struct bpf_sk_lookup* ctx) {
    const unsigned int protocol = ctx->protocol;
    if (protocol != IPPROTO_TCP && protocol != IPPROTO_UDP) return CORVANE_SK_PASS;
    unsigned int words[4] = {0, 0, bpf_htonl(0x0000ffff), 0};
    unsigned char family = CORVANE_AF_INET;
    if (ctx->family == CORVANE_AF_INET) {
        words[3] = ctx->remote_ip4;
        if (!Listed4(words[3])) return CORVANE_SK_PASS;
    } else if (ctx->family == CORVANE_AF_INET6) {
        words[0] = ctx->remote_ip6[0];
        words[1] = ctx->remote_ip6[1];
        words[2] = ctx->remote_ip6[2];
        words[3] = ctx->remote_ip6[3];
        family = CORVANE_AF_INET6;
        if (!ListedAny6(words)) return CORVANE_SK_PASS;
    } else {
        return CORVANE_SK_PASS;
    }
    const unsigned short remote_port = (unsigned short)ctx->remote_port;
    const unsigned short local_port = (unsigned short)ctx->local_port;
    // A SYN answered with a reset is one attempt; datagrams count once a flow.
    if (protocol == IPPROTO_TCP || FirstOfFlow(0, words, remote_port, local_port, protocol))
        Count(CORVANE_LAYER_INBOUND, words, family, remote_port, local_port, (unsigned char)protocol, 0);
    return CORVANE_SK_DROP;
}

// An ICMP error (destination unreachable, time exceeded, …): the kernel's answer to something a
// peer sent, not an attempt of this machine's.
static __always_inline int IsIcmpError(struct __sk_buff* skb, unsigned int offset, unsigned char protocol) {
    unsigned char type = 0;
    if (bpf_skb_load_bytes(skb, offset, &type, 1) != 0) return 0;
    if (protocol == CORVANE_IPPROTO_ICMPV6) return type < 128;
    return type == 3 || type == 4 || type == 5 || type == 11 || type == 12;
}

SEC("cgroup_skb/egress")
int refuse_icmp(struct __sk_buff* skb) {
    // Everything but ICMP passes on one byte of the header, read in place.
    const unsigned char* data = (const unsigned char*)(long)skb->data;
    const unsigned char* end = (const unsigned char*)(long)skb->data_end;
    unsigned int words[4] = {0, 0, bpf_htonl(0x0000ffff), 0};
    unsigned char family = CORVANE_AF_INET;
    unsigned char protocol = 0;
    unsigned int payload = 40;
    unsigned char header[40];
    if (skb->protocol == bpf_htons(CORVANE_ETH_P_IP)) {
        if (data + 20 > end) {
            // A header outside the linear part (rare): copied out.
            if (bpf_skb_load_bytes(skb, 0, header, 20) != 0) return CORVANE_ALLOW;
            data = header;
        }
        protocol = data[9];
        if (protocol != IPPROTO_ICMP) return CORVANE_ALLOW;
        if (!InScopeCookie(bpf_get_netns_cookie(skb))) return CORVANE_ALLOW;
        __builtin_memcpy(&words[3], data + 16, 4);
        if (!Listed4(words[3])) return CORVANE_ALLOW;
        payload = (data[0] & 15) * 4;
    } else if (skb->protocol == bpf_htons(CORVANE_ETH_P_IPV6)) {
        // The next header right after the fixed header: ICMPv6 behind extension headers is rare
        // enough to be left to the sockets' own hooks.
        if (data + 40 > end) {
            if (bpf_skb_load_bytes(skb, 0, header, 40) != 0) return CORVANE_ALLOW;
            data = header;
        }
        protocol = data[6];
        if (protocol != CORVANE_IPPROTO_ICMPV6) return CORVANE_ALLOW;
        if (!InScopeCookie(bpf_get_netns_cookie(skb))) return CORVANE_ALLOW;
        __builtin_memcpy(words, data + 24, 16);
        if (!ListedAny6(words)) return CORVANE_ALLOW;
        family = CORVANE_AF_INET6;
    } else {
        return CORVANE_ALLOW;
    }
    // Dropped either way; counted once a flow, and only when something here tried to reach it.
    if (!IsIcmpError(skb, payload, protocol) && FirstOfFlow(bpf_get_socket_cookie(skb), words, 0, 0, protocol))
        Count(CORVANE_LAYER_ICMP, words, family, 0, 0, protocol, 0);
    return CORVANE_REFUSE;
}
