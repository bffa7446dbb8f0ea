/* The refusal layer's kernel side and its loader share these: the report of one refused connect,
 * the slots of the counter and scope maps, and how many unread reports make a storm. Plain C,
 * fixed-width fields only. */
#ifndef CORVANE_CONNECT_REFUSAL_RECORD_H
#define CORVANE_CONNECT_REFUSAL_RECORD_H

#define CORVANE_REFUSAL_COMMAND_LENGTH 16

struct corvane_refused_connect {
    unsigned int remote_address;  /* IPv4, network byte order */
    unsigned short remote_port;   /* network byte order */
    unsigned char family;         /* AF_INET, or AF_INET6 for an IPv4-mapped address */
    unsigned char reserved;
    unsigned int pid;             /* the connecting process (thread group id) */
    char command[CORVANE_REFUSAL_COMMAND_LENGTH];
};

/* While this many bytes of reports wait unread, a refusal is counted but not reported: the reader
 * is behind, and it reads the counters after the reports that wait (about 128 reports). */
#define CORVANE_REFUSAL_REPORT_BACKLOG 5120

#endif
