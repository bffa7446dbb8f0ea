# A 10 MB download through the transfer component and the download machinery against curl, both from
# the same loopback server in one run.
corvane_bench(bench_update LIBS corvane_update corvane_platform_qt Qt6::Network)
target_sources(bench_update PRIVATE ${PROJECT_SOURCE_DIR}/tests/update/loopback_http_server.cpp)
target_include_directories(bench_update PRIVATE ${PROJECT_SOURCE_DIR}/tests/update)
