# Decoding of what other programs may leave in the store (autostart entries) and of corvane-reg's
# data arguments.
corvane_fuzzer(fuzz_registry LIBS corvane_settings corvane_platform_linux)
