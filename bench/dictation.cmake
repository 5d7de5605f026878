# Dictation: cleanup of spoken transcripts; recognition accuracy per voice, latency and memory.
talvane_bench(dictation talvane_voice)
target_compile_definitions(bench_dictation PRIVATE TALVANE_BENCH_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
