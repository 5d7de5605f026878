#pragma once
// Dollar prices, context windows and display labels of the models that agents report.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/json.h"

namespace talvane::Pricing {

struct Rate {
  double input = 0;      // dollars per million input tokens
  double output = 0;     // dollars per million output tokens
  double cacheRead = 0;  // dollars per million cache-read tokens
  std::int64_t window = 0;

  bool operator==(const Rate&) const = default;
};

// One count of a usage record, read leniently: anything but a number is absent (value 0).
struct Count {
  double value = 0;
  bool present = false;
  std::optional<std::int64_t> integer;  // integral values that fit 64 bits

  static Count of(const Json* member);
  bool operator==(const Count&) const = default;
};

// The counts of a usage record ("input_tokens", "output_tokens", the cache counts and the
// "cache_creation" split into five-minute and one-hour writes).
struct Usage {
  Count input, output, cacheCreation, cacheRead;
  bool split = false;  // holds a "cache_creation" object
  Count oneHour, fiveMinute;

  static Usage of(const Json& usage);
  bool operator==(const Usage&) const = default;
};

// The first price row whose key the lower-cased identifier contains.
std::optional<Rate> rate(std::string_view model);

// Dollars for one usage record ("input_tokens", "output_tokens", cache counts); 0 without a rate.
double cost(std::string_view model, const Json& usage);
double cost(std::string_view model, const Usage& usage);
// The same with the model's rate already looked up.
double cost(const std::optional<Rate>& rate, const Usage& usage);

// "claude-haiku-4-5-20251001" -> "Haiku 4.5".
std::string label(std::string_view model);

}  // namespace talvane::Pricing
