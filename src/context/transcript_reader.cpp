#include "context/transcript_reader.h"

#include "context/pricing.h"
#include "context/transcript_line.h"

namespace talvane {

namespace {

std::optional<std::string> nonEmpty(std::string_view raw) {
  auto text = TranscriptLine::string(raw);
  if (!text || text->empty()) return std::nullopt;
  return text;
}

// Prompts the user typed, as opposed to command echoes ("<command-name>...") and the summary
// that starts a continued session. An empty prompt is not a prompt either.
bool isRealPrompt(std::string_view text) {
  return !text.empty() && text.front() != '<' &&
         !text.starts_with("This session is being continued");
}

}  // namespace

TranscriptStats TranscriptReader::update(const std::string& path) {
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
      });
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
    if (auto title = nonEmpty(line->customTitle)) stats.customTitle = std::move(title);
  } else if (TranscriptLine::equals(line->type, "last-prompt")) {
    if (auto prompt = nonEmpty(line->lastPrompt)) stats.lastPrompt = std::move(prompt);
  } else if (TranscriptLine::equals(line->type, "user")) {
    if (auto entrypoint = nonEmpty(line->entrypoint)) stats.entrypoint = std::move(entrypoint);
    if (auto cwd = nonEmpty(line->cwd)) stats.cwd = std::move(cwd);
    if (auto branch = nonEmpty(line->gitBranch); branch && *branch != "HEAD")
      stats.branch = std::move(branch);
    if (!stats.firstPrompt && TranscriptLine::isString(line->content)) {
      if (auto prompt = TranscriptLine::string(line->content); prompt && isRealPrompt(*prompt))
        stats.firstPrompt = std::move(prompt);
    }
  } else if (TranscriptLine::equals(line->type, "assistant")) {
    if (!TranscriptLine::isObject(line->usage)) return;
    const Pricing::Usage usage = TranscriptLine::counts(line->usage);

    std::string model = TranscriptLine::string(line->model).value_or(stats.model.value_or(""));
    if (!model.empty() && model != "<synthetic>") stats.model = model;
    stats.contextTokens = usage.input.integer.value_or(0) +
                          usage.cacheCreation.integer.value_or(0) +
                          usage.cacheRead.integer.value_or(0);
    // A message without an id is always costed: it can never be seen again.
    auto id = TranscriptLine::string(line->id);
    if (!id || entry.seenMessages.insert(std::move(*id)).second)
      stats.cost += Pricing::cost(model, usage);
    if (auto cwd = nonEmpty(line->cwd)) stats.cwd = std::move(cwd);
    stats.endedTurn = TranscriptLine::equals(line->stopReason, "end_turn");
  }
}

void TranscriptReader::adopt(TranscriptReader&& other) {
  for (auto& [path, entry] : other.entries_) entries_.try_emplace(path, std::move(entry));
  other.entries_.clear();
}

}  // namespace talvane
