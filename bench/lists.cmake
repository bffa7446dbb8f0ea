# Loading the administrator's address lists: a folder holding one list of a million lines.
corvane_bench(bench_lists LIBS corvane_engine)
