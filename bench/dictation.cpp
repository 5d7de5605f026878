// Dictation costs. BM_Clean runs Dictation::clean over 10,000 generated 30-word transcripts
// (fillers, corrections and restarts mixed in); the time per item is one transcript.
// Then, when flite and the PocketSphinx model are installed, one 5-second utterance is played
// in real time through Talk (the capture thread and PocketSphinx): the time from stop() to the
// finished text, split into the fixed finishing delay, PocketSphinx's end of utterance and our
// own code; and the memory the process gained while listening.
#include "voice/dictation.h"

#include <benchmark/benchmark.h>
#include <glib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "platform/files.h"
#include "voice/audio.h"
#include "voice/polish.h"
#include "voice/recognizer.h"
#include "voice/talk.h"

namespace {

using namespace talvane;

std::vector<std::string> transcripts(std::size_t count) {
  const char* plain[] = {"we",   "should", "run",     "the",    "tests",  "before", "merging",
                         "this", "branch", "into",    "main",   "and",    "then",   "deploy",
                         "it",   "to",     "staging", "server", "please", "check",  "logs"};
  const char* spoken[] = {"um",      "uh",           "you know",
                          "i mean",  "like,",        "so yeah",
                          "no wait", "scratch that", "actually no make it",
                          "hmm"};
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

using Steady = std::chrono::steady_clock;

// Times the end of each utterance, on whichever thread runs it.
struct Timings {
  std::atomic<long long> endStart{0}, endDone{0};
};
long long nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now().time_since_epoch())
      .count();
}
class TimedRecognizer final : public Recognizer {
 public:
  TimedRecognizer(std::unique_ptr<Recognizer> inner, Timings& t)
      : inner_(std::move(inner)), t_(t) {}
  void begin() override { inner_->begin(); }
  void feed(const std::int16_t* s, std::size_t n) override { inner_->feed(s, n); }
  std::string partial() override { return inner_->partial(); }
  std::string end() override {
    t_.endStart = nowNs();
    std::string text = inner_->end();
    t_.endDone = nowNs();
    return text;
  }

 private:
  std::unique_ptr<Recognizer> inner_;
  Timings& t_;
};

double since(Steady::time_point t) {
  return std::chrono::duration<double>(Steady::now() - t).count();
}

long rssKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

bool runUntil(const std::function<bool()>& done, double seconds) {
  const auto start = Steady::now();
  while (!done()) {
    if (since(start) > seconds) return false;
    g_main_context_iteration(nullptr, TRUE);
  }
  return true;
}

void recognition() {
  const std::string dir = g_get_tmp_dir() + std::string("/talvane-bench-dictation");
  files::makeDirs(dir);
  const std::string wav = dir + "/utterance.wav";
  const std::string command =
      "flite -voice rms -t 'please send the new build to the staging "
      "server and then run all of the tests again' -o " +
      wav;
  if (std::system(command.c_str()) != 0) {
    std::printf("recognition: skipped (flite is not installed)\n");
    return;
  }
  WavResult spoken = readWav(wav);
  if (!spoken.error.empty() || !makePocketSphinx()) {
    std::printf("recognition: skipped (%s)\n",
                spoken.error.empty() ? "no speech model" : spoken.error.c_str());
    return;
  }
  // Exactly five seconds: the sentence, then silence.
  spoken.samples.resize(5 * kSampleRate, 0);

  // PocketSphinx alone: the end of an utterance after all of it was fed.
  auto rec = makePocketSphinx();
  rec->begin();
  for (std::size_t at = 0; at < spoken.samples.size(); at += 1024)
    rec->feed(spoken.samples.data() + at, std::min<std::size_t>(1024, spoken.samples.size() - at));
  auto t = Steady::now();
  const std::string direct = rec->end();
  const double endSeconds = since(t);
  rec.reset();

  GLibLoop loop;
  Timings timings;
  const long before = rssKb();
  Talk talk(
      loop, [&] { return makeSamplesInput(spoken.samples, /*realTime=*/true); },
      [&]() -> std::unique_ptr<Recognizer> {
        return std::make_unique<TimedRecognizer>(makePocketSphinx(), timings);
      });
  bool prepared = false;
  talk.prepare();
  talk.start();  // begins once the model is loaded
  talk.onUpdate = [&](const std::string&, bool, double) { prepared = true; };
  runUntil([&] { return prepared; }, 60);
  const long loaded = rssKb();
  long peak = loaded;
  Polisher polisher;
  bool ended = false;
  std::string finalText, finished;
  Steady::time_point stopped, heard, done;
  talk.onInputEnded = [&] { ended = true; };
  talk.onUpdate = [&](const std::string& text, bool final, double) {
    peak = std::max(peak, rssKb());
    if (!final) return;
    heard = Steady::now();
    finalText = text;
    polisher.run(text, [&](std::string out) {
      finished = out;
      done = Steady::now();
    });
  };
  talk.onError = [](const std::string& m) { std::printf("recognition: error: %s\n", m.c_str()); };
  if (!runUntil([&] { return ended; }, 60)) return;
  stopped = Steady::now();
  const long long stoppedNs = nowNs();
  talk.stop();
  if (!runUntil([&] { return !finished.empty(); }, 30)) return;

  const double total = std::chrono::duration<double>(done - stopped).count();
  const long long heardNs =
      std::chrono::duration_cast<std::chrono::nanoseconds>(heard.time_since_epoch()).count();
  const double toEnd = (timings.endStart - stoppedNs) / 1e9;
  const double endTime = (timings.endDone - timings.endStart) / 1e9;
  // Delivery waits for the later of the fixed delay and the recogniser; from there it is ours.
  const double ready = std::max((timings.endDone - stoppedNs) / 1e9, Talk::kFinishDelay);
  const double handOff = (heardNs - stoppedNs) / 1e9 - ready;
  const double polish = std::chrono::duration<double>(done - heard).count();
  std::printf("recognition: \"%s\" -> \"%s\"\n", finalText.c_str(), finished.c_str());
  std::printf("  direct PocketSphinx text: \"%s\" (its end of utterance: %.1f ms)\n",
              direct.c_str(), endSeconds * 1000);
  std::printf("  stop -> finished text: %.3f s (fixed finishing delay %.2f s)\n", total,
              Talk::kFinishDelay);
  std::printf("  stop -> capture thread ends the utterance: %.1f ms (the block being read)\n",
              toEnd * 1000);
  std::printf("  PocketSphinx end of utterance: %.1f ms\n", endTime * 1000);
  std::printf(
      "  our own code: %.2f ms (hand-off to the main loop %.2f ms, cleanup and "
      "closing %.2f ms)\n",
      (handOff + polish) * 1000, handOff * 1000, polish * 1000);
  std::printf(
      "  memory: speech model %.1f MB (loaded once, on the first dictation), added while "
      "listening %.1f MB (RSS %.1f -> %.1f -> %.1f MB)\n",
      (loaded - before) / 1024.0, (peak - loaded) / 1024.0, before / 1024.0, loaded / 1024.0,
      peak / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  recognition();
  return 0;
}
