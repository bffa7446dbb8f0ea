/* The refusal layers' kernel side and its loader share these: the report of one refused attempt,
 * the slots of the counter and scope maps, the key of a flow, and how many unread reports make a
 * storm. Plain C, fixed-width fields only. */
#ifndef CORVANE_CONNECT_REFUSAL_RECORD_H
#define CORVANE_CONNECT_REFUSAL_RECORD_H

#include "address_prefix.h"

#define CORVANE_REFUSAL_COMMAND_LENGTH 16

/* Which hook refused: also the slot of its counter. */
#define CORVANE_LAYER_CONNECT 0 /* connect() of a TCP, UDP or ping socket */
#define CORVANE_LAYER_SEND 1    /* a UDP datagram sent to an address given with it */
#define CORVANE_LAYER_INBOUND 2 /* a TCP SYN or UDP datagram from a listed peer */
#define CORVANE_LAYER_ICMP 3    /* an ICMP or ICMPv6 packet to a listed address */
#define CORVANE_LAYER_COUNT 4

struct corvane_refused_connect {
    unsigned int remote_address;  /* IPv4, network byte order; 0 for native6 */
    unsigned short remote_port;   /* network byte order; 0 for ICMP */
    unsigned char family;         /* AF_INET, or AF_INET6 (IPv4-mapped, or native6) */
    unsigned char native6;        /* 1: an IPv6 address, in remote_address6 */
    unsigned int pid;             /* the process (thread group id); 0 when none is known */
    char command[CORVANE_REFUSAL_COMMAND_LENGTH];
    unsigned char remote_address6[16]; /* IPv6, network byte order, for native6; else zero */
    unsigned short local_port;    /* host byte order; inbound attempts only */
    unsigned char protocol;       /* IPPROTO_TCP, _UDP, _ICMP or _ICMPV6 */
    unsigned char layer;          /* CORVANE_LAYER_* */
};

/* A flow counted once: the socket (0 for none), the remote address (IPv4 in the last four bytes
 * of ::ffff:0:0/96), its port, the local port (inbound) and the protocol. */
struct corvane_flow {
    unsigned long long socket;
    unsigned char address[16];
    unsigned short remote_port;
    unsigned short local_port;
    unsigned int protocol;
};

#define CORVANE_FLOWS_REMEMBERED 65536

/* While this many bytes of reports wait unread, a refusal is counted but not reported: the reader
 * is behind, and it reads the counters after the reports that wait (128 reports of 48 bytes
 * and their 8-byte headers). */
#define CORVANE_REFUSAL_REPORT_BACKLOG 7168

#endif
