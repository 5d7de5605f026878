#include "hub/codex_watcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "hub_test_support.h"
#include "platform/files.h"
#include "support/test_home.h"

namespace talvane::testing {
namespace {

constexpr const char* kId = "0199a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b";

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
    ::tzset();
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class CodexWatcherTest : public HubTest {
 protected:
  CodexWatcher& watcher(std::size_t chunk = AppendedLines::kChunk) {
    if (!watcher_)
      watcher_ = std::make_unique<CodexWatcher>(hub(), loop, chunk, Background::inline_());
    return *watcher_;
  }

  // A rollout file in the day folder `day` days from now.
  std::string rollout(const std::string& id = kId, int day = 0) {
    const std::string folder = watcher().dayDirectory(day);
    std::filesystem::create_directories(folder);
    return folder + "/rollout-2025-10-01T09-30-00-" + id + ".jsonl";
  }

  // Appends and marks the file modified at `modified` (the loop's time by default).
  void append(const std::string& path, const std::string& text,
              std::optional<Date> modified = std::nullopt) {
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
    touch(path, modified.value_or(loop.now()));
  }
  static void touch(const std::string& path, Date when) {
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(when);
    times[0].tv_nsec = times[1].tv_nsec = 0;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }

  static std::string stamp(Date at) {
    const auto seconds = static_cast<std::time_t>(std::floor(at));
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[48];
    const auto n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ",
                  static_cast<int>(std::lround((at - std::floor(at)) * 1000)) % 1000);
    return text;
  }
  // In Codex's own member order.
  std::string record(const std::string& type, const Json& payload,
                     std::optional<Date> at = std::nullopt) {
    return R"({"timestamp":")" + stamp(at.value_or(loop.now())) + R"(","type":")" + type +
           R"(","payload":)" + json::compact(payload) + "}\n";
  }
  std::string event(const Json& payload, std::optional<Date> at = std::nullopt) {
    return record("event_msg", payload, at);
  }
  std::string item(const Json& item, std::optional<Date> at = std::nullopt) {
    return event({{"type", "item_completed"}, {"item", item}}, at);
  }
  std::string meta(const std::string& id = "sess-1", const std::string& cwd = "/w/proj",
                   const std::string& originator = "codex_cli_rs") {
    return record("session_meta", {{"id", id}, {"cwd", cwd}, {"originator", originator}});
  }
  static Json command(const std::string& line) {
    return {{"type", "CommandExecution"}, {"command", {"bash", "-lc", line}}};
  }

  TestHome home;
  std::unique_ptr<CodexWatcher> watcher_;
};

TEST_F(CodexWatcherTest, AFileWithoutSessionMetaIsKeyedByItsFileId) {
  const std::string path = rollout();
  append(path, event({{"type", "task_started"}}));
  watcher().sweep();
  const Session& s = get(std::string("codex:") + kId);
  EXPECT_EQ(s.agent, Agent::codex);
  EXPECT_EQ(s.root, "");
  EXPECT_EQ(s.mood, Mood::working);
  EXPECT_EQ(s.activity, "Thinking");
  EXPECT_TRUE(watcher().meta().empty());
  EXPECT_EQ(watcher().offsets().at(path), std::filesystem::file_size(path));
}

TEST_F(CodexWatcherTest, SessionMetaAndTurnContextNameTheSessionItsFolderAndModel) {
  TempDir project, moved;
  const std::string path = rollout();
  append(path, record("session_meta", {{"id", "sess-1"}, {"cwd", project.path()}}) +
                   record("turn_context", {{"cwd", moved.path()}, {"model", "gpt-5-codex"}}) +
                   event({{"type", "token_count"},
                          {"info",
                           {{"last_token_usage", {{"input_tokens", 51234}}},
                            {"model_context_window", 272000}}}}) +
                   event({{"type", "token_count"}, {"info", nullptr}}, loop.now()));
  watcher().sweep();
  EXPECT_EQ(watcher().meta().at(path), (CodexWatcher::Meta{"sess-1", moved.path()}));
  const Session& s = get("codex:sess-1");
  EXPECT_EQ(s.root, project.path()) << "the root is fixed when the session is made";
  EXPECT_EQ(s.stats.model, "gpt-5-codex");
  EXPECT_EQ(s.stats.contextTokens, 0) << "missing counts are 0";
  EXPECT_EQ(s.stats.contextWindow, 0);
  EXPECT_EQ(hub().sessions().size(), 1u);

  const std::string second = rollout("0199ffff-0000-7000-8000-000000000001");
  append(second, record("session_meta", {{"cwd", project.path()}}) +
                     event({{"type", "token_count"},
                            {"info",
                             {{"last_token_usage", {{"input_tokens", 9000}}},
                              {"model_context_window", 128000}}}}));
  watcher().sweep();
  const Session& other = get("codex:0199ffff-0000-7000-8000-000000000001");
  EXPECT_EQ(other.stats.contextTokens, 9000);
  EXPECT_EQ(other.stats.contextWindow, 128000);
}

