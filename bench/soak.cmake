# A long mixed run of relays, rollouts and browser tabs against the app core: memory and
# descriptors stay flat. TALVANE_SOAK_SECONDS or --seconds N shortens it (default 10 minutes).
talvane_bench(soak talvane_notch talvane_bridge)
