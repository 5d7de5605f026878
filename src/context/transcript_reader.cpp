#include "context/transcript_reader.h"

#include "context/pricing.h"
#include "context/transcript_line.h"

namespace talvane {

namespace {

constexpr std::size_t kMaxText = TranscriptReader::kMaxText;

std::optional<std::string> nonEmpty(std::string_view raw) {
  auto text = TranscriptLine::string(raw);
  if (!text || text->empty() || text->size() > kMaxText) return std::nullopt;
  return text;
}

// The text's first kMaxText bytes, not cutting a character in two.
std::optional<std::string> shortText(std::optional<std::string> text) {
  if (text && text->size() > kMaxText) {
    std::size_t end = kMaxText;
    while (end > 0 && (static_cast<unsigned char>((*text)[end]) & 0xC0) == 0x80) --end;
    text->resize(end);
  }
  return text;
}

// Message ids are short; a long one is kept as its start, its length and a hash of the rest.
std::string messageKey(std::string id) {
  if (id.size() <= kMaxText) return id;
  const std::size_t whole = std::hash<std::string_view>()(id);
  const std::size_t length = id.size();
  id.resize(kMaxText);
  return id + "#" + std::to_string(length) + "#" + std::to_string(whole);
}

// Prompts the user typed, as opposed to command echoes ("<command-name>...") and the summary
// that starts a continued session. An empty prompt is not a prompt either.
bool isRealPrompt(std::string_view text) {
  return !text.empty() && text.front() != '<' &&
         !text.starts_with("This session is being continued");
}

}  // namespace

TranscriptStats TranscriptReader::update(const std::string& path, std::uint64_t budget,
                                         bool* more) {
  auto [it, fresh] = entries_.try_emplace(path);
  Entry& entry = it->second;
  const bool opened = lines_.read(
      path, entry.offset, AppendedLines::Shrunk::restart,
      [&](std::string_view block) {
        AppendedLines::forEachLine(block, [&](std::string_view line) { apply(line, entry); });
      },
      [&] {
        entry.stats = TranscriptStats{};
        entry.seenMessages.clear();
      },
      budget, more);
  if (!opened && fresh) {
    entries_.erase(it);
    return TranscriptStats{};
  }
  // Reading a whole transcript takes a full chunk of memory; an appended event a few bytes.
  lines_.release(256u << 10);
  return entry.stats;
}

const TranscriptStats* TranscriptReader::stats(const std::string& path) const {
  auto it = entries_.find(path);
  return it == entries_.end() ? nullptr : &it->second.stats;
}

std::uint64_t TranscriptReader::offset(const std::string& path) const {
  auto it = entries_.find(path);
  return it == entries_.end() ? 0 : it->second.offset;
}

void TranscriptReader::apply(std::string_view text, Entry& entry) {
  const auto line = TranscriptLine::read(text);
  if (!line) return;
  TranscriptStats& stats = entry.stats;

  if (TranscriptLine::equals(line->type, "custom-title")) {
    if (auto title = shortText(TranscriptLine::string(line->customTitle)); title && !title->empty())
      stats.customTitle = std::move(title);
  } else if (TranscriptLine::equals(line->type, "last-prompt")) {
    if (auto prompt = shortText(TranscriptLine::string(line->lastPrompt));
        prompt && !prompt->empty())
      stats.lastPrompt = std::move(prompt);
  } else if (TranscriptLine::equals(line->type, "user")) {
    if (auto entrypoint = nonEmpty(line->entrypoint)) stats.entrypoint = std::move(entrypoint);
    if (auto cwd = nonEmpty(line->cwd)) stats.cwd = std::move(cwd);
    if (auto branch = nonEmpty(line->gitBranch); branch && *branch != "HEAD")
      stats.branch = std::move(branch);
    if (!stats.firstPrompt && TranscriptLine::isString(line->content)) {
      if (auto prompt = TranscriptLine::string(line->content); prompt && isRealPrompt(*prompt))
        stats.firstPrompt = shortText(std::move(prompt));
    }
  } else if (TranscriptLine::equals(line->type, "assistant")) {
    if (!TranscriptLine::isObject(line->usage)) return;
    const Pricing::Usage usage = TranscriptLine::counts(line->usage);

    auto named = TranscriptLine::string(line->model);
    if (named && named->size() > kMaxText) named.reset();
    std::string model = named.value_or(stats.model.value_or(""));
    if (!model.empty() && model != "<synthetic>") stats.model = model;
    stats.contextTokens = usage.input.integer.value_or(0) +
                          usage.cacheCreation.integer.value_or(0) +
                          usage.cacheRead.integer.value_or(0);
    // A message without an id is always costed: it can never be seen again.
    auto id = TranscriptLine::string(line->id);
    if (!id || entry.seenMessages.insert(messageKey(std::move(*id))).second)
      stats.cost += Pricing::cost(model, usage);
    if (auto cwd = nonEmpty(line->cwd)) stats.cwd = std::move(cwd);
    stats.endedTurn = TranscriptLine::equals(line->stopReason, "end_turn");
  }
}

void TranscriptReader::adopt(TranscriptReader&& other) {
  for (auto& [path, entry] : other.entries_) entries_.try_emplace(path, std::move(entry));
  other.entries_.clear();
}

TranscriptReader TranscriptReader::lend(const std::string& path) {
  TranscriptReader out;
  if (auto it = entries_.find(path); it != entries_.end()) {
    Entry& kept = it->second;
    Entry& lent = out.entries_[path];
    lent = std::move(kept);
    kept = Entry{};
    kept.stats = lent.stats;
  }
  return out;
}

void TranscriptReader::giveBack(TranscriptReader&& other) {
  for (auto& [path, entry] : other.entries_) entries_[path] = std::move(entry);
  other.entries_.clear();
}

}  // namespace talvane
