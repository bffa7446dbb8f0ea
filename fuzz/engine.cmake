# The qd.def loader fed arbitrary bytes.
corvane_fuzzer(fuzz_block_list LIBS corvane_engine)
