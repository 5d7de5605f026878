#include "platform/json.h"

#include <cmath>
#include <utility>
#include <vector>

namespace talvane::json {

std::optional<Json> parse(std::string_view text, bool allowComments) {
  if (!depthWithin(text, kMaxDepth, allowComments)) return std::nullopt;
  Json value =
      Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false, allowComments);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::optional<Json> parseObject(std::string_view text, bool allowComments) {
  auto value = parse(text, allowComments);
  if (!value || !value->is_object()) return std::nullopt;
  return value;
}

const Json* member(const Json& value, std::string_view key) {
  if (!value.is_object()) return nullptr;
  auto it = value.find(key);
  return it == value.end() ? nullptr : &*it;
}

std::optional<std::string> string(const Json& value, std::string_view key) {
  const Json* m = member(value, key);
  if (!m || !m->is_string()) return std::nullopt;
  return m->get<std::string>();
}

std::optional<std::string> nonEmpty(const Json& value, std::string_view key) {
  auto s = string(value, key);
  if (!s || s->empty()) return std::nullopt;
  return s;
}

std::optional<bool> boolean(const Json& value, std::string_view key) {
  const Json* m = member(value, key);
  if (!m || !m->is_boolean()) return std::nullopt;
  return m->get<bool>();
}

std::optional<double> number(const Json& value, std::string_view key) {
  const Json* m = member(value, key);
  if (!m || !m->is_number()) return std::nullopt;
  return m->get<double>();
}

std::optional<std::int64_t> integer(const Json& value, std::string_view key) {
  const Json* m = member(value, key);
  if (!m) return std::nullopt;
  // Unsigned first: nlohmann counts unsigned values as integers too, and they may not fit.
  if (m->is_number_unsigned()) {
    auto u = m->get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (m->is_number_integer()) return m->get<std::int64_t>();
  if (m->is_number_float()) {
    double d = m->get<double>();
    if (std::isfinite(d) && std::floor(d) == d && std::fabs(d) < 9.2e18)
      return static_cast<std::int64_t>(d);
  }
  return std::nullopt;
}

const Json* object(const Json& value, std::string_view key) {
  const Json* m = member(value, key);
  return m && m->is_object() ? m : nullptr;
}

const Json* array(const Json& value, std::string_view key) {
  const Json* m = member(value, key);
  return m && m->is_array() ? m : nullptr;
}

bool depthWithin(const Json& value, std::size_t maxDepth) {
  std::vector<std::pair<const Json*, std::size_t>> pending{{&value, 0}};
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    if (!node->is_structured()) continue;
    if (depth + 1 > maxDepth) return false;
    for (const Json& child : *node) {
      if (child.is_structured()) pending.emplace_back(&child, depth + 1);
    }
  }
  return true;
}

std::string compact(const Json& value) {
  if (!depthWithin(value)) return {};
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string pretty(const Json& value, int indent) {
  if (!depthWithin(value)) return {};
  return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

}  // namespace talvane::json
