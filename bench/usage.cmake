# Reading a large ~/.claude/projects: the usage meter's snapshot and the transcript reader, and
# the usage query answered by a running app.
talvane_bench(usage talvane_context talvane_app_core talvane_bridge)
# `talvane usage` as people run it: a process of its own, loading what it loads.
target_compile_definitions(bench_usage PRIVATE TALVANE_COMMAND_PATH="$<TARGET_FILE:talvane>")
add_dependencies(bench_usage talvane)
