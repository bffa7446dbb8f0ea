# The count the service keeps beside the settings store, read back at start.
corvane_fuzzer(fuzz_count_journal LIBS corvane_service)
