#include "context/appended_lines.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <string>
#include <vector>

#include "context/transcript_reader.h"
#include "context/usage_meter.h"
#include "platform/files.h"
#include "platform/manual_loop.h"
#include "support/test_home.h"
#include "transcript_test_lines.h"

namespace talvane {
namespace {

using testing::append;
using testing::overwrite;

class AppendedLinesTest : public ::testing::Test {
 protected:
  // The lines handed on by one read of `path`.
  std::vector<std::string> read(AppendedLines& lines,
                                AppendedLines::Shrunk shrunk = AppendedLines::Shrunk::wait) {
    std::vector<std::string> got;
    lines.read(path, offset, shrunk, [&](std::string_view block) {
      AppendedLines::forEachLine(block, [&](std::string_view line) { got.emplace_back(line); });
    });
    return got;
  }

  talvane::testing::TempDir dir;
  std::string path = dir.path() + "/lines.jsonl";
  std::uint64_t offset = 0;
};

using Lines = std::vector<std::string>;

TEST_F(AppendedLinesTest, LinesPastTheLimitAreSkippedWhole) {
  const std::size_t max = 16;
  const std::string fits(max, 'f');
  const std::string tooLong(max + 1, 'x');
  const std::string huge(10 * max + 3, 'h');
  struct Case {
    const char* name;
    std::string text;
    Lines lines;
  };
  const Case cases[] = {
      {"at the limit", "a\n" + fits + "\nb\n", {"a", fits, "b"}},
      {"one past", "a\n" + tooLong + "\nb\n", {"a", "b"}},
      {"first line", huge + "\nb\n", {"b"}},
      {"last line", "a\n" + huge + "\n", {"a"}},
      {"two in a row", huge + "\n" + tooLong + "\nc\n", {"c"}},
  };
  for (std::size_t chunk : {std::size_t{1}, std::size_t{5}, max, std::size_t{64}}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", chunk " + std::to_string(chunk));
      overwrite(path, c.text);
      offset = 0;
      AppendedLines lines(chunk, max);
      EXPECT_EQ(read(lines), c.lines);
      EXPECT_EQ(offset, c.text.size());
    }
  }
}

TEST_F(AppendedLinesTest, AnOverLongLineStillGrowingIsSkippedToItsEnd) {
  AppendedLines lines(4, 16);
  overwrite(path, "a\n" + std::string(40, '{'));
  EXPECT_EQ(read(lines), Lines{"a"});
  EXPECT_EQ(offset, 42u) << "what was read of the long line is not read again";
  // Its end arrives later, looking like a line of its own: it is still the long line.
  append(path, std::string(30, '}') + "{\"tail\":1}\nb\n");
  EXPECT_EQ(read(lines), Lines{"b"});
  append(path, "c\n");
  EXPECT_EQ(read(lines), Lines{"c"});
}

TEST_F(AppendedLinesTest, ALongLastLineIsReadOnceItEnds) {
  AppendedLines lines(4, 64);
  const std::string text(30, 'l');
  overwrite(path, "a\n" + text);
  EXPECT_EQ(read(lines), Lines{"a"});
  EXPECT_EQ(offset, 2u);
  EXPECT_EQ(read(lines), Lines{});
  append(path, "\nb");
  EXPECT_EQ(read(lines), Lines{text});
  append(path, "\n");
  EXPECT_EQ(read(lines), Lines{"b"});
}

TEST_F(AppendedLinesTest, SkippingEndsWhenTheFileStartsAgain) {
  AppendedLines lines(4, 16);
  overwrite(path, std::string(40, 'x'));
  EXPECT_EQ(read(lines, AppendedLines::Shrunk::restart), Lines{});
  overwrite(path, "new\n");
  EXPECT_EQ(read(lines, AppendedLines::Shrunk::restart), Lines{"new"});
  // Another path left off at the same offset is not taken for the skipped one.
  overwrite(path, std::string(40, 'x'));
  offset = 0;
  EXPECT_EQ(read(lines), Lines{});
  const std::string other = dir.path() + "/other.jsonl";
  overwrite(other, std::string(39, 'o') + "\nkept\n");
  std::uint64_t otherOffset = 40;
  Lines got;
  lines.read(other, otherOffset, AppendedLines::Shrunk::wait, [&](std::string_view block) {
    AppendedLines::forEachLine(block, [&](std::string_view line) { got.emplace_back(line); });
  });
  EXPECT_EQ(got, Lines{"kept"});
}

