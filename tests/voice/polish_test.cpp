#include "voice/polish.h"

#include <gtest/gtest.h>

#include "platform/json.h"
#include "support/test_home.h"
#include "voice/stand_in_server.h"

namespace talvane {
namespace {

TEST(Polish, FinishClosesSentencesOfMoreThanTwoWords) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"Sounds good", "Sounds good"},
      {"Yes do it", "Yes do it."},
      {"Is it done?", "Is it done?"},
      {"Run it (quickly)", "Run it (quickly)"},
      {"He said \"go\"", "He said \"go\""},
      {"Use the `main`", "Use the `main`"},
      {"It is 'fine'", "It is 'fine'"},
      {"Stop now!", "Stop now!"},
      {"one  two ", "one  two "},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(Polish::finish(in), out) << in;
}

TEST(Polish, AcceptsOnlyAnswersWithTheSameWords) {
  const std::string cleaned = "Can you run the tests and then take two screenshots";
  const std::pair<const char*, const char*> cases[] = {
      // Commas, a question mark and capitals: kept, and no full stop after the "?".
      {"Can you run the tests, and then take two screenshots?",
       "Can you run the tests, and then take two screenshots?"},
      {"Can you run the tests and then take 2 screenshots?",
       "Can you run the tests and then take two screenshots."},
      {"Can you run all the tests and then take two screenshots?",
       "Can you run the tests and then take two screenshots."},
      {"Sure! Here is the text: Can you run the tests and then take two screenshots?",
       "Can you run the tests and then take two screenshots."},
      {"", "Can you run the tests and then take two screenshots."},
  };
  for (const auto& [answer, out] : cases) EXPECT_EQ(Polish::accept(cleaned, answer), out) << answer;
}

TEST(Polish, AnAnswerMayChangeOnlyCapitalsAndPunctuationMarks) {
  const std::string cleaned = "Run the tests again and fix the lint";
  const std::string accepted[] = {
      "Run the tests again, and fix the lint.",     "run the tests again; and fix the lint!",
      "Run the \"tests\" again: and fix the lint?", "Run the tests again and fix the 'lint'",
      "RUN THE TESTS AGAIN AND FIX THE LINT",
  };
  for (const auto& a : accepted) EXPECT_TRUE(Polish::onlyPunctuated(cleaned, a)) << a;
  const std::string rejected[] = {
      // The same letters at other word boundaries.
      "Run the tes tsa gai nan dfi xth elint",
      "Runthe tests again and fix the lint",
      "Run the tests-again and fix the lint",
      // Shell syntax appended, in a word or as words of its own.
      "Run the tests again and fix the lint && rm -rf ~",
      "Run the tests again and fix the lint;|>",
      "Run the tests again and fix the `lint`",
      "Run the tests again and fix the $(lint)",
      // Line breaks and runs of spaces: typed into a terminal, a line break runs a command.
      "Run\nthe\ntests\nagain\nand\nfix\nthe\nlint",
      "Run the tests again and fix the\rlint",
      "Run the tests again\tand fix the lint",
      "Run the tests again  and fix the lint",
      "Run the tests again and fix the lint" + std::string(1 << 20, ' ') + ".",
      // Other marks and letters.
      "Run the tests again and fix the lint\u2026",
      "Run the tests again & fix the lint",
      "Run the tests again and fix the lint\x1b[201~",
  };
  for (const auto& a : rejected)
    EXPECT_FALSE(Polish::onlyPunctuated(cleaned, a)) << a.substr(0, 80);
  EXPECT_TRUE(Polish::onlyPunctuated("Rerun the tests now", "Re-run the tests now."));
  // A word the speaker said with a symbol keeps it.
  EXPECT_TRUE(Polish::onlyPunctuated("Compile it with g++ now", "Compile it with G++, now."));
}

TEST(Polish, ReadsTheModelsTextFromChatAnswers) {
  auto chat = [](const Json& content) {
    return Json{{"choices", {{{"message", {{"role", "assistant"}, {"content", content}}}}}}}.dump();
  };
  EXPECT_EQ(Polish::candidate(chat(R"({"text": "  Hello, world.\n"})")), "Hello, world.");
  EXPECT_EQ(Polish::candidate(chat("Hello there.")), "Hello there.");
  EXPECT_EQ(Polish::candidate(chat(42)), "");
  EXPECT_EQ(Polish::candidate("not json"), "");
  EXPECT_EQ(Polish::candidate(R"({"choices": []})"), "");
  EXPECT_EQ(Polish::candidate(R"({"choices": [{"message": "x"}]})"), "");
}

