# The qd.def loader fed arbitrary bytes. The loader's source is compiled into the
# target itself so that libFuzzer sees its coverage.
corvane_fuzzer(fuzz_block_list)
target_sources(fuzz_block_list PRIVATE ${PROJECT_SOURCE_DIR}/src/engine/block_list.cpp)
target_include_directories(fuzz_block_list PRIVATE ${PROJECT_SOURCE_DIR}/src)
