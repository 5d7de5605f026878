// Dictation costs. BM_Clean runs Dictation::clean over 10,000 generated 30-word transcripts
// (fillers, corrections and restarts mixed in); the time per item is one transcript.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "voice/dictation.h"

namespace {

using namespace talvane;

std::vector<std::string> transcripts(std::size_t count) {
  const char* plain[] = {"we",   "should", "run",    "the",   "tests", "before", "merging",
                         "this", "branch", "into",   "main",  "and",   "then",   "deploy",
                         "it",   "to",     "staging", "server", "please", "check", "logs"};
  const char* spoken[] = {"um",     "uh",      "you know", "i mean", "like,",   "so yeah",
                          "no wait", "scratch that", "actually no make it", "hmm"};
  std::mt19937 rng(7);
  std::vector<std::string> out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::string t = rng() % 2 ? "okay so " : "";
    for (int w = 0; w < 30; ++w) {
      if (rng() % 6 == 0) {
        t += spoken[rng() % std::size(spoken)];
      } else {
        t += plain[rng() % std::size(plain)];
      }
      t += ' ';
    }
    out.push_back(std::move(t));
  }
  return out;
}

void BM_Clean(benchmark::State& state) {
  static const std::vector<std::string> inputs = transcripts(10'000);
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Dictation::clean(inputs[i]));
    if (++i == inputs.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Clean)->Iterations(10'000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
