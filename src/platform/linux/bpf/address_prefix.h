/* Keys of the longest-prefix-match maps of addresses that both kernel sides look up, shared by the
 * BPF programs and their loaders: how many leading bits count, then the address in network byte
 * order. Plain C, fixed-width fields only. */
#ifndef CORVANE_ADDRESS_PREFIX_H
#define CORVANE_ADDRESS_PREFIX_H

struct corvane_prefix4 {
    unsigned int prefix_length; /* 0..32 */
    unsigned int address;       /* IPv4, network byte order */
};

struct corvane_prefix6 {
    unsigned int prefix_length; /* 0..128 */
    unsigned char address[16];  /* IPv6, network byte order */
};

#endif
