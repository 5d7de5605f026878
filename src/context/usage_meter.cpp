#include "context/usage_meter.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <vector>

#include "context/appended_lines.h"
#include "context/internet_time.h"
#include "context/pricing.h"
#include "context/transcript_files.h"
#include "context/transcript_line.h"
#include "platform/gobject.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#include <immintrin.h>
#endif

namespace talvane {

namespace {

constexpr std::string_view kUsageKey = "\"usage\"";

// The next "usage" key bytes in [p, end), or nullptr. The meter looks at nothing else in most of
// a transcript, so this is its inner loop: 16 positions at a time, test the key's first, second
// and last bytes, then confirm the rare candidates.
#if defined(__SSE2__)
const char* findUsageKeySse2(const char* p, const char* end) {
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

#if defined(__x86_64__)
// The same, 32 positions at a time, where the processor has AVX2.
__attribute__((target("avx2"))) const char* findUsageKeyAvx2(const char* p, const char* end) {
  const __m256i quote = _mm256_set1_epi8('"');
  const __m256i u = _mm256_set1_epi8('u');
  while (end - p >= 32 + 6) {
    const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
    const __m256i last = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 6));
    const __m256i hit = _mm256_and_si256(
        _mm256_and_si256(_mm256_cmpeq_epi8(first, quote), _mm256_cmpeq_epi8(second, u)),
        _mm256_cmpeq_epi8(last, quote));
    for (auto mask = static_cast<unsigned>(_mm256_movemask_epi8(hit)); mask; mask &= mask - 1) {
      const char* candidate = p + __builtin_ctz(mask);
      if (std::memcmp(candidate + 2, "sage", 4) == 0) return candidate;
    }
    p += 32;
  }
  return findUsageKeySse2(p, end);
}
#endif

const char* findUsageKey(const char* p, const char* end) {
#if defined(__x86_64__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return findUsageKeyAvx2(p, end);
#endif
  return findUsageKeySse2(p, end);
}
#else
const char* findUsageKey(const char* p, const char* end) {
  return static_cast<const char*>(
      ::memmem(p, static_cast<std::size_t>(end - p), kUsageKey.data(), kUsageKey.size()));
}
#endif

}  // namespace

std::optional<Date> UsageMeter::parseTimestamp(std::string_view s) { return parseInternetTime(s); }

Date UsageMeter::startOfDay(Date time) {
  const auto seconds = static_cast<time_t>(std::floor(time));
  tm local{};
  ::localtime_r(&seconds, &local);
  local.tm_hour = local.tm_min = local.tm_sec = 0;
  local.tm_isdst = -1;
  return static_cast<Date>(::mktime(&local));
}

Json UsageMeter::snapshot() { return snapshot(loop_.now()); }

Json UsageMeter::snapshot(Date now) {
  const Date today = startOfDay(now);
  if (today != day_) {
    day_ = today;
    offsets_.clear();
    seen_.clear();
    byModel_.clear();
    tokensByModel_.clear();
  }
  std::vector<std::string> paths;
  std::vector<std::uint64_t> sizes;
  TranscriptFiles::forEach(
      [&](const std::string& path, std::string_view, Date modified, std::uint64_t size) {
        if (modified < day_) return;
        paths.push_back(path);
        sizes.push_back(size);
      });
  std::vector<std::uint64_t> from(paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i) from[i] = offsets_[paths[i]];
  std::vector<FileScan> scans = scanAll(paths, sizes, from);

  // In listing order, as one reader would: the first file to hold a message counts it.
  std::size_t hits = seen_.size();
  for (const FileScan& scan : scans) hits += scan.hits.size();
  seen_.reserve(hits);
  for (std::size_t i = 0; i < paths.size(); ++i) {
    offsets_[paths[i]] = std::max(from[i], scans[i].offset);
    for (Hit& hit : scans[i].hits) {
      if (hit.id && !seen_.insert(std::move(*hit.id)).second) continue;
      const std::string& model = scans[i].models[hit.model];
      byModel_[model] += hit.cost;
      tokensByModel_[model] += hit.tokens;
    }
  }
  return totals();
}

std::vector<UsageMeter::FileScan> UsageMeter::scanAll(
    const std::vector<std::string>& paths, const std::vector<std::uint64_t>& sizes,
    const std::vector<std::uint64_t>& from) const {
  // The most to read first, so that one large transcript taken last does not leave the other
  // threads idle at the end.
  std::vector<std::size_t> order(paths.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  const auto left = [&](std::size_t i) { return sizes[i] > from[i] ? sizes[i] - from[i] : 0; };
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return left(a) > left(b); });
  std::vector<FileScan> scans(paths.size());
  parallelFor(
      paths.size(),
      [&](std::size_t k) {
        const std::size_t i = order[k];
        scans[i] = scan(paths[i], from[i], day_);
      },
      workers_);
  return scans;
}

