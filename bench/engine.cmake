# The connection scan: idle ticks, ticks after an open, list size, and what a
# script would do instead (ss -K, /proc/net/tcp). Root runs the real-table parts
# inside a private network namespace of its own.
corvane_bench(bench_engine LIBS corvane_engine corvane_platform_linux)

# The client half of latency_and_cpu.sh (which runs the built program).
add_executable(corvane_connect_probe ${CMAKE_CURRENT_SOURCE_DIR}/connect_probe.cpp)
target_link_libraries(corvane_connect_probe PRIVATE corvane_platform_linux)
