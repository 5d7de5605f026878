# One push of the whole state to the page with every agent connected: Hub snapshot, settings
# and geometry, as the panel sends it on every change.
talvane_bench(push talvane_notch)
