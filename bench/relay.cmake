# The hook relay end to end against a Bridge, next to spawning /bin/true.
talvane_bench(relay talvane_bridge)
add_dependencies(bench_relay talvane-hook)
