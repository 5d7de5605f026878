#include "voice/speech_server.h"

#include "platform/json.h"
#include "platform/log.h"

namespace talvane {

HttpSpeechServer::HttpSpeechServer(const std::string& url, double baseTimeout)
    : url_(endpoint(url, "/v1/audio/transcriptions")), baseTimeout_(baseTimeout) {}

std::optional<std::string> HttpSpeechServer::parse(const std::string& body) {
  Json answer = Json::parse(body, nullptr, false);
  if (answer.is_string()) return answer.get<std::string>();
  if (auto text = json::string(answer, "text")) return *text;
  return std::nullopt;
}

void HttpSpeechServer::transcribe(const Samples& audio,
                                  std::function<void(std::optional<std::string>)> done) {
  const double seconds = static_cast<double>(audio.size()) / kSampleRate;
  http_.postForm(url_, {{"model", "whisper-1"}, {"response_format", "json"}, {"language", "en"}},
                 {"file", "speech.wav", "audio/wav", encodeWav(audio)},
                 baseTimeout_ + kTimeoutPerSecond * seconds,
                 [url = url_, done = std::move(done)](const HttpReply& reply) {
                   std::optional<std::string> text;
                   if (reply.error.empty()) text = parse(reply.body);
                   if (!text) {
                     log::line("Talvane: transcription server " + url + " failed (" +
                               (reply.error.empty() ? "unreadable answer" : reply.error) +
                               "); using the built-in recogniser");
                   }
                   done(text);
                 });
}

}  // namespace talvane
