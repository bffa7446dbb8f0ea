# How long a listed connection lives while another process holds the settings store locked, against
# the same with the store free: the built corvaned on a private bus (the test suite's harness).
corvane_bench(bench_store LIBS corvane_platform_linux SQLite::SQLite3)
corvane_bench_uses_harness(bench_store)
