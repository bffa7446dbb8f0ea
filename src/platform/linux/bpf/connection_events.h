/* The record the kernel side posts for a listed connection, shared by the BPF
 * program and its loader. Plain C, fixed-width fields only. */
#ifndef CORVANE_CONNECTION_EVENTS_RECORD_H
#define CORVANE_CONNECTION_EVENTS_RECORD_H

#include "address_prefix.h"

#define CORVANE_COMMAND_LENGTH 16

struct corvane_connection_event {
    unsigned long long cookie;       /* the socket's cookie */
    unsigned int local_address;      /* IPv4, network byte order; 0 for native6 */
    unsigned int remote_address;     /* IPv4, network byte order; 0 for native6 */
    unsigned short local_port;       /* network byte order */
    unsigned short remote_port;      /* network byte order */
    unsigned char family;            /* AF_INET, or AF_INET6 */
    unsigned char state;             /* the kernel's new TCP state */
    unsigned char outbound;          /* 1: this side connected (SYN_SENT seen by the connecting task) */
    unsigned char native6;           /* 1: an IPv6 socket talking IPv6, its ends in the 16-byte fields */
    int bound_interface;             /* the socket's bound device, 0 for none */
    unsigned int pid;                /* the connecting process, for an outbound SYN_SENT; else 0 */
    char command[CORVANE_COMMAND_LENGTH];
    unsigned char local_address6[16];  /* IPv6, network byte order, for native6; else zero */
    unsigned char remote_address6[16]; /* IPv6, network byte order, for native6; else zero */
};

#endif
