# Reading a large ~/.claude/projects: the usage meter's snapshot and the transcript reader.
talvane_bench(usage talvane_context)
