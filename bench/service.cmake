# The service's start, its idle wake-ups and how soon a block reaches a client on the bus.
corvane_bench(bench_service LIBS corvane_platform_dbus corvane_platform_linux Qt6::Core Qt6::DBus)
corvane_bench_with_service(bench_service)
