#include "voice/hot_key.h"

#include <unordered_map>

namespace talvane::HotKey {

namespace {

struct Key {
  std::string_view name;  // the page's name
  std::uint32_t code;     // HIToolbox kVK_* on the ANSI layout
  std::string_view shown;
};

// The keys a user can choose. To add one: its page name (KeyboardEvent.code), its macOS
// virtual key code and what the label shows.
constexpr Key kKeys[] = {
    {"KeyA", 0x00, "A"},        {"KeyB", 0x0B, "B"},         {"KeyC", 0x08, "C"},
    {"KeyD", 0x02, "D"},        {"KeyE", 0x0E, "E"},         {"KeyF", 0x03, "F"},
    {"KeyG", 0x05, "G"},        {"KeyH", 0x04, "H"},         {"KeyI", 0x22, "I"},
    {"KeyJ", 0x26, "J"},        {"KeyK", 0x28, "K"},         {"KeyL", 0x25, "L"},
    {"KeyM", 0x2E, "M"},        {"KeyN", 0x2D, "N"},         {"KeyO", 0x1F, "O"},
    {"KeyP", 0x23, "P"},        {"KeyQ", 0x0C, "Q"},         {"KeyR", 0x0F, "R"},
    {"KeyS", 0x01, "S"},        {"KeyT", 0x11, "T"},         {"KeyU", 0x20, "U"},
    {"KeyV", 0x09, "V"},        {"KeyW", 0x0D, "W"},         {"KeyX", 0x07, "X"},
    {"KeyY", 0x10, "Y"},        {"KeyZ", 0x06, "Z"},         {"Digit0", 0x1D, "0"},
    {"Digit1", 0x12, "1"},      {"Digit2", 0x13, "2"},       {"Digit3", 0x14, "3"},
    {"Digit4", 0x15, "4"},      {"Digit5", 0x17, "5"},       {"Digit6", 0x16, "6"},
    {"Digit7", 0x1A, "7"},      {"Digit8", 0x1C, "8"},       {"Digit9", 0x19, "9"},
    {"F1", 0x7A, "F1"},         {"F2", 0x78, "F2"},          {"F3", 0x63, "F3"},
    {"F4", 0x76, "F4"},         {"F5", 0x60, "F5"},          {"F6", 0x61, "F6"},
    {"F7", 0x62, "F7"},         {"F8", 0x64, "F8"},          {"F9", 0x65, "F9"},
    {"F10", 0x6D, "F10"},       {"F11", 0x67, "F11"},        {"F12", 0x6F, "F12"},
    {"Space", 0x31, "Space"},   {"Period", 0x2F, "."},       {"Comma", 0x2B, ","},
    {"Slash", 0x2C, "/"},       {"Semicolon", 0x29, ";"},    {"Quote", 0x27, "'"},
    {"BracketLeft", 0x21, "["}, {"BracketRight", 0x1E, "]"}, {"Backquote", 0x32, "`"},
    {"Minus", 0x1B, "-"},       {"Equal", 0x18, "="},
};

const Key* byCode(std::uint32_t code) {
  static const auto* index = [] {
    auto* map = new std::unordered_map<std::uint32_t, const Key*>;
    for (const Key& k : kKeys) map->emplace(k.code, &k);
    return map;
  }();
  auto it = index->find(code);
  return it == index->end() ? nullptr : it->second;
}

}  // namespace

const std::map<Action, Combo>& defaults() {
  static const std::map<Action, Combo> table{
      {Action::open, {0x0F, Mods::control | Mods::option}},
      {Action::talk, {0x11, Mods::control | Mods::option}},
  };
  return table;
}

const std::map<std::string, std::uint32_t, std::less<>>& codes() {
  static const auto* table = [] {
    auto* map = new std::map<std::string, std::uint32_t, std::less<>>;
    for (const Key& k : kKeys) map->emplace(k.name, k.code);
    return map;
  }();
  return *table;
}

std::optional<std::string_view> name(std::uint32_t code) {
  if (const Key* k = byCode(code)) return k->name;
  return std::nullopt;
}

std::string label(Combo combo) {
  std::string text;
  if (combo.mods & Mods::control) text += "Ctrl+";
  if (combo.mods & Mods::option) text += "Alt+";
  if (combo.mods & Mods::shift) text += "Shift+";
  if (combo.mods & Mods::command) text += "Super+";
  const Key* k = byCode(combo.code);
  text += k ? k->shown : "?";
  return text;
}

}  // namespace talvane::HotKey
