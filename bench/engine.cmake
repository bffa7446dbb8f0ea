# The connection scan: idle ticks, ticks after an open, list size, and what a
# script would do instead (ss -K, /proc/net/tcp). Root runs the real-table parts
# inside a private network namespace of its own.
corvane_bench(bench_engine LIBS corvane_engine corvane_platform_linux)

