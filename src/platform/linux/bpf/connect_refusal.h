/* The refusal layer's kernel side and its loader share these: the report of one refused connect,
 * the slots of the counter and scope maps, and how many unread reports make a storm. Plain C,
 * fixed-width fields only. */
#ifndef CORVANE_CONNECT_REFUSAL_RECORD_H
#define CORVANE_CONNECT_REFUSAL_RECORD_H

#include "address_prefix.h"

#define CORVANE_REFUSAL_COMMAND_LENGTH 16

struct corvane_refused_connect {
    unsigned int remote_address;  /* IPv4, network byte order; 0 for native6 */
    unsigned short remote_port;   /* network byte order */
    unsigned char family;         /* AF_INET, or AF_INET6 (IPv4-mapped, or native6) */
    unsigned char native6;        /* 1: an IPv6 address, in remote_address6 */
    unsigned int pid;             /* the connecting process (thread group id) */
    char command[CORVANE_REFUSAL_COMMAND_LENGTH];
    unsigned char remote_address6[16]; /* IPv6, network byte order, for native6; else zero */
};

/* While this many bytes of reports wait unread, a refusal is counted but not reported: the reader
 * is behind, and it reads the counters after the reports that wait (128 reports of 48 bytes
 * and their 8-byte headers). */
#define CORVANE_REFUSAL_REPORT_BACKLOG 7168

#endif
