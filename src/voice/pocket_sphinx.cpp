#include <ngram_model.h>
#include <pocketsphinx.h>

#include <cstdlib>
#include <sstream>
#include <vector>

#include "platform/files.h"
#include "platform/log.h"
#include "voice/recognizer.h"

namespace talvane {

namespace {

// Share of the developer-speech model in the mix; the general model keeps every other word
// reachable. 0.7 with a language weight of 8 (the default is 6.5) heard the benchmark's
// sentences best, and as well sentences written apart from it.
constexpr float kDeveloperWeight = 0.7f;

class PocketSphinx final : public Recognizer {
 public:
  PocketSphinx(cmd_ln_t* config, ps_decoder_t* decoder) : config_(config), decoder_(decoder) {}
  ~PocketSphinx() override {
    ps_free(decoder_);
    cmd_ln_free_r(config_);
  }

  void begin() override {
    if (inUtterance_) ps_end_utt(decoder_);
    inUtterance_ = ps_start_utt(decoder_) == 0;
  }
  void feed(const std::int16_t* samples, std::size_t count) override {
    if (inUtterance_) ps_process_raw(decoder_, samples, count, FALSE, FALSE);
  }
  std::string partial() override { return hypothesis(); }
  std::string end() override {
    if (!inUtterance_) return {};
    ps_end_utt(decoder_);
    inUtterance_ = false;
    return hypothesis();
  }

 private:
  std::string hypothesis() {
    int32 score = 0;
    const char* hyp = ps_get_hyp(decoder_, &score);
    return hyp ? hyp : "";
  }

  cmd_ln_t* config_;
  ps_decoder_t* decoder_;
  bool inUtterance_ = false;
};

struct NgramModelFree {
  void operator()(ngram_model_t* m) const { ngram_model_free(m); }
};
using NgramModel = std::unique_ptr<ngram_model_t, NgramModelFree>;

// Adds the programming words the general dictionary lacks ("word PHONES", word(2) for another
// pronunciation). False when the file cannot be read or a line is refused.
bool addWords(ps_decoder_t* decoder, const std::string& path) {
  auto text = files::read(path);
  if (!text) return false;
  std::vector<std::pair<std::string, std::string>> entries;
  std::istringstream lines(*text);
  for (std::string line; std::getline(lines, line);) {
    const auto space = line.find(' ');
    if (line.empty() || line[0] == '#' || space == std::string::npos) continue;
    // An alternative keeps its "(2)": the decoder files it under the word before it.
    entries.emplace_back(line.substr(0, space), line.substr(space + 1));
  }
  bool ok = true;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    // The search is rebuilt once, after the last word.
    const bool last = i + 1 == entries.size();
    ok &= ps_add_word(decoder, entries[i].first.c_str(), entries[i].second.c_str(), last) >= 0;
  }
  return ok;
}

// The general model mixed with the developer-speech one, as the decoder's search. Without the
// developer files, the general model alone.
bool useLanguageModel(cmd_ln_t* config, ps_decoder_t* decoder, const std::string& general,
                      const std::string& developerDir) {
  logmath_t* math = ps_get_logmath(decoder);
  NgramModel generalModel(ngram_model_read(config, general.c_str(), NGRAM_AUTO, math));
  if (!generalModel) return false;
  NgramModel model;
  const std::string lm = developerDir + "/developer.lm", dict = developerDir + "/developer.dict";
  if (!developerDir.empty() && addWords(decoder, dict)) {
    NgramModel developer(ngram_model_read(config, lm.c_str(), NGRAM_ARPA, math));
    if (developer) {
      ngram_model_t* models[] = {generalModel.get(), developer.get()};
      const char* names[] = {"general", "developer"};
      const float32 weights[] = {1.0f - kDeveloperWeight, kDeveloperWeight};
      // The set holds its own references to both.
      model.reset(ngram_model_set_init(config, models, const_cast<char**>(names), weights, 2));
    }
  }
  if (!model) {
    log::line("Talvane: no developer speech model" +
              (developerDir.empty() ? std::string() : " in " + developerDir) +
              "; using the general one alone");
    model = std::move(generalModel);
  }
  return ps_set_lm(decoder, "dictation", model.get()) == 0 &&
         ps_set_search(decoder, "dictation") == 0;
}

// The folder of the developer-speech model built with the app: $TALVANE_SPEECH_DATA, else beside
// the program.
std::string developerSpeechModel() {
  if (const char* env = std::getenv("TALVANE_SPEECH_DATA"); env && *env) return env;
  const std::string program = files::program();
  if (program.empty()) return {};
  // <prefix>/bin/talvane and a build tree's bin/ share ../share; the installed app lives in
  // <prefix>/lib/talvane/.
  const std::string bin = files::parent(program);
  for (const std::string& prefix : {files::parent(bin), files::parent(files::parent(bin))}) {
    std::string dir = prefix + "/share/talvane/speech";
    if (files::exists(dir + "/developer.lm")) return dir;
  }
  return {};
}

}  // namespace

std::string defaultSpeechModel() {
  const char* env = std::getenv("TALVANE_SPEECH_MODEL");
  return env && *env ? env : TALVANE_SPEECH_MODEL_DIR;
}

std::unique_ptr<Recognizer> makePocketSphinx(const std::string& modelDir) {
  const std::string dir = modelDir.empty() ? defaultSpeechModel() : modelDir;
  const std::string hmm = dir + "/en-us", lm = dir + "/en-us.lm.bin",
                    dict = dir + "/cmudict-en-us.dict";
  if (!files::isDirectory(hmm) || !files::exists(lm) || !files::exists(dict)) {
    log::line("Talvane: no speech model in " + dir);
    return nullptr;
  }
  // Without -lm the decoder starts with no search; the mixed model becomes its search below,
  // so the general model is read once. The phone look-ahead and the cap on active models cut
  // the decoding work by a third at no cost in accuracy on developer speech.
  cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-dict",
                                 dict.c_str(), "-logfn", "/dev/null", "-fwdflat", "no",
                                 "-pl_window", "5", "-maxhmmpf", "3000", "-lw", "8", nullptr);
  if (!config) return nullptr;
  ps_decoder_t* decoder = ps_init(config);
  if (!decoder || !useLanguageModel(config, decoder, lm, developerSpeechModel())) {
    if (decoder) ps_free(decoder);
    cmd_ln_free_r(config);
    log::line("Talvane: cannot load the speech model in " + dir);
    return nullptr;
  }
  return std::make_unique<PocketSphinx>(config, decoder);
}

}  // namespace talvane
