# The service's connect refusal in the kernel: a listed connect's time to its error, and what the
# layer costs an unlisted connect with a short and a very long list. Root runs it inside a private
# network namespace of its own.
corvane_bench(bench_connect_refusal LIBS corvane_platform_linux)
