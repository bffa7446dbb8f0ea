# The running service as a user meets it: connect() -> abort and idle CPU, beside `ss -K` in a loop.
corvane_bench(bench_program LIBS corvane_platform_linux)
corvane_bench_with_service(bench_program)
