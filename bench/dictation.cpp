// Dictation costs. BM_Clean runs Dictation::clean over 10,000 generated 30-word transcripts
// (fillers, corrections and restarts mixed in); the time per item is one transcript.
// Then, when flite and the PocketSphinx model are installed:
// - accuracy: every sentence of dictation_sentences.txt spoken by the flite voices rms, awb, slt
//   and kal, recognised by the built-in recogniser; the word error rate per voice of the cleaned
//   text against the cleaned sentence, and per utterance the decoding time (processor time per
//   second of speech) and the time left after the end of the audio (PocketSphinx's end of
//   utterance);
// - one 5-second utterance played in real time through Talk (the capture thread and
//   PocketSphinx): the time from stop() to the finished text, split into the fixed finishing
//   delay, PocketSphinx's end of utterance and our own code; and the memory the process gained
//   while listening.
#include "voice/dictation.h"

#include <benchmark/benchmark.h>
#include <glib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "platform/files.h"
#include "voice/audio.h"
#include "voice/capture.h"
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

// Words as the error rate counts them: lowercased, letters, digits and apostrophes.
std::vector<std::string> tokens(const std::string& text) {
  std::vector<std::string> out;
  std::string word;
  for (char c : text + " ") {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '\'') {
      word += static_cast<char>(std::tolower(u));
    } else if (!word.empty()) {
      out.push_back(std::move(word));
      word.clear();
    }
  }
  return out;
}

// Word-level edit distance: substitutions, insertions and deletions.
std::size_t editDistance(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

void accuracy(const std::string& dir) {
  std::ifstream list(TALVANE_BENCH_DIR "/dictation_sentences.txt");
  std::vector<std::string> sentences;
  for (std::string line; std::getline(list, line);)
    if (!line.empty()) sentences.push_back(line);
  const auto loadStart = Steady::now();
  auto rec = makePocketSphinx();
  if (!rec || sentences.empty()) {
    std::printf("accuracy: skipped (%s)\n", rec ? "no sentences" : "no speech model");
    return;
  }
  std::printf("accuracy: %zu sentences per voice (model loaded in %.2f s)\n", sentences.size(),
              since(loadStart));
  double sumOfThree = 0, worstOfThree = 0;
  for (const std::string voice : {"rms", "awb", "slt", "kal"}) {
    std::size_t errors = 0, words = 0;
    double audioSeconds = 0, decodeSeconds = 0, endSeconds = 0, worstEnd = 0;
    std::string mistakes;
    for (std::size_t i = 0; i < sentences.size(); ++i) {
      const std::string wav = dir + "/" + voice + "-" + std::to_string(i) + ".wav";
      const char* argv[] = {"flite", "-voice",    voice.c_str(), "-t", sentences[i].c_str(),
                            "-o",    wav.c_str(), nullptr};
      gint status = 0;
      if (!g_spawn_sync(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                        nullptr, nullptr, nullptr, &status, nullptr) ||
          !g_spawn_check_wait_status(status, nullptr)) {
        std::printf("accuracy: skipped (flite cannot speak with %s)\n", voice.c_str());
        return;
      }
      WavResult spoken = readWav(wav);
      // Half a second of silence, as after letting go of the key.
      spoken.samples.resize(spoken.samples.size() + kSampleRate / 2, 0);
      audioSeconds += double(spoken.samples.size()) / kSampleRate;
      const double cpuStart = threadSeconds();
      rec->begin();
      for (std::size_t at = 0; at < spoken.samples.size(); at += Capture::kBlock)
        rec->feed(spoken.samples.data() + at,
                  std::min<std::size_t>(Capture::kBlock, spoken.samples.size() - at));
      const auto endStart = Steady::now();
      const std::string heard = rec->end();
      const double end = since(endStart);
      decodeSeconds += threadSeconds() - cpuStart;
      endSeconds += end;
      worstEnd = std::max(worstEnd, end);
      const auto expected = tokens(Dictation::clean(sentences[i]));
      const std::size_t e = editDistance(expected, tokens(Dictation::clean(heard)));
      errors += e;
      words += expected.size();
      if (e) mistakes += "    \"" + sentences[i] + "\" -> \"" + heard + "\"\n";
    }
    const double wer = 100.0 * double(errors) / double(words);
    if (voice != "kal") {
      sumOfThree += wer;
      worstOfThree = std::max(worstOfThree, wer);
    }
    std::printf(
        "  %s: word error rate %.1f%% (%zu of %zu words); decoding %.2f s of processor per "
        "second of speech; after the end of the audio %.0f ms on average, %.0f ms at most\n",
        voice.c_str(), wer, errors, words, decodeSeconds / audioSeconds,
        1000 * endSeconds / double(sentences.size()), 1000 * worstEnd);
    if (std::getenv("TALVANE_BENCH_VERBOSE")) std::printf("%s", mistakes.c_str());
  }
  std::printf("  rms, awb and slt: %.1f%% on average, %.1f%% at worst\n", sumOfThree / 3,
              worstOfThree);
}

void recognition(const std::string& dir) {
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
  // Settings and spoken files live in a fresh temporary home, never the user's.
  char* home = g_dir_make_tmp("talvane-bench-dictation-XXXXXX", nullptr);
  const std::string dir = home;
  g_free(home);
  setenv("HOME", dir.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (dir + "/.config").c_str(), 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  accuracy(dir);
  recognition(dir);
  std::system(("rm -rf '" + dir + "'").c_str());
  return 0;
}
