# Codex rollout files read from their start, as after a restart: bytes per second of a sweep.
talvane_bench(codex_watcher talvane_hub)
