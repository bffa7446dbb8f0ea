corvane_bench(bench_gdi LIBS corvane_gdi Qt6::Gui)