// A file growing as fast as it is read gives the reader back after about the budget; a line
// begun before the budget ran out is finished, however long.
TEST_F(AppendedLinesTest, ABudgetEndsAReadAndTheNextGoesOn) {
  const std::string longLine(50, 'L');
  overwrite(path, "aaaa\nbbbb\n" + longLine + "\ncccc\ndddd\n");
  struct Pass {
    Lines lines;
    bool more;
  };
  for (std::size_t chunk : {std::size_t{1}, std::size_t{4}, std::size_t{64}}) {
    SCOPED_TRACE(chunk);
    AppendedLines lines(chunk, 1000);
    offset = 0;
    std::vector<Pass> passes;
    for (int i = 0; i < 10; ++i) {
      Pass pass{{}, false};
      lines.read(
          path, offset, AppendedLines::Shrunk::wait,
          [&](std::string_view block) {
            AppendedLines::forEachLine(
                block, [&](std::string_view line) { pass.lines.emplace_back(line); });
          },
          {}, 8, &pass.more);
      passes.push_back(pass);
      if (!pass.more) break;
    }
    Lines all;
    for (const Pass& pass : passes) {
      EXPECT_FALSE(pass.lines.empty()) << "every pass gets somewhere";
      all.insert(all.end(), pass.lines.begin(), pass.lines.end());
    }
    EXPECT_EQ(all, (Lines{"aaaa", "bbbb", longLine, "cccc", "dddd"}));
    EXPECT_GT(passes.size(), 1u) << "the budget ends passes early";
    EXPECT_EQ(offset, 11u + longLine.size() + 10u);
    // At the end, and with a partial line left, there is no more to read yet.
    append(path, "ee");
    bool more = true;
    lines.read(
        path, offset, AppendedLines::Shrunk::wait, [](std::string_view) {}, {}, 8, &more);
    EXPECT_FALSE(more);
    overwrite(path, "aaaa\nbbbb\n" + longLine + "\ncccc\ndddd\n");
  }
}

TEST_F(AppendedLinesTest, OnlyRegularFilesAreOpened) {
  // A FIFO nobody writes to would block the opening forever.
  const std::string fifo = dir.path() + "/fifo.jsonl";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  AppendedLines lines;
  for (const std::string& p : {fifo, dir.path(), std::string("/dev/null")}) {
    std::uint64_t at = 0;
    EXPECT_FALSE(lines.read(p, at, AppendedLines::Shrunk::wait, [](std::string_view) {})) << p;
  }
  TranscriptReader reader;
  EXPECT_EQ(reader.update(fifo), TranscriptStats{});
  EXPECT_EQ(reader.stats(fifo), nullptr);
}

TEST(UsageMeterFiles, AFifoAmongTheTranscriptsIsPassedOver) {
  talvane::testing::TestHome home;
  const time_t now = ::time(nullptr);
  char stamp[32];
  tm utc;
  ::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S.000Z", ::gmtime_r(&now, &utc));
  const std::string path =
      home.write(".claude/projects/-home-ana-app/s1.jsonl",
                 testing::assistantLine("msg_1", "claude-opus-4-5", {{"output_tokens", 1000}},
                                        "end_turn", stamp) +
                     "\n");
  for (const char* name : {"/s0.jsonl", "/s2.jsonl"}) {
    ASSERT_EQ(::mkfifo((files::parent(path) + name).c_str(), 0600), 0);
  }
  ManualLoop loop{static_cast<Date>(now)};
  UsageMeter meter(loop);
  EXPECT_EQ(meter.snapshot()["today"], 0.025);
}

}  // namespace
}  // namespace talvane
