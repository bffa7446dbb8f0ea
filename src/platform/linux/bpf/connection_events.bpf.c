// Reports TCP connections to watched addresses as they open.
//
// Attached to the BTF-typed tracepoint of TCP state changes (no tracefs needed). An outbound
// connect enters SYN_SENT before its local port is chosen, so its report carries local port 0.
// A socket entering SYN_SENT, SYN_RECV or ESTABLISHED in the watched network namespace is posted
// to the ring buffer when a watched prefix covers its remote end: an IPv4 one for IPv4 sockets and
// IPv6 sockets talking IPv4 (::ffff:a.b.c.d), an IPv6 one for IPv6 sockets talking IPv6. Nothing
// else leaves the kernel.
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "connection_events.h"

#define CORVANE_AF_INET 2
#define CORVANE_AF_INET6 10
#define CORVANE_TCP_ESTABLISHED 1
#define CORVANE_TCP_SYN_SENT 2
#define CORVANE_TCP_SYN_RECV 3

char LICENSE[] SEC("license") = "GPL";

// Set by the loader before loading: the inode of the watched network namespace.
const volatile unsigned int watched_namespace = 0;

// Written by userspace: 1 while protection is on.
unsigned int active = 0;
// Events that found the ring buffer full.
unsigned long long lost = 0;

// The watched prefixes, longest match first; both sized by the loader.
struct {
    __uint(type, BPF_MAP_TYPE_LPM_TRIE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, struct corvane_prefix4);
    __type(value, unsigned char);
    __uint(max_entries, 1);
} watched4 SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_LPM_TRIE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, struct corvane_prefix6);
    __type(value, unsigned char);
    __uint(max_entries, 1);
} watched6 SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 256 * 1024);
} events SEC(".maps");

// Posts a report for sk entering state, when it is a TCP socket of the watched namespace whose
// remote end a watched prefix covers.
static __always_inline int Report(const struct sock* sk, int newstate) {
    if (!active) return 0;
    if (sk->sk_protocol != IPPROTO_TCP) return 0;
    if (sk->__sk_common.skc_net.net->ns.inum != watched_namespace) return 0;

    const unsigned short family = sk->__sk_common.skc_family;
    unsigned int remote = 0;
    unsigned int local = 0;
    int native6 = 0;
    struct corvane_prefix6 remote6 = {.prefix_length = 128};
    if (family == CORVANE_AF_INET) {
        remote = sk->__sk_common.skc_daddr;
        local = sk->__sk_common.skc_rcv_saddr;
    } else if (family == CORVANE_AF_INET6) {
        const unsigned int* words = sk->__sk_common.skc_v6_daddr.in6_u.u6_addr32;
        if (words[0] == 0 && words[1] == 0 && words[2] == bpf_htonl(0x0000ffff)) {
            remote = words[3];
            local = sk->__sk_common.skc_v6_rcv_saddr.in6_u.u6_addr32[3];
        } else {
            native6 = 1;
            __builtin_memcpy(remote6.address, sk->__sk_common.skc_v6_daddr.in6_u.u6_addr8, 16);
        }
    } else {
        return 0;
    }
    if (native6) {
        if (!bpf_map_lookup_elem(&watched6, &remote6)) return 0;
    } else {
        const struct corvane_prefix4 remote4 = {.prefix_length = 32, .address = remote};
        if (!bpf_map_lookup_elem(&watched4, &remote4)) return 0;
    }

    struct corvane_connection_event* event = bpf_ringbuf_reserve(&events, sizeof(*event), 0);
    if (!event) {
        __sync_fetch_and_add(&lost, 1);
        return 0;
    }
    event->cookie = bpf_get_socket_cookie((void*)sk);
    event->local_address = local;
    event->remote_address = remote;
    event->local_port = bpf_htons(sk->__sk_common.skc_num);
    event->remote_port = sk->__sk_common.skc_dport;
    event->family = (unsigned char)family;
    event->state = (unsigned char)newstate;
    event->outbound = newstate == CORVANE_TCP_SYN_SENT;
    event->native6 = (unsigned char)native6;
    event->bound_interface = sk->__sk_common.skc_bound_dev_if;
    if (newstate == CORVANE_TCP_SYN_SENT) {
        event->pid = (unsigned int)(bpf_get_current_pid_tgid() >> 32);
        bpf_get_current_comm(event->command, sizeof(event->command));
    } else {
        event->pid = 0;
        __builtin_memset(event->command, 0, sizeof(event->command));
    }
    if (native6) {
        __builtin_memcpy(event->local_address6, sk->__sk_common.skc_v6_rcv_saddr.in6_u.u6_addr8, 16);
        __builtin_memcpy(event->remote_address6, remote6.address, 16);
    } else {
        __builtin_memset(event->local_address6, 0, sizeof(event->local_address6));
        __builtin_memset(event->remote_address6, 0, sizeof(event->remote_address6));
    }
    bpf_ringbuf_submit(event, 0);
    return 0;
}

SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(on_state_change, const struct sock* sk, int oldstate, int newstate) {
    if (newstate != CORVANE_TCP_SYN_SENT && newstate != CORVANE_TCP_SYN_RECV && newstate != CORVANE_TCP_ESTABLISHED)
        return 0;
    return Report(sk, newstate);
}
