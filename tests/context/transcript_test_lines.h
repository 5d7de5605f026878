#pragma once
// Transcript lines as Claude Code writes them, for the reader and meter tests.

#include <fstream>
#include <initializer_list>
#include <random>
#include <string>

#include "platform/json.h"

namespace talvane::testing {

inline std::string userLine(const std::string& content, const std::string& cwd = "/home/ana/app",
                            const std::string& branch = "main") {
  return json::compact(Json{{"type", "user"},
                            {"cwd", cwd},
                            {"gitBranch", branch},
                            {"entrypoint", "cli"},
                            {"message", {{"role", "user"}, {"content", content}}},
                            {"timestamp", "2030-01-02T09:00:00.000Z"}});
}

inline std::string assistantLine(const std::string& id, const std::string& model, Json usage,
                                 const std::string& stop = "end_turn",
                                 const std::string& timestamp = "2030-01-02T09:00:05.000Z") {
  Json message{{"id", id},
               {"model", model},
               {"role", "assistant"},
               {"content", Json::array({{{"type", "text"}, {"text", "Done."}}})},
               {"stop_reason", stop},
               {"usage", std::move(usage)}};
  if (id.empty()) message.erase("id");
  return json::compact(Json{{"type", "assistant"},
                            {"cwd", "/home/ana/app"},
                            {"timestamp", timestamp},
                            {"message", std::move(message)}});
}

inline void append(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

inline void overwrite(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A line of any kind Claude Code writes, and of a few kinds it should not: damaged lines, members
// spelled with escapes, "usage" inside text.
inline std::string randomLine(std::mt19937& random) {
  auto pick = [&](std::initializer_list<const char*> options) {
    return std::string(options.begin()[random() % options.size()]);
  };
  std::string line;
  switch (random() % 8) {
    case 0:
      line = userLine(pick({"Fix the build", "<command-name>/clear</command-name>", "",
                            "This session is being continued from a previous conversation", "ok",
                            "what does \"usage\" mean?"}),
                      pick({"/a", "/b", ""}), pick({"main", "HEAD", "", "feature/x"}));
      break;
    case 1:
      line = json::compact(
          Json{{"type", "user"},
               {"cwd", pick({"/c", ""})},
               {"message",
                {{"content", Json::array({{{"type", "tool_result"},
                                           {"content", "\"usage\": {\"input_tokens\": 9}"}}})}}},
               {"toolUseResult", {{"stdout", std::string(random() % 400, 'x')}}}});
      break;
    case 2:
    case 3: {
      Json u = {{"input_tokens", random() % 1000},
                {"output_tokens", random() % 1000},
                {"cache_read_input_tokens", random() % 100000}};
      if (random() % 2) u["cache_creation_input_tokens"] = random() % 5000;
      if (random() % 3 == 0) u["cache_creation"] = {{"ephemeral_1h_input_tokens", random() % 3000}};
      if (random() % 4 == 0) u["cache_creation"]["ephemeral_5m_input_tokens"] = random() % 3000;
      Json message{{"usage", u}, {"stop_reason", pick({"end_turn", "tool_use"})}};
      if (random() % 5) message["id"] = pick({"msg_1", "msg_2", "msg_3", "msg_4"});
      if (random() % 6) {
        message["model"] = pick({"claude-opus-4-5", "claude-haiku-4-5-20251001", "<synthetic>",
                                 "gpt-6", "claude-sonnet-5", ""});
      }
      if (random() % 7 == 0) message["usage"] = "none";
      Json entry{{"type", "assistant"}, {"cwd", pick({"/d", ""})}, {"message", message}};
      if (random() % 5) {
        entry["timestamp"] = pick({"2030-01-02T09:00:00.000Z", "2030-01-02T23:59:59.999+02:00",
                                   "2030-01-01T09:00:00.000Z", "yesterday"});
      }
      line = json::compact(entry);
      break;
    }
    case 4:
      line = pick({R"({"type":"custom-title","customTitle":"Title"})",
                   R"({"type":"custom-title","customTitle":""})",
                   R"({"type":"last-prompt","lastPrompt":"again"})",
                   R"({"type":"progress","data":{"usage":{"input_tokens":5}}})",
                   R"({"type":"system","content":"x"})", "{}", "[]", "garbage", ""});
      break;
    case 5:  // members written with escapes, which no byte prefilter may miss
      line = pick(
          {R"({"type":"\u0075ser","cwd":"/e","message":{"content":"escaped prompt"}})",
           R"({"type":"assistant","message":{"id":"msg_9","model":"claude-opus-4-5","us\u0061ge":{"output_tokens":7}}})",
           R"({"typ\u0065":"custom-title","customTitle":"Escaped"})",
           // odd counts, and repeated keys where the last one counts
           R"({"type":"assistant","timestamp":"2030-01-02T09:00:00.000Z","message":{"id":"msg_7","model":"claude-haiku-4-5","usage":{"input_tokens":1.5e3,"output_tokens":"9","cache_read_input_tokens":-4,"input_tokens":18446744073709551615}}})",
           R"({"type":"assistant","timestamp":"2030-01-02T09:00:00.000Z","message":{"model":"claude-opus-4-5","usage":{"cache_creation_input_tokens":900,"cache_creation":{"ephemeral_1h_input_tokens":300},"cache_creation":{"ephemeral_5m_input_tokens":10.5}}}})"});
      break;
    case 6: {  // a cut or damaged line
      line = assistantLine("msg_5", "claude-opus-4-5", {{"output_tokens", 50}});
      line.resize(random() % line.size());
      break;
    }
    default:
      line = assistantLine("msg_" + std::to_string(random() % 50), "claude-opus-4-5",
                           {{"output_tokens", random() % 100}});
      break;
  }
  return line + "\n";
}

}  // namespace talvane::testing
