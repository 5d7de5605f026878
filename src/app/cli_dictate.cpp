// `talvane dictate FILE.wav` and `talvane dictate --text "..."`: the text a dictation of that
// speech would produce (recognised, cleaned, punctuated), on standard output.
#include <glib.h>

#include <cstdio>
#include <optional>
#include <string>

#include "app/commands.h"
#include "platform/json_settings_store.h"
#include "voice/audio.h"
#include "voice/polish.h"
#include "voice/recognizer.h"
#include "voice/speech_server.h"
#include "voice/talk.h"

namespace talvane::cli {

namespace {

// Runs the default main context until `value` is set.
template <typename T>
T await(std::optional<T>& value) {
  while (!value) g_main_context_iteration(nullptr, TRUE);
  return *value;
}

}  // namespace

int dictate(const Args& args) {
  std::optional<std::string> file, text;
  if (args.size() == 2 && args[0] == "--text") {
    text = args[1];
  } else if (args.size() == 1 && args[0].rfind('-', 0) != 0) {
    file = args[0];
  } else {
    std::fprintf(stderr, "usage: talvane dictate FILE.wav | --text \"TEXT\"\n");
    return 2;
  }
  const VoiceSettings settings = VoiceSettings::read(&JsonSettingsStore::user());

  if (file) {
    WavResult wav = readWav(*file);
    if (!wav.error.empty()) {
      std::fprintf(stderr, "talvane: %s: %s\n", file->c_str(), wav.error.c_str());
      return 1;
    }
    std::unique_ptr<Recognizer> recognizer = makePocketSphinx();
    if (!recognizer) {
      std::fprintf(stderr, "talvane: %s (no speech model in %s)\n", Talk::kNoRecognizer,
                   defaultSpeechModel().c_str());
      return 1;
    }
    recognizer->begin();
    for (std::size_t at = 0; at < wav.samples.size(); at += Capture::kBlock) {
      recognizer->feed(wav.samples.data() + at,
                       std::min<std::size_t>(Capture::kBlock, wav.samples.size() - at));
    }
    text = recognizer->end();
    if (!settings.speechServer.empty() && !wav.samples.empty()) {
      HttpSpeechServer server(settings.speechServer);
      std::optional<std::optional<std::string>> heard;
      server.transcribe(wav.samples, [&](const std::optional<std::string>& t) { heard = t; });
      if (auto better = await(heard)) text = *better;
    }
  }

  Polisher polisher(settings.punctuationServer, settings.punctuationModel);
  std::optional<std::string> finished;
  polisher.run(*text, [&](std::string t) { finished = std::move(t); });
  std::printf("%s\n", await(finished).c_str());
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace talvane::cli
