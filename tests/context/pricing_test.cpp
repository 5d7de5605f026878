#include "context/pricing.h"

#include <gtest/gtest.h>

namespace talvane {
namespace {

TEST(Pricing, TakesTheFirstRowTheModelContains) {
  EXPECT_EQ(Pricing::rate("claude-opus-5-5"), (Pricing::Rate{4.0, 20.0, 0.2, 1'000'000}));
  EXPECT_EQ(Pricing::rate("claude-opus-4-6"), (Pricing::Rate{5.0, 25.0, 0.5, 1'000'000}));
  EXPECT_EQ(Pricing::rate("CLAUDE-SONNET-5-20300101"), (Pricing::Rate{2.0, 10.0, 0.2, 1'000'000}));
  EXPECT_EQ(Pricing::rate("claude-sonnet-4-5"), (Pricing::Rate{3.0, 15.0, 0.3, 1'000'000}));
  EXPECT_EQ(Pricing::rate("claude-haiku-4-5-20251001"), (Pricing::Rate{1.0, 5.0, 0.1, 200'000}));
  EXPECT_EQ(Pricing::rate("mythos-opus"), (Pricing::Rate{10.0, 50.0, 0.25, 1'000'000}));
  EXPECT_FALSE(Pricing::rate("gpt-6"));
  EXPECT_FALSE(Pricing::rate("<synthetic>"));
  EXPECT_FALSE(Pricing::rate(""));
}

TEST(Pricing, SplitsCacheWritesIntoFiveMinuteAndOneHourPrices) {
  // Opus: 5 in, 25 out, 0.5 cache read; five-minute writes at 1.25x, one-hour writes at 2x input.
  const Json plain = {{"input_tokens", 1000},
                      {"output_tokens", 200},
                      {"cache_read_input_tokens", 10000},
                      {"cache_creation_input_tokens", 4000}};
  EXPECT_DOUBLE_EQ(Pricing::cost("claude-opus-4-5", plain),
                   (1000 * 5 + 4000 * 5 * 1.25 + 10000 * 0.5 + 200 * 25) / 1e6);

  Json oneHourOnly = plain;
  oneHourOnly["cache_creation"] = {{"ephemeral_1h_input_tokens", 1500}};
  EXPECT_DOUBLE_EQ(Pricing::cost("claude-opus-4-5", oneHourOnly),
                   (1000 * 5 + 2500 * 5 * 1.25 + 1500 * 5 * 2.0 + 10000 * 0.5 + 200 * 25) / 1e6);

  // An explicit five-minute count wins over the difference, even when they disagree.
  Json both = plain;
  both["cache_creation"] = {{"ephemeral_1h_input_tokens", 1500},
                            {"ephemeral_5m_input_tokens", 100}};
  EXPECT_DOUBLE_EQ(Pricing::cost("claude-opus-4-5", both),
                   (1000 * 5 + 100 * 5 * 1.25 + 1500 * 5 * 2.0 + 10000 * 0.5 + 200 * 25) / 1e6);

  // More one-hour tokens than writes in all: the five-minute part never goes negative.
  Json over = {{"cache_creation_input_tokens", 10},
               {"cache_creation", {{"ephemeral_1h_input_tokens", 30}}}};
  EXPECT_DOUBLE_EQ(Pricing::cost("claude-haiku-4-5", over), 30 * 1.0 * 2.0 / 1e6);

  // Odd values count as nothing.
  Json odd = {{"input_tokens", "1000"},
              {"output_tokens", 2.5},
              {"cache_creation", "x"},
              {"cache_creation_input_tokens", 8}};
  EXPECT_DOUBLE_EQ(Pricing::cost("claude-haiku-4-5", odd), (2.5 * 5 + 8 * 1.25) / 1e6);
  EXPECT_EQ(Pricing::cost("gpt-6", plain), 0.0);
  EXPECT_EQ(Pricing::cost("claude-opus-4-5", Json()), 0.0);
}

TEST(Pricing, CountsOnlyNumbersAndIntegersThatFit) {
  const Json counts = {{"a", 12},  {"b", 2.0}, {"c", 2.5}, {"d", 18446744073709551615u},
                       {"e", "7"}, {"f", -3}};
  EXPECT_EQ(Pricing::Count::of(json::member(counts, "a")), (Pricing::Count{12, true, 12}));
  EXPECT_EQ(Pricing::Count::of(json::member(counts, "b")), (Pricing::Count{2, true, 2}));
  EXPECT_EQ(Pricing::Count::of(json::member(counts, "c")),
            (Pricing::Count{2.5, true, std::nullopt}));
  EXPECT_EQ(Pricing::Count::of(json::member(counts, "d")).integer, std::nullopt);
  EXPECT_EQ(Pricing::Count::of(json::member(counts, "e")), Pricing::Count{});
  EXPECT_EQ(Pricing::Count::of(json::member(counts, "f")).integer, -3);
  EXPECT_EQ(Pricing::Count::of(nullptr), Pricing::Count{});
}

TEST(Pricing, LabelsFamilyAndVersion) {
  EXPECT_EQ(Pricing::label("claude-haiku-4-5"), "Haiku 4.5");
  EXPECT_EQ(Pricing::label("claude-haiku-4-5-20251001"), "Haiku 4.5");
  EXPECT_EQ(Pricing::label("claude-opus-4-1-20250805"), "Opus 4.1");
  EXPECT_EQ(Pricing::label("claude-sonnet-4-20250514"), "Sonnet 4");
  EXPECT_EQ(Pricing::label("gpt-6"), "Gpt 6");
  EXPECT_EQ(Pricing::label("gpt-5-codex"), "Gpt 5");
  EXPECT_EQ(Pricing::label("opus--4--5"), "Opus 4.5");
  EXPECT_EQ(Pricing::label("o3"), "O3");
  EXPECT_EQ(Pricing::label("éclair-1"), "Éclair 1");
  EXPECT_EQ(Pricing::label("<synthetic>"), "<synthetic>");
  // Nothing but separators: the identifier as it is.
  EXPECT_EQ(Pricing::label(""), "");
  EXPECT_EQ(Pricing::label("claude-"), "claude-");
  EXPECT_EQ(Pricing::label("---"), "---");
  // Version-first identifiers of older models read the same way.
  EXPECT_EQ(Pricing::label("claude-3-5-sonnet-20241022"), "Sonnet 3.5");
  EXPECT_EQ(Pricing::label("claude-3-opus-20240229"), "Opus 3");
  EXPECT_EQ(Pricing::label("4-5"), "4 5");
}

}  // namespace
}  // namespace talvane
