# One caption line drawn by the canvas against QPainter::drawText.
corvane_bench(bench_text LIBS corvane_gdi Qt6::Gui)
