#include "voice/option_tap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "platform/files.h"
#include "platform/manual_loop.h"
#include "support/test_home.h"

namespace talvane {
namespace {

// A source that records what it was asked and lets the test decide trust.
class FakeSource final : public KeySource {
 public:
  bool start(Sink sink) override {
    ++starts;
    this->sink = std::move(sink);
    return available;
  }
  void stop() override { sink = {}; }
  bool trusted() const override { return isTrusted; }

  Sink sink;
  int starts = 0;
  bool available = true;
  bool isTrusted = true;
};

struct Script {
  const char* name;
  std::uint32_t base;  // flags held throughout (Caps Lock)
  const char* steps;   // d: Alt down, u: Alt up, k: key/click, c: Alt+Super, s: Alt+Shift, +N: wait
  const char* calls;   // O: open, S: talk start, E: talk end
};

std::string run(const Script& s) {
  ManualLoop loop;
  OptionTap tap(loop, nullptr);
  std::string calls;
  tap.onOpen = [&] { calls += 'O'; };
  tap.onTalkStart = [&] { calls += 'S'; };
  tap.onTalkEnd = [&] { calls += 'E'; };
  std::istringstream in(s.steps);
  std::string step;
  while (in >> step) {
    switch (step[0]) {
      case 'd':
        tap.flags(s.base | KeyFlags::option);
        break;
      case 'u':
        tap.flags(s.base);
        break;
      case 'k':
        tap.interrupt();
        break;
      case 'c':
        tap.flags(s.base | KeyFlags::option | KeyFlags::command);
        break;
      case 's':
        tap.flags(s.base | KeyFlags::option | KeyFlags::shift);
        break;
      case '+':
        loop.advance(std::stod(step.substr(1)));
        break;
    }
  }
  loop.advance(5);
  return calls;
}

TEST(OptionTap, RecognisesDoubleTapsAndTapHoldsButNeverAltCombinations) {
  const Script scripts[] = {
      {"double tap within the window", 0, "d +0.1 u +0.2 d +0.1 u", "O"},
      {"second tap too late", 0, "d +0.1 u +0.5 d +0.1 u", ""},
      {"second tap just inside", 0, "d +0.1 u +0.31 d +0.1 u", "O"},
      {"a letter clears the pending tap", 0, "d +0.1 u +0.05 k +0.05 d +0.1 u", ""},
      {"a click during the first press", 0, "d +0.05 k +0.05 u +0.1 d +0.1 u", ""},
      {"a lone hold never talks", 0, "d +0.5 u", ""},
      {"a slow Alt+Tab does nothing", 0, "d +0.7 k u", ""},
      {"Alt+Tab right after a tap does nothing", 0, "d +0.1 u +0.1 d +0.1 k +0.6 u", ""},
      {"Alt+drag does nothing", 0, "d +0.2 k +1 u +0.1 d +0.1 u", ""},
      {"tap then hold talks, release ends", 0, "d +0.1 u +0.1 d +0.5 u", "SE"},
      {"released just before the hold delay opens", 0, "d +0.1 u +0.1 d +0.44 u", "O"},
      {"Super before the hold delay", 0, "d +0.1 u +0.1 d +0.2 c +0.5 d u", ""},
      {"keys while talking do not stop it", 0, "d +0.1 u +0.1 d +0.5 k +1 k u", "SE"},
      {"Shift while talking ends it once", 0, "d +0.1 u +0.1 d +0.5 s +0.1 d u", "SE"},
      {"a triple tap opens once", 0, "d +0.05 u +0.05 d +0.05 u +0.05 d +0.05 u", "O"},
      {"repeated down flags are one press", 0, "d +0.1 d +0.1 d +0.1 u +0.1 d u", "O"},
      {"caps lock: double tap", KeyFlags::capsLock, "d +0.1 u +0.2 d +0.1 u", "O"},
      {"caps lock: tap then hold", KeyFlags::capsLock, "d +0.1 u +0.1 d +0.5 u", "SE"},
      {"release without press", 0, "u u", ""},
  };
  for (const auto& s : scripts) EXPECT_EQ(run(s), s.calls) << s.name;
}

TEST(OptionTap, StartObservesOnlyWhenEnabledAndPollsForTrust) {
  testing::TestHome home;
  ManualLoop loop;
  auto owned = std::make_unique<FakeSource>();
  FakeSource* source = owned.get();
  OptionTap tap(loop, std::move(owned));
  int opens = 0;
  tap.onOpen = [&] { ++opens; };

  tap.start(false);
  EXPECT_FALSE(tap.ready());
  EXPECT_EQ(source->starts, 0);

  source->isTrusted = false;
  tap.start(true);
  EXPECT_TRUE(tap.ready());
  EXPECT_EQ(source->starts, 1);
  loop.advance(4.1);
  EXPECT_EQ(source->starts, 1);
  source->isTrusted = true;
  loop.advance(2.0);
  EXPECT_EQ(source->starts, 2);
  loop.advance(10);
  EXPECT_EQ(source->starts, 2);  // trusted now: the poll stopped

  source->sink.flags(KeyFlags::option);
  source->sink.flags(0);
  loop.advance(0.1);
  source->sink.flags(KeyFlags::option);
  source->sink.flags(0);
  EXPECT_EQ(opens, 1);

  tap.stop();
  EXPECT_FALSE(tap.ready());
  EXPECT_FALSE(source->sink.flags);
}

TEST(OptionTap, LogAppendsUptimeStampedLines) {
  testing::TestHome home;
  OptionTap::log("lost");  // no ~/.talvane: nothing written, nothing thrown
  home.write(".talvane/keys.log", "");
  OptionTap::log("one");
  OptionTap::log("two");
  std::string log = *files::read(home.path() + "/.talvane/keys.log");
  EXPECT_TRUE(log.find(" one\n") != std::string::npos);
  EXPECT_TRUE(log.find(" two\n") != std::string::npos);
  EXPECT_EQ(log.find("lost"), std::string::npos);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
  double stamp = std::stod(log);
  EXPECT_GT(stamp, 0);
}

}  // namespace
}  // namespace talvane
