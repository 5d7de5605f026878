# Dictation: cleanup of spoken transcripts, and recognition latency and memory on a spoken file.
talvane_bench(dictation talvane_voice)
