# The event engine beside the timer engine: connect-to-abort latency, idle wake-ups and CPU, and
# connection storms. Root runs it inside a private network namespace of its own.
corvane_bench(bench_events LIBS corvane_engine corvane_platform_linux Threads::Threads)
