# The service's connect refusal in the kernel, all its hooks attached: a listed TCP connect's, UDP
# send's and UDP connect's time to its error, a listed peer's SYN's time to its reset, what the layer
# costs an unlisted TCP connect (with a short and a very long list) and an unlisted UDP datagram, and
# a storm of listed UDP sends counted once a flow (a wrong count fails the run). Root runs it inside
# a private network namespace of its own.
corvane_bench(bench_connect_refusal LIBS corvane_platform_linux)
