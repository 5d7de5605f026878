#include "voice/hot_key.h"

#include <gtest/gtest.h>

#include <set>

namespace talvane {
namespace {

using HotKey::Action;
using HotKey::Combo;

TEST(HotKey, DefaultsAreControlOptionRAndT) {
  const auto& defaults = HotKey::defaults();
  ASSERT_EQ(defaults.size(), 2u);
  EXPECT_EQ(defaults.at(Action::open), (Combo{15, 6144}));
  EXPECT_EQ(defaults.at(Action::talk), (Combo{17, 6144}));
  EXPECT_EQ(HotKey::label(defaults.at(Action::open)), "Ctrl+Alt+R");
  EXPECT_EQ(HotKey::label(defaults.at(Action::talk)), "Ctrl+Alt+T");
  EXPECT_EQ(static_cast<std::uint32_t>(Action::open), 1u);
  EXPECT_EQ(static_cast<std::uint32_t>(Action::talk), 2u);
}

TEST(HotKey, CodesFollowTheAnsiLayout) {
  const auto& codes = HotKey::codes();
  EXPECT_EQ(codes.size(), 59u);
  const std::pair<const char*, std::uint32_t> known[] = {
      {"KeyA", 0},    {"KeyR", 15},   {"KeyT", 17},      {"KeyZ", 6},   {"Digit0", 29},
      {"Digit5", 23}, {"Digit9", 25}, {"F1", 122},       {"F5", 96},    {"F12", 111},
      {"Space", 49},  {"Equal", 24},  {"Backquote", 50}, {"Slash", 44}, {"BracketRight", 30}};
  for (const auto& [name, code] : known) {
    ASSERT_TRUE(codes.contains(name)) << name;
    EXPECT_EQ(codes.at(name), code) << name;
  }
  // Keys without a name cannot be chosen.
  for (const char* absent : {"Enter", "Tab", "Backslash", "ArrowUp", "Numpad1", "keyA"})
    EXPECT_FALSE(codes.contains(absent)) << absent;
  // One key, one code: the label of a stored code is never ambiguous.
  std::set<std::uint32_t> distinct;
  for (const auto& [name, code] : codes) {
    distinct.insert(code);
    EXPECT_EQ(HotKey::name(code), name);
  }
  EXPECT_EQ(distinct.size(), codes.size());
  EXPECT_FALSE(HotKey::name(42));  // Backslash: a real key, but not one of ours
}

TEST(HotKey, LabelsNameModifiersInLinuxOrderThenTheKey) {
  EXPECT_EQ(HotKey::label({49, 4352}), "Ctrl+Super+Space");
  EXPECT_EQ(HotKey::label({49, 2048}), "Alt+Space");
  EXPECT_EQ(HotKey::label({200, 0}), "?");
  EXPECT_EQ(HotKey::label({200, 512}), "Shift+?");
  EXPECT_EQ(HotKey::label({44, 256 | 512 | 2048 | 4096}), "Ctrl+Alt+Shift+Super+/");
  EXPECT_EQ(HotKey::label({HotKey::codes().at("Digit7"), 256}), "Super+7");
  EXPECT_EQ(HotKey::label({HotKey::codes().at("F5"), 0}), "F5");
  EXPECT_EQ(HotKey::label({HotKey::codes().at("Quote"), 4096}), "Ctrl+'");
  // Bits that are not modifiers (caps lock, 1024) add nothing.
  EXPECT_EQ(HotKey::label({0, 1024 | 2048}), "Alt+A");
}

}  // namespace
}  // namespace talvane