TEST_F(CodexWatcherTest, AnIncompleteLastLineIsReadOnceItIsComplete) {
  const std::string path = rollout();
  const std::string started = event({{"type", "task_started"}});
  const std::string done = event({{"type", "task_complete"}, {"last_agent_message", "Fixed."}});
  append(path, meta() + started + done.substr(0, 20));
  watcher().sweep();
  EXPECT_EQ(watcher().offsets().at(path), meta().size() + started.size());
  EXPECT_EQ(get("codex:sess-1").mood, Mood::working);

  // Only the partial line is there: nothing is applied.
  const auto bytes = watcher().readStats().bytes;
  loop.advance(1);
  watcher().sweep();
  EXPECT_EQ(watcher().readStats().bytes, bytes);

  append(path, done.substr(20) + "{not json\n[1,2]\n\n");
  watcher().sweep();
  EXPECT_EQ(get("codex:sess-1").mood, Mood::done);
  EXPECT_EQ(get("codex:sess-1").activity, "Fixed.");
  EXPECT_EQ(watcher().offsets().at(path), std::filesystem::file_size(path));
}

TEST_F(CodexWatcherTest, ARecordedRolloutBuildsItsSession) {
  const auto sample = files::read(TALVANE_TEST_DATA "/codex/rollout-sample.jsonl");
  ASSERT_TRUE(sample);
  append(rollout(), *sample);
  watcher().sweep();
  const Session& s = get(std::string("codex:") + kId);
  EXPECT_EQ(s.root, "/home/dev/src/atlas");
  EXPECT_EQ(s.title, "Make the tile cache thread-safe");
  EXPECT_EQ(s.stats.model, "gpt-5-codex");
  EXPECT_EQ(s.stats.contextTokens, 18734);
  EXPECT_EQ(s.stats.contextWindow, 272000);
  EXPECT_EQ(s.mood, Mood::done);
  EXPECT_EQ(s.activity, "Done. The cache now sits behind an `RwLock`, and `cache_is_shared` co…");
  EXPECT_EQ(s.turnStarted, 1759311004.533);
  EXPECT_EQ(s.finishedAt, 1759311041.032);
  EXPECT_EQ(s.turnCalls, 3);
  ASSERT_EQ(s.tools.size(), 3u);
  EXPECT_EQ(s.tools[1].label, "docs · search");
  EXPECT_EQ(s.tools[2].label, "Running cargo test -p tiles cache");
  EXPECT_FALSE(hub().flash()) << "an old turn does not flash when it is read again";
}

TEST_F(CodexWatcherTest, OnlyEventAndMetaRecordsCountWhateverTheirKeyOrder) {
  const std::string path = rollout();
  append(path, meta() +
                   R"({"payload":{"type":"task_started"},"type":"event_msg"})"
                   "\n" +
                   record("response_item", {{"type", "task_complete"}}) +
                   record("compacted", {{"type", "task_complete"}}) +
                   R"({"type":"event_msg","payload":{"type":"response_item"}})"
                   "\n");
  watcher().sweep();
  EXPECT_EQ(get("codex:sess-1").mood, Mood::working);
  EXPECT_EQ(get("codex:sess-1").activity, "Thinking");
}

