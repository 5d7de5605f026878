#include "hub/tool_text.h"

#include <gtest/gtest.h>

namespace talvane {
namespace {

using Json = talvane::Json;

// Family of four (ZWJ sequence), two flags, a skin-toned thumbs-up, e + combining acute.
const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466";
const std::string france = "\U0001F1EB\U0001F1F7";
const std::string japan = "\U0001F1EF\U0001F1F5";
const std::string thumbs = "\U0001F44D\U0001F3FD";
const std::string eAcute = "e\u0301";

TEST(ToolTextCharacters, CountsGraphemeClustersNotBytesOrCodePoints) {
  EXPECT_EQ(ToolText::characterCount(""), 0u);
  EXPECT_EQ(ToolText::characterCount("abc"), 3u);
  EXPECT_EQ(ToolText::characterCount(family), 1u);
  EXPECT_EQ(ToolText::characterCount(france + japan), 2u);
  EXPECT_EQ(ToolText::characterCount(thumbs + eAcute + eAcute), 3u);
  EXPECT_EQ(ToolText::characterCount("a\r\nb"), 3u);  // CR LF is one character
  EXPECT_EQ(ToolText::characterCount("\u00E9t\u00E9"), 3u);

  EXPECT_EQ(ToolText::prefixCharacters(family + france + "x", 2), family + france);
  EXPECT_EQ(ToolText::prefixCharacters(eAcute + eAcute, 1), eAcute);
  EXPECT_EQ(ToolText::prefixCharacters("ab", 5), "ab");
  EXPECT_EQ(ToolText::prefixCharacters("ab", 0), "");
}

TEST(ToolTextShort, CutsByCharactersWithAnEllipsis) {
  EXPECT_EQ(ToolText::shortText("abcde", 5), "abcde");
  EXPECT_EQ(ToolText::shortText("abcdef", 5), "abcd\u2026");
  EXPECT_EQ(ToolText::shortText("", 5), "");
  EXPECT_EQ(ToolText::shortText("ab", 1), "\u2026");

  // Never splits a cluster: a flag, a ZWJ family and a combining mark each stay whole.
  EXPECT_EQ(ToolText::shortText(france + japan + france, 3), france + japan + france);
  EXPECT_EQ(ToolText::shortText(france + japan + france, 2), france + "\u2026");
  EXPECT_EQ(ToolText::shortText(family + family + family, 2), family + "\u2026");
  EXPECT_EQ(ToolText::shortText(eAcute + eAcute + eAcute, 3), eAcute + eAcute + eAcute);
  EXPECT_EQ(ToolText::shortText(eAcute + eAcute + eAcute, 2), eAcute + "\u2026");
  EXPECT_EQ(ToolText::characterCount(ToolText::shortText(std::string(200, 'x') + family, 48)), 48u);
}

TEST(ToolTextShort, TakesTheFirstNonEmptyLineTrimmedOfBlanks) {
  EXPECT_EQ(ToolText::shortText("\n\n  first \t\nsecond", 20), "first");
  EXPECT_EQ(ToolText::shortText("\u3000wide space\u00A0", 20), "wide space");
  // Blanks inside a line are kept; a line of blanks trims to nothing.
  EXPECT_EQ(ToolText::shortText("a  b", 20), "a  b");
  EXPECT_EQ(ToolText::shortText(" \t \nnext", 20), "");
  // A text of line breaks only has no line at all.
  EXPECT_EQ(ToolText::shortText("\n\r\n\u2028", 20), "");
  EXPECT_EQ(ToolText::shortText("abc", 0), "");
  EXPECT_EQ(ToolText::shortText("abc", -3), "");
}

TEST(ToolTextShort, EveryUnicodeLineBreakEndsTheLine) {
  for (const std::string brk : {"\n", "\v", "\f", "\r", "\r\n", "\u0085", "\u2028", "\u2029"}) {
    SCOPED_TRACE(::testing::PrintToString(brk));
    EXPECT_EQ(ToolText::shortText("one" + brk + "two", 20), "one");
    EXPECT_EQ(ToolText::shortText(brk + brk + "two", 20), "two");
  }
  // Look-alikes that are not line breaks: tab, no-break space, U+2027, U+0084.
  EXPECT_EQ(ToolText::lines("a\tb\u00A0c\u2027d\u0084e").size(), 1u);
  // The break bytes are recognised whole, not inside other characters ("…" is E2 80 A6).
  EXPECT_EQ(ToolText::lines("a\u2026b\u2029c"), (std::vector<std::string_view>{"a\u2026b", "c"}));
}

TEST(ToolTextHeadline, SkipsMarkupLinesAndBoldMarkers) {
  EXPECT_EQ(ToolText::headline("# Title\n<context>\n  Fix the **login** bug  \nmore"),
            "Fix the login bug");
  EXPECT_EQ(ToolText::headline("```\n```"), "```");
  EXPECT_EQ(ToolText::headline("```python"), "```python");
  EXPECT_EQ(ToolText::headline("\n\r\n\u2028"), "");
  EXPECT_EQ(ToolText::headline(""), "");
  // "***" loses one pair, leaving a single star.
  EXPECT_EQ(ToolText::headline("***a**"), "*a");
  // Blank lines do not count as the first piece to choose, but a blank first piece is the
  // fallback when every piece is markup.
  EXPECT_EQ(ToolText::headline("  \n# only markup"), "");
  EXPECT_EQ(ToolText::headline(" \t\nReal title"), "Real title");

  const std::string longPrompt(100, 'w');
  const std::string cut = ToolText::headline(longPrompt);
  EXPECT_EQ(ToolText::characterCount(cut), 64u);
  EXPECT_EQ(cut, std::string(63, 'w') + "\u2026");
}

TEST(ToolTextActivity, DescribesEachKnownTool) {
  EXPECT_EQ(ToolText::activity("Bash", Json::object()), "Running ");
  EXPECT_EQ(ToolText::activity("Bash", {{"command", "make\nmake install"}}), "Running make");
  EXPECT_EQ(ToolText::activity("Edit", {{"file_path", "/src/app/main.cpp"}}), "Editing main.cpp");
  EXPECT_EQ(ToolText::activity("NotebookEdit", {{"notebook_path", "/n/a.ipynb"}}),
            "Editing a.ipynb");
  EXPECT_EQ(ToolText::activity("Write", {{"file_path", "x/y.txt"}}), "Writing y.txt");
  EXPECT_EQ(ToolText::activity("Read", {{"path", "/etc/hosts"}}), "Reading hosts");
  EXPECT_EQ(ToolText::activity("Grep", {{"pattern", "TODO"}}), "Searching TODO");
  EXPECT_EQ(ToolText::activity("WebFetch", {{"url", "https://docs.example.org:8443/a?b"}}),
            "Reading docs.example.org");
  EXPECT_EQ(ToolText::activity("WebFetch", {{"url", "not a url"}}), "Reading the web");
  EXPECT_EQ(ToolText::activity("WebFetch", {{"url", "file:///tmp/x"}}), "Reading the web");
  EXPECT_EQ(ToolText::activity("WebFetch", {{"url", 42}}), "Reading the web");
  EXPECT_EQ(ToolText::activity("WebSearch", {{"query", "q"}}), "Searching the web");
  EXPECT_EQ(ToolText::activity("Agent", {{"description", "Survey the tests"}}),
            "Delegating Survey the tests");
  EXPECT_EQ(ToolText::activity("TodoWrite", Json::object()), "Planning");
  EXPECT_EQ(ToolText::activity("AskUserQuestion", Json::object()), "Asking you");
  EXPECT_EQ(ToolText::activity("bash", Json::object()), "bash");  // names are exact
  // Input of another type reads as absent.
  EXPECT_EQ(ToolText::activity("Read", Json::array({1, 2})), "Reading ");
  EXPECT_EQ(ToolText::activity("Read", {{"file_path", 7}, {"path", "/a/b"}}), "Reading b");
}

TEST(ToolTextActivity, McpNamesShowServerAndTool) {
  EXPECT_EQ(ToolText::activity("mcp__github__create_issue", Json::object()),
            "github \u00B7 create_issue");
  EXPECT_EQ(ToolText::detail("mcp__github__create_issue", Json::object()), "create_issue");
  EXPECT_EQ(ToolText::activity("mcp__srv__tool", Json::object()), "srv \u00B7 tool");
  // Empty pieces are dropped, so two or fewer real pieces leave the name as it is.
  EXPECT_EQ(ToolText::activity("mcp__solo", Json::object()), "mcp__solo");
  EXPECT_EQ(ToolText::activity("mcp____", Json::object()), "mcp____");
  EXPECT_EQ(ToolText::detail("mcp__solo", Json::object()), "");
  EXPECT_EQ(ToolText::activity("mcp___a___b__", Json::object()), "a \u00B7 b");
  EXPECT_EQ(ToolText::kind("mcp__github__create_issue", Json::object()), "other");
}

TEST(ToolTextKindAndDetail, FollowTheToolVocabulary) {
  for (const char* tool : {"Read", "Grep", "Glob", "WebFetch", "WebSearch", "LS"}) {
    EXPECT_EQ(ToolText::kind(tool, Json::object()), "research") << tool;
  }
  for (const char* tool : {"Edit", "MultiEdit", "Write", "NotebookEdit"}) {
    EXPECT_EQ(ToolText::kind(tool, Json::object()), "write") << tool;
  }
  EXPECT_EQ(ToolText::kind("Bash", Json::object()), "review");
  EXPECT_EQ(ToolText::kind("TodoWrite", Json::object()), "reason");
  EXPECT_EQ(ToolText::kind("Task", Json::object()), "delegate");
  EXPECT_EQ(ToolText::kind("Unknown", Json::object()), "other");

  EXPECT_EQ(ToolText::detail("Bash", {{"command", std::string(50, 'c')}}),
            std::string(39, 'c') + "\u2026");
  EXPECT_EQ(ToolText::detail("MultiEdit", {{"file_path", "/a/b.rs"}}), "b.rs");
  EXPECT_EQ(ToolText::detail("WebFetch", {{"url", "http://example.com/x"}}), "example.com");
  EXPECT_EQ(ToolText::detail("WebFetch", Json::object()), "");
  EXPECT_EQ(ToolText::detail("WebSearch", {{"query", "icu grapheme"}}), "icu grapheme");
  EXPECT_EQ(ToolText::detail("TodoWrite", {{"todos", Json::array()}}), "");
}

TEST(ToolTextPermission, TitlesAndDetails) {
  EXPECT_EQ(ToolText::permission("Bash", {{"command", "rm -rf build\nls"}}),
            (ToolText::PermissionText{"Wants to run", "rm -rf build\nls"}));
  EXPECT_EQ(ToolText::permission("Edit", {{"file_path", "/p/a.c"}}),
            (ToolText::PermissionText{"Edit a.c?", "/p/a.c"}));
  EXPECT_EQ(ToolText::permission("NotebookEdit", {{"notebook_path", "/p/n.ipynb"}}),
            (ToolText::PermissionText{"Edit n.ipynb?", "/p/n.ipynb"}));
  EXPECT_EQ(ToolText::permission("Write", {{"file_path", "/p/new.md"}}).title, "Create new.md?");
  EXPECT_EQ(ToolText::permission("Read", Json::object()), (ToolText::PermissionText{"Read ?", ""}));
  EXPECT_EQ(ToolText::permission("WebFetch", {{"url", "https://x.io"}}),
            (ToolText::PermissionText{"Fetch this page?", "https://x.io"}));
  EXPECT_EQ(ToolText::permission("WebSearch", {{"query", "q"}}).title, "Search the web?");
}

TEST(ToolTextPermission, OtherToolsShowTheirInputAsSortedJson) {
  const Json input = {{"pattern", "a/b"}, {"glob", "*.ts"}, {"n", 2}, {"deep", {{"z", 1}}}};
  EXPECT_EQ(ToolText::permission("Grep", input),
            (ToolText::PermissionText{"Allow Searching ?",
                                      R"({"deep":{"z":1},"glob":"*.ts","n":2,"pattern":"a/b"})"}));
  EXPECT_EQ(ToolText::permission("TodoWrite", Json::object()).title, "Allow Planning?");
  EXPECT_EQ(ToolText::permission("mcp__db__query", {{"sql", "select 1"}}),
            (ToolText::PermissionText{"Allow db \u00B7 query?", R"({"sql":"select 1"})"}));
  EXPECT_EQ(ToolText::permission("Custom", {{"t", "caf\u00E9 \U0001F600"}}).detail,
            "{\"t\":\"caf\u00E9 \U0001F600\"}");
  EXPECT_EQ(ToolText::permission("Custom", Json()).detail, "{}");
}

TEST(ToolTextPermission, InputTooDeepToWriteShowsNothing) {
  // Written recursively, this would take one stack frame per level.
  Json input = Json::object();
  Json* innermost = &input;
  for (int i = 0; i < 60000; ++i) innermost = &((*innermost)["a"] = Json::object());
  EXPECT_EQ(ToolText::permission("Custom", input), (ToolText::PermissionText{"Allow Custom?", ""}));
}

TEST(ToolTextQuestions, ReadsQuestionsLeniently) {
  const Json input = Json::parse(R"({"questions": [
      {"header": "Stack", "question": "Which database?", "multiSelect": true,
       "options": [{"label": "Postgres", "description": "relational"}, {"label": "Redis"}]},
      "stray",
      {"question": "Proceed?", "multiSelect": "yes", "options": "none"}
  ]})");
  const auto qs = ToolText::questions(input);
  ASSERT_EQ(qs.size(), 2u);
  EXPECT_EQ(
      qs[0],
      (Question{"Stack", "Which database?", {{"Postgres", "relational"}, {"Redis", ""}}, true}));
  EXPECT_EQ(qs[1], (Question{"", "Proceed?", {}, false}));

  EXPECT_TRUE(ToolText::questions(Json::object()).empty());
  EXPECT_TRUE(ToolText::questions({{"questions", "what?"}}).empty());
  EXPECT_TRUE(ToolText::questions(Json()).empty());
}

TEST(ToolTextFile, FirstPresentPathKeyWins) {
  EXPECT_EQ(ToolText::file({{"notebook_path", "/a/n.ipynb"}, {"path", "/b/p"}}), "n.ipynb");
  EXPECT_EQ(ToolText::file({{"file_path", ""}, {"path", "/b/p"}}), "");
  EXPECT_EQ(ToolText::file({{"path", "/b/dir/"}}), "dir");
  EXPECT_EQ(ToolText::file(Json::object()), "");
}

}  // namespace
}  // namespace talvane
