# Property change burst of the button control against a single setter.
corvane_bench(bench_buttons LIBS corvane_buttons)
