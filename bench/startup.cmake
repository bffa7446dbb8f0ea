# Start-up of the window against the floor: a minimal Qt program that only shows a tray icon. The window
# talks to corvaned, which runs for it.
add_executable(tray_floor ${CMAKE_CURRENT_SOURCE_DIR}/startup_tray_floor.cpp)
target_link_libraries(tray_floor PRIVATE Qt6::Widgets)
pkg_check_modules(BENCH_XCB REQUIRED IMPORTED_TARGET xcb)
corvane_bench(bench_startup LIBS corvane_platform_linux PkgConfig::BENCH_XCB)
corvane_bench_with_service(bench_startup)
target_compile_definitions(bench_startup PRIVATE
  CORVANE_BINARY="$<TARGET_FILE:corvane>" CORVANE_TRAY_FLOOR="$<TARGET_FILE:tray_floor>")
add_dependencies(bench_startup corvane tray_floor)
