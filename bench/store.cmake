# How long a listed connection lives while another process holds the settings store locked, against
# the same with the store free: the built corvaned on a private bus (the test suite's harness).
corvane_bench(bench_store LIBS corvane_platform_linux SQLite::SQLite3)
target_sources(bench_store PRIVATE ${PROJECT_SOURCE_DIR}/tests/service/service_harness.cpp)
target_compile_definitions(bench_store PRIVATE
  CORVANED_BINARY="$<TARGET_FILE:corvaned>"
  CORVANE_REG_TOOL="$<TARGET_FILE:corvane-reg>"
  CORVANE_DBUS_POLICY="${PROJECT_SOURCE_DIR}/packaging/dbus/org.corvane.Corvane1.conf")
add_dependencies(bench_store corvaned corvane-reg)
