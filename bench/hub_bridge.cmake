# Hook events end to end through the socket into the Hub, from concurrent relay-like clients.
talvane_bench(hub_bridge talvane_hub)