TEST_F(CodexWatcherTest, ToolsOfATurnAreShownFinishedAndCounted) {
  const std::string path = rollout();
  append(path, meta() + event({{"type", "task_started"}}) + item(command("cargo test")) +
                   item({{"type", "CommandExecution"}, {"command", {"ls", 3}}}) +
                   item({{"type", "McpToolCall"},
                         {"server", "github"},
                         {"tool", "create_issue"},
                         {"arguments", {{"title", "Flaky test in CI"}}}}) +
                   item({{"type", "McpToolCall"}, {"server", "linear"}, {"tool", "search"}}) +
                   item({{"type", "McpToolCall"}}) + item({{"type", "Extension"}}) +
                   item({{"type", "Reasoning"}}));
  watcher().sweep();
  const Session& s = get("codex:sess-1");
  std::vector<std::string> labels;
  for (const ToolLine& line : s.tools) {
    labels.push_back(line.label);
    EXPECT_FALSE(line.running);
    EXPECT_FALSE(line.failed);
  }
  EXPECT_EQ(labels,
            (std::vector<std::string>{"Running ls", "Flaky test in CI", "linear · search", "·"}));
  EXPECT_EQ(s.activity, "Searching the web");
  EXPECT_EQ(s.turnCalls, 5);
  std::vector<std::string> tools;
  for (const ToolTally& t : s.tally) tools.push_back(t.tool);
  EXPECT_EQ(tools, (std::vector<std::string>{"Bash", "mcp__github__create_issue",
                                             "mcp__linear__search", "mcp__tool__call"}));
  EXPECT_EQ(s.tally[0].count, 2);
  EXPECT_EQ(s.tally[0].detail, "ls");
  EXPECT_EQ(s.phase, "reviewing");
  EXPECT_EQ(s.mood, Mood::working) << "tool records leave the mood alone";
}

// Web searches as each Codex version writes them; other response items stay unread.
TEST_F(CodexWatcherTest, WebSearchesOfEveryRolloutVersionShowAsSearching) {
  const std::string searched = "Searching the web";
  const std::string search[] = {
      item({{"type", "Extension"}}),
      item({{"type", "WebSearch"}, {"query", "rust lru"}}),
      item({{"type", "web_search_call"}}),
      record("response_item", {{"type", "web_search_call"},
                               {"status", "completed"},
                               {"action", {{"type", "search"}, {"query", "rust lru"}}}}),
  };
  const std::string path = rollout();
  for (const std::string& line : search) {
    SCOPED_TRACE(line);
    append(path, event({{"type", "task_started"}}));
    watcher().sweep();
    ASSERT_EQ(get("codex:" + std::string(kId)).activity, "Thinking");
    append(path, line);
    watcher().sweep();
    EXPECT_EQ(get("codex:" + std::string(kId)).activity, searched);
  }
  append(path, event({{"type", "task_started"}}) +
                   record("response_item", {{"type", "message"}, {"content", "web_search_call"}}) +
                   record("response_item", {{"type", "function_call"}, {"name", "shell"}}));
  watcher().sweep();
  EXPECT_EQ(get("codex:" + std::string(kId)).activity, "Thinking");
}

TEST_F(CodexWatcherTest, ASecondTaskStartedBeginsAFreshTurn) {
  const std::string path = rollout();
  append(path, meta() + event({{"type", "task_started"}}) + item(command("make")) +
                   event({{"type", "task_complete"}}));
  watcher().sweep();
  EXPECT_EQ(get("codex:sess-1").activity, "Finished");
  EXPECT_TRUE(get("codex:sess-1").finishedAt);

  loop.advance(60);
  append(path, event({{"type", "task_started"}}));
  watcher().sweep();
  const Session& s = get("codex:sess-1");
  EXPECT_TRUE(s.tools.empty());
  EXPECT_TRUE(s.tally.empty());
  EXPECT_EQ(s.turnCalls, 0);
  EXPECT_EQ(s.phase, "reasoning");
  EXPECT_FALSE(s.finishedAt);
  EXPECT_EQ(s.turnStarted, std::floor(loop.now()));
  EXPECT_EQ(s.updated, std::floor(loop.now()));
}