Json UsageMeter::totals() const {
  // "claude-sonnet-4-5" and "claude-sonnet-4-5-20250929" are one model to the user.
  struct Row {
    std::string label;
    double cost = 0;
    std::int64_t tokens = 0;
  };
  std::vector<Row> rows;
  for (const auto& [model, cost] : byModel_) {
    std::string label = Pricing::label(model);
    auto row =
        std::find_if(rows.begin(), rows.end(), [&](const Row& r) { return r.label == label; });
    if (row == rows.end()) row = rows.insert(rows.end(), Row{std::move(label)});
    row->cost += cost;
    if (auto tokens = tokensByModel_.find(model); tokens != tokensByModel_.end())
      row->tokens += tokens->second;
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [](const Row& a, const Row& b) { return a.cost > b.cost; });
  double total = 0;
  Json list = Json::array();
  for (const Row& row : rows) {
    total += row.cost;
    list.push_back({{"model", row.label}, {"cost", row.cost}, {"tokens", row.tokens}});
  }
  return {{"today", total}, {"models", std::move(list)}};
}

namespace {

// One line holding the "usage" key: adds what it counts for, if anything, to `out`.
void count(std::string_view text, Date day, UsageMeter::FileScan& out) {
  const auto line = TranscriptLine::read(text);
  if (!line || !TranscriptLine::equals(line->type, "assistant")) return;
  const auto timestamp = TranscriptLine::string(line->timestamp);
  if (!timestamp) return;
  const auto time = UsageMeter::parseTimestamp(*timestamp);
  if (!time || *time < day) return;
  if (!TranscriptLine::isObject(line->usage)) return;
  if (!TranscriptLine::isString(line->model)) return;
  // Most model strings hold no escape: compared as they stand, they need no copy.
  std::optional<std::string> decoded;
  std::string_view model = line->model.substr(1, line->model.size() - 2);
  if (model.find('\\') != std::string_view::npos) {
    decoded = TranscriptLine::string(line->model);
    if (!decoded) return;
    model = *decoded;
  }
  if (model == "<synthetic>") return;
  std::size_t index = 0;
  while (index < out.models.size() && out.models[index] != model) ++index;
  if (index == out.models.size()) {
    out.models.emplace_back(model);
    out.rates.push_back(Pricing::rate(model));
  }
  auto id = TranscriptLine::string(line->id);
  // A message's lines follow one another, and only its first can count: the rest need not
  // travel to the totals.
  if (id && !out.hits.empty() && out.hits.back().id == id) return;
  const Pricing::Usage usage = TranscriptLine::counts(line->usage);
  UsageMeter::Hit& hit = out.hits.emplace_back();
  hit.id = std::move(id);
  hit.model = index;
  hit.cost = Pricing::cost(out.rates[index], usage);
  hit.tokens = usage.output.integer.value_or(0) + usage.input.integer.value_or(0);
}

}  // namespace

UsageMeter::FileScan UsageMeter::scan(const std::string& path, std::uint64_t offset, Date day) {
  FileScan out;
  out.offset = offset;
  // One buffer per thread, kept across its files: mapping the files instead costs a page fault
  // per few pages, which is dearer than the copy here.
  thread_local AppendedLines lines;
  lines.read(path, out.offset, AppendedLines::Shrunk::wait, [&](std::string_view block) {
    // Only lines holding the bytes "usage" (with quotes) can count: look for those across the
    // whole block and cut out just their lines, rather than visiting every line.
    const char* const end = block.data() + block.size();
    const char* from = block.data();
    while (from < end) {
      const char* hit = findUsageKey(from, end);
      if (!hit) break;
      const auto* before =
          static_cast<const char*>(::memrchr(from, '\n', static_cast<std::size_t>(hit - from)));
      const char* start = before ? before + 1 : from;
      const auto* stop =
          static_cast<const char*>(::memchr(hit, '\n', static_cast<std::size_t>(end - hit)));
      if (!stop) stop = end;  // blocks end in a newline; this is only a guard
      count(std::string_view(start, static_cast<std::size_t>(stop - start)), day, out);
      from = stop + 1;
    }
  });
  return out;
}

LiveUsage::LiveUsage(EventLoop& loop, Background::Executor executor)
    : loop_(loop),
      meter_(std::make_shared<UsageMeter>(loop)),
      background_(loop, std::move(executor)) {}

void LiveUsage::refresh(std::function<void(const Json&)> done) {
  background_.run([meter = meter_, now = loop_.now()] { return meter->snapshot(now); },
                  [this, done = std::move(done)](Json totals) {
                    latest_ = std::move(totals);
                    if (done) done(*latest_);
                  });
}

void LiveUsage::keepFresh(double seconds) {
  timer_ = loop_.every(seconds, seconds / 4, [this] {
    // One at a time: a slow disk must not pile reads up.
    if (background_.outstanding() == 0) refresh();
  });
}

}  // namespace talvane
