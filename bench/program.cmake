corvane_bench(bench_program LIBS corvane_platform_linux)
target_compile_definitions(bench_program PRIVATE CORVANE_BINARY="$<TARGET_FILE:corvane>")
add_dependencies(bench_program corvane)