TEST_F(CodexWatcherTest, AShortTurnFlashesWhenItFinishes) {
  const std::string path = rollout();
  append(path, meta() + event({{"type", "task_started"}}));
  watcher().sweep();
  loop.advance(10);
  append(path, event({{"type", "task_complete"}, {"last_agent_message", "**Done** quickly"}}));
  watcher().sweep();
  ASSERT_TRUE(hub().flash());
  EXPECT_EQ(hub().flash()->id, "codex:sess-1");
  EXPECT_DOUBLE_EQ(hub().flash()->until, loop.now() + 3.2);
  EXPECT_EQ(get("codex:sess-1").activity, "Done quickly");

  loop.advance(5);
  EXPECT_FALSE(hub().flash());
  append(path, event({{"type", "task_started"}}));
  watcher().sweep();
  loop.advance(20);
  append(path, event({{"type", "task_complete"}, {"last_agent_message", std::string(80, 'y')}}));
  watcher().sweep();
  EXPECT_FALSE(hub().flash());
  EXPECT_EQ(get("codex:sess-1").activity, std::string(69, 'y') + "…");
}

TEST_F(CodexWatcherTest, AnAbortedTurnIsIdle) {
  const std::string path = rollout();
  append(path, meta() + event({{"type", "task_started"}}) + event({{"type", "turn_aborted"}}));
  watcher().sweep();
  EXPECT_EQ(get("codex:sess-1").mood, Mood::idle);
  EXPECT_EQ(get("codex:sess-1").activity, "Stopped");
}

TEST_F(CodexWatcherTest, AWorkingSessionComesBackFromHiding) {
  const std::string path = rollout();
  append(path, meta() + event({{"type", "task_complete"}}));
  watcher().sweep();
  hub().dismiss("codex:sess-1");
  append(path, event({{"type", "token_count"}}));
  watcher().sweep();
  EXPECT_TRUE(hub().tucked().count("codex:sess-1")) << "a finished session stays hidden";
  append(path, event({{"type", "task_started"}}));
  watcher().sweep();
  EXPECT_FALSE(hub().tucked().count("codex:sess-1"));
}

TEST_F(CodexWatcherTest, QuietFilesLoseTheirSessionAndAreReadAgainFromTheStart) {
  const std::string path = rollout();
  const std::string orphan = rollout("0199aaaa-0000-7000-8000-00000000000f");
  append(path, meta() + event({{"type", "task_started"}}));
  append(orphan, event({{"type", "task_started"}}));
  watcher().sweep();
  ASSERT_EQ(hub().sessions().size(), 2u);

  loop.advance(CodexWatcher::kStale - 1);
  watcher().sweep();
  EXPECT_EQ(hub().sessions().size(), 2u);
  loop.advance(1);
  watcher().sweep();
  EXPECT_TRUE(hub().sessions().empty());
  EXPECT_TRUE(watcher().offsets().empty());
  EXPECT_TRUE(watcher().meta().empty());

  append(path, item({{"type", "UserMessage"}, {"content", {{{"text", "next step"}}}}}));
  watcher().sweep();
  const Session& s = get("codex:sess-1");
  EXPECT_EQ(s.mood, Mood::working) << "the whole file was read again";
  EXPECT_EQ(s.title, "next step");
  EXPECT_EQ(watcher().meta().at(path).id, "sess-1");
}

TEST_F(CodexWatcherTest, FilesAlreadyQuietAreNeverOpened) {
  const std::string path = rollout();
  append(path, meta() + event({{"type", "task_started"}}), loop.now() - CodexWatcher::kStale);
  watcher().sweep();
  EXPECT_TRUE(hub().sessions().empty());
  EXPECT_EQ(watcher().readStats().bytes, 0u);
}

TEST_F(CodexWatcherTest, OnlyTodaysAndYesterdaysFoldersAreSwept) {
  append(rollout("0199aaaa-0000-7000-8000-000000000001", -1), event({{"type", "task_started"}}));
  append(rollout("0199aaaa-0000-7000-8000-000000000002", -2), event({{"type", "task_started"}}));
  // Named otherwise, or a folder: not a rollout file.
  std::filesystem::create_directories(watcher().dayDirectory(0));
  append(watcher().dayDirectory(0) + "/notes.jsonl", event({{"type", "task_started"}}));
  std::filesystem::create_directories(watcher().dayDirectory(0) + "/rollout-dir.jsonl");
  watcher().sweep();
  ASSERT_EQ(hub().sessions().size(), 1u);
  EXPECT_EQ(hub().sessions()[0].id, "codex:0199aaaa-0000-7000-8000-000000000001");
}

