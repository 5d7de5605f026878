# The Hub in process: one full snapshot, and hook events straight into Hub.claude.
talvane_bench(hub talvane_hub)
