# The qd.def loader fed arbitrary bytes.
corvane_fuzzer(fuzz_block_list LIBS corvane_engine)
# The administrator's address list parser fed arbitrary bytes.
corvane_fuzzer(fuzz_address_lists LIBS corvane_engine)
