#include "context/usage_meter.h"

#include <string.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "context/pricing.h"
#include "context/transcript_files.h"
#include "context/transcript_line.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace talvane {

namespace {

constexpr std::string_view kUsageKey = "\"usage\"";

// The next "usage" key bytes in [p, end), or nullptr. The meter looks at nothing else in most of
// a transcript, so this is its inner loop: 16 positions at a time, test the key's first, second
// and last bytes, then confirm the rare candidates.
#if defined(__SSE2__)
const char* findUsageKey(const char* p, const char* end) {
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i u = _mm_set1_epi8('u');
  auto load = [](const char* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
  while (end - p >= 16 + 6) {
    const __m128i hit =
        _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(load(p), quote), _mm_cmpeq_epi8(load(p + 1), u)),
                      _mm_cmpeq_epi8(load(p + 6), quote));
    for (auto mask = static_cast<unsigned>(_mm_movemask_epi8(hit)); mask; mask &= mask - 1) {
      const char* candidate = p + __builtin_ctz(mask);
      if (std::memcmp(candidate + 2, "sage", 4) == 0) return candidate;
    }
    p += 16;
  }
  return static_cast<const char*>(
      ::memmem(p, static_cast<std::size_t>(end - p), kUsageKey.data(), kUsageKey.size()));
}
#else
const char* findUsageKey(const char* p, const char* end) {
  return static_cast<const char*>(
      ::memmem(p, static_cast<std::size_t>(end - p), kUsageKey.data(), kUsageKey.size()));
}
#endif

bool digitsAt(std::string_view s, std::size_t at, std::size_t n, int& value) {
  if (at + n > s.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + (s[i] - '0');
  }
  return true;
}

bool isLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysIn(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeap(year) ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<Date> UsageMeter::parseTimestamp(std::string_view s) {
  int year, month, day, hour, minute, second;
  if (!digitsAt(s, 0, 4, year) || s.size() < 19 || s[4] != '-' || !digitsAt(s, 5, 2, month) ||
      s[7] != '-' || !digitsAt(s, 8, 2, day) || (s[10] != 'T' && s[10] != 't') ||
      !digitsAt(s, 11, 2, hour) || s[13] != ':' || !digitsAt(s, 14, 2, minute) || s[16] != ':' ||
      !digitsAt(s, 17, 2, second))
    return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > daysIn(year, month) || hour > 23 || minute > 59 ||
      second > 60)
    return std::nullopt;
  std::size_t at = 19;
  double fraction = 0;
  if (at < s.size() && s[at] == '.') {
    double scale = 0.1;
    const std::size_t first = ++at;
    for (; at < s.size() && s[at] >= '0' && s[at] <= '9'; ++at, scale /= 10)
      fraction += (s[at] - '0') * scale;
    if (at == first) return std::nullopt;
  }
  if (at >= s.size()) return std::nullopt;
  int offset = 0;
  if (s[at] == 'Z' || s[at] == 'z') {
    ++at;
  } else if (s[at] == '+' || s[at] == '-') {
    int oh, om;
    if (!digitsAt(s, at + 1, 2, oh) || at + 3 >= s.size() || s[at + 3] != ':' ||
        !digitsAt(s, at + 4, 2, om) || oh > 23 || om > 59)
      return std::nullopt;
    offset = (s[at] == '-' ? -1 : 1) * (oh * 3600 + om * 60);
    at += 6;
  } else {
    return std::nullopt;
  }
  if (at != s.size()) return std::nullopt;
  tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  return static_cast<Date>(::timegm(&fields)) - offset + fraction;
}

Date UsageMeter::startOfDay(Date time) {
  const auto seconds = static_cast<time_t>(std::floor(time));
  tm local{};
  ::localtime_r(&seconds, &local);
  local.tm_hour = local.tm_min = local.tm_sec = 0;
  local.tm_isdst = -1;
  return static_cast<Date>(::mktime(&local));
}

Json UsageMeter::snapshot() {
  const Date today = startOfDay(loop_.now());
  if (today != day_) {
    day_ = today;
    offsets_.clear();
    seen_.clear();
    byModel_.clear();
    tokensByModel_.clear();
  }
  TranscriptFiles::forEach([&](const std::string& path, std::string_view, Date modified) {
    if (modified >= day_) scan(path);
  });
  lines_.release();

  std::vector<std::pair<std::string, double>> models(byModel_.begin(), byModel_.end());
  std::stable_sort(models.begin(), models.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  double total = 0;
  Json list = Json::array();
  for (const auto& [model, cost] : models) {
    total += cost;
    auto tokens = tokensByModel_.find(model);
    list.push_back({{"model", Pricing::label(model)},
                    {"cost", cost},
                    {"tokens", tokens == tokensByModel_.end() ? 0 : tokens->second}});
  }
  return {{"today", total}, {"models", std::move(list)}};
}

void UsageMeter::scan(const std::string& path) {
  std::uint64_t& offset = offsets_[path];
  lines_.read(path, offset, AppendedLines::Shrunk::wait, [&](std::string_view block) {
    // Only lines holding the bytes "usage" (with quotes) can count: look for those across the
    // whole block and cut out just their lines, rather than visiting every line.
    const char* const begin = block.data();
    const char* const end = begin + block.size();
    const char* from = begin;
    while (from < end) {
      const char* hit = findUsageKey(from, end);
      if (!hit) break;
      const auto* before =
          static_cast<const char*>(::memrchr(from, '\n', static_cast<std::size_t>(hit - from)));
      const char* start = before ? before + 1 : from;
      const auto* stop =
          static_cast<const char*>(::memchr(hit, '\n', static_cast<std::size_t>(end - hit)));
      if (!stop) stop = end;  // blocks end in a newline; this is only a guard
      count(std::string_view(start, static_cast<std::size_t>(stop - start)));
      from = stop + 1;
    }
  });
}

void UsageMeter::count(std::string_view text) {
  const auto line = TranscriptLine::read(text);
  if (!line || !TranscriptLine::equals(line->type, "assistant")) return;
  const auto timestamp = TranscriptLine::string(line->timestamp);
  if (!timestamp) return;
  const auto time = parseTimestamp(*timestamp);
  if (!time || *time < day_) return;
  if (!TranscriptLine::isObject(line->usage)) return;
  const auto model = TranscriptLine::string(line->model);
  if (!model || *model == "<synthetic>") return;
  if (auto id = TranscriptLine::string(line->id); id && !seen_.insert(std::move(*id)).second)
    return;
  const Pricing::Usage usage = TranscriptLine::counts(line->usage);
  byModel_[*model] += Pricing::cost(*model, usage);
  tokensByModel_[*model] += usage.output.integer.value_or(0) + usage.input.integer.value_or(0);
}

}  // namespace talvane
