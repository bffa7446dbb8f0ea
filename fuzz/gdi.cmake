# The drawing canvas driven by arbitrary commands and coordinates. Its sources are compiled into
# the target so that libFuzzer sees their coverage and the sanitizers check them.
file(GLOB corvane_gdi_fuzz_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/platform/gdi/*.cpp)
corvane_fuzzer(fuzz_gdi LIBS Qt6::Gui)
target_sources(fuzz_gdi PRIVATE ${corvane_gdi_fuzz_sources})
target_include_directories(fuzz_gdi PRIVATE ${PROJECT_SOURCE_DIR}/src)