TEST_F(CodexWatcherTest, DayFoldersFollowTheLocalCalendar) {
  ScopedEnv tz("TZ", "UTC");
  ::tzset();
  loop.setNow(1709253000);  // 2024-03-01 00:30 UTC
  EXPECT_EQ(watcher().dayDirectory(0), home.path() + "/.codex/sessions/2024/03/01");
  EXPECT_EQ(watcher().dayDirectory(-1), home.path() + "/.codex/sessions/2024/02/29");
  {
    ScopedEnv east("TZ", "Asia/Tokyo");
    ::tzset();
    EXPECT_EQ(watcher().dayDirectory(-1), home.path() + "/.codex/sessions/2024/02/29");
    EXPECT_EQ(watcher().dayDirectory(0), home.path() + "/.codex/sessions/2024/03/01");
    ScopedEnv west("TZ", "America/New_York");
    ::tzset();
    EXPECT_EQ(watcher().dayDirectory(0), home.path() + "/.codex/sessions/2024/02/29");
  }
}

TEST_F(CodexWatcherTest, CodexHomeMovesTheSessionsFolder) {
  TempDir codexHome;
  ScopedEnv env("CODEX_HOME", codexHome.path().c_str());
  EXPECT_EQ(watcher().root(), codexHome.path() + "/sessions");
  const std::string path = rollout();
  ASSERT_EQ(path.rfind(codexHome.path(), 0), 0u);
  append(path, meta() + event({{"type", "task_started"}}));
  watcher().sweep();
  EXPECT_EQ(get("codex:sess-1").mood, Mood::working);
}

TEST_F(CodexWatcherTest, TheUserMessageTitleSkipsInjectedContext) {
  EXPECT_EQ(CodexWatcher::userText({}), "");
  EXPECT_EQ(CodexWatcher::userText({"<env>a</env>", "  Fix the parser\n", "## Referenced files"}),
            "Fix the parser");
  EXPECT_EQ(CodexWatcher::userText({"first", "<b>second</b>", "  "}), "first");
  EXPECT_EQ(CodexWatcher::userText({"<a>", " <b>x</b>\n"}), " <b>x</b>\n");

  const std::string path = rollout();
  append(path, meta() + item({{"type", "UserMessage"},
                              {"content",
                               {{{"type", "text"}, {"text", "<user_instructions>be brief"}},
                                {{"type", "text"}, {"text", "Add **dark** mode\nto settings"}},
                                {{"type", "image"}},
                                {{"type", "text"}, {"text", ""}}}}}));
  watcher().sweep();
  EXPECT_EQ(get("codex:sess-1").title, "Add dark mode");

  append(path, item({{"type", "UserMessage"}, {"content", {{{"text", "<only>context"}}}}}) +
                   item({{"type", "UserMessage"}}));
  watcher().sweep();
  EXPECT_EQ(get("codex:sess-1").title, "<only>context")
      << "no typed text: the last text, then no text keeps the title";
}

TEST_F(CodexWatcherTest, LargeAppendsAreReadInBoundedPieces) {
  constexpr std::size_t kChunk = 512;
  watcher(kChunk);
  const std::string path = rollout();
  std::string text = meta() + event({{"type", "task_started"}});
  std::size_t longest = 0;
  for (int i = 0; i < 2000; ++i) {
    const std::string line =
        item(command("echo " + std::string(i % 7 == 0 ? 900 : 10, 'a') + std::to_string(i)));
    longest = std::max(longest, line.size());
    text += line;
  }
  append(path, text);
  watcher().sweep();
  const auto& stats = watcher().readStats();
  EXPECT_EQ(stats.bytes, text.size());
  EXPECT_GE(stats.blocks, text.size() / (kChunk + longest));
  EXPECT_LE(stats.largestBlock, kChunk + longest);
  EXPECT_EQ(get("codex:sess-1").turnCalls, 2000) << "no line lost at a chunk boundary";
  EXPECT_EQ(get("codex:sess-1").tally[0].detail, "echo aaaaaaaaaa1999");
}