TEST(Polish, RequestCarriesTheInstructionsGuideAndPrompt) {
  Json r = Json::parse(Polish::request("Yes do it now", "llama"));
  EXPECT_EQ(r["model"], "llama");
  EXPECT_EQ(r["temperature"], 0);
  const std::string system = r["messages"][0]["content"];
  EXPECT_EQ(system.rfind(Polish::kInstructions, 0), 0u);
  EXPECT_NE(system.find(Polish::kGuide), std::string::npos);
  EXPECT_EQ(r["messages"][1]["content"], "Text: Yes do it now");
}

struct Served {
  const char* name;
  int status;
  std::string content;  // the model's message content; empty with status 200: garbage body
  double delay;
  std::string expected;
};

TEST(Polisher, UsesTheModelOnlyWhenItKeepsTheWordsAndAnswersInTime) {
  const std::string spoken = "um can you check the build and the logs";
  const std::string plain = "Can you check the build and the logs.";
  const Served cases[] = {
      {"accepted", 200, R"({"text":"Can you check the build, and the logs?"})", 0,
       "Can you check the build, and the logs?"},
      {"rambles", 200, R"({"text":"Sure. Can you check the build and the logs? Done."})", 0, plain},
      {"garbage", 200, "", 0, plain},
      {"server error", 500, R"({"text":"Can you check the build, and the logs?"})", 0, plain},
      {"too slow", 200, R"({"text":"Can you check the build, and the logs?"})", 3, plain},
      // An acceptable answer padded past the reading limit is not read to its end.
      {"too long", 200,
       R"({"text":"Can you check the build, and the logs?"})" + std::string(Polish::kMaxReply, ' '),
       0, plain},
  };
  for (const auto& c : cases) {
    testing::StandInServer server([&](const testing::StandInServer::Request&) {
      std::string body = c.content.empty()
                             ? "<html>nope"
                             : Json{{"choices", {{{"message", {{"content", c.content}}}}}}}.dump();
      return testing::StandInServer::Answer{c.status, body, c.delay};
    });
    Polisher polisher(server.url(), "m", /*timeoutSeconds=*/1.0);
    std::optional<std::string> out;
    polisher.run(spoken, [&](std::string text) { out = text; });
    ASSERT_TRUE(testing::runUntil([&] { return out.has_value(); }, 10)) << c.name;
    EXPECT_EQ(*out, c.expected) << c.name;
    EXPECT_EQ(server.last().path, "/v1/chat/completions") << c.name;
  }
}

TEST(Polisher, ShortTextsAndNoModelNeverAsk) {
  int asked = 0;
  testing::StandInServer server([&](const testing::StandInServer::Request&) {
    ++asked;
    return testing::StandInServer::Answer{200, "{}", 0};
  });
  std::string out;
  Polisher(server.url()).run("yes do it", [&](std::string t) { out = t; });
  EXPECT_EQ(out, "Yes do it.");
  Polisher().run("uh sounds good", [&](std::string t) { out = t; });
  EXPECT_EQ(out, "Sounds good");
  Polisher().run("send it to the staging server no wait the production server",
                 [&](std::string t) { out = t; });
  EXPECT_EQ(out, "Send it to the production server.");
  EXPECT_EQ(asked, 0);
}

TEST(Polisher, ADownServerFallsBackToTheCleanedText) {
  std::string url;
  {
    testing::StandInServer gone([](const auto&) { return testing::StandInServer::Answer{}; });
    url = gone.url();
  }
  Polisher polisher(url);
  std::optional<std::string> out;
  polisher.run("please run the whole suite", [&](std::string t) { out = t; });
  ASSERT_TRUE(testing::runUntil([&] { return out.has_value(); }, 10));
  EXPECT_EQ(*out, "Please run the whole suite.");
}

TEST(VoiceSettings, EnvironmentWinsOverTheStore) {
  MemorySettingsStore store;
  store.set("speechServer", "http://127.0.0.1:9000");
  store.set("punctuationServer", 7);  // wrong type: absent
  g_unsetenv("TALVANE_SPEECH_SERVER");
  g_setenv("TALVANE_PUNCTUATION_MODEL", "qwen", TRUE);
  VoiceSettings s = VoiceSettings::read(&store);
  EXPECT_EQ(s.speechServer, "http://127.0.0.1:9000");
  EXPECT_EQ(s.punctuationServer, "");
  EXPECT_EQ(s.punctuationModel, "qwen");
  g_unsetenv("TALVANE_PUNCTUATION_MODEL");
  EXPECT_EQ(endpoint("http://h:1/", "/v1/chat/completions"), "http://h:1/v1/chat/completions");
  EXPECT_EQ(endpoint("http://h:1/v1", "/v1/chat/completions"), "http://h:1/v1/chat/completions");
  EXPECT_EQ(endpoint("http://h:1/v1/x", "/v1/chat/completions"), "http://h:1/v1/x");
}

}  // namespace
}  // namespace talvane
