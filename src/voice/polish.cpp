#include "voice/polish.h"

#include <cstdlib>

#include "platform/json.h"
#include "platform/log.h"
#include "voice/dictation.h"

namespace talvane {

VoiceSettings VoiceSettings::read(const SettingsStore* store) {
  auto pick = [store](const char* env, const char* key) -> std::string {
    if (const char* v = std::getenv(env); v && *v) return v;
    if (store) {
      if (auto value = store->get(key); value && value->is_string())
        return value->get<std::string>();
    }
    return {};
  };
  return {pick("TALVANE_SPEECH_SERVER", "speechServer"),
          pick("TALVANE_PUNCTUATION_SERVER", "punctuationServer"),
          pick("TALVANE_PUNCTUATION_MODEL", "punctuationModel")};
}

namespace Polish {

std::string finish(const std::string& text) {
  if (text.empty()) return text;
  const char last = text.back();
  for (char closing : {'.', '!', '?', ')', '"', '\'', '`'})
    if (last == closing) return text;
  return Dictation::wordCount(text) > 2 ? text + "." : text;
}

std::string request(const std::string& cleaned, const std::string& model) {
  const Json schema = {
      {"type", "object"},
      {"properties", {{"text", {{"type", "string"}, {"description", kGuide}}}}},
      {"required", {"text"}},
  };
  const std::string system =
      std::string(kInstructions) +
      "\nAnswer with one JSON object that follows this schema: " + schema.dump();
  Json body = {
      {"model", model.empty() ? "default" : model},
      {"temperature", 0},
      {"stream", false},
      {"response_format", {{"type", "json_object"}}},
      {"messages",
       {{{"role", "system"}, {"content", system}},
        {{"role", "user"}, {"content", "Text: " + cleaned}}}},
  };
  return body.dump();
}

std::string candidate(const std::string& body) {
  Json answer = Json::parse(body, nullptr, false);
  std::string content;
  if (answer.is_object() && answer.contains("choices") && answer["choices"].is_array() &&
      !answer["choices"].empty()) {
    const Json& choice = answer["choices"][0];
    if (choice.is_object() && choice.contains("message") && choice["message"].is_object())
      content = json::string(choice["message"], "content").value_or("");
  }
  // The structured answer; a model that ignored the format may still have sent the sentence.
  Json inner = Json::parse(content, nullptr, false);
  if (auto text = json::string(inner, "text")) content = *text;
  const char* space = " \t\r\n";
  const auto first = content.find_first_not_of(space);
  if (first == std::string::npos) return {};
  return content.substr(first, content.find_last_not_of(space) - first + 1);
}

std::string accept(const std::string& cleaned, const std::string& answer) {
  if (!answer.empty() && Dictation::words(answer) == Dictation::words(cleaned))
    return finish(answer);
  return finish(cleaned);
}

}  // namespace Polish

Polisher::Polisher(std::string url, std::string model, double timeoutSeconds)
    : url_(url.empty() ? "" : endpoint(url, "/v1/chat/completions")),
      model_(std::move(model)),
      timeout_(timeoutSeconds) {}

void Polisher::run(const std::string& text, std::function<void(std::string)> done) {
  const std::string cleaned = Dictation::clean(text);
  if (url_.empty() || Dictation::wordCount(cleaned) < 4) {
    done(Polish::finish(cleaned));
    return;
  }
  http_.postJson(url_, Polish::request(cleaned, model_), timeout_,
                 [cleaned, url = url_, done = std::move(done)](HttpReply reply) {
                   if (!reply.error.empty())
                     log::debug("voice", "punctuation model " + url + ": " + reply.error);
                   done(Polish::accept(cleaned, reply.error.empty() ? Polish::candidate(reply.body)
                                                                    : std::string()));
                 });
}

}  // namespace talvane