TEST_F(CodexWatcherTest, LineTimesComeFromTheirTimestamps) {
  EXPECT_EQ(CodexWatcher::parseTimestamp("2025-10-01T09:30:12.250Z"), 1759311012.25);
  EXPECT_EQ(CodexWatcher::parseTimestamp("2025-10-01T11:30:12+02:00"), 1759311012.0);
  EXPECT_EQ(CodexWatcher::parseTimestamp("2025-10-01T09:30:12.5-00:30"), 1759312812.5);
  for (const char* bad : {"", "2025-10-01", "2025-10-01 09:30:12Z", "2025-13-01T09:30:12Z",
                          "2025-10-01T09:30:12", "2025-10-01T09:30:12.Z", "2025-10-01T09:30:12Zx"})
    EXPECT_FALSE(CodexWatcher::parseTimestamp(bad)) << bad;

  const std::string path = rollout();
  append(path, meta() +
                   json::compact({{"type", "event_msg"},
                                  {"timestamp", "yesterday"},
                                  {"payload", {{"type", "task_started"}}}}) +
                   "\n" + event({{"type", "turn_aborted"}}, 1759311012.25));
  watcher().sweep();
  const Session& s = get("codex:sess-1");
  EXPECT_EQ(s.turnStarted, loop.now());
  EXPECT_EQ(s.updated, 1759311012.25);
}

TEST_F(CodexWatcherTest, DesktopSessionsAreHostedByTheCodexApp) {
  const std::string app = home.write("Applications/Codex.AppImage", "");
  const std::string path = rollout();
  append(path, meta("cli", "/w") + meta("desk", "/w", "codex_desktop") +
                   record("session_meta", {{"id", "gone"}, {"originator", "Codex Desktop"}}));
  watcher().sweep();
  EXPECT_FALSE(get("codex:cli").hostBundle);
  EXPECT_EQ(get("codex:desk").hostBundle, app);
  EXPECT_FALSE(get("codex:gone").hostBundle) << "the match is case-sensitive";
}

TEST_F(CodexWatcherTest, StartSweepsAtOnceAndThenEveryTwoSeconds) {
  const std::string path = rollout();
  append(path, meta() + event({{"type", "task_started"}}));
  watcher().start();
  EXPECT_TRUE(watcher().running());
  EXPECT_EQ(hub().find("codex:sess-1"), nullptr) << "the first sweep is taken in on the loop";
  loop.runPending();
  EXPECT_EQ(get("codex:sess-1").mood, Mood::working);

  append(path, event({{"type", "turn_aborted"}}));
  loop.advance(CodexWatcher::kInterval);
  EXPECT_EQ(get("codex:sess-1").mood, Mood::idle);

  watcher().stop();
  append(path, event({{"type", "task_started"}}));
  loop.advance(10);
  EXPECT_EQ(get("codex:sess-1").mood, Mood::idle);
  EXPECT_FALSE(watcher().running());
}

// The first sweep's reads own the files until their records are taken in: the timer's
// sweeps must not read beside them.
TEST_F(CodexWatcherTest, TimedSweepsWaitForTheFirstSweepToBeTakenIn) {
  std::vector<std::function<void()>> held;
  CodexWatcher late(hub(), loop, AppendedLines::kChunk,
                    [&](std::function<void()> job) { held.push_back(std::move(job)); });
  const std::string path = rollout();
  append(path, meta() + event({{"type", "task_started"}}));
  late.start();
  loop.advance(3 * CodexWatcher::kInterval);
  EXPECT_EQ(hub().find("codex:sess-1"), nullptr);
  EXPECT_TRUE(late.offsets().empty());

  ASSERT_EQ(held.size(), 1u);
  held[0]();
  loop.runPending();
  EXPECT_EQ(get("codex:sess-1").mood, Mood::working);
  append(path, event({{"type", "turn_aborted"}}));
  loop.advance(CodexWatcher::kInterval);
  EXPECT_EQ(get("codex:sess-1").mood, Mood::idle);
}

TEST_F(CodexWatcherTest, AFileReplacedByAShorterOneIsReadFromItsStart) {
  const std::string path = rollout();
  append(path, meta() + event({{"type", "task_started"}}) + item(command("make")));
  watcher().sweep();
  std::filesystem::remove(path);
  append(path, meta("sess-2"));
  watcher().sweep();
  EXPECT_NE(hub().find("codex:sess-2"), nullptr);
}

}  // namespace
}  // namespace talvane::testing
