#include <pocketsphinx.h>

#include <cstdlib>

#include "platform/files.h"
#include "platform/log.h"
#include "voice/recognizer.h"

namespace talvane {

namespace {

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
  cmd_ln_t* config =
      cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-lm", lm.c_str(), "-dict",
                  dict.c_str(), "-logfn", "/dev/null", "-fwdflat", "no", nullptr);
  if (!config) return nullptr;
  ps_decoder_t* decoder = ps_init(config);
  if (!decoder) {
    cmd_ln_free_r(config);
    log::line("Talvane: cannot load the speech model in " + dir);
    return nullptr;
  }
  return std::make_unique<PocketSphinx>(config, decoder);
}

}  // namespace talvane
