# GetRegistryValue (open, query, close) against a bare SQLite point query of the same row.
corvane_bench(bench_registry LIBS corvane_settings corvane_platform_linux SQLite::SQLite3)
