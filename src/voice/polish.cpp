#include "voice/polish.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <cstdlib>
#include <vector>

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

namespace {

// The marks a punctuation pass may add or drop.
bool punctuationMark(UChar32 c) {
  switch (c) {
    case '.':
    case ',':
    case '?':
    case '!':
    case ':':
    case ';':
    case '\'':
    case '"':
    case '-':
      return true;
    default:
      return false;
  }
}

// A word without those marks, case-folded.
icu::UnicodeString bare(const icu::UnicodeString& word) {
  icu::UnicodeString out;
  for (int32_t i = 0; i < word.length();) {
    const UChar32 c = word.char32At(i);
    if (!punctuationMark(c)) out.append(c);
    i += U16_LENGTH(c);
  }
  out.foldCase();
  return out;
}

std::vector<icu::UnicodeString> pieces(const std::string& text) {
  const icu::UnicodeString s = icu::UnicodeString::fromUTF8(text);
  std::vector<icu::UnicodeString> out;
  int32_t start = 0;
  for (int32_t i = 0; i <= s.length(); ++i) {
    if (i < s.length() && s.charAt(i) != u' ') continue;
    out.emplace_back(s, start, i - start);
    start = i + 1;
  }
  return out;
}

}  // namespace

bool onlyPunctuated(const std::string& cleaned, const std::string& answer) {
  // Typed into a terminal, a line break is a command sent; a run of spaces is no punctuation.
  const std::vector<icu::UnicodeString> said = pieces(cleaned), got = pieces(answer);
  if (said.size() != got.size()) return false;
  for (std::size_t i = 0; i < said.size(); ++i) {
    if (got[i].isEmpty()) return false;
    for (int32_t k = 0; k < got[i].length(); ++k) {
      const UChar c = got[i].charAt(k);
      if (c < 0x20 || c == 0x7F || u_isspace(c)) return false;
    }
    if (bare(said[i]) != bare(got[i])) return false;
  }
  return true;
}

std::string accept(const std::string& cleaned, const std::string& answer) {
  if (!answer.empty() && onlyPunctuated(cleaned, answer)) return finish(answer);
  return finish(cleaned);
}

}  // namespace Polish

Polisher::Polisher(const std::string& url, std::string model, double timeoutSeconds)
    : url_(url.empty() ? "" : endpoint(url, "/v1/chat/completions")),
      model_(std::move(model)),
      timeout_(timeoutSeconds),
      http_(Polish::kMaxReply) {}

void Polisher::run(const std::string& text, std::function<void(std::string)> done) {
  const std::string cleaned = Dictation::clean(text);
  if (url_.empty() || Dictation::wordCount(cleaned) < 4) {
    done(Polish::finish(cleaned));
    return;
  }
  http_.postJson(url_, Polish::request(cleaned, model_), timeout_,
                 [cleaned, url = url_, done = std::move(done)](const HttpReply& reply) {
                   if (!reply.error.empty())
                     log::debug("voice", "punctuation model " + url + ": " + reply.error);
                   done(Polish::accept(cleaned, reply.error.empty() ? Polish::candidate(reply.body)
                                                                    : std::string()));
                 });
}

}  // namespace talvane
