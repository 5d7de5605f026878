#pragma once
// Lenient reading of outside JSON: a missing key or a value of another type is absent,
// never an exception. Writing goes through `compact`/`pretty`, which never throw either.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/json_depth.h"

namespace talvane {

using Json = nlohmann::json;

namespace json {

// Parses text; absent when it is not JSON (comments allowed where agents allow them), or when it
// nests deeper than kMaxDepth.
std::optional<Json> parse(std::string_view text, bool allowComments = false);
// Parses text that must hold an object.
std::optional<Json> parseObject(std::string_view text, bool allowComments = false);

// The member `key` of an object, or nullptr when `value` is no object or has no such member.
const Json* member(const Json& value, std::string_view key);

std::optional<std::string> string(const Json& value, std::string_view key);
// A string member that is present and not empty.
std::optional<std::string> nonEmpty(const Json& value, std::string_view key);
std::optional<bool> boolean(const Json& value, std::string_view key);
// Any JSON number, as a double.
std::optional<double> number(const Json& value, std::string_view key);
// A JSON number that is integral (an integral double counts).
std::optional<std::int64_t> integer(const Json& value, std::string_view key);
// The member when it is an object / array.
const Json* object(const Json& value, std::string_view key);
const Json* array(const Json& value, std::string_view key);

// False when the arrays and objects of `value` nest deeper than `maxDepth`. Iterative.
bool depthWithin(const Json& value, std::size_t maxDepth = kMaxDepth);

// Serialisation that replaces invalid UTF-8 rather than throwing; the empty string for a value
// nesting deeper than kMaxDepth, which would take one stack frame per level to write.
std::string compact(const Json& value);
std::string pretty(const Json& value, int indent = 2);

}  // namespace json
}  // namespace talvane
