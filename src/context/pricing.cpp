#include "context/pricing.h"

#include <glib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace talvane::Pricing {

namespace {

struct Row {
  std::string_view key;
  Rate rate;
};

// Order matters: a more specific key must come before the key it contains.
constexpr std::array kRows{
    Row{"fable", {10.0, 50.0, 0.25, 1'000'000}},  Row{"mythos", {10.0, 50.0, 0.25, 1'000'000}},
    Row{"opus-5-5", {4.0, 20.0, 0.2, 1'000'000}}, Row{"opus", {5.0, 25.0, 0.5, 1'000'000}},
    Row{"sonnet-5", {2.0, 10.0, 0.2, 1'000'000}}, Row{"sonnet", {3.0, 15.0, 0.3, 1'000'000}},
    Row{"haiku", {1.0, 5.0, 0.1, 200'000}},
};

bool allDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Upper-cases the first character, Unicode-aware ("ß" becomes "SS" as in the system's labels).
std::string capitalised(std::string_view word) {
  if (word.empty()) return {};
  const char* start = word.data();
  const char* next = g_utf8_find_next_char(start, start + word.size());
  const std::size_t first = next ? static_cast<std::size_t>(next - start) : word.size();
  if (!g_utf8_validate(start, static_cast<gssize>(first), nullptr)) return std::string(word);
  gchar* upper = g_utf8_strup(start, static_cast<gssize>(first));
  std::string out = upper;
  g_free(upper);
  out.append(word.substr(first));
  return out;
}

}  // namespace

std::optional<Rate> rate(std::string_view model) {
  std::string lower(model);
  for (char& c : lower) c = static_cast<char>(g_ascii_tolower(c));
  for (const Row& row : kRows) {
    if (lower.find(row.key) != std::string::npos) return row.rate;
  }
  return std::nullopt;
}

Count Count::of(const Json* member) {
  Count count;
  if (!member || !member->is_number()) return count;
  count.present = true;
  count.value = member->get<double>();
  // Unsigned first: is_number_integer() holds for unsigned numbers too.
  if (member->is_number_unsigned()) {
    const auto u = member->get<std::uint64_t>();
    if (u <= static_cast<std::uint64_t>(INT64_MAX)) count.integer = static_cast<std::int64_t>(u);
  } else if (member->is_number_integer()) {
    count.integer = member->get<std::int64_t>();
  } else if (std::isfinite(count.value) && std::floor(count.value) == count.value &&
             std::fabs(count.value) < 9.2e18) {
    count.integer = static_cast<std::int64_t>(count.value);
  }
  return count;
}

Usage Usage::of(const Json& usage) {
  Usage u;
  u.input = Count::of(json::member(usage, "input_tokens"));
  u.output = Count::of(json::member(usage, "output_tokens"));
  u.cacheCreation = Count::of(json::member(usage, "cache_creation_input_tokens"));
  u.cacheRead = Count::of(json::member(usage, "cache_read_input_tokens"));
  if (const Json* split = json::object(usage, "cache_creation")) {
    u.split = true;
    u.oneHour = Count::of(json::member(*split, "ephemeral_1h_input_tokens"));
    u.fiveMinute = Count::of(json::member(*split, "ephemeral_5m_input_tokens"));
  }
  return u;
}

double cost(std::string_view model, const Json& usage) { return cost(model, Usage::of(usage)); }

double cost(std::string_view model, const Usage& usage) { return cost(rate(model), usage); }

double cost(const std::optional<Rate>& r, const Usage& usage) {
  if (!r) return 0.0;
  const double creation = usage.cacheCreation.value;
  double oneHour = 0.0;
  double fiveMinute = creation;
  if (usage.split) {
    oneHour = usage.oneHour.value;
    fiveMinute =
        usage.fiveMinute.present ? usage.fiveMinute.value : std::max(creation - oneHour, 0.0);
  }
  return (usage.input.value * r->input + fiveMinute * r->input * 1.25 + oneHour * r->input * 2.0 +
          usage.cacheRead.value * r->cacheRead + usage.output.value * r->output) /
         1'000'000.0;
}

std::string label(std::string_view model) {
  std::string rest(model);
  for (std::size_t at; (at = rest.find("claude-")) != std::string::npos;) rest.erase(at, 7);
  std::vector<std::string_view> parts;
  std::string_view view(rest);
  while (!view.empty()) {
    const auto dash = view.find('-');
    auto part = view.substr(0, dash);
    if (!part.empty()) parts.push_back(part);
    if (dash == std::string_view::npos) break;
    view.remove_prefix(dash + 1);
  }
  if (parts.empty()) return std::string(model);

  // Older identifiers put the version first ("claude-3-5-sonnet-20241022"): read them as
  // family and version, like the newer ones, rather than showing a bare number.
  std::size_t family = 0;
  if (allDigits(parts[0])) {
    while (family < parts.size() && allDigits(parts[family]) && parts[family].size() < 3) ++family;
    if (family == 0 || family == parts.size() || allDigits(parts[family])) family = 0;
  }
  std::vector<std::string_view> version;
  if (family > 0) {
    version.assign(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(family));
  } else {
    for (std::size_t i = 1; i < parts.size() && allDigits(parts[i]) && parts[i].size() < 3; ++i)
      version.push_back(parts[i]);
  }
  std::string out = capitalised(parts[family]);
  for (std::size_t i = 0; i < version.size(); ++i) {
    out += i == 0 ? ' ' : '.';
    out += version[i];
  }
  return out;
}

}  // namespace talvane::Pricing
