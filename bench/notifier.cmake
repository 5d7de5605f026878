# The notifications' pass over the Hub with 200 waiting sessions, as after a flood of requests.
talvane_bench(notifier talvane_notch)
