# Reading a large ~/.claude/projects: the usage meter's snapshot and the transcript reader, and
# the usage query answered by a running app.
talvane_bench(usage talvane_context talvane_app_core talvane_bridge)
