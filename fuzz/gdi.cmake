# The drawing canvas driven by arbitrary commands and coordinates.
corvane_fuzzer(fuzz_gdi LIBS corvane_gdi)
